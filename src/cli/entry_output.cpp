#include "cli/entry_output.h"

#include "common/text.h"

#include <cstdio>

namespace kestrova::cli {

std::string SerialText(std::uint32_t serial) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X-%04X", serial >> 16, serial & 0xFFFF);
  return buf;
}

void WriteEntryJson(JsonWriter& json, const DriveEntry& e) {
  json.Key("fs").String(ToUtf8(EntryFsName(e)));
  json.Key("start").Number(e.start);
  json.Key("sectors").Number(e.sectors);
  json.Key("sectorSize").Number(e.sectorSize);
  json.Key("label").String(ToUtf8(EntryLabel(e)));
  json.Key("label2").String(ToUtf8(EntryLabel2(e)));
  json.Key("serial").Number(e.serial);
  json.Key("bootDamaged").Bool(e.bootDamaged != 0);
  json.Key("kind").Number(e.fsKind);
  json.Key("drive").Signed(e.drive);
  json.Key("partitionType").Number(e.partitionType);
  json.Key("letter").String(std::string(1, static_cast<char>(e.letter ? e.letter : '$')));
  json.Key("freeBytes").Double(e.freeBytes);
  json.Key("wholeDrive").Bool(e.wholeDrive != 0);
  json.Key("detectedFs").Signed(e.detectedFs);
}

std::string EntryText(const DriveEntry& e) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "fs:          %s\nstart:       %llu\nsectors:     %llu\nsector size: %u\nlabel:       %s\n"
                "serial:      %s\nboot damaged: %s\nkind:        0x%02X\n",
                ToUtf8(EntryFsName(e)).c_str(), static_cast<unsigned long long>(e.start),
                static_cast<unsigned long long>(e.sectors), e.sectorSize, ToUtf8(EntryLabel(e)).c_str(),
                SerialText(e.serial).c_str(), e.bootDamaged ? "yes" : "no", e.fsKind);
  return buf;
}

}  // namespace kestrova::cli
