// Recovery through its three windows: "Select output path" (destination with
// history and the overwrite protection), "Preparing to recovery" (the eight
// counters while the worker counts) and "Saving data..." (progress, skip and
// abort while it saves). The work itself is the core's recovery job, run on a
// worker thread.
#pragma once

#include "gui/core_bridge.h"
#include "common/worker_thread.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"

#include <QDialog>
#include <QElapsedTimer>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace kestrova::gui {

class SelectPathDialog : public QDialog {
  Q_OBJECT
 public:
  // focusName: the entry the title names; folderName: the explorer's current
  // folder, whose cleaned name is proposed below a browsed folder when several
  // entries are marked.
  SelectPathDialog(const QString& focusName, const QString& folderName, std::size_t markedCount,
                   const SourceIdentity& source, std::vector<std::u16string>& history, RecoveryRequest& request,
                   QtUi& ui, QWidget* parent);

  void accept() override;

 private:
  void Browse();

  const SourceIdentity& source_;
  std::vector<std::u16string>& history_;
  RecoveryRequest& request_;
  QtUi& ui_;
  QString folderName_;
  std::size_t markedCount_;
  QComboBox* path_;
  QCheckBox* explore_;
  QCheckBox* duplicates_;
};

class PreparingDialog : public QDialog {
  Q_OBJECT
 public:
  PreparingDialog(RecoveryControl& control, QWidget* parent);
  void Show(const RecoveryStatistics& stats);

 protected:
  void reject() override;

 private:
  RecoveryControl& control_;
  QTreeWidget* rows_;
  QProgressBar* bar_;
};

class SavingDialog : public QDialog {
  Q_OBJECT
 public:
  SavingDialog(RecoveryControl& control, QtUi& ui, QWidget* parent);

 protected:
  void reject() override;

 private:
  RecoveryControl& control_;
  QLabel* file_;
  QLabel* time_;
  QProgressBar* current_;
  QProgressBar* overall_;
  QElapsedTimer elapsed_;
};

// One recovery from the destination dialog to the end of saving. Run()
// returns when everything is closed; the marks of the saved entries are
// cleared by the caller.
class RecoveryFlow : public QObject {
  Q_OBJECT
 public:
  RecoveryFlow(CoreBridge& bridge, QtUi& ui, QWidget* owner) : bridge_(bridge), ui_(ui), owner_(owner) {}
  ~RecoveryFlow() override;

  // False when the user cancelled the destination dialog.
  bool Run(std::vector<MarkedEntry> marked, const QString& focusName, const QString& folderName,
           std::vector<std::u16string>& history, RecoveryMode mode = RecoveryMode::Normal, bool defragment = false);
  const RecoveryStatistics& result() const { return result_; }
  bool aborted() const { return request_.control.aborted(); }

 private:
  // Shared with the worker, which outlives no dialog: it waits for the saving
  // window (or the abort) before it writes.
  struct Handover {
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
  };
  class WorkerProgress;

  CoreBridge& bridge_;
  QtUi& ui_;
  QWidget* owner_;
  RecoveryRequest request_;
  RecoveryStatistics result_;
  std::shared_ptr<Handover> handover_ = std::make_shared<Handover>();
  WorkerThread worker_;
};

}  // namespace kestrova::gui
