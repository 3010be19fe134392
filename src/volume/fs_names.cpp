#include "volume/fs_names.h"

namespace kestrova {

std::u16string_view FsTypeName(FsType type) {
  switch (type) {
    case FsType::Fat12: return u"FAT12";
    case FsType::Fat16: return u"FAT16";
    case FsType::Fat32: return u"FAT32";
    case FsType::Ntfs: return u"NTFS";
    case FsType::Exfat: return u"EXFAT";
    case FsType::RawOther: return u"RAW (OTHER)";
    default: return u"";
  }
}

}  // namespace kestrova
