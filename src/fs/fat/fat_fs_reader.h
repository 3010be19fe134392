// The FAT12/16/32 reader behind the FsReader interface.
#pragma once

#include "fs/cluster_chain.h"
#include "fs/fat/fat_find.h"
#include "fs/fs_reader.h"
#include "fs/raw_entry_data.h"

namespace kestrova {

// The writer's view of a FAT volume: a free table entry counts as the next
// cluster, an end-of-chain value ends it.
ClusterChainView ChainViewOf(FatContext& ctx);

class FatFsReader : public ClusterFsReader {
 public:
  explicit FatFsReader(FatContext& ctx) : ctx_(ctx) {}
  FsType Type() const override { return ctx_.volume.type; }
  EntryHandle RootHandle() const override { return ctx_.volume.rootCluster; }
  std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) override {
    return ListFolder(ctx_, folder, kFindVerify, filter);
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    if (entry.Kind() == EntryKind::Raw) return WriteRawEntry(ctx_.device, entry, sink, control);
    return WriteFatFile(ChainViewOf(ctx_), entry, sink, control);
  }
  WriteResult WriteDefragmented(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    if (entry.Kind() == EntryKind::Raw) return WriteRawEntry(ctx_.device, entry, sink, control);
    return WriteFatFile(ChainViewOf(ctx_), entry, sink, control, true);
  }
  std::vector<std::uint8_t> ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length) override {
    if (entry.Kind() == EntryKind::Raw) return ReadRawRange(ctx_.device, entry, offset, length);
    return ReadFatRange(ChainViewOf(ctx_), entry, offset, length);
  }

 private:
  FatContext& ctx_;
};

}  // namespace kestrova
