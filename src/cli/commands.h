// Subcommands of kestrova-cli. Each returns the process exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitNotFound = 1,    // nothing identified
  kExitUsage = 2,       // bad arguments
  kExitCantOpen = 3,    // source missing, unreadable or refused
  kExitBadData = 4,     // input corrupt or not what the command expects
  kExitIncomplete = 5,  // recover: files incomplete (unreadable parts) or not written
  kExitWriteFailed = 6, // repair/restore-backup: a write to the disk failed part-way (see the restore command)
};

struct DevicesOptions {
  std::vector<std::string> images;
  bool noSystem = false;
  bool json = false;
};
int RunDevices(const DevicesOptions& options);

struct IdentifyOptions {
  std::string source;
  std::uint64_t sector = 0;
  std::uint64_t count = 0;
  bool json = false;
};
int RunIdentify(const IdentifyOptions& options);

struct PartitionsOptions {
  std::string source;
  bool json = false;
};
int RunPartitions(const PartitionsOptions& options);

struct MountOptions {
  std::string source;
  std::size_t partition = 0;  // 1-based, as 'partitions' numbers them
  bool raw = false;           // the whole source as RAW, as a scan of an unrecognised device mounts it
  bool json = false;
};
int RunMount(const MountOptions& options);

struct DiagOptions {
  std::string folder;  // where to write; default: the reports folder
};
int RunDiagSnapshot(const DiagOptions& options);

struct LsOptions {
  std::string source;
  std::size_t partition = 0;  // 0: the only volume
  std::string path;           // "/"-separated from the root
  bool recursive = false;
  bool deletedOnly = false;
  std::string mask;           // "*.jpg;*.png"
  bool json = false;
  bool noMft = false;         // NTFS: do not collect the MFT
  std::string session;        // browse a saved scan session instead of SOURCE
  std::string device;         // with a session: open this instead of the drive it names
  bool scan = false;          // run the free-space scan first ("Lost files", "Rebuild", "RAW files")
  std::string status;         // "deleted,overwritten,...": the display filter's status boxes
  bool atSector = false;      // --sector given: a volume no table lists
  std::uint64_t sector = 0;
  std::uint64_t count = 0;    // 0: to the source's end
};
int RunLs(const LsOptions& options);

struct RecoverOptions {
  std::string source;
  std::size_t partition = 0;
  std::string to;
  std::vector<std::string> paths;  // files or folders, "/"-separated; none: the root
  bool deletedOnly = false;
  std::string mask;
  bool recursive = false;
  std::string join;  // one output file of this name
  bool noDuplicates = false;
  bool defrag = false;  // deleted FAT/exFAT files from the clusters no other file holds
  bool json = false;
  bool noMft = false;
  std::string session;  // recover from a saved scan session
  std::string device;   // with a session: open this instead of the drive it names
  bool scan = false;  // run the free-space scan first
  std::string status;  // as ls
  bool atSector = false;      // --sector given: a volume no table lists
  std::uint64_t sector = 0;
  std::uint64_t count = 0;    // 0: to the source's end
};
int RunRecover(const RecoverOptions& options);

struct QlzOptions {
  bool decompress = false;
  std::string input;
  std::string output;
};
int RunQlz(const QlzOptions& options);

struct SessionInfoOptions {
  std::string file;
  bool json = false;
};
int RunSessionInfo(const SessionInfoOptions& options);
struct ScanOptionsCli {
  std::string source;
  std::size_t partition = 0;
  bool noRaw = false;    // no header detection: lost files only
  bool reverse = false;  // the whole volume from its end
  bool json = false;
  std::string session;             // save the scan session here (at the end, and every N seconds)
  unsigned checkpointEvery = 0;    // seconds between saves while scanning; 0: only at the end
  std::string resume;              // continue the unfinished scan of this session (and save into it)
};
int RunScan(const ScanOptionsCli& options);
struct ImageOptions {
  std::string source;
  std::size_t partition = 0;  // 0: the whole source; else 1-based, as 'partitions' numbers them
  std::string to;
  std::string map;            // optional map file; an existing one resumes the copy
  bool retryBad = false;
  bool json = false;
};
int RunImage(const ImageOptions& options);
struct SearchOptions {
  std::string source;
  std::size_t partition = 0;
  std::string name;        // the search box text (default "*")
  std::string mask;        // "*.jpg, *.png"
  std::string size;        // ">=1MB"
  unsigned tolerance = 0;  // percent, for "="
  std::string attributes;  // "hidden,readonly"
  std::string date;        // YYYY-MM-DD
  unsigned days = 0;
  bool before = false, after = false;
  std::string contains, containsUnicode, containsHex;
  bool caseSensitive = false, wholeWord = false;
  std::string status;
  std::size_t limit = 0;   // 0: the 200,000 cap
  bool json = false;
  bool noMft = false;
};
int RunSearch(const SearchOptions& options);

struct HexdumpOptions {
  std::string source;
  std::size_t partition = 0;
  std::string path;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // 0: to the end
  bool noMft = false;
};
int RunHexdump(const HexdumpOptions& options);
struct FindPartitionsOptions {
  std::string source;
  bool fast = false;
  bool modeGiven = false;     // --fast or --deep given (a resumed session keeps its own otherwise)
  std::uint64_t from = 0;
  std::string session;        // write the search's state here at its end
  std::string resume;         // continue the search saved here
  bool json = false;
};
int RunFindPartitions(const FindPartitionsOptions& options);

struct RepairOptions {
  std::string source;
  bool dryRun = false;
  std::string backup;          // also write this backup (.kvb) of what the repair overwrites
  bool yes = false;            // write (after the automatic backup)
  bool json = false;
  bool replaceMbrCode = false; // answer Yes to "MBR boot loader code seems to be damaged..."
  bool noRoomOk = false;       // continue when not every lost partition fits the MBR
  std::string autoBackupDir;   // where the automatic backup goes (default: settings folder, or beside an image)
};
int RunRepair(const RepairOptions& options);

struct RestoreBackupOptions {
  std::string file;
  std::string source;
  bool yes = false;
  bool otherDisk = false;      // write a backup whose stored name or size differs from SOURCE
  std::string autoBackupDir;
};
int RunRestoreBackup(const RestoreBackupOptions& options);

struct BackupInfoOptions {
  std::string file;
  std::uint32_t sectorSize = 512;
  bool json = false;
};
int RunBackupInfo(const BackupInfoOptions& options);

}  // namespace kestrova::cli
