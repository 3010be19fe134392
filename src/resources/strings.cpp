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

struct Table {
  std::mutex lock;
  std::array<std::u16string, kCount> texts;
  Table() { Reset(); }
  void Reset() {
    for (std::size_t i = 0; i < kCount; ++i) texts[i] = std::u16string(kSlots[i].english);
  }
};

Table& Current() {
  static Table table;
  return table;
}

}  // namespace

const StringSlot& Slot(StringId id) { return kSlots.at(static_cast<std::size_t>(id)); }

const std::u16string& Text(StringId id) { return Current().texts.at(static_cast<std::size_t>(id)); }

void SetText(StringId id, std::u16string text) {
  Table& t = Current();
  std::scoped_lock guard(t.lock);
  t.texts.at(static_cast<std::size_t>(id)) = std::move(text);
}

void ResetTexts() {
  Table& t = Current();
  std::scoped_lock guard(t.lock);
  t.Reset();
}

}  // namespace kestrova
