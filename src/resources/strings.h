// String slots: every user-visible text has a section, a key and an English
// default. Language files replace the defaults at start; code asks by id and
// never spells a message inline.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The current text of a slot (the language's, or the English default).
const std::u16string& Text(StringId id);

// Replaces the current text of a slot (language loading).
void SetText(StringId id, std::u16string text);

// Restores every slot to its English default.
void ResetTexts();

// Every slot, in StringId order (language loading walks them).
inline constexpr std::size_t kStringCount = static_cast<std::size_t>(StringId::Count);

}  // namespace kestrova
