#include "recovery/output_file.h"

#include "common/activity.h"

#include "common/civil_date.h"
#include "common/text.h"
#include "recovery/output_names.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {
namespace {

std::optional<timespec> FromCivil(int y, unsigned m, unsigned d, unsigned hh, unsigned mm) {
  if (m < 1 || m > 12 || d < 1 || d > 31 || hh > 23 || mm > 59) return std::nullopt;
  timespec t{};
  t.tv_sec = static_cast<time_t>(DaysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60);
  return t;
}

}  // namespace

std::optional<OutputFolder> OutputFolder::Open(const std::string& path, bool create) {
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string p = path;
  if (p.empty() || p.back() != '/') p.push_back('/');
  return OutputFolder(fd, p);
}

OutputFolder& OutputFolder::operator=(OutputFolder&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    path_ = std::move(o.path_);
    o.fd_ = -1;
  }
  return *this;
}

OutputFolder::~OutputFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<OutputFolder> OutputFolder::Sub(std::u16string_view name) const {
  const std::u16string safe = SafeOutputName(name);
  for (unsigned n = 0; n <= 101; ++n) {
    const std::string leaf = ToUtf8(n == 0 ? safe : NumberedName(safe, n));
    if (::mkdirat(fd_, leaf.c_str(), 0755) != 0 && errno != EEXIST) return std::nullopt;  // errno says why
    // O_NOFOLLOW: a link standing where the folder should be is another name's problem.
    const int fd = ::openat(fd_, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return OutputFolder(fd, path_ + leaf + "/");
  }
  errno = EEXIST;
  return std::nullopt;
}

std::optional<CreatedFile> CreateOutputFile(const OutputFolder& folder, std::u16string_view name,
                                            const CreateOptions& options, int* error) {
  const std::u16string safe = SafeOutputName(name);
  const int base = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  int last = 0;
  auto attempt = [&](const std::u16string& candidate, bool replace) -> std::optional<CreatedFile> {
    const std::string leaf = ToUtf8(candidate);
    const int fd = ::openat(folder.fd(), leaf.c_str(), base | (replace ? O_TRUNC : O_EXCL), 0644);
    if (fd < 0) {
      // A link or a folder standing at the name is as good as a taken name.
      last = (errno == ELOOP || errno == EISDIR) ? EEXIST : errno;
      return std::nullopt;
    }
    struct stat st {};
    // Only a regular file is ever written (O_NOFOLLOW refuses links; a fifo or device is refused here).
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      last = EEXIST;
      return std::nullopt;
    }
    return CreatedFile{fd, folder.path() + leaf, candidate};
  };
  auto fail = [&]() -> std::optional<CreatedFile> {
    if (error) *error = last;
    return std::nullopt;
  };
  if (auto f = attempt(safe, options.overwrite)) return f;
  // Only a taken name earns a numbered one; any other failure would repeat.
  if (options.blockDuplicates || last != EEXIST) return fail();
  for (unsigned n = 1; n <= 101; ++n) {
    if (auto f = attempt(NumberedName(safe, n), false)) return f;
    if (last != EEXIST) break;
  }
  return fail();
}

int ProbeWritable(const std::string& folder) {
  ActivityMark activity(Fn::ProbeWritable);
  std::string path = folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += ".kestrova-write-test-" + std::to_string(::getpid());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(path.c_str());
  return 0;
}

std::optional<timespec> EntryTime(const ScanEntry& e, FsType fs) {
  if (e.Kind() == EntryKind::Raw) return std::nullopt;
  if (fs == FsType::Ntfs) {
    const std::uint64_t ft = e.FileTime();
    if (ft == 0) return std::nullopt;
    constexpr std::uint64_t kTo1970 = 116444736000000000ull;
    if (ft < kTo1970) return std::nullopt;
    timespec t{};
    t.tv_sec = static_cast<time_t>((ft - kTo1970) / 10000000);
    t.tv_nsec = static_cast<long>((ft - kTo1970) % 10000000 * 100);
    return t;
  }
  if (fs == FsType::Exfat) {
    const std::uint32_t v = e.ExfatTime();
    if (v == 0) return std::nullopt;
    return FromCivil(static_cast<int>((v >> 25) + 1980), (v >> 21) & 0x0F, (v >> 16) & 0x1F, (v >> 11) & 0x1F,
                     (v >> 5) & 0x3F);
  }
  const std::uint16_t d = e.FatDate();
  if (d == 0) return std::nullopt;
  return FromCivil((d >> 9) + 1980, (d >> 5) & 0x0Fu, d & 0x1Fu, 0, 0);
}

void ApplyEntryMetadata(int fd, const ScanEntry& e, FsType fs) {
  ActivityMark activity(Fn::ApplyEntryMetadata);
  if (const auto t = EntryTime(e, fs)) {
    const timespec both[2] = {*t, *t};
    ::futimens(fd, both);
  }
  const bool readOnly = fs == FsType::Ntfs ? (e.NtfsFlags() & kNtfsReadOnly) != 0 : (e.attributes & 0x01) != 0;
  if (readOnly) ::fchmod(fd, 0444);
}

}  // namespace kestrova
