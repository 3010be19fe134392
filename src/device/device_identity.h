// Which block device holds a path, compared with the device being recovered.
// Overwrite protection on Linux rests on this: there are no drive letters,
// so "the same drive" means the same block device (or the whole disk that
// contains it), or, for an image file, the image itself or a loop device
// backed by it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

struct SourceIdentity {
  bool known = false;
  bool isBlock = false;
  std::uint64_t rdev = 0;       // block source: its device number
  std::uint64_t wholeDisk = 0;  // block source: the disk it belongs to (itself for a disk)
  std::string imagePath;        // image source: its canonical path
  std::uint64_t imageDev = 0, imageIno = 0;
};

// The identity of an opened source path (block device or image file).
SourceIdentity IdentityOfSource(const std::string& sourcePath);

// True when writing at `path` (a folder or file; missing levels are allowed,
// the nearest existing one decides) could change the source's sectors: the
// same device, a loop device backed by the image, or a mount (FUSE) whose
// source is the image or the device.
bool PathIsOnSource(const std::string& path, const SourceIdentity& source);

// The mount sources that a /proc/self/mountinfo text lists for the file
// system with device number `dev` (escapes undone).
std::vector<std::string> MountSourcesOf(std::string_view mountinfo, std::uint64_t dev);
// True when one of them is the source (the image file, or the block device).
bool MountinfoShowsSource(std::string_view mountinfo, std::uint64_t dev, const SourceIdentity& source);

// The whole disk a block device number belongs to (itself when it is a disk
// or unknown). sysRoot is "/sys" outside tests.
std::uint64_t WholeDiskOf(std::uint64_t dev, const std::string& sysRoot = "/sys");

}  // namespace kestrova
