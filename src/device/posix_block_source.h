// Block devices and image files through file descriptors and positioned reads.
#pragma once

#include "device/block_source.h"

#include <memory>
#include <string>

namespace kestrova {

enum class OpenAccess { ReadOnly, ReadWrite };

struct OpenResult {
  std::unique_ptr<BlockSource> source;
  int error = 0;
};

// Opens an existing file or block device. Directories are refused with EISDIR.
// A read-write request never creates or truncates anything.
OpenResult OpenPosixSource(const std::string& path, OpenAccess access);

}  // namespace kestrova
