#include "device/device_identity.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::weakly_canonical(path, ec);
  return ec ? path : p.string();
}

// The nearest existing level of a path (the path itself when it exists).
std::string NearestExisting(const std::string& path) {
  fs::path p = fs::absolute(path);
  std::error_code ec;
  while (!p.empty() && !fs::exists(p, ec)) {
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  return p.string();
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::uint64_t WholeDiskOf(std::uint64_t dev, const std::string& sysRoot) {
  const std::string base = sysRoot + "/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::error_code ec;
  if (!fs::exists(base + "/partition", ec)) return dev;
  // A partition's sysfs folder sits inside its disk's folder.
  const fs::path real = fs::canonical(base, ec);
  if (ec) return dev;
  const std::string parentDev = ReadLine(real.parent_path().string() + "/dev");
  const auto colon = parentDev.find(':');
  if (colon == std::string::npos) return dev;
  try {
    return makedev(static_cast<unsigned>(std::stoul(parentDev.substr(0, colon))),
                   static_cast<unsigned>(std::stoul(parentDev.substr(colon + 1))));
  } catch (...) {
    return dev;
  }
}

SourceIdentity IdentityOfSource(const std::string& sourcePath) {
  SourceIdentity id;
  struct stat st {};
  if (::stat(sourcePath.c_str(), &st) != 0) return id;
  id.known = true;
  if (S_ISBLK(st.st_mode)) {
    id.isBlock = true;
    id.rdev = st.st_rdev;
    id.wholeDisk = WholeDiskOf(st.st_rdev);
  } else {
    id.imagePath = Canonical(sourcePath);
    id.imageDev = st.st_dev;
    id.imageIno = st.st_ino;
  }
  return id;
}

bool PathIsOnSource(const std::string& path, const SourceIdentity& source) {
  if (!source.known) return false;
  const std::string existing = NearestExisting(path);
  struct stat st {};
  if (::stat(existing.c_str(), &st) != 0) return false;
  if (source.isBlock) {
    const std::uint64_t dev = st.st_dev;
    if (dev == source.rdev) return true;
    // The source is a whole disk and the path lies on one of its partitions,
    // or the source is a partition of the disk that holds the path directly.
    return WholeDiskOf(dev) == source.rdev || dev == source.wholeDisk;
  }
  // The image file itself, or a file system mounted from it through a loop device.
  if (st.st_dev == source.imageDev && st.st_ino == source.imageIno) return true;
  if (major(st.st_dev) == 7) {
    const std::string backing =
        ReadLine("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) +
                 "/loop/backing_file");
    if (!backing.empty() && Canonical(backing) == source.imagePath) return true;
  }
  return false;
}

}  // namespace kestrova
