// Small FAT volumes built in memory for the reader's tests: a boot sector, two
// FAT copies, the root and data area; entries and chains written by hand.
#pragma once

#include "fs/fat/fat_find.h"
#include "support/crafted.h"
#include "support/recording_ui.h"
#include "volume/identify.h"

#include <cstring>
#include <memory>
#include <string>

namespace kestrova::test {

class FatBuilder {
 public:
  // FAT12/16: reserved 4, 2 FATs of `spf` sectors, 512 root entries. FAT32:
  // reserved 32, 2 FATs of `spf`, root cluster 2.
  FatBuilder(FsType type, std::uint32_t totalSectors, std::uint8_t spc = 1, std::uint32_t spf = 64) : type_(type) {
    mem = std::make_unique<MemDevice>(Image(std::size_t{totalSectors} * 512, 0));
    std::uint8_t* b = mem->at(0);
    if (type == FsType::Fat32) {
      WriteFat32Boot(b, totalSectors, 0x1234, "CRAFTED", spc, spf);
      reserved_ = 32;
      dataStart_ = reserved_ + 2 * spf;
    } else {
      WriteFat16Boot(b, totalSectors, 0x1616, "CRAFTED");
      b[13] = spc;
      PutLe16(b + 22, static_cast<std::uint16_t>(spf));
      if (type == FsType::Fat12) PutText(b + 54, "FAT12   ");
      reserved_ = 4;
      rootSector_ = reserved_ + 2 * spf;
      dataStart_ = rootSector_ + 32;
    }
    spf_ = spf;
    spc_ = spc;
    SetFat(0, type == FsType::Fat32 ? 0x0FFFFFF8 : type == FsType::Fat16 ? 0xFFF8 : 0xFF8);
    SetFat(1, type == FsType::Fat32 ? 0x0FFFFFFF : type == FsType::Fat16 ? 0xFFFF : 0xFFF);
    if (type == FsType::Fat32) SetFat(2, 0x0FFFFFFF);  // the root
  }

  std::uint8_t* Sector(std::uint64_t s) { return mem->at(s); }
  std::uint8_t* Cluster(std::uint32_t c) { return mem->at(dataStart_ + std::uint64_t{c - 2} * spc_); }
  // The directory area of a handle (1: the fixed root).
  std::uint8_t* Dir(std::uint32_t handle) { return handle == 1 ? mem->at(rootSector_) : Cluster(handle); }

  // Writes the entry in both FAT copies (FAT12 packed 12 bits).
  void SetFat(std::uint32_t c, std::uint32_t value, int copies = 3) {
    for (int copy = 0; copy < 2; ++copy) {
      if (!(copies & (1 << copy))) continue;
      std::uint8_t* fat = mem->at(reserved_ + static_cast<std::uint64_t>(copy) * spf_);
      if (type_ == FsType::Fat32) {
        PutLe32(fat + c * 4, value);
      } else if (type_ == FsType::Fat16) {
        PutLe16(fat + c * 2, static_cast<std::uint16_t>(value));
      } else {
        const std::size_t at = c * 3 / 2;
        std::uint16_t word = static_cast<std::uint16_t>(fat[at] | fat[at + 1] << 8);
        word = (c & 1) ? static_cast<std::uint16_t>((word & 0x000F) | (value << 4))
                       : static_cast<std::uint16_t>((word & 0xF000) | (value & 0x0FFF));
        PutLe16(fat + at, word);
      }
    }
  }
  void Chain(std::initializer_list<std::uint32_t> clusters) {
    const std::uint32_t end = type_ == FsType::Fat32 ? 0x0FFFFFFF : type_ == FsType::Fat16 ? 0xFFFF : 0xFFF;
    auto it = clusters.begin();
    while (it != clusters.end()) {
      const std::uint32_t c = *it++;
      SetFat(c, it == clusters.end() ? end : *it);
    }
  }

  // A short entry at slot `index` of a directory.
  std::uint8_t* Entry(std::uint32_t dir, std::size_t index, const std::string& name11, std::uint8_t attr,
                      std::uint32_t cluster, std::uint32_t size, std::uint16_t date = kDate) {
    std::uint8_t* e = Dir(dir) + index * 32;
    std::memset(e, 0, 32);
    std::memcpy(e, name11.data(), std::min<std::size_t>(11, name11.size()));
    e[11] = attr;
    PutLe16(e + 18, date);
    PutLe16(e + 20, static_cast<std::uint16_t>(cluster >> 16));
    PutLe16(e + 26, static_cast<std::uint16_t>(cluster));
    PutLe32(e + 28, size);
    return e;
  }
  // The long-name parts of `name` in the slots before `shortIndex` (part 1 nearest).
  void LongName(std::uint32_t dir, std::size_t shortIndex, const std::u16string& name, bool deleted = false) {
    const std::size_t parts = (name.size() + 12) / 13;
    static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t p = 0; p < parts; ++p) {
      std::uint8_t* e = Dir(dir) + (shortIndex - 1 - p) * 32;
      std::memset(e, 0xFF, 32);
      e[0] = deleted ? 0xE5 : static_cast<std::uint8_t>((p + 1) | (p + 1 == parts ? 0x40 : 0));
      e[11] = 0x0F;
      e[12] = 0;
      e[13] = 0;
      PutLe16(e + 26, 0);
      for (std::size_t k = 0; k < 13; ++k) {
        const std::size_t i = p * 13 + k;
        const char16_t c = i < name.size() ? name[i] : (i == name.size() ? u'\0' : u'\xFFFF');
        PutLe16(e + kOffsets[k], static_cast<std::uint16_t>(c));
      }
    }
  }
  // "." and ".." at the start of a folder's first cluster.
  void DotEntries(std::uint32_t cluster, std::uint32_t parent) {
    Entry(cluster, 0, ".          ", 0x10, cluster, 0);
    Entry(cluster, 1, "..         ", 0x10, parent, 0);
  }

  // Mounts with the FAT loaded and returns the listing context.
  FatContext& Mount(bool damaged = false) {
    OpenedVolume opened;
    opened.raw.bootSector.assign(mem->at(0), mem->at(0) + 512);
    opened.type = QuickFsTest(opened.raw.bootSector);
    DriveSettings settings;
    settings.damaged = damaged;
    hooks = reader.Hooks(settings);
    MountRequest r;
    r.depth = 1;
    r.settings = settings;
    r.hooks = &hooks;
    mounted_ = MountVolume(mem->device, ui, r, opened, mountedVolume);
    ctx = std::make_unique<FatContext>(FatContext{mem->device, reader.volume, &lists, nullptr, true});
    return *ctx;
  }
  bool mounted() const { return mounted_; }

  static constexpr std::uint16_t kDate = (44 << 9) | (3 << 5) | 15;  // 2024-03-15

  std::unique_ptr<MemDevice> mem;
  RecordingUi ui;
  FatReader reader;
  MountHooks hooks;
  MountedVolume mountedVolume;
  ResultLists lists;
  std::unique_ptr<FatContext> ctx;

 private:
  FsType type_;
  std::uint32_t reserved_ = 0, spf_ = 0, spc_ = 1;
  std::uint64_t rootSector_ = 0, dataStart_ = 0;
  bool mounted_ = false;
};

}  // namespace kestrova::test
