// The windows of scan sessions (.kvs): the progress window of a save or a
// load ("WINDOW_SESSION"), and "Please select dedicated disk" (CHOOSEDISKDLG),
// where the user confirms or picks the drive a loaded session belongs to.
// The save and the load themselves are the core's; these windows only run
// them on a worker and show what they report.
#pragma once

#include "gui/core_bridge.h"
#include "gui/qt_ui.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <thread>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace kestrova::gui {

// Runs one save or load on a worker while showing its progress texts. The
// window closes itself when the work returns; the core offers no way to
// stop a save or a load half way, so the window has no cancel button and
// ignores Escape (a half-written session is never left behind: the file is
// renamed into place only when complete).
class SessionProgressWindow : public QDialog {
  Q_OBJECT
 public:
  enum class Kind { Saving, Loading };
  // file: the session's path; its name goes into the title.
  SessionProgressWindow(Kind kind, const QString& file, QtUi& ui, QWidget* parent);
  ~SessionProgressWindow() override;

  // Runs `work` on a worker and the window until it returns.
  void Run(std::function<void()> work);
  // The stage reached, as a share of all stages of a save or a load (0..100).
  int percent() const;
  QString action() const;

 protected:
  void reject() override {}

 private:
  void StageText(const QString& text);

  Kind kind_;
  QLabel* action_;
  QProgressBar* bar_;
  QStringList stages_;
  std::thread worker_;
};

// "Please select dedicated disk": the drives (and images) a session may be
// loaded from, the one the drive check found preselected. With `browse` an
// image file can be chosen instead (a session whose image has moved).
class ChooseDiskWindow : public QDialog {
  Q_OBJECT
 public:
  ChooseDiskWindow(const QStringList& drives, int offered, bool browse, QWidget* parent);

  // The row chosen, or -1 (an image was browsed, or nothing).
  int chosen() const { return chosen_; }
  // The image file chosen through "Browse..." (empty otherwise).
  const QString& imagePath() const { return image_; }

 private:
  void Browse();
  void Choose();

  QListWidget* drives_;
  QPushButton* ok_;
  int chosen_ = -1;
  QString image_;
};

// The explorer's "&Save scan session" (Ctrl+S): asks for the file and saves
// behind the progress window (a running scan is paused for the time of the
// save and then goes on). False when nothing was saved.
bool SaveScanSessionFromExplorer(CoreBridge& bridge, QtUi& ui, const session::SessionHistories& histories,
                                 QWidget* parent);

enum class ExplorerSessionLoad {
  Nothing,      // cancelled, or the file was refused (the results shown are untouched)
  Loaded,       // read into the mounted volume
  OtherVolume,  // a session of another volume that reads back whole: for the start window
};
// The explorer's "Load scan session" (Ctrl+L): asks for the file. A session
// of the volume shown is read into it; one of another volume (or a partition
// search session) is handed to the start window, after it has been checked,
// so a damaged file never costs the results shown. `file` gets the path.
ExplorerSessionLoad LoadScanSessionFromExplorer(CoreBridge& bridge, QtUi& ui, QWidget* parent, QString& file);

}  // namespace kestrova::gui
