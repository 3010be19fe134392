#include "common/activity.h"

namespace kestrova {

namespace activity_detail {
thread_local ActivityTable* tOwn = nullptr;
}  // namespace activity_detail

ActivityTables& Activity() {
  static ActivityTables tables{};
  return tables;
}

bool IsActive(std::size_t slot) {
  ActivityTables& t = Activity();
  if (t.shared.depth[slot].load(std::memory_order_relaxed)) return true;
  for (std::size_t i = 0; i < kActivityThreadTables; ++i)
    if (t.inUse[i].load(std::memory_order_acquire) && t.perThread[i].depth[slot].load(std::memory_order_relaxed))
      return true;
  return false;
}

bool IsActiveHere(std::size_t slot) {
  const ActivityTable& table = activity_detail::tOwn ? *activity_detail::tOwn : Activity().shared;
  return table.depth[slot].load(std::memory_order_relaxed) != 0;
}

ActivityThreadScope::ActivityThreadScope() {
  if (activity_detail::tOwn) return;  // already registered (nested scope)
  ActivityTables& t = Activity();
  for (std::size_t i = 0; i < kActivityThreadTables; ++i) {
    bool expected = false;
    if (!t.inUse[i].compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
    for (auto& d : t.perThread[i].depth) d.store(0, std::memory_order_relaxed);
    activity_detail::tOwn = &t.perThread[i];
    index_ = static_cast<int>(i);
    return;
  }
}

ActivityThreadScope::~ActivityThreadScope() {
  if (index_ < 0) return;
  ActivityTables& t = Activity();
  activity_detail::tOwn = nullptr;
  for (auto& d : t.perThread[index_].depth) d.store(0, std::memory_order_relaxed);
  t.inUse[index_].store(false, std::memory_order_release);
}

}  // namespace kestrova
