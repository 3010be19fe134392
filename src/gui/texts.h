// String slots as Qt strings.
#pragma once

#include "resources/strings.h"

#include <QString>

namespace kestrova::gui {

inline QString Tr(StringId id) { return QString::fromStdU16String(Text(id)); }
inline QString Q(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
// Menu texts carry their key after a tab ("&Recover\tAlt+R"); buttons show the part before it.
inline QString BeforeTab(const QString& text) { return text.section(QLatin1Char('\t'), 0, 0); }

}  // namespace kestrova::gui
