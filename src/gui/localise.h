// The window-localisation routine applied to Qt windows: a window registers
// its controls by identifier (and its menu bar), and the language file's
// section for the window sets caption, texts, tooltips, column titles and
// menu items by the usual key scheme.
#pragma once

#include "shell/localisation.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <map>

#include <QMenuBar>

namespace kestrova::gui {

// The language in use (its file is kept for window sections); may be null.
void SetCurrentLanguage(const IniFile* language);
const IniFile* CurrentLanguage();

class QtLocalisable : public LocalisableWindow {
 public:
  explicit QtLocalisable(QWidget* window) : window_(window) {}

  void AddControl(int id, QWidget* control) { controls_[id] = control; }
  // A list view: the titles reach the view through this setter.
  void AddColumns(int id, std::function<void(const QStringList&)> setter) { columns_[id] = std::move(setter); }
  void SetMenuBar(QMenuBar* bar) { menuBar_ = bar; }
  // Applies the current language's section (no effect without a language file).
  void Apply(std::u16string_view section);

  std::vector<LocalisableControl> Controls() const override;
  std::vector<MenuItemDesc> Menu() const override;
  void SetCaption(std::u16string_view text) override;
  void SetControlText(int id, std::u16string_view text) override;
  void SetTooltip(int id, std::u16string_view text) override;
  void SetColumnTitles(int id, const std::vector<std::u16string>& titles) override;
  void SetMenuText(const std::vector<int>& path, std::u16string_view text) override;

 private:
  QPointer<QWidget> window_;
  std::map<int, QPointer<QWidget>> controls_;
  std::map<int, std::function<void(const QStringList&)>> columns_;
  QPointer<QMenuBar> menuBar_;
};

// "a;b;c" -> {"a","b","c"}.
QStringList SplitTitles(const QString& text);

}  // namespace kestrova::gui
