// "Language": the language files beside the program, the current one
// preselected; the choice is loaded and applied at once.
#pragma once

#include "shell/localisation.h"

#include <QDialog>

#include <string>

class QListWidget;

namespace kestrova::gui {

// Where the languages are and which one is in use (owned by the program).
struct LanguageHost {
  std::string folder;
  LoadedLanguage* loaded = nullptr;
  std::u16string* settingName = nullptr;  // written back to the settings file at exit
};

class LanguageDialog : public QDialog {
  Q_OBJECT
 public:
  LanguageDialog(const LanguageHost& host, QWidget* parent);
  void accept() override;

 private:
  LanguageHost host_;
  QListWidget* list_;
};

}  // namespace kestrova::gui
