// A volume as browsing and recovery see it, whatever its file system: folders
// listed by handle, and a file's data written to a sink.
#pragma once

#include "fs/exfat/exfat_find.h"
#include "fs/fat/fat_find.h"
#include "fs/ntfs/efs_export.h"
#include "fs/ntfs/ntfs_files.h"
#include "fs/cluster_chain.h"

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
  // The handle that lists a folder entry (its first cluster on FAT and exFAT).
  virtual std::uint32_t FolderHandle(const ScanEntry& folder) const { return folder.firstCluster; }
  // Tells entries apart (their folder and position on FAT and exFAT).
  virtual std::uint64_t EntryId(const ScanEntry& e) const { return std::uint64_t{e.dirKey} << 32 | e.flags; }

  // A stream saved in place of the data, with the suffix of its file name
  // (NTFS encrypted files: ".efs"); nothing for ordinary entries.
  struct ExportPlan {
    std::u16string suffix;
    std::uint64_t size = 0;
  };
  virtual std::optional<ExportPlan> PlanExport(const ScanEntry&) { return std::nullopt; }
  virtual bool WriteExport(const ScanEntry&, OutputSink&, const RecoveryControl&) { return false; }
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

class NtfsRecoverable : public RecoverableVolume {
 public:
  explicit NtfsRecoverable(NtfsContext& ctx) : ctx_(ctx) {}
  FsType Type() const override { return FsType::Ntfs; }
  std::uint32_t RootHandle() const override { return static_cast<std::uint32_t>(kNtfsRootRecord); }
  std::vector<FoundEntry> List(std::uint32_t handle, const DisplayFilter& filter) override {
    return ListNtfsFolder(ctx_, handle, filter);
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    WriteResult r;
    r.complete = WriteNtfsData(ctx_, entry, sink, control.token) && sink.remaining() == 0 && !sink.unreadable();
    return r;
  }
  std::uint32_t FolderHandle(const ScanEntry& folder) const override {
    // Virtual folders are named by their marker, NTFS folders by their record.
    if (folder.Kind() == EntryKind::VirtualFolder) return folder.firstCluster;
    return static_cast<std::uint32_t>(folder.recordNumber);
  }
  std::uint64_t EntryId(const ScanEntry& e) const override { return e.recordNumber; }
  std::optional<ExportPlan> PlanExport(const ScanEntry& entry) override {
    const auto efs = PrepareEfsExport(ctx_, entry);
    if (!efs) return std::nullopt;
    return ExportPlan{u".efs", efs->StreamLength()};
  }
  bool WriteExport(const ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    const auto efs = PrepareEfsExport(ctx_, entry);
    return efs && WriteEfsStream(ctx_, *efs, sink, control.token);
  }

 private:
  NtfsContext& ctx_;
};

// The clusters of the folders named by `components` (case-insensitive), the
// root first; nothing when a component is not a folder of its parent.
std::optional<std::vector<std::uint32_t>> FindFolder(RecoverableVolume& volume,
                                                     const std::vector<std::u16string>& components);

}  // namespace kestrova
