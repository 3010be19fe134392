#include "device/posix_block_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

bool IsDeviceGoneError(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
    case ESHUTDOWN:
    case ENOTCONN:
    case EBADF:
    case ESTALE:
      return true;
    default:
      return false;
  }
}

std::string ErrorText(int error) {
  char buf[256];
  // GNU strerror_r returns the text pointer, which may not be buf.
  const char* text = strerror_r(error, buf, sizeof buf);
  return text ? std::string(text) : std::string("error ") + std::to_string(error);
}

namespace {

class PosixBlockSource final : public BlockSource {
 public:
  PosixBlockSource(int fd, bool writable, bool isBlockDevice)
      : fd_(fd), writable_(writable), isBlockDevice_(isBlockDevice) {}
  ~PosixBlockSource() override { ::close(fd_); }

  int Seek(std::uint64_t offset) override {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return EINVAL;
    offset_ = offset;
    return 0;
  }

  IoResult Read(void* buffer, std::size_t length) override {
    const IoResult r = ReadAt(offset_, buffer, length);
    offset_ += r.bytes;
    return r;
  }

  IoResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    IoResult r;
    if (offset > static_cast<std::uint64_t>(INT64_MAX) || length > static_cast<std::uint64_t>(INT64_MAX) - offset) {
      r.error = EINVAL;
      return r;
    }
    auto* p = static_cast<char*>(buffer);
    while (r.bytes < length) {
      const ssize_t n = ::pread(fd_, p + r.bytes, length - r.bytes, static_cast<off_t>(offset + r.bytes));
      if (n < 0) {
        if (errno == EINTR) continue;
        r.error = errno;
        break;
      }
      if (n == 0) break;  // end of data
      r.bytes += static_cast<std::size_t>(n);
    }
    return r;
  }

  IoResult Write(const void* buffer, std::size_t length) override {
    IoResult r;
    if (!writable_) {
      r.error = EBADF;
      return r;
    }
    const auto* p = static_cast<const char*>(buffer);
    while (r.bytes < length) {
      const ssize_t n = ::pwrite(fd_, p + r.bytes, length - r.bytes, static_cast<off_t>(offset_));
      if (n < 0) {
        if (errno == EINTR) continue;
        r.error = errno;
        break;
      }
      if (n == 0) {
        r.error = EIO;
        break;
      }
      r.bytes += static_cast<std::size_t>(n);
      offset_ += static_cast<std::uint64_t>(n);
    }
    return r;
  }

  int Flush() override { return ::fsync(fd_) == 0 ? 0 : errno; }

  std::uint64_t ByteLength() override {
    if (isBlockDevice_) {
      std::uint64_t bytes = 0;
      if (::ioctl(fd_, BLKGETSIZE64, &bytes) == 0) return bytes;
      return 0;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
  }

  std::uint32_t LogicalSectorSize() override {
    if (!isBlockDevice_) return 0;
    int size = 0;
    if (::ioctl(fd_, BLKSSZGET, &size) != 0 || size <= 0) return 0;
    return static_cast<std::uint32_t>(size);
  }

  bool Writable() const override { return writable_; }

 private:
  int fd_;
  bool writable_;
  bool isBlockDevice_;
  std::uint64_t offset_ = 0;
};

}  // namespace

OpenResult OpenPosixSource(const std::string& path, OpenAccess access) {
  OpenResult result;
  const int flags = (access == OpenAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    result.error = errno;
    ::close(fd);
    return result;
  }
  if (S_ISDIR(st.st_mode)) {
    result.error = EISDIR;
    ::close(fd);
    return result;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    result.error = ENOTBLK;
    ::close(fd);
    return result;
  }
  result.source = std::make_unique<PosixBlockSource>(fd, access == OpenAccess::ReadWrite, S_ISBLK(st.st_mode));
  return result;
}

}  // namespace kestrova
