// The partition-search session file (.kvsp): the searched drive's name and
// size, the mode, the position to resume from and the volumes found so far.
#pragma once

#include "device/drive_entry.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

#pragma pack(push, 1)
struct PartitionSessionHeader {
  std::uint8_t magic[4];         // "KVSP"
  std::uint8_t name[1024];       // UTF-16LE, zero-terminated: the image path or the drive's model
  std::uint64_t deviceSectors;
  std::int32_t mode;             // 0 deep, 1 fast
  std::uint64_t position;        // next sector to examine
  std::uint32_t resultCount;     // DriveEntry records follow
};
#pragma pack(pop)
static_assert(sizeof(PartitionSessionHeader) == 1052);
static_assert(offsetof(PartitionSessionHeader, name) == 4);
static_assert(offsetof(PartitionSessionHeader, deviceSectors) == 1028);
static_assert(offsetof(PartitionSessionHeader, mode) == 1036);
static_assert(offsetof(PartitionSessionHeader, position) == 1040);
static_assert(offsetof(PartitionSessionHeader, resultCount) == 1048);

struct PartitionSession {
  std::u16string name;
  std::uint64_t deviceSectors = 0;
  std::int32_t mode = 0;
  std::uint64_t position = 0;
  std::vector<DriveEntry> results;
};

enum class SessionFileStatus {
  Ok,
  CantOpen,     // missing or unreadable
  NotSession,   // no "KVSP" magic: another kind of file
  Corrupt,      // sizes, counts or values that do not fit the file
  CantWrite,    // the file (or its temporary) could not be written
};

// Writes to a temporary file beside `path` and renames it over `path`, so an
// interrupted save never leaves half a session.
SessionFileStatus SavePartitionSession(const std::string& path, const PartitionSession& session);
SessionFileStatus LoadPartitionSession(const std::string& path, PartitionSession& out);
// The loader's checks over bytes already in memory (also the fuzz target's entry).
SessionFileStatus ParsePartitionSession(std::span<const std::uint8_t> bytes, PartitionSession& out);
// True when the first four bytes are "KVSP" (a drive-choice window offering .kvs and .kvsp).
bool IsPartitionSessionFile(const std::string& path);

}  // namespace kestrova
