#include "device/device_identity.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
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

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescaped(std::string_view field) {
  auto octal = [&](std::size_t k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(' ', at);
    if (start == std::string_view::npos) break;
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    at = end;
  }
  return fields;
}

// True when `path` names the source: the image file itself, or the block
// device (or a partition of the disk) being read.
bool NamesSource(const std::string& path, const SourceIdentity& source) {
  if (path.empty() || path.front() != '/') return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (source.isBlock) {
    if (!S_ISBLK(st.st_mode)) return false;
    return st.st_rdev == source.rdev || WholeDiskOf(st.st_rdev) == source.rdev || st.st_rdev == source.wholeDisk;
  }
  return (st.st_dev == source.imageDev && st.st_ino == source.imageIno) || Canonical(path) == source.imagePath;
}

}  // namespace

std::vector<std::string> MountSourcesOf(std::string_view mountinfo, std::uint64_t dev) {
  std::vector<std::string> sources;
  const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::size_t at = 0;
  while (at < mountinfo.size()) {
    std::size_t end = mountinfo.find('\n', at);
    if (end == std::string_view::npos) end = mountinfo.size();
    const auto fields = Fields(mountinfo.substr(at, end - at));
    at = end + 1;
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    if (fields.size() < 3 || fields[2] != wanted) continue;
    const auto dash = std::find(fields.begin() + 3, fields.end(), std::string_view("-"));
    if (dash == fields.end() || fields.end() - dash < 3) continue;
    sources.push_back(Unescaped(*(dash + 2)));
  }
  return sources;
}

bool MountinfoShowsSource(std::string_view mountinfo, std::uint64_t dev, const SourceIdentity& source) {
  if (!source.known) return false;
  for (const std::string& from : MountSourcesOf(mountinfo, dev))
    if (NamesSource(from, source)) return true;
  return false;
}

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
    if (WholeDiskOf(dev) == source.rdev || dev == source.wholeDisk) return true;
  }
  // The image file itself, or a file system mounted from it through a loop device.
  if (!source.isBlock && st.st_dev == source.imageDev && st.st_ino == source.imageIno) return true;
  if (!source.isBlock && major(st.st_dev) == 7) {
    const std::string backing =
        ReadLine("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) +
                 "/loop/backing_file");
    if (!backing.empty() && Canonical(backing) == source.imagePath) return true;
  }
  // A file system served from the source by a program (FUSE: ntfs-3g, exfat-fuse,
  // fuseblk) has a device number of its own; its mount lists the source.
  std::ifstream in("/proc/self/mountinfo");
  const std::string mountinfo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return MountinfoShowsSource(mountinfo, st.st_dev, source);
}

}  // namespace kestrova
