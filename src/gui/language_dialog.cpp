#include "gui/language_dialog.h"

#include "gui/localise.h"
#include "gui/texts.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrova::gui {

LanguageDialog::LanguageDialog(const LanguageHost& host, QWidget* parent) : QDialog(parent), host_(host) {
  setObjectName(QStringLiteral("WINDOW_LANG"));
  setWindowTitle(Tr(StringId::LanguageCaption));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Tr(StringId::LanguageFile), this));
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("languages"));
  std::vector<std::u16string> names = ListLanguages(host_.folder);
  // The built-in texts are English, with or without a file for them.
  if (std::find(names.begin(), names.end(), u"English") == names.end()) names.insert(names.begin(), u"English");
  const std::u16string current = host_.loaded ? host_.loaded->name : u"English";
  for (const std::u16string& n : names) {
    auto* item = new QListWidgetItem(Q(n), list_);
    if (n == current) list_->setCurrentItem(item);
  }
  layout->addWidget(list_);
  auto* box = new QDialogButtonBox(this);
  box->addButton(Tr(StringId::ButtonOk), QDialogButtonBox::AcceptRole)->setDefault(true);
  box->addButton(Tr(StringId::ButtonCancel), QDialogButtonBox::RejectRole);
  layout->addWidget(box);
  connect(box, &QDialogButtonBox::accepted, this, &LanguageDialog::accept);
  connect(box, &QDialogButtonBox::rejected, this, &LanguageDialog::reject);
  connect(list_, &QListWidget::itemActivated, this, &LanguageDialog::accept);
  QtLocalisable loc(this);
  loc.Apply(u"WINDOW_LANG");
  setMinimumSize(300, 260);
}

void LanguageDialog::accept() {
  if (!list_->currentItem() || !host_.loaded) return QDialog::reject();
  *host_.loaded = LoadLanguage(host_.folder, list_->currentItem()->text().toStdU16String());
  SetCurrentLanguage(&host_.loaded->file);
  if (host_.settingName) *host_.settingName = host_.loaded->name;
  QDialog::accept();
}

}  // namespace kestrova::gui
