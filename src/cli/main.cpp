// kestrova-cli: the headless front end for scripts, tests and servers.
#include "cli/commands.h"
#include "common/activity.h"
#include "shell/diagnostics.h"
#include "shell/folders.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
  using namespace kestrova::cli;
  kestrova::ActivityMark activity(kestrova::Fn::CliMain);
  // A crash leaves a report of what was running in the reports folder.
  kestrova::InstallFaultHandler(kestrova::ReportsFolder(kestrova::ExecutableFolder()) + kestrova::kReportBaseName);

  CLI::App app{"Kestrova data recovery (command line)"};
  app.require_subcommand(1);

  DevicesOptions devices;
  auto* dev = app.add_subcommand("devices", "List drives, their volumes and image files");
  dev->add_option("--image", devices.images, "Add an image file to the list")->check(CLI::ExistingPath);
  dev->add_flag("--no-system", devices.noSystem, "Do not list the system's drives (images only)");
  dev->add_flag("--json", devices.json, "Print JSON");

  IdentifyOptions identify;
  auto* id = app.add_subcommand("identify", "Identify the file system at a sector of an image or device");
  id->add_option("source", identify.source, "Image file or block device")->required();
  id->add_option("--sector", identify.sector, "First sector of the volume (default 0)");
  id->add_option("--count", identify.count, "Sector count of the volume, as a partition table would give it");
  id->add_flag("--json", identify.json, "Print JSON");

  PartitionsOptions partitions;
  auto* parts = app.add_subcommand("partitions", "List the volumes the partition tables of an image or disk give");
  parts->add_option("source", partitions.source, "Image file or block device")->required();
  parts->add_flag("--json", partitions.json, "Print JSON");

  MountOptions mount;
  auto* mnt = app.add_subcommand("mount", "Print the geometry the mount sets for one volume");
  mnt->add_option("source", mount.source, "Image file or block device")->required();
  auto* mntPartition = mnt->add_option("--partition", mount.partition, "Volume number as 'partitions' lists it");
  mnt->add_flag("--raw", mount.raw, "The whole source mounted as RAW (as a scan of an unrecognised device)")
      ->excludes(mntPartition);
  mnt->add_flag("--json", mount.json, "Print JSON");

  QlzOptions qlzCompress, qlzDecompress;
  qlzDecompress.decompress = true;
  auto* qlz = app.add_subcommand("qlz", "Compress or decompress one session-file packet");
  qlz->require_subcommand(1);
  auto* qc = qlz->add_subcommand("compress", "Compress IN into one packet written to OUT");
  qc->add_option("in", qlzCompress.input, "Input file")->required();
  qc->add_option("out", qlzCompress.output, "Output file")->required();
  auto* qd = qlz->add_subcommand("decompress", "Decompress the packet in IN to OUT");
  qd->add_option("in", qlzDecompress.input, "Packet file")->required();
  qd->add_option("out", qlzDecompress.output, "Output file")->required();

  LsOptions ls;
  auto* lsCmd = app.add_subcommand("ls", "List a folder of a FAT, exFAT or NTFS volume, deleted entries included");
  lsCmd->add_option("source", ls.source, "Image file or block device (with --session: the PATH)");
  lsCmd->add_option("path", ls.path, "Folder, '/'-separated from the volume root");
  auto* lsPartition = lsCmd->add_option("--partition", ls.partition, "Volume number as 'partitions' lists it");
  auto* lsSector = lsCmd->add_option("--sector", ls.sector, "A volume at this sector that no table lists (see 'find-partitions')")
                       ->excludes(lsPartition);
  lsCmd->add_option("--count", ls.count, "Its sector count (default: to the end of the source)")->needs(lsSector);
  lsCmd->add_flag("--recursive,-r", ls.recursive, "Walk the sub-folders");
  lsCmd->add_flag("--deleted-only", ls.deletedOnly, "Only entries that are not existing");
  lsCmd->add_option("--mask", ls.mask, "Name masks for files, e.g. \"*.jpg;*.png\"");
  lsCmd->add_flag("--json", ls.json, "Print JSON");
  lsCmd->add_flag("--no-mft", ls.noMft, "NTFS: do not collect the MFT (only what a scan finds is listed)");
  lsCmd->add_option("--session", ls.session, "Browse a saved scan session (.kvs) instead of SOURCE")
      ->check(CLI::ExistingFile);
  lsCmd->add_option("--device", ls.device, "With --session: open this image or device instead of the drive it names");
  lsCmd->add_flag("--scan", ls.scan, "Scan the free space first (\"Lost files\", \"Rebuild\", \"RAW files\")");
  lsCmd->add_option("--status", ls.status,
                    "Show only these: existing,deleted,overwritten,notdetected,encrypted,compressed,metafiles,files,folders");

  RecoverOptions recover;
  auto* rec = app.add_subcommand("recover", "Copy files and folders of a FAT, exFAT or NTFS volume to a folder on another device");
  rec->add_option("source", recover.source, "Image file or block device (with --session: the first PATH)");
  rec->add_option("paths", recover.paths, "Files or folders, '/'-separated (default: the root)");
  rec->add_option("--to", recover.to, "Destination folder (not on the source)")->required();
  auto* recPartition = rec->add_option("--partition", recover.partition, "Volume number as 'partitions' lists it");
  auto* recSector = rec->add_option("--sector", recover.sector, "A volume at this sector that no table lists (see 'find-partitions')")
                        ->excludes(recPartition);
  rec->add_option("--count", recover.count, "Its sector count (default: to the end of the source)")->needs(recSector);
  rec->add_flag("--deleted-only", recover.deletedOnly, "Only entries that are not existing");
  rec->add_option("--mask", recover.mask, "Name masks for files, e.g. \"*.jpg;*.png\"");
  rec->add_flag("--recursive,-r", recover.recursive, "Recover folders with their contents");
  rec->add_option("--join", recover.join, "Write all files, one after the other, into one file of this name");
  rec->add_flag("--no-duplicates", recover.noDuplicates, "Skip a file whose name is taken instead of numbering it");
  rec->add_flag("--defrag", recover.defrag,
                "Take a deleted file's data from the free clusters after its first one, stepping over other files");
  rec->add_flag("--json", recover.json, "Print JSON");
  rec->add_flag("--no-mft", recover.noMft, "NTFS: do not collect the MFT");
  rec->add_option("--session", recover.session, "Recover from a saved scan session (.kvs) instead of scanning SOURCE")
      ->check(CLI::ExistingFile);
  rec->add_option("--device", recover.device, "With --session: open this image or device instead of the drive it names");

  SessionInfoOptions sessionInfo;
  auto* sessionCmd = app.add_subcommand("session", "Scan session files (.kvs)");
  sessionCmd->require_subcommand(1);
  auto* sessionInfoCmd = sessionCmd->add_subcommand("info", "Print a session's drive, scan state and block sizes");
  sessionInfoCmd->add_option("file", sessionInfo.file, "Session file")->required();
  sessionInfoCmd->add_flag("--json", sessionInfo.json, "Print JSON");
  rec->add_flag("--scan", recover.scan, "Scan the free space first (\"Lost files\", \"Rebuild\", \"RAW files\")");

  ScanOptionsCli scan;
  auto* scanCmd = app.add_subcommand("scan", "Scan the free space of a volume for lost files and files by their headers");
  scanCmd->add_option("source", scan.source, "Image file or block device (not with --resume)");
  scanCmd->add_option("--partition", scan.partition, "Volume number as 'partitions' lists it");
  scanCmd->add_flag("--no-raw", scan.noRaw, "Look for lost folders and records only, not for file headers");
  scanCmd->add_flag("--reverse", scan.reverse, "Read the whole volume from its end (a damaged file system)");
  scanCmd->add_flag("--json", scan.json, "Print JSON");
  rec->add_option("--status", recover.status, "Recover only what this filter shows (as ls --status)");

  SearchOptions search;
  auto* srch = app.add_subcommand("search", "Find entries by name, size, attributes, date or content anywhere on a volume");
  srch->add_option("source", search.source, "Image file or block device")->required();
  srch->add_option("--partition", search.partition, "Volume number as 'partitions' lists it");
  srch->add_option("--name", search.name, "Text the name contains, or a pattern with '*' (default: every name)");
  srch->add_option("--mask", search.mask, "File masks, e.g. \"*.jpg, *.png\"");
  srch->add_option("--size", search.size, "Size relation, e.g. \">=1MB\", \"<10kB\", \"=2GB\"");
  srch->add_option("--tolerance", search.tolerance, "Percent either side for --size \"=...\"")->check(CLI::Range(0, 100));
  srch->add_option("--attr", search.attributes, "Attributes all present: archive,hidden,compressed,readonly,system,encrypted,directory");
  auto* date = srch->add_option("--date", search.date, "Date YYYY-MM-DD (same day, or with --days/--before/--after)");
  auto* days = srch->add_option("--days", search.days, "Days either side of --date")->check(CLI::Range(0, 365))->needs(date);
  auto* before = srch->add_flag("--before", search.before, "Before --date")->needs(date)->excludes(days);
  srch->add_flag("--after", search.after, "After --date")->needs(date)->excludes(days)->excludes(before);
  srch->add_option("--contains", search.contains, "Files containing this text (ASCII/UTF-8)");
  srch->add_option("--contains-unicode", search.containsUnicode, "Files containing this text as UTF-16");
  srch->add_option("--contains-hex", search.containsHex, "Files containing these bytes, e.g. \"DE AD BE EF\"");
  srch->add_flag("--case", search.caseSensitive, "Content text: case sensitive");
  srch->add_flag("--whole-word", search.wholeWord, "Content text: whole words only");
  srch->add_option("--status", search.status, "Consider only these (as ls --status)");
  srch->add_option("--limit", search.limit, "Stop after this many results (default 200000)");
  srch->add_flag("--json", search.json, "Print JSON");
  srch->add_flag("--no-mft", search.noMft, "NTFS: do not collect the MFT");

  HexdumpOptions hexdump;
  auto* hex = app.add_subcommand("hexdump", "Print an entry's data as the hex view shows it");
  hex->add_option("source", hexdump.source, "Image file or block device")->required();
  hex->add_option("path", hexdump.path, "The entry, '/'-separated (virtual folders too: \"/RAW files/...\")")->required();
  hex->add_option("--partition", hexdump.partition, "Volume number as 'partitions' lists it");
  hex->add_option("--offset", hexdump.offset, "First byte (rounded down to its row)");
  hex->add_option("--length", hexdump.length, "Bytes to show (default: to the end)");
  hex->add_flag("--no-mft", hexdump.noMft, "NTFS: do not collect the MFT");
  auto* scanSession = scanCmd->add_option("--session", scan.session, "Save the scan session (.kvs) here when the scan ends");
  scanCmd->add_option("--checkpoint-every", scan.checkpointEvery, "With --session: also save every SECONDS while scanning")
      ->needs(scanSession);
  scanCmd->add_option("--resume", scan.resume, "Continue the unfinished scan of a saved session (saved into it again)")
      ->check(CLI::ExistingFile);

  DiagOptions diagOptions;
  auto* diag = app.add_subcommand("diag", "Diagnostics");
  diag->require_subcommand(1);
  auto* snapshot = diag->add_subcommand("snapshot", "Write the list of running functions to a report file");
  snapshot->add_option("--dir", diagOptions.folder, "Folder for the report (default: the reports folder)");

  ImageOptions image;
  auto* img = app.add_subcommand("image", "Copy a whole disk or image, or one of its volumes, sector by sector into an image file");
  img->add_option("source", image.source, "Image file or block device")->required();
  img->add_option("--partition", image.partition, "Volume number as 'partitions' lists it (default: the whole source)");
  img->add_option("--to", image.to, "Image file to write (not on the source)")->required();
  auto* imgMap = img->add_option("--map", image.map, "Map file (ddrescue format): written as the copy runs; an existing one resumes it");
  img->add_flag("--retry-bad", image.retryBad, "With --map: read the unreadable areas of the map again")->needs(imgMap);
  img->add_flag("--json", image.json, "Print JSON");
  FindPartitionsOptions findParts;
  bool findFast = false, findDeep = false;
  auto* find = app.add_subcommand("find-partitions", "Search the whole source for lost, deleted or overwritten volumes");
  find->add_option("source", findParts.source, "Image file or block device")->required();
  auto* fastFlag = find->add_flag("--fast", findFast, "Skip the inside of every intact NTFS or FAT32 volume found");
  find->add_flag("--deep", findDeep, "Examine every sector (the default)")->excludes(fastFlag);
  find->add_option("--from", findParts.from, "First sector to examine (default 0)");
  find->add_option("--session", findParts.session, "Save the search (position and volumes found) to this .kvsp file");
  find->add_option("--resume", findParts.resume, "Continue the search saved in this .kvsp file")->check(CLI::ExistingFile);
  find->add_flag("--json", findParts.json, "Print JSON");

  RepairOptions repair;
  auto* rep = app.add_subcommand("repair", "Show (and with --yes write) the quick partition restore: lost MBR entries, extended records, boot sectors");
  rep->add_option("source", repair.source, "Image file or block device")->required();
  rep->add_flag("--dry-run", repair.dryRun, "Only show what would be written (the default without --yes)");
  rep->add_option("--backup", repair.backup, "Also write a backup (.kvb) of every sector the repair would overwrite");
  rep->add_flag("--yes", repair.yes, "Write the repair (after a complete, verified automatic backup)");
  rep->add_flag("--json", repair.json, "Print JSON");
  rep->add_flag("--replace-mbr-code", repair.replaceMbrCode, "Replace damaged or foreign MBR boot code with the standard code");
  rep->add_flag("--no-room-ok", repair.noRoomOk, "Continue when not every lost partition fits the four MBR slots");
  rep->add_option("--auto-backup-dir", repair.autoBackupDir, "Folder of the automatic backup");
  RestoreBackupOptions restoreBackup;
  auto* rbk = app.add_subcommand("restore-backup", "Write a backup (.kvb) back onto the disk or image it was made of");
  rbk->add_option("file", restoreBackup.file, "Backup file (.kvb)")->required();
  rbk->add_option("source", restoreBackup.source, "Image file or block device")->required();
  rbk->add_flag("--yes", restoreBackup.yes, "Write (after an automatic backup of the sectors it overwrites)");
  rbk->add_flag("--other-disk", restoreBackup.otherDisk, "Write even when the stored name or sector count differ");
  rbk->add_option("--auto-backup-dir", restoreBackup.autoBackupDir, "Folder of the automatic backup");
  BackupInfoOptions backupInfo;
  auto* bki = app.add_subcommand("backup-info", "Print what a backup file (.kvb) holds");
  bki->add_option("file", backupInfo.file, "Backup file (.kvb)")->required();
  bki->add_option("--sector-size", backupInfo.sectorSize, "Sector size of the disk it was made of (default 512)")
      ->check(CLI::IsMember({512u, 1024u, 2048u, 4096u}));
  bki->add_flag("--json", backupInfo.json, "Print JSON");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  if (*dev) return RunDevices(devices);
  if (*id) return RunIdentify(identify);
  if (*parts) return RunPartitions(partitions);
  if (*mnt) return RunMount(mount);
  if (*lsCmd) {
    ls.atSector = lsSector->count() > 0;
    return RunLs(ls);
  }
  if (*rec) {
    recover.atSector = recSector->count() > 0;
    return RunRecover(recover);
  }
  if (*scanCmd) return RunScan(scan);
  if (*snapshot) return RunDiagSnapshot(diagOptions);
  if (*qc) return RunQlz(qlzCompress);
  if (*qd) return RunQlz(qlzDecompress);
  if (*img) return RunImage(image);
  if (*srch) return RunSearch(search);
  if (*hex) return RunHexdump(hexdump);
  if (*sessionInfoCmd) return RunSessionInfo(sessionInfo);
  if (*find) {
    findParts.fast = findFast;
    findParts.modeGiven = findFast || findDeep;
    return RunFindPartitions(findParts);
  }
  if (*rep) return RunRepair(repair);
  if (*rbk) return RunRestoreBackup(restoreBackup);
  if (*bki) return RunBackupInfo(backupInfo);
  return kExitUsage;
}
