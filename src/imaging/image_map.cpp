#include "imaging/image_map.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

ImageMap::ImageMap(std::uint64_t sectors) : sectors_(sectors) {
  if (sectors > 0) runs_.emplace(0, Run{sectors, MapStatus::Untried});
}

void ImageMap::Split(std::uint64_t at) {
  if (at == 0 || at >= sectors_) return;
  auto it = runs_.upper_bound(at);
  --it;  // the run holding `at` (runs cover the map from 0)
  if (it->first == at) return;
  const std::uint64_t head = at - it->first;
  const Run tail{it->second.count - head, it->second.status};
  it->second.count = head;
  runs_.emplace(at, tail);
}

void ImageMap::JoinAround(std::uint64_t at) {
  auto it = runs_.find(at);
  if (it == runs_.end()) return;
  auto next = std::next(it);
  if (next != runs_.end() && next->second.status == it->second.status) {
    it->second.count += next->second.count;
    runs_.erase(next);
  }
  if (it != runs_.begin()) {
    auto prev = std::prev(it);
    if (prev->second.status == it->second.status) {
      prev->second.count += it->second.count;
      runs_.erase(it);
    }
  }
}

void ImageMap::Set(std::uint64_t start, std::uint64_t count, MapStatus status) {
  if (start >= sectors_ || count == 0) return;
  if (count > sectors_ - start) count = sectors_ - start;
  const std::uint64_t end = start + count;
  Split(start);
  Split(end);
  runs_.erase(runs_.find(start), end >= sectors_ ? runs_.end() : runs_.find(end));
  runs_.emplace(start, Run{count, status});
  if (end < sectors_) JoinAround(end);
  JoinAround(start);
}

MapStatus ImageMap::StatusOf(std::uint64_t sector) const {
  if (sector >= sectors_) return MapStatus::Untried;
  auto it = runs_.upper_bound(sector);
  --it;
  return it->second.status;
}

std::vector<MapRun> ImageMap::Runs() const {
  std::vector<MapRun> out;
  out.reserve(runs_.size());
  for (const auto& [start, run] : runs_) out.push_back({start, run.count, run.status});
  return out;
}

std::uint64_t ImageMap::Count(MapStatus status) const {
  std::uint64_t n = 0;
  for (const auto& [start, run] : runs_)
    if (run.status == status) n += run.count;
  return n;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next whitespace-separated field of a line; empty at its end.
std::string_view NextField(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && IsBlank(rest[i])) ++i;
  std::size_t j = i;
  while (j < rest.size() && !IsBlank(rest[j])) ++j;
  std::string_view field = rest.substr(i, j - i);
  rest.remove_prefix(j);
  return field;
}

// "0x1F" (hexadecimal) or "31" (decimal); false on anything else or on overflow.
bool ParseNumber(std::string_view s, std::uint64_t& value) {
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / base) return false;
    v = v * base + d;
  }
  value = v;
  return true;
}

bool BlockStatus(std::string_view s, MapStatus& status) {
  if (s.size() != 1) return false;
  switch (s[0]) {
    case '+': status = MapStatus::Good; return true;
    case '?': status = MapStatus::Untried; return true;
    // Not trimmed, not scraped, bad: all need reading again.
    case '*': case '/': case '-': status = MapStatus::Bad; return true;
    default: return false;
  }
}

}  // namespace

MapParse ParseImageMap(std::string_view text, std::uint32_t sectorSize, std::uint64_t sectors, ImageMap& map,
                       std::size_t& line) {
  line = 0;
  map = ImageMap(sectors);
  if (sectorSize == 0) return MapParse::Syntax;
  if (text.size() > kMaxMapFileBytes) return MapParse::TooLarge;
  const std::uint64_t totalBytes =
      sectors > std::numeric_limits<std::uint64_t>::max() / sectorSize ? std::numeric_limits<std::uint64_t>::max()
                                                                        : sectors * sectorSize;
  bool statusSeen = false;
  std::uint64_t expected = 0;  // byte position the next block must start at
  std::size_t blocks = 0;
  while (!text.empty()) {
    ++line;
    const std::size_t nl = text.find('\n');
    std::string_view rest = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    std::string_view first = NextField(rest);
    if (first.empty() || first[0] == '#') continue;
    std::string_view second = NextField(rest);
    std::string_view third = NextField(rest);
    if (!NextField(rest).empty()) return MapParse::Syntax;
    std::uint64_t pos = 0;
    if (!ParseNumber(first, pos) || second.empty()) return MapParse::Syntax;
    if (!statusSeen) {
      // "current_pos current_status [current_pass]": where the copy was; not needed to resume.
      statusSeen = true;
      std::uint64_t pass = 0;
      if (second.size() != 1 || (!third.empty() && !ParseNumber(third, pass))) return MapParse::Syntax;
      continue;
    }
    std::uint64_t size = 0;
    MapStatus status;
    if (!ParseNumber(second, size) || !BlockStatus(third, status)) return MapParse::Syntax;
    if (pos != expected || size == 0) return MapParse::NotInOrder;
    if (pos % sectorSize != 0 || size % sectorSize != 0) return MapParse::Unaligned;
    if (size > totalBytes - pos) return MapParse::TooLarge;
    if (++blocks > kMaxMapRuns) return MapParse::TooLarge;
    expected = pos + size;
    if (status != MapStatus::Untried) map.Set(pos / sectorSize, size / sectorSize, status);
  }
  if (!statusSeen) {
    line = 0;
    return MapParse::Syntax;
  }
  line = 0;
  return MapParse::Ok;
}

std::string FormatImageMap(const ImageMap& map, std::uint32_t sectorSize, std::uint64_t currentSector,
                           bool finished) {
  std::string out;
  const std::vector<MapRun> runs = map.Runs();
  out.reserve(160 + runs.size() * 40);
  char line[96];
  out += "# Mapfile. Created by Kestrova\n";
  out += "# current_pos  current_status  current_pass\n";
  std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               1\n", currentSector * sectorSize,
                finished ? '+' : '?');
  out += line;
  out += "#      pos        size  status\n";
  for (const MapRun& r : runs) {
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", r.start * sectorSize,
                  r.count * sectorSize, static_cast<char>(r.status));
    out += line;
  }
  return out;
}

int ReplaceFileAtomically(const std::string& path, std::string_view text) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return errno;
  std::size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    const ssize_t r = ::write(fd, text.data() + done, text.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      error = r < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(r);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temp.c_str());
  return error;
}

int ReadMapFile(const std::string& path, std::string& text) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return error;
  }
  char buffer[65536];
  int error = 0;
  for (;;) {
    const ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      error = errno;
      break;
    }
    if (r == 0) break;
    if (text.size() + static_cast<std::size_t>(r) > kMaxMapFileBytes) {
      error = EFBIG;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(r));
  }
  ::close(fd);
  return error;
}

}  // namespace kestrova
