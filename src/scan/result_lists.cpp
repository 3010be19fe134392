#include "scan/result_lists.h"
#include "common/activity.h"

namespace kestrova {

std::uint32_t NameStore::Add(std::u16string name) {
  if (names_.size() >= 0xFFFFFFFDu) return kNoName;
  names_.push_back(std::move(name));
  return static_cast<std::uint32_t>(names_.size() + 1);
}

const std::u16string* NameStore::Find(std::uint32_t handle) const {
  if (handle < 2 || handle - 2 >= names_.size()) return nullptr;
  return &names_[handle - 2];
}

std::optional<std::size_t> EntryList::Add(ScanEntry entry, const std::u16string* name) {
  if (name) entry.name = names.Add(*name);
  const std::size_t index = size();
  if (!records.AddBin(&entry, sizeof entry)) return std::nullopt;
  return index;
}

ResultLists::ResultLists(Ui* ui, std::size_t limit)
    : deleted(static_cast<std::uint8_t>(ListId::Deleted), kDeletedListStep, ui, limit) {
  lost.records = DynList(static_cast<std::uint8_t>(ListId::Lost), kLostListStep, ui, limit);
  rebuild.records = DynList(static_cast<std::uint8_t>(ListId::Rebuild), kRebuildListStep, ui, limit);
  raw.records = DynList(static_cast<std::uint8_t>(ListId::Raw), kRawListStep, ui, limit);
}

EntryList& ResultLists::List(ListId id) {
  ActivityMark activity(Fn::ResultListsList);
  switch (id) {
    case ListId::Lost: return lost;
    case ListId::Rebuild: return rebuild;
    default: return raw;
  }
}

bool ResultLists::Reset() {
  ActivityMark activity(Fn::ResultListsReset);
  bool ok;
  {
    std::scoped_lock g(deletedLock);
    ok = deleted.Recreate();
  }
  for (EntryList* l : {&lost, &rebuild, &raw}) {
    std::scoped_lock g(l->lock);
    l->names.Clear();
    ok = l->records.Recreate() && ok;
  }
  return ok;
}

void ResultLists::Release() {
  ActivityMark activity(Fn::ResultListsRelease);
  {
    std::scoped_lock g(deletedLock);
    deleted.Free();
  }
  for (EntryList* l : {&lost, &rebuild, &raw}) {
    std::scoped_lock g(l->lock);
    l->names.Clear();
    l->records.Free();
  }
}

void ResultLists::SwapContents(ResultLists& other) {
  {
    std::scoped_lock g(deletedLock, other.deletedLock);
    std::swap(deleted, other.deleted);
  }
  EntryList* mine[] = {&lost, &rebuild, &raw};
  EntryList* theirs[] = {&other.lost, &other.rebuild, &other.raw};
  for (int i = 0; i < 3; ++i) {
    std::scoped_lock g(mine[i]->lock, theirs[i]->lock);
    std::swap(mine[i]->records, theirs[i]->records);
    std::swap(mine[i]->names, theirs[i]->names);
  }
}

std::optional<DeletedEntryNote> ResultLists::FindNote(std::uint32_t dirKey, std::uint32_t offset) const {
  const std::size_t n = deleted.count<DeletedEntryNote>();
  for (std::size_t i = 0; i < n; ++i) {
    const auto note = deleted.at<DeletedEntryNote>(i);
    if (note.dirKey == dirKey && note.offset == offset) return note;
  }
  return std::nullopt;
}

bool ResultLists::AddNote(const DeletedEntryNote& note) { return deleted.AddBin(&note, sizeof note) != nullptr; }

}  // namespace kestrova
