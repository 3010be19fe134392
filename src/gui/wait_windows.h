// Small windows around long work: "Please wait..." while a volume opens, and
// "Processing MFT" while the NTFS records are collected.
#pragma once

#include "gui/qt_ui.h"

#include <QDialog>

#include <functional>

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kestrova {
class MftCollection;
}

namespace kestrova::gui {

class WaitWindow : public QDialog {
  Q_OBJECT
 public:
  explicit WaitWindow(QWidget* parent);
};

// Runs `work` on its own thread behind a modal wait window, for device work
// that may take long on a failing drive; the window's events (and the
// questions the work asks through the Ui) are served meanwhile.
void RunBehindWaitWindow(QWidget* parent, std::function<void()> work);

class ProcessingMftWindow : public QDialog {
  Q_OBJECT
 public:
  // Follows the collection until it ends; both buttons stop it early.
  ProcessingMftWindow(MftCollection& collection, QtUi& ui, QWidget* parent);

 protected:
  void reject() override;

 private:
  MftCollection& collection_;
  QLabel* status_;
  QProgressBar* bar_;
  QTimer* poll_;
};

}  // namespace kestrova::gui
