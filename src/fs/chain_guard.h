// Loop guard for cluster-chain walks. Chains come from disk: a damaged table
// can point back into itself. The clusters seen are kept as runs, so a file of
// few fragments costs a few map entries, and the walk stops at the first
// cluster it has already been through.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>

namespace kestrova {

class ChainGuard {
 public:
  // False when `c` was visited before (the chain loops), or when the walk has
  // more fragments than any real file has (a hostile table).
  bool Visit(std::uint32_t c) {
    auto next = runs_.upper_bound(c);
    if (next != runs_.begin()) {
      const auto run = std::prev(next);
      if (c <= run->second) return false;
      if (run->second + 1 == c) {
        run->second = c;
        if (next != runs_.end() && next->first == c + 1) {
          run->second = next->second;
          runs_.erase(next);
        }
        return true;
      }
    }
    if (runs_.size() >= kMaxFragments) return false;
    if (next != runs_.end() && next->first == c + 1) {
      const std::uint32_t last = next->second;
      runs_.erase(next);
      runs_.emplace(c, last);
    } else {
      runs_.emplace(c, c);
    }
    return true;
  }

 private:
  static constexpr std::size_t kMaxFragments = 1 << 20;
  std::map<std::uint32_t, std::uint32_t> runs_;  // first cluster -> last cluster
};

}  // namespace kestrova
