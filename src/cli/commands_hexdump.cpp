// "hexdump SOURCE PATH [--offset N] [--length N]": an entry's data as the hex
// view shows it, read through the volume's range reads (nothing recovered).
#include "cli/browse.h"
#include "cli/commands.h"
#include "common/text.h"
#include "tools/hex_view.h"

#include <cstdio>

namespace kestrova::cli {

int RunHexdump(const HexdumpOptions& o) {
  BrowseSession session;
  session.collectMft = !o.noMft;
  if (int code = session.Open(o.source, o.partition, "hexdump"); code != kExitOk) return code;
  FsReader& volume = *session.volume;
  const std::optional<VolumePath> resolved = session.session.Resolve(o.path);
  if (!resolved || resolved->IsFolder()) {
    std::fprintf(stderr, "kestrova-cli: %s: no such file on this volume\n", EscapeControls(o.path).c_str());
    return kExitNotFound;
  }
  const ScanEntry entry = resolved->entry->entry;
  const std::uint64_t size = HexEntrySize(entry, volume.Type());
  // A RAW find is read in four-sector blocks, anything else a cluster at a time.
  const std::uint64_t block = entry.Kind() == EntryKind::Raw ? 4ull * session.session.device().sectorSize
                                                             : session.session.device().bytesPerCluster;
  HexBlockCache cache([&](std::uint64_t offset, std::uint64_t length) { return volume.ReadRange(entry, offset, length); },
                      block);
  cache.Reset(size);
  const std::uint64_t first = o.offset / kHexRowBytes;
  std::uint64_t end = o.length ? o.offset + o.length : size;
  if (end > size || end < o.offset) end = size;
  std::printf("%s\n", ToUtf8(HexHeaderLine()).c_str());
  bool unreadable = false;
  for (std::uint64_t row = first; row * kHexRowBytes < end; ++row) {
    const HexRow data = cache.FetchRow(row);
    unreadable = unreadable || data.unreadable != 0;
    std::printf("%s\n", ToUtf8(HexLine(row, data)).c_str());
  }
  if (unreadable) {
    std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(Text(StringId::HexUnreadable)).c_str());
    return kExitIncomplete;
  }
  return kExitOk;
}

}  // namespace kestrova::cli
