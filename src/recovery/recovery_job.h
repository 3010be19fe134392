// A recovery: the checks before it starts (something marked, a destination
// that is not on the device being read), then the worker's counting pass,
// saving pass and folder pass, for entries of a FAT volume.
#pragma once

#include "device/device_identity.h"
#include "device/scan_flags.h"
#include "fs/fat/fat_find.h"
#include "fs/cluster_chain.h"
#include "fs/fs_reader.h"
#include "recovery/output_file.h"
#include "fs/output_sink.h"
#include "resources/strings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

enum class RecoveryMode { Normal, Join, SearchResults };

struct RecoveryRequest {
  std::string destination;  // ends with '/'
  RecoveryMode mode = RecoveryMode::Normal;
  bool quiet = false;
  bool exploreAfter = false;
  bool blockDuplicates = false;
  bool overwrite = false;
  std::u16string joinName;  // "%s - %s" of the first and last marked names
  // Deleted files of FAT and exFAT are taken from the clusters after their
  // first one that no other file holds, not as one contiguous run.
  bool defragment = false;
  RecoveryControl control;
};

// The eight counters of "Preparing to recovery", in their order.
struct RecoveryStatistics {
  std::uint64_t foldersTotal = 0, foldersDeleted = 0, foldersDetected = 0, foldersOverwritten = 0;
  std::uint64_t filesTotal = 0, filesDeleted = 0, filesDetected = 0, filesOverwritten = 0;
  double sizeSum = 0;
  std::uint64_t bytesWritten = 0;
  // Outcome of the saving pass.
  std::uint64_t written = 0, skipped = 0, failed = 0;
  // Skipped files that could not be created or finished (a system error, a
  // full disk), as opposed to names taken while duplicates are blocked.
  std::uint64_t notCreated = 0;
};
// String slots of the eight rows, in order.
extern const StringId kStatisticsRows[8];

// One marked entry, with what the listing knew about it.
struct MarkedEntry {
  ScanEntry entry = MakeScanEntry();
  std::u16string name;
  std::string path;  // as listed ("/"-separated from the root), for reports
};

struct RecoveredFile {
  std::string source;
  std::string output;  // empty when not written
  std::uint64_t size = 0;
  bool complete = false;
  bool unreadable = false;  // parts could not be read and were written as zeros
  int error = 0;            // why it was not written (errno), 0 when it was
};

// Before the destination dialog: nothing marked gives one of two messages.
enum class MarkedCheck { Ok, NothingToRecover, SelectFiles };
MarkedCheck CheckMarked(std::size_t marked, std::size_t itemsInFolder);

// The destination: an absolute path, not on the device being read, missing
// levels created, files can be created in it. Returns the slot of the
// refusal, or nothing when it can be used; *systemError gets the system's
// reason when there is one. The destination is added to the history
// (case-insensitive) when it names a folder.
std::optional<StringId> CheckDestination(std::string& destination, const SourceIdentity& source,
                                         std::vector<std::u16string>& history, int* systemError = nullptr);

// "%s - %s" from the first and last marked names.
std::u16string JoinName(const std::vector<MarkedEntry>& marked);

class RecoveryJob {
 public:
  RecoveryJob(FsReader& volume, RecoveryRequest& request, Ui& ui, ScanFlags* scan = nullptr)
      : volume_(volume), request_(request), ui_(ui), scan_(scan) {}

  // Counts what passes the filter (the explorer's display filter), then saves
  // files in list order and the contents of marked folders. Returns false when
  // the destination cannot be opened.
  bool Run(std::vector<MarkedEntry>& marked, const DisplayFilter& filter);

  const RecoveryStatistics& statistics() const { return stats_; }
  const std::vector<RecoveredFile>& files() const { return files_; }

 private:
  void Count(const MarkedEntry& m, const DisplayFilter& filter, std::vector<EntryHandle>& stack);
  // A folder of the output made only when something is written in it, so a
  // folder pass that finds nothing to save leaves no empty folders behind.
  struct LazyFolder {
    const OutputFolder* root = nullptr;  // the destination, for the top level
    LazyFolder* parent = nullptr;
    std::u16string name;
    std::optional<OutputFolder> made;
    int error = 0;  // why it could not be made
    const OutputFolder* Get();
  };
  void SaveFile(MarkedEntry& m, LazyFolder& folder);
  void SaveFolder(const MarkedEntry& m, LazyFolder& parent, const DisplayFilter& filter,
                  std::vector<EntryHandle>& stack);
  std::u16string OutputName(const MarkedEntry& m) const;

  FsReader& volume_;
  RecoveryRequest& request_;
  Ui& ui_;
  ScanFlags* scan_;
  RecoveryStatistics stats_;
  std::vector<RecoveredFile> files_;
  std::optional<CreatedFile> join_;
  std::uint64_t done_ = 0, total_ = 0;
};

}  // namespace kestrova
