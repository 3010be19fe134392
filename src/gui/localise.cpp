#include "gui/localise.h"

#include "gui/texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>

namespace kestrova::gui {

namespace {
const IniFile* gLanguage = nullptr;

// The actions of a menu that count for positions: separators do not.
QList<QAction*> Items(const QList<QAction*>& actions) {
  QList<QAction*> out;
  for (QAction* a : actions)
    if (!a->isSeparator()) out.push_back(a);
  return out;
}

MenuItemDesc Describe(QAction* action) {
  MenuItemDesc d;
  if (QMenu* sub = action->menu())
    for (QAction* a : Items(sub->actions())) d.children.push_back(Describe(a));
  return d;
}
}  // namespace

void SetCurrentLanguage(const IniFile* language) { gLanguage = language; }
const IniFile* CurrentLanguage() { return gLanguage; }

QStringList SplitTitles(const QString& text) { return text.split(QLatin1Char(';')); }

void QtLocalisable::Apply(std::u16string_view section) {
  if (gLanguage) LocaliseWindow(*this, *gLanguage, section);
}

std::vector<LocalisableControl> QtLocalisable::Controls() const {
  std::vector<LocalisableControl> out;
  for (const auto& [id, w] : controls_) out.push_back({id, false});
  for (const auto& [id, f] : columns_) out.push_back({id, true});
  return out;
}

std::vector<MenuItemDesc> QtLocalisable::Menu() const {
  std::vector<MenuItemDesc> out;
  if (menuBar_)
    for (QAction* a : Items(menuBar_->actions())) out.push_back(Describe(a));
  return out;
}

void QtLocalisable::SetCaption(std::u16string_view text) {
  if (window_) window_->setWindowTitle(Q(text));
}

void QtLocalisable::SetControlText(int id, std::u16string_view text) {
  const auto it = controls_.find(id);
  if (it == controls_.end() || !it->second) return;
  QWidget* w = it->second;
  const QString t = Q(text);
  if (auto* b = qobject_cast<QAbstractButton*>(w))
    b->setText(BeforeTab(t));
  else if (auto* l = qobject_cast<QLabel*>(w))
    l->setText(t);
  else if (auto* g = qobject_cast<QGroupBox*>(w))
    g->setTitle(t);
  else if (auto* e = qobject_cast<QLineEdit*>(w))
    e->setPlaceholderText(t);
}

void QtLocalisable::SetTooltip(int id, std::u16string_view text) {
  const auto it = controls_.find(id);
  if (it != controls_.end() && it->second) it->second->setToolTip(Q(text));
}

void QtLocalisable::SetColumnTitles(int id, const std::vector<std::u16string>& titles) {
  const auto it = columns_.find(id);
  if (it == columns_.end()) return;
  QStringList list;
  for (const auto& t : titles) list.push_back(Q(t));
  it->second(list);
}

void QtLocalisable::SetMenuText(const std::vector<int>& path, std::u16string_view text) {
  if (!menuBar_ || path.empty()) return;
  QList<QAction*> level = Items(menuBar_->actions());
  QAction* action = nullptr;
  for (int pos : path) {
    if (pos < 1 || pos > level.size()) return;
    action = level[pos - 1];
    level = action->menu() ? Items(action->menu()->actions()) : QList<QAction*>{};
  }
  if (action) action->setText(Q(text));
}

}  // namespace kestrova::gui
