// Window 103, "Kestrova (please select drive)": the device list with its
// groups, images added through the open dialog, refresh on a worker thread,
// and the open of the chosen volume (also on a worker, behind a wait window).
#pragma once

#include "common/worker_thread.h"
#include "common/worker_token.h"
#include "gui/core_bridge.h"
#include "gui/qt_ui.h"
#include "gui/localise.h"
#include "scanner/scan_state.h"

#include <QDialog>

#include <atomic>
#include <functional>
#include <optional>
#include <memory>
#include <thread>

class QTreeWidget;
class QPushButton;
class QMenu;

namespace kestrova {
class PartitionFinder;
class PartitionRepairJob;
struct PartitionSession;
}  // namespace kestrova

namespace kestrova::gui {

class WaitWindow;

class StartWindow : public QDialog {
  Q_OBJECT
 public:
  // includeSystem false lists image files only (the tests use this).
  StartWindow(CoreBridge& bridge, QtUi& ui, std::vector<std::string> images, bool includeSystem,
              QWidget* parent = nullptr);
  ~StartWindow() override;

  // The images the user added (kept for the next visit of the window).
  const std::vector<std::string>& images() const { return images_; }
  bool busy() const { return worker_.joinable(); }

 public slots:
  void Refresh();
  void OpenImageDialog();
  void OpenSelected();
  void MountNtfsFromSector();
  void ConfigFolders();
  void DriveSettingsOfSelected();
  void CreateImageOfSelected();
  // The partition search of the selected row's whole device (partition_search_windows.cpp).
  void SearchPartitionsOfSelected();
  // "&Load" > "&Session": a .kvsp partition-search session resumed on its disk.
  void LoadSessionDialog();
  // A scan session (.kvs) or a partition-search session (.kvsp) (session_windows.cpp):
  // the drive check, CHOOSEDISKDLG, then the load behind its progress window;
  // the window closes with the loaded volume mounted.
  void OpenSessionFile(const QString& file);
  // A session handed over by the explorer's Ctrl+L, opened once the list is read.
  void QueueSessionFile(const QString& file);
  // A volume to open once the list has been read (an old partition chosen in the explorer).
  void QueueVolume(std::optional<VolumeToOpen> volume) { queuedVolume_ = std::move(volume); }
  // "&Load" > "&Backup": a .kvb backup written back to its drive or image (partition_fix_window.cpp).
  void LoadBackupDialog();
  // Tools > "Quick partition restore..." for the selected row's drive.
  void PartitionFixOfSelected();

 protected:
  void reject() override;

 private:
  void SetBusy(bool busy);
  void ShowList();
  void AddImage(const QString& path);
  void Join();
  void Opened(OpenOutcome outcome);
  std::optional<std::size_t> SelectedRow();
  // Opens on the worker behind the wait window, then Opened.
  void StartOpen(std::function<OpenOutcome()> open);

  CoreBridge& bridge_;
  QtUi& ui_;
  std::vector<std::string> images_;
  bool includeSystem_;
  DriveList list_;
  std::unique_ptr<DriveList> pending_;
  WorkerToken cancel_;  // the drive listing's
  WorkerToken workToken_;  // the listing or the open on the worker
  WorkerThread worker_;
  QTreeWidget* devices_;
  QPushButton* open_;
  QPushButton* close_;
  QPushButton* refresh_;
  QPushButton* load_;
  QPushButton* tools_;
  QMenu* context_;
  WaitWindow* wait_ = nullptr;
  QtLocalisable loc_{this};
  std::string selectImage_;  // the image to select after the next listing
  // The scan-mode, progress and results windows over one search; the chosen
  // volume opens like any other.
  void RunPartitionSearch(const std::string& path, const std::u16string& title, const PartitionSession* resume);
  std::unique_ptr<PartitionFinder> finder_;
  // A carving choice of the scan-mode window: the scan to run once the drive is open.
  void RunScanAfterOpen();
  std::optional<ScanOptions> scanAfterOpen_;
  void LoadPartitionSessionFile(const QString& file);
  QString queuedSession_;
  std::optional<VolumeToOpen> queuedVolume_;
  void OpenQueuedVolume();
  // The drives of the last listing with something to repair (partition_fix_window.cpp):
  // found on the listing's worker, offered once the list shows.
  std::vector<std::unique_ptr<PartitionRepairJob>> repairs_, pendingRepairs_;
  std::vector<std::string> dismissedRepairs_;  // closed without a choice: not offered again
  void FindRepairsOfListing(const DriveList& list);
  void OfferRepairs();
  // True when the window ended the drive choice (a volume to open, or the list is read again).
  bool RunPartitionFix(PartitionRepairJob& job);
};

}  // namespace kestrova::gui
