// The map of an imaging run: which sectors of the source were copied, which
// could not be read and which were not tried yet. It is stored in the text
// format of GNU ddrescue's mapfile (byte positions, "+" good, "-" bad, "?"
// untried), so an interrupted image can be continued here and the map handed
// to the tools people know. A map read from a file is untrusted input.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

enum class MapStatus : char { Untried = '?', Good = '+', Bad = '-' };

struct MapRun {
  std::uint64_t start = 0;  // sector
  std::uint64_t count = 0;  // sectors
  MapStatus status = MapStatus::Untried;
  bool operator==(const MapRun&) const = default;
};

class ImageMap {
 public:
  ImageMap() = default;
  // Every sector of 0..sectors-1 untried.
  explicit ImageMap(std::uint64_t sectors);

  std::uint64_t sectors() const { return sectors_; }
  // Sets sectors start..start+count-1 (clipped to the map) to status; neighbours
  // of the same status join.
  void Set(std::uint64_t start, std::uint64_t count, MapStatus status);
  MapStatus StatusOf(std::uint64_t sector) const;
  // The runs in order; they cover the map with no gap.
  std::vector<MapRun> Runs() const;
  std::uint64_t Count(MapStatus status) const;

 private:
  struct Run {
    std::uint64_t count;
    MapStatus status;
  };
  void Split(std::uint64_t at);
  void JoinAround(std::uint64_t at);
  std::uint64_t sectors_ = 0;
  std::map<std::uint64_t, Run> runs_;  // by first sector
};

// Caps for a map read from a file: a real map of a dying disk stays far below them.
inline constexpr std::size_t kMaxMapFileBytes = 64u << 20;
inline constexpr std::size_t kMaxMapRuns = 4'000'000;

enum class MapParse {
  Ok,
  Syntax,      // not a map: a line that is neither a comment, the status line nor a block line
  Unaligned,   // a position or size that is not a whole number of sectors
  NotInOrder,  // blocks that leave gaps, overlap, or do not begin at 0
  TooLarge,    // blocks past the end of the source (a map of another device), or beyond the caps
};

// Reads a map of a source of `sectors` sectors of `sectorSize` bytes. Areas the
// map does not reach are untried. "*" and "/" (areas another tool did not finish)
// count as bad, so a retry reads them again. `line` gets the 1-based line of a fault.
MapParse ParseImageMap(std::string_view text, std::uint32_t sectorSize, std::uint64_t sectors, ImageMap& map,
                       std::size_t& line);

// The map as text: the status line with the position the copy reached, then one
// line per run ("0x... 0x... +").
std::string FormatImageMap(const ImageMap& map, std::uint32_t sectorSize, std::uint64_t currentSector,
                           bool finished);

// Writes text to path through a temporary file in the same folder, flushed and
// renamed over the old map, so a crash leaves the old map or the new one, never a
// mix. Returns 0 or an errno value.
int ReplaceFileAtomically(const std::string& path, std::string_view text);

// Reads a whole map file (at most kMaxMapFileBytes). Returns 0, ENOENT when there
// is none, EFBIG when it is larger than the cap, or another errno value.
int ReadMapFile(const std::string& path, std::string& text);

}  // namespace kestrova
