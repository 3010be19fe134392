// Fuzz target: the free-space scan's metadata probes. A small FAT16 or FAT32
// volume whose table and data area come from the input is scanned (folder
// starts, fragments, the parents they name, "Rebuild"), and the input is also
// handed to the NTFS record probe as a run of free clusters.
#include "common/ui.h"
#include "common/worker_token.h"
#include "device/memory_block_source.h"
#include "fs/fat/fat_fs_reader.h"
#include "scan/virtual_folders.h"
#include "scanner/metadata_probes.h"
#include "scanner/scan_driver.h"
#include "volume/identify.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using namespace kestrova;

// The lists are large: made once, emptied for each input.
ResultLists& EmptyLists() {
  static ResultLists lists;
  static const bool created = lists.Reset();
  (void)created;
  for (EntryList* l : {&lists.lost, &lists.rebuild, &lists.raw}) {
    l->records.Clear();
    l->names.Clear();
  }
  lists.deleted.Clear();
  return lists;
}

constexpr std::uint32_t kTotal = 4096;

void Put16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

std::uint64_t Boot(std::vector<std::uint8_t>& disk, bool fat32) {
  std::uint8_t* b = disk.data();
  b[0] = 0xEB;
  Put16(b + 11, 512);
  b[13] = 1;
  b[16] = 2;
  Put16(b + 510, 0xAA55);
  if (fat32) {
    Put16(b + 14, 32);
    Put32(b + 32, kTotal);
    Put32(b + 36, 16);
    Put32(b + 44, 2);
    std::memcpy(b + 82, "FAT32   ", 8);
    return 32;
  }
  Put16(b + 14, 4);
  Put16(b + 17, 512);
  Put16(b + 19, kTotal);
  Put16(b + 22, 16);
  std::memcpy(b + 54, "FAT16   ", 8);
  return 4;
}

void ScanFatVolume(const std::uint8_t* data, std::size_t size, bool fat32) {
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(std::size_t{kTotal} * 512, 0);
  const std::uint64_t at = Boot(shared->data, fat32);
  std::memcpy(shared->data.data() + at * 512, data, std::min<std::size_t>(size, shared->data.size() - at * 512));
  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = kTotal;
  device.GeometryForMount().volumeLastSector = kTotal - 1;
  SilentUi ui;
  OpenedVolume opened;
  opened.raw.bootSector.assign(shared->data.begin(), shared->data.begin() + 512);
  opened.type = QuickFsTest(opened.raw.bootSector);
  FatReader reader;
  const MountHooks hooks = reader.Hooks(DriveSettings{});
  MountRequest r;
  r.depth = 1;
  r.hooks = &hooks;
  MountedVolume mounted;
  if (!MountVolume(device, ui, r, opened, mounted) || !reader.volume.IsFat()) return;
  ResultLists& lists = EmptyLists();
  FatContext ctx{device, reader.volume, &lists, nullptr, true};
  ScanTarget target{device, lists, ui, &ctx};
  ScanOptions options;
  options.raw = false;
  WorkerToken token;
  WorkerRunScope running(token);
  ScanDriver(target, options).Run(token);
  FatFsReader fs(ctx);
  for (const FoundEntry& f : fs.List(VirtualHandle(kLostFilesMarker), {}))
    if (IsFolder(f.entry, reader.volume.type)) fs.List(fs.FolderHandle(f.entry), {});
  for (const FoundEntry& f : fs.List(VirtualHandle(kRebuildMarker), {})) fs.List(fs.FolderHandle(f.entry), {});
}

void ProbeNtfsRecords(const std::uint8_t* data, std::size_t size) {
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(256 * 512, 0);
  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = 256;
  device.GeometryForMount().volumeLastSector = 255;
  device.GeometryForMount().sectorsPerCluster = 1;
  NtfsVolume volume;
  volume.sectorsPerCluster = 1;
  volume.bytesPerCluster = 512;
  volume.lastCluster = 255;
  volume.recordSize = 1024;
  ResultLists& lists = EmptyLists();
  NtfsContext ctx{device, volume, &lists};
  NtfsRecordProbe probe(ctx, lists);
  std::vector<std::uint8_t> run(data, data + size);
  probe.ProbeRun(run, 0, 0, true);
  probe.EndOfBlock();
  probe.ProbeRun(run, 0, 0, false);
  probe.Flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 64 * 1024) return 0;
  ScanFatVolume(data + 1, size - 1, data[0] & 1);
  ProbeNtfsRecords(data + 1, size - 1);
  return 0;
}

// Smoke inputs: FAT entries, folder starts naming parents, fragments, FILE records.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(1 + 64 * 512, 0);
  input[0] = static_cast<std::uint8_t>(rng());
  std::uint8_t* d = input.data() + 1;
  for (int i = 0; i < 100; ++i) d[rng() % (32 * 512)] = static_cast<std::uint8_t>(rng() % 3 ? 0 : rng() % 40);
  for (int e = 0; e < 96; ++e) {
    std::uint8_t* entry = d + 32 * 512 + (rng() % 512) * 32;  // within the 32 sectors after the FATs
    static const char* const kNames[] = {"FILE    TXT", ".          ", "..         ", "DIR        ", "PHOTO   JPG"};
    std::memcpy(entry, kNames[rng() % 5], 11);
    if (rng() % 3 == 0) entry[0] = 0xE5;
    entry[11] = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0x0F : (rng() % 2 ? 0x10 : 0x20));
    Put16(entry + 26, static_cast<std::uint16_t>(rng() % 80));
    Put32(entry + 28, static_cast<std::uint32_t>(rng() % 5000));
  }
  for (int r = 0; r < 4; ++r) {
    std::uint8_t* rec = d + (rng() % 60) * 512;
    std::memcpy(rec, "FILE", 4);
    for (int i = 4; i < 400; ++i) rec[i] = static_cast<std::uint8_t>(rng() % 4 ? 0 : rng());
  }
  input.resize(1 + rng() % input.size());
}
