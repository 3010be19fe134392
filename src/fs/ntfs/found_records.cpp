#include "fs/ntfs/found_records.h"

#include "common/activity.h"

#include "common/text.h"
#include "scan/entry_ops.h"

#include <algorithm>
#include <utility>

namespace kestrova {
namespace {

bool SameFile(const ScanEntry& a, const std::u16string& aName, const ScanEntry& b, const std::u16string& bName) {
  if (a.NtfsFlags() != b.NtfsFlags() || CompareNoCase(aName, bName) != 0) return false;
  return IsFolder(a, FsType::Ntfs) || a.size == b.size;
}

}  // namespace

std::size_t FlushFoundRecords(EntryList& lost, std::vector<ParsedRecord>& batch) {
  ActivityMark activity(Fn::FlushFoundRecords);
  std::stable_sort(batch.begin(), batch.end(), [](const ParsedRecord& a, const ParsedRecord& b) {
    return a.entry.ParentRecord() < b.entry.ParentRecord();
  });
  for (std::size_t group = 0; group < batch.size();) {
    const std::uint64_t parent = batch[group].entry.ParentRecord();
    std::size_t end = group;
    while (end < batch.size() && batch[end].entry.ParentRecord() == parent) ++end;
    for (std::size_t i = group + 1; i < end; ++i)
      for (std::size_t j = group; j < i; ++j)
        if (batch[j].entry.rating != rating::kDuplicate &&
            SameFile(batch[i].entry, batch[i].name, batch[j].entry, batch[j].name)) {
          batch[i].entry.rating = rating::kDuplicate;
          break;
        }
    group = end;
  }

  std::scoped_lock g(lost.lock);
  // A sorted index of the listed parents for the lookups.
  std::vector<std::pair<std::uint64_t, std::size_t>> index;
  index.reserve(lost.size());
  for (std::size_t i = 0; i < lost.size(); ++i) index.emplace_back(lost.at(i).ParentRecord(), i);
  std::sort(index.begin(), index.end());
  std::size_t added = 0;
  for (ParsedRecord& r : batch) {
    if (r.entry.rating == rating::kDuplicate) continue;
    const std::uint64_t parent = r.entry.ParentRecord();
    auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(parent, std::size_t{0}));
    bool duplicate = false;
    for (; it != index.end() && it->first == parent && !duplicate; ++it) {
      const ScanEntry listed = lost.at(it->second);
      const std::u16string* name = lost.NameOf(listed);
      duplicate = SameFile(r.entry, r.name, listed, name ? *name : std::u16string());
    }
    if (duplicate) {
      r.entry.rating = rating::kDuplicate;
      continue;
    }
    if (lost.Add(r.entry, &r.name)) ++added;
  }
  return added;
}

}  // namespace kestrova
