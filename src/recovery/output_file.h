// Creating recovered files inside the destination folder: never following a
// link that already stands there, never leaving the folder, collision names
// or a skip when the name is taken, and the entry's times and read-only flag.
#pragma once

#include "common/fs_type.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace kestrova {

// An open folder that files are created in (relative to its descriptor).
class OutputFolder {
 public:
  // Opens (and with create, makes with its missing parents) the folder.
  static std::optional<OutputFolder> Open(const std::string& path, bool create);
  OutputFolder(OutputFolder&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)) { o.fd_ = -1; }
  OutputFolder& operator=(OutputFolder&& o) noexcept;
  ~OutputFolder();
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }  // with a trailing '/'
  // A sub-folder of this one (created when missing; an existing link is not followed).
  std::optional<OutputFolder> Sub(std::u16string_view name) const;

 private:
  OutputFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

struct CreateOptions {
  bool overwrite = false;        // replace an existing file
  bool blockDuplicates = false;  // no numbered copy when the name is taken
};

struct CreatedFile {
  int fd = -1;
  std::string path;       // where it was created
  std::u16string name;    // the name used (numbered on a collision)
};

// Creates name (already made safe) in the folder. Nothing when duplicates are
// blocked and the name is taken, or when 101 numbered names are taken too;
// *error then holds the system's reason (EEXIST for a taken name).
std::optional<CreatedFile> CreateOutputFile(const OutputFolder& folder, std::u16string_view name,
                                            const CreateOptions& options, int* error = nullptr);

// Whether files can be created in the folder: a probe file is made and
// removed. 0, or the system's error.
int ProbeWritable(const std::string& folder);

// The entry's time as the file times: NTFS FILETIME, exFAT packed date-time,
// FAT DOS date at midnight; no time-zone adjustment. Nothing for RAW entries
// and absent times.
std::optional<timespec> EntryTime(const ScanEntry& e, FsType fs);
// Sets access and modification times (Linux keeps the creation time itself),
// then clears the write bits when the entry is read-only.
void ApplyEntryMetadata(int fd, const ScanEntry& e, FsType fs);

}  // namespace kestrova
