// The NTFS reader behind the FsReader interface.
#pragma once

#include "fs/fs_reader.h"
#include "fs/raw_entry_data.h"
#include "fs/ntfs/ntfs_files.h"

namespace kestrova {

class NtfsFsReader : public FsReader {
 public:
  explicit NtfsFsReader(NtfsContext& ctx) : ctx_(ctx) {}
  FsType Type() const override { return FsType::Ntfs; }
  EntryHandle RootHandle() const override { return kNtfsRootRecord; }
  std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) override {
    return ListNtfsFolder(ctx_, folder, filter);
  }
  EntryHandle FolderHandle(const ScanEntry& folder) const override;
  std::uint64_t EntryId(const ScanEntry& e) const override {
    if (e.Kind() == EntryKind::Raw) return RawEntryId(e);
    if (e.Kind() == EntryKind::VirtualFolder) return VirtualEntryId(e);
    return e.recordNumber;
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override;
  std::vector<std::uint8_t> ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length) override {
    if (entry.Kind() == EntryKind::Raw) return ReadRawRange(ctx_.device, entry, offset, length);
    return ReadNtfsRange(ctx_, entry, offset, length);
  }
  std::uint8_t Rate(const ScanEntry& entry) override;
  std::optional<ExportPlan> PlanExport(const ScanEntry& entry) override;
  bool WriteExport(const ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override;

 private:
  NtfsContext& ctx_;
};

}  // namespace kestrova
