#include "support/crafted.h"

#include <cstring>

namespace kestrova::test {

MemDevice::MemDevice(Image data, std::uint32_t sectorSize) {
  shared->data = std::move(data);
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().sectorSize = sectorSize;
  device.GeometryForMount().deviceSectors = shared->data.size() / sectorSize;
}

void PutText(std::uint8_t* p, const std::string& s) { std::memcpy(p, s.data(), s.size()); }
void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

namespace {
void PaddedLabel(std::uint8_t* p, const std::string& label) {
  std::memset(p, ' ', 11);
  std::memcpy(p, label.data(), std::min<std::size_t>(label.size(), 11));
}
}  // namespace

void WriteFat32Boot(std::uint8_t* s, std::uint32_t total, std::uint32_t serial, const std::string& label,
                    std::uint8_t spc, std::uint32_t spf) {
  std::memset(s, 0, 512);
  s[0] = 0xEB, s[1] = 0x58, s[2] = 0x90;
  PutText(s + 3, "mkfs.fat");
  PutLe16(s + 11, 512);
  s[13] = spc;
  PutLe16(s + 14, 32);
  s[16] = 2;
  s[21] = 0xF8;
  PutLe32(s + 32, total);
  PutLe32(s + 36, spf);
  PutLe32(s + 44, 2);
  PutLe16(s + 48, 1);
  PutLe16(s + 50, 6);
  s[66] = 0x29;
  PutLe32(s + 67, serial);
  PaddedLabel(s + 71, label);
  PutText(s + 82, "FAT32   ");
  PutLe16(s + 510, 0xAA55);
}

void WriteFat16Boot(std::uint8_t* s, std::uint32_t total, std::uint32_t serial, const std::string& label) {
  std::memset(s, 0, 512);
  s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
  PutText(s + 3, "mkfs.fat");
  PutLe16(s + 11, 512);
  s[13] = 4;
  PutLe16(s + 14, 4);
  s[16] = 2;
  PutLe16(s + 17, 512);
  if (total < 65536) PutLe16(s + 19, static_cast<std::uint16_t>(total));
  else PutLe32(s + 32, total);
  s[21] = 0xF8;
  PutLe16(s + 22, 32);
  s[38] = 0x29;
  PutLe32(s + 39, serial);
  PaddedLabel(s + 43, label);
  PutText(s + 54, "FAT16   ");
  PutLe16(s + 510, 0xAA55);
}

void WriteNtfsBoot(std::uint8_t* s, std::uint64_t total, std::uint64_t serial, std::uint64_t mftCluster) {
  std::memset(s, 0, 512);
  s[0] = 0xEB, s[1] = 0x52, s[2] = 0x90;
  PutText(s + 3, "NTFS    ");
  PutLe16(s + 11, 512);
  s[13] = 8;
  s[21] = 0xF8;
  PutLe32(s + 36, 0x00800080);
  PutLe64(s + 40, total);
  PutLe64(s + 48, mftCluster);
  PutLe64(s + 56, 2);
  s[64] = 0xF6;
  s[68] = 1;
  PutLe64(s + 72, serial);
  PutLe16(s + 510, 0xAA55);
}

void WriteExfatBoot(std::uint8_t* s, std::uint64_t length, std::uint32_t serial) {
  std::memset(s, 0, 512);
  s[0] = 0xEB, s[1] = 0x76, s[2] = 0x90;
  PutText(s + 3, "EXFAT   ");
  PutLe64(s + 72, length);
  PutLe32(s + 80, 24);
  PutLe32(s + 84, 8);
  PutLe32(s + 88, 64);
  PutLe32(s + 92, static_cast<std::uint32_t>((length - 64) / 8));
  PutLe32(s + 96, 4);
  PutLe32(s + 100, serial);
  PutLe16(s + 104, 0x100);
  s[108] = 9;
  s[109] = 3;
  s[110] = 1;
  PutLe16(s + 510, 0xAA55);
}

void WriteExtSuperblock(std::uint8_t* volume, std::uint32_t blocks, std::uint32_t compat, const std::string& label) {
  std::uint8_t* sb = volume + 1024;
  std::memset(sb, 0, 1024);
  PutLe32(sb + 4, blocks);
  PutLe32(sb + 24, 0);  // 1 KiB blocks
  PutLe16(sb + 56, 0xEF53);
  PutLe16(sb + 58, 1);
  PutLe16(sb + 60, 1);
  PutLe32(sb + 92, compat);
  std::memcpy(sb + 120, label.data(), std::min<std::size_t>(label.size(), 16));
}

}  // namespace kestrova::test
