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
  lsCmd->add_option("source", ls.source, "Image file or block device")->required();
  lsCmd->add_option("path", ls.path, "Folder, '/'-separated from the volume root");
  lsCmd->add_option("--partition", ls.partition, "Volume number as 'partitions' lists it");
  lsCmd->add_flag("--recursive,-r", ls.recursive, "Walk the sub-folders");
  lsCmd->add_flag("--deleted-only", ls.deletedOnly, "Only entries that are not existing");
  lsCmd->add_option("--mask", ls.mask, "Name masks for files, e.g. \"*.jpg;*.png\"");
  lsCmd->add_flag("--json", ls.json, "Print JSON");
  lsCmd->add_flag("--no-mft", ls.noMft, "NTFS: do not collect the MFT (only what a scan finds is listed)");
  lsCmd->add_flag("--scan", ls.scan, "Scan the free space first (\"Lost files\", \"Rebuild\", \"RAW files\")");

  RecoverOptions recover;
  auto* rec = app.add_subcommand("recover", "Copy files and folders of a FAT, exFAT or NTFS volume to a folder on another device");
  rec->add_option("source", recover.source, "Image file or block device")->required();
  rec->add_option("paths", recover.paths, "Files or folders, '/'-separated (default: the root)");
  rec->add_option("--to", recover.to, "Destination folder (not on the source)")->required();
  rec->add_option("--partition", recover.partition, "Volume number as 'partitions' lists it");
  rec->add_flag("--deleted-only", recover.deletedOnly, "Only entries that are not existing");
  rec->add_option("--mask", recover.mask, "Name masks for files, e.g. \"*.jpg;*.png\"");
  rec->add_flag("--recursive,-r", recover.recursive, "Recover folders with their contents");
  rec->add_option("--join", recover.join, "Write all files, one after the other, into one file of this name");
  rec->add_flag("--no-duplicates", recover.noDuplicates, "Skip a file whose name is taken instead of numbering it");
  rec->add_flag("--defrag", recover.defrag,
                "Take a deleted file's data from the free clusters after its first one, stepping over other files");
  rec->add_flag("--json", recover.json, "Print JSON");
  rec->add_flag("--no-mft", recover.noMft, "NTFS: do not collect the MFT");
  rec->add_flag("--scan", recover.scan, "Scan the free space first (\"Lost files\", \"Rebuild\", \"RAW files\")");

  ScanOptionsCli scan;
  auto* scanCmd = app.add_subcommand("scan", "Scan the free space of a volume for lost files and files by their headers");
  scanCmd->add_option("source", scan.source, "Image file or block device")->required();
  scanCmd->add_option("--partition", scan.partition, "Volume number as 'partitions' lists it");
  scanCmd->add_flag("--no-raw", scan.noRaw, "Look for lost folders and records only, not for file headers");
  scanCmd->add_flag("--reverse", scan.reverse, "Read the whole volume from its end (a damaged file system)");
  scanCmd->add_flag("--json", scan.json, "Print JSON");

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
  if (*lsCmd) return RunLs(ls);
  if (*rec) return RunRecover(recover);
  if (*scanCmd) return RunScan(scan);
  if (*snapshot) return RunDiagSnapshot(diagOptions);
  if (*qc) return RunQlz(qlzCompress);
  if (*qd) return RunQlz(qlzDecompress);
  if (*img) return RunImage(image);
  return kExitUsage;
}
