// Crafted boot sectors and in-memory devices for unit tests.
#pragma once

#include "device/memory_block_source.h"
#include "device/sector_device.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrova::test {

using Image = std::vector<std::uint8_t>;

// A device over an in-memory image (512-byte sectors, all addressable).
struct MemDevice {
  ScanFlags scan;
  std::shared_ptr<MemoryBlockSource::Shared> shared = std::make_shared<MemoryBlockSource::Shared>();
  SectorDevice device{scan};

  explicit MemDevice(Image data, std::uint32_t sectorSize = 512);
  std::uint8_t* at(std::uint64_t sector) { return shared->data.data() + sector * 512; }
};

void PutText(std::uint8_t* p, const std::string& s);
void PutLe16(std::uint8_t* p, std::uint16_t v);
void PutLe32(std::uint8_t* p, std::uint32_t v);
void PutLe64(std::uint8_t* p, std::uint64_t v);

// FAT32 boot sector: 512-byte sectors, given total, reserved 32, two FATs.
void WriteFat32Boot(std::uint8_t* s, std::uint32_t total, std::uint32_t serial, const std::string& label,
                    std::uint8_t spc = 1, std::uint32_t spf = 64);
// FAT16 boot sector with a fixed root of 512 entries.
void WriteFat16Boot(std::uint8_t* s, std::uint32_t total, std::uint32_t serial, const std::string& label);
// NTFS boot sector: 512-byte sectors, 8 sectors per cluster, 1 KiB records.
void WriteNtfsBoot(std::uint8_t* s, std::uint64_t total, std::uint64_t serial, std::uint64_t mftCluster = 4);
// exFAT boot sector: FAT at 24, heap at 64, 8 sectors per cluster, root cluster 4.
void WriteExfatBoot(std::uint8_t* s, std::uint64_t length, std::uint32_t serial);
// Ext superblock at byte 1024 of the volume.
void WriteExtSuperblock(std::uint8_t* volume, std::uint32_t blocks, std::uint32_t compat, const std::string& label);

}  // namespace kestrova::test
