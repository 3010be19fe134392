#include "resources/strings.h"

#include <array>
#include <mutex>

namespace kestrova {
namespace {

constexpr std::size_t kCount = static_cast<std::size_t>(StringId::Count);

constexpr std::array<StringSlot, kCount> kSlots{{
#define KV_STRING(id, section, key, english) {section, key, english},
#include "resources/string_table.inc"
#undef KV_STRING
}};

// The table in use, swapped whole under the lock; readers copy the pointer.
struct Current {
  std::mutex lock;
  std::shared_ptr<const TextTable> table = std::make_shared<const TextTable>();
};

Current& Texts() {
  static Current current;
  return current;
}

}  // namespace

TextTable::TextTable() {
  texts_.reserve(kCount);
  for (const StringSlot& slot : kSlots) texts_.emplace_back(slot.english);
}

const StringSlot& Slot(StringId id) { return kSlots.at(static_cast<std::size_t>(id)); }

std::shared_ptr<const TextTable> CurrentTexts() {
  Current& c = Texts();
  std::scoped_lock guard(c.lock);
  return c.table;
}

std::u16string Text(StringId id) { return (*CurrentTexts())[id]; }

void InstallTexts(TextTable table) {
  auto fresh = std::make_shared<const TextTable>(std::move(table));
  Current& c = Texts();
  std::scoped_lock guard(c.lock);
  c.table.swap(fresh);
  // The old table goes when its last snapshot does (here, or on a reader).
}

void SetText(StringId id, std::u16string text) {
  Current& c = Texts();
  std::scoped_lock guard(c.lock);
  auto copy = std::make_shared<TextTable>(*c.table);
  copy->Set(id, std::move(text));
  c.table = std::move(copy);
}

void ResetTexts() { InstallTexts(TextTable()); }

}  // namespace kestrova
