// A volume as browsing and recovery see it, whatever its file system: folders
// listed by handle, and a file's data written to a sink.
#pragma once

#include "fs/exfat/exfat_find.h"
#include "fs/fat/fat_find.h"
#include "recovery/fat_writer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// What the job needs of a volume: listing folders and writing a file's data.
// Each reader (FAT, exFAT, NTFS) provides one.
class RecoverableVolume {
 public:
  virtual ~RecoverableVolume() = default;
  virtual FsType Type() const = 0;
  virtual std::uint32_t RootHandle() const = 0;
  virtual std::vector<FoundEntry> List(std::uint32_t handle, const DisplayFilter& filter) = 0;
  virtual WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) = 0;
};

class FatRecoverable : public RecoverableVolume {
 public:
  explicit FatRecoverable(FatContext& ctx) : ctx_(ctx) {}
  FsType Type() const override { return ctx_.volume.type; }
  std::uint32_t RootHandle() const override { return ctx_.volume.rootCluster; }
  std::vector<FoundEntry> List(std::uint32_t handle, const DisplayFilter& filter) override {
    return ListFolder(ctx_, handle, kFindVerify, filter);
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    return WriteFatFile(ctx_, entry, sink, control);
  }

 private:
  FatContext& ctx_;
};

class ExfatRecoverable : public RecoverableVolume {
 public:
  explicit ExfatRecoverable(ExfatContext& ctx) : ctx_(ctx) {}
  FsType Type() const override { return FsType::Exfat; }
  std::uint32_t RootHandle() const override { return ctx_.volume.rootCluster; }
  std::vector<FoundEntry> List(std::uint32_t handle, const DisplayFilter& filter) override {
    return ListExfatFolder(ctx_, handle, kFindVerify, filter);
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override;

 private:
  ExfatContext& ctx_;
};

// The clusters of the folders named by `components` (case-insensitive), the
// root first; nothing when a component is not a folder of its parent.
std::optional<std::vector<std::uint32_t>> FindFolder(RecoverableVolume& volume,
                                                     const std::vector<std::u16string>& components);

}  // namespace kestrova
