#include "tools/partition_session.h"

#include "common/activity.h"
#include "common/le.h"
#include "tools/partition_search.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {
namespace {

constexpr char kMagic[4] = {'K', 'V', 'S', 'P'};
constexpr std::size_t kNameChars = 512;

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

SessionFileStatus SavePartitionSession(const std::string& path, const PartitionSession& s) {
  ActivityMark activity(Fn::SavePartitionSession);
  if (s.results.size() > kMaxSearchResults) return SessionFileStatus::CantWrite;
  PartitionSessionHeader h{};
  std::memcpy(h.magic, kMagic, 4);
  SetFieldText(h.name, std::u16string_view(s.name).substr(0, kNameChars - 1));
  h.deviceSectors = s.deviceSectors;
  h.mode = s.mode;
  h.position = s.position;
  h.resultCount = static_cast<std::uint32_t>(s.results.size());

  const std::string temp = path + ".part";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return SessionFileStatus::CantWrite;
  bool ok = WriteAll(fd, &h, sizeof h);
  for (const DriveEntry& e : s.results) ok = ok && WriteAll(fd, &e, sizeof e);
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return SessionFileStatus::CantWrite;
  }
  return SessionFileStatus::Ok;
}

SessionFileStatus ParsePartitionSession(std::span<const std::uint8_t> bytes, PartitionSession& out) {
  if (bytes.size() < 4 || std::memcmp(bytes.data(), kMagic, 4) != 0) return SessionFileStatus::NotSession;
  if (bytes.size() < sizeof(PartitionSessionHeader)) return SessionFileStatus::Corrupt;
  PartitionSession s;
  s.name = FieldText(bytes.subspan(4, 1024));
  s.deviceSectors = LoadLe64(bytes, 1028);
  s.mode = static_cast<std::int32_t>(LoadLe32(bytes, 1036));
  s.position = LoadLe64(bytes, 1040);
  const std::uint32_t count = LoadLe32(bytes, 1048);
  if (s.mode != 0 && s.mode != 1) return SessionFileStatus::Corrupt;
  if (s.position > s.deviceSectors) return SessionFileStatus::Corrupt;
  // Every count is checked against the bytes that are there before anything is sized by it.
  if (count > kMaxSearchResults) return SessionFileStatus::Corrupt;
  const std::size_t need = sizeof(PartitionSessionHeader) + std::size_t{count} * sizeof(DriveEntry);
  if (bytes.size() != need) return SessionFileStatus::Corrupt;
  s.results.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::memcpy(&s.results[i], bytes.data() + sizeof(PartitionSessionHeader) + std::size_t{i} * sizeof(DriveEntry),
                sizeof(DriveEntry));
    DriveEntry& e = s.results[i];
    // A stored entry is only trusted as far as the stored drive reaches.
    if (e.sectors == 0 || e.start >= s.deviceSectors) return SessionFileStatus::Corrupt;
    // Texts are read back NUL-terminated whatever the file holds.
    e.fsName[sizeof e.fsName - 1] = e.fsName[sizeof e.fsName - 2] = 0;
    e.label[sizeof e.label - 1] = e.label[sizeof e.label - 2] = 0;
    e.label2[sizeof e.label2 - 1] = e.label2[sizeof e.label2 - 2] = 0;
  }
  out = std::move(s);
  return SessionFileStatus::Ok;
}

SessionFileStatus LoadPartitionSession(const std::string& path, PartitionSession& out) {
  ActivityMark activity(Fn::LoadPartitionSession);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return SessionFileStatus::CantOpen;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return SessionFileStatus::CantOpen;
  }
  // The largest valid file is known: anything bigger is not read at all.
  const std::size_t largest = sizeof(PartitionSessionHeader) + kMaxSearchResults * sizeof(DriveEntry);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, largest + 1)));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return ParsePartitionSession(bytes, out);
}

bool IsPartitionSessionFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char magic[4] = {};
  const bool ok = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, kMagic, 4) == 0;
  std::fclose(f);
  return ok;
}

}  // namespace kestrova
