// The exFAT reader behind the FsReader interface.
#pragma once

#include "fs/cluster_chain.h"
#include "fs/exfat/exfat_find.h"
#include "fs/fs_reader.h"
#include "fs/raw_entry_data.h"

namespace kestrova {

// The writer's view of an exFAT file: contiguous files keep no chain (0 and
// the end value both count as the next cluster), and a file kept without a
// FAT chain never follows the table's stale entries.
ClusterChainView ExfatChainViewOf(ExfatContext& ctx, const ScanEntry& entry);

class ExfatFsReader : public ClusterFsReader {
 public:
  explicit ExfatFsReader(ExfatContext& ctx) : ctx_(ctx) {}
  FsType Type() const override { return FsType::Exfat; }
  EntryHandle RootHandle() const override { return ctx_.volume.rootCluster; }
  std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) override {
    return ListExfatFolder(ctx_, folder, kFindVerify, filter);
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    if (entry.Kind() == EntryKind::Raw) return WriteRawEntry(ctx_.device, entry, sink, control);
    return WriteFatFile(ExfatChainViewOf(ctx_, entry), entry, sink, control);
  }
  WriteResult WriteDefragmented(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    if (entry.Kind() == EntryKind::Raw) return WriteRawEntry(ctx_.device, entry, sink, control);
    return WriteFatFile(ExfatChainViewOf(ctx_, entry), entry, sink, control, true);
  }
  std::vector<std::uint8_t> ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length) override {
    if (entry.Kind() == EntryKind::Raw) return ReadRawRange(ctx_.device, entry, offset, length);
    return ReadFatRange(ExfatChainViewOf(ctx_, entry), entry, offset, length);
  }

 private:
  ExfatContext& ctx_;
};

}  // namespace kestrova
