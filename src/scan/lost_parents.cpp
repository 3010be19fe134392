#include "scan/lost_parents.h"

#include "common/activity.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace kestrova {

ScanEntry MakeRebuildFolder(std::uint32_t cluster) {
  ScanEntry e = MakeScanEntry();
  e.SetFirstCluster((cluster & 0xFFFFu) | ((((cluster >> 16) & 0xFFu) | 0x1100u) << 16));
  e.attributes = kAttrDirectory;
  e.parentLow = 0xFFFFFFFFu;
  e.clusterInUse = 0;
  e.SetDeletedMark(0);
  e.SetKind(EntryKind::Ordinary);
  e.rating = rating::kNavigation;
  // Told apart from each other (and from listed entries) by the cluster they stand for.
  e.SetFolderCluster(e.FirstCluster());
  e.SetDirEntryOffset(0xFFFFFFFFu);
  return e;
}

std::size_t RebuildLostParents(ResultLists& lists, std::uint32_t rootCluster) {
  ActivityMark activity(Fn::RebuildLostParents);
  std::vector<std::uint32_t> parents;
  {
    std::scoped_lock g(lists.lost.lock);
    std::unordered_set<std::uint32_t> firsts;
    const std::size_t n = lists.lost.size();
    for (std::size_t i = 0; i < n; ++i) firsts.insert(lists.lost.at(i).FirstCluster());
    std::unordered_set<std::uint32_t> made;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t p = lists.lost.at(i).parentLow;
      // The marker keeps 24 bits of the cluster: a higher one cannot be named.
      if (p == 0 || p == rootCluster || p >= (1u << 24) || firsts.count(p) || !made.insert(p).second) continue;
      parents.push_back(p);
    }
  }
  std::scoped_lock g(lists.rebuild.lock);
  lists.rebuild.records.Clear();
  lists.rebuild.names.Clear();
  for (std::uint32_t p : parents) {
    char text[16];
    std::snprintf(text, sizeof text, "#%.9u", p);
    const std::u16string name(text, text + std::strlen(text));
    lists.rebuild.Add(MakeRebuildFolder(p), &name);
  }
  return parents.size();
}

}  // namespace kestrova
