// "search SOURCE|--session FILE [--scan] [--name TEXT] [criteria...]": entries
// found anywhere on the volume (the RAW and lost-files folders, the root and
// its folders on FAT and exFAT), printed as "ls" prints them so they can be
// fed to "recover". --scan fills the virtual folders first; a session brings
// the ones a scan saved.
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/listing_output.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "tools/search.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace kestrova::cli {
namespace {

// ">=1MB", "<500kB", "=2.5GB", "1024" (bytes, "=").
bool ParseSize(const std::string& text, SearchCriteria& c) {
  std::size_t at = 0;
  static constexpr std::pair<const char*, SizeRelation> kRelations[] = {
      {">=", SizeRelation::GreaterOrEqual}, {"<=", SizeRelation::LessOrEqual}, {">", SizeRelation::Greater},
      {"<", SizeRelation::Less},            {"=", SizeRelation::Equal}};
  c.relation = SizeRelation::Equal;
  for (const auto& [sign, relation] : kRelations) {
    if (text.compare(0, std::strlen(sign), sign) == 0) {
      c.relation = relation;
      at = std::strlen(sign);
      break;
    }
  }
  std::size_t used = 0;
  try {
    c.sizeValue = std::stod(text.substr(at), &used);
  } catch (...) {
    return false;
  }
  if (c.sizeValue < 0 || c.sizeValue > 10000) return false;
  std::string unit = text.substr(at + used);
  for (char& ch : unit) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (unit.empty() || unit == "b") c.unit = SizeUnit::B;
  else if (unit == "kb" || unit == "k") c.unit = SizeUnit::KB;
  else if (unit == "mb" || unit == "m") c.unit = SizeUnit::MB;
  else if (unit == "gb" || unit == "g") c.unit = SizeUnit::GB;
  else return false;
  c.useSize = true;
  return true;
}

bool ParseAttributes(const std::string& list, SearchCriteria& c, std::string& bad) {
  std::size_t at = 0;
  while (at <= list.size()) {
    std::size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    const std::string word = list.substr(at, end - at);
    if (word == "archive") c.archive = true;
    else if (word == "hidden") c.hidden = true;
    else if (word == "compressed") c.compressed = true;
    else if (word == "readonly") c.readOnly = true;
    else if (word == "system") c.system = true;
    else if (word == "encrypted") c.encrypted = true;
    else if (word == "directory") c.directory = true;
    else if (!word.empty()) {
      bad = word;
      return false;
    }
    at = end + 1;
  }
  c.useAttributes = true;
  return true;
}

bool ParseDate(const std::string& text, SearchCriteria& c) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d%c", &y, &m, &d, &tail) != 3) return false;
  if (y < 1900 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  c.year = y, c.month = m, c.day = d;
  c.useDate = true;
  return true;
}

}  // namespace

int RunSearch(const SearchOptions& o) {
  SearchRequest request;
  request.text = ToUtf16(o.name.empty() ? "*" : o.name);
  SearchCriteria& c = request.criteria;
  if (!o.mask.empty()) {
    c.useMasks = true;
    c.maskText = ToUtf16(o.mask);
  }
  if (!o.size.empty() && !ParseSize(o.size, c)) {
    std::fprintf(stderr, "kestrova-cli: --size takes a relation, a number up to 10000 and B, kB, MB or GB (\">=1MB\")\n");
    return kExitUsage;
  }
  c.tolerance = o.tolerance;
  std::string bad;
  if (!o.attributes.empty() && !ParseAttributes(o.attributes, c, bad)) {
    std::fprintf(stderr, "kestrova-cli: --attr: unknown attribute \"%s\" (archive, hidden, compressed, readonly, "
                         "system, encrypted, directory)\n", EscapeControls(bad).c_str());
    return kExitUsage;
  }
  if (!o.date.empty() && !ParseDate(o.date, c)) {
    std::fprintf(stderr, "kestrova-cli: --date takes YYYY-MM-DD\n");
    return kExitUsage;
  }
  c.dateMode = o.before ? DateMode::Before : o.after ? DateMode::After : DateMode::PlusMinusDays;
  c.days = o.days;
  const int contents = !o.contains.empty() + !o.containsUnicode.empty() + !o.containsHex.empty();
  if (contents > 1) {
    std::fprintf(stderr, "kestrova-cli: give one of --contains, --contains-unicode, --contains-hex\n");
    return kExitUsage;
  }
  if (contents == 1) {
    c.useData = true;
    c.dataKind = !o.contains.empty() ? DataKind::Ascii : !o.containsUnicode.empty() ? DataKind::Unicode : DataKind::Hex;
    c.dataText = ToUtf16(!o.contains.empty() ? o.contains : !o.containsUnicode.empty() ? o.containsUnicode : o.containsHex);
    c.caseSensitive = o.caseSensitive;
    c.wholeWords = o.wholeWord;
  }
  request.advanced = c.useMasks || c.useSize || c.useAttributes || c.useDate || c.useData;

  DisplayFilter filter;
  if (!o.status.empty() && !ParseStatusList(o.status, filter.flags, bad)) {
    std::fprintf(stderr, "kestrova-cli: --status: unknown status \"%s\"\n", EscapeControls(bad).c_str());
    return kExitUsage;
  }

  if (o.session.empty() == o.source.empty()) {
    std::fprintf(stderr, "kestrova-cli: search needs SOURCE or --session FILE (not both)\n");
    return kExitUsage;
  }
  BrowseSession session;
  session.collectMft = !o.noMft;
  session.scanFirst = o.scan;
  const int opened =
      o.session.empty() ? session.Open(o.source, o.partition, "search") : session.OpenSession(o.session, o.device);
  if (opened != kExitOk) return opened;
  FsReader& volume = *session.volume;
  {
    CompiledCriteria check;
    const CriteriaError error = CompileCriteria(c, volume.Type(), check);
    if (error != CriteriaError::None) {
      std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(CriteriaMessage(error)).c_str());
      return kExitUsage;
    }
  }

  // The search runs on its worker; the folder being walked shows on stderr.
  WorkerToken token;
  SearchResults results;
  std::atomic<bool> done{false};
  SearchEnd end = SearchEnd::Done;
  WorkerThread thread(token, [&](WorkerToken& t) {
    SearchProgress progress;
    progress.folder = [&](const std::u16string& folder) { session.ui.Status(folder); };
    end = Search(volume, filter, request, t, results, progress, o.limit ? o.limit : kSearchResultCap);
    done = true;
  });
  thread.Join();
  session.ui.Status(u"");

  JsonWriter json;
  if (o.json) json.BeginArray();
  {
    std::scoped_lock g(results.lock);
    for (const SearchResult& r : results.items)
      PrintListedEntry(o.json ? &json : nullptr, volume.Type(), ToUtf8(r.folder), r.found);
  }
  if (o.json) {
    json.EndArray();
    std::printf("%s\n", json.str().c_str());
  }
  if (end == SearchEnd::Truncated) std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(Text(StringId::SearchTruncated)).c_str());
  if (end == SearchEnd::MemoryLow) std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(Text(StringId::SearchMemoryLow)).c_str());
  if (results.size() == 0) {
    std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(Text(StringId::NothingFound)).c_str());
    return kExitNotFound;
  }
  return kExitOk;
}

}  // namespace kestrova::cli
