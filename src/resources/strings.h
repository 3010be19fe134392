// String slots: every user-visible text has a section, a key and an English
// default. Language files replace the defaults at start; code asks by id and
// never spells a message inline.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

enum class StringId : std::size_t {
#define KV_STRING(id, section, key, english) id,
#include "resources/string_table.inc"
#undef KV_STRING
  Count
};

// The program's title text.
inline constexpr std::u16string_view kTitleText = u"Kestrova 3.8.6.1";

struct StringSlot {
  std::string_view section;
  std::string_view key;
  std::u16string_view english;
};

// The built-in slot (section, key, English default) of an id.
const StringSlot& Slot(StringId id);

// One language's texts, slot by slot; built whole, then installed at once.
class TextTable {
 public:
  TextTable();  // the English defaults
  const std::u16string& operator[](StringId id) const { return texts_.at(static_cast<std::size_t>(id)); }
  void Set(StringId id, std::u16string text) { texts_.at(static_cast<std::size_t>(id)) = std::move(text); }

 private:
  std::vector<std::u16string> texts_;
};

// The texts in use. An installed table never changes: a language switch puts
// a new one in place, so a snapshot (and every copy taken from it) stays valid
// and consistent on any thread for as long as it is held.
std::shared_ptr<const TextTable> CurrentTexts();

// The current text of a slot (the language's, or the English default), as a
// copy: safe on worker threads while the language changes.
std::u16string Text(StringId id);

// Makes `table` the texts in use (language loading).
void InstallTexts(TextTable table);

// Replaces one slot's text (the rest of the table is kept).
void SetText(StringId id, std::u16string text);

// Restores every slot to its English default.
void ResetTexts();

// Every slot, in StringId order (language loading walks them).
inline constexpr std::size_t kStringCount = static_cast<std::size_t>(StringId::Count);

}  // namespace kestrova
