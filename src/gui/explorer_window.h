// Window 101, the explorer: folder tree, the virtual list of the current
// folder, path box with Back / Next / Up, toolbar and the command table. The
// commands of parts not built yet are present and disabled.
#pragma once

#include "gui/core_bridge.h"
#include "gui/entry_model.h"
#include "gui/filter_window.h"
#include "gui/language_dialog.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "gui/scan_controller.h"
#include "gui/thumbnail_loader.h"

#include <QMainWindow>
#include <QStringList>

#include <map>
#include <optional>

class QComboBox;
class QListView;
class QStackedWidget;
class QLineEdit;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;
class QToolButton;
class QToolBar;

namespace kestrova::gui {

class OldPartitionsWindow;
class PreliminaryScanWindow;

// Explorer command numbers.
enum Command : int {
  kCmdRecover = 17,
  kCmdRecoverDefrag = 82,
  kCmdRecoverJoin = 84,
  kCmdSaveSession = 35,
  kCmdLoadSession = 36,
  kCmdClose = 2,
  kCmdSelectAll = 31,
  kCmdUnselectAll = 32,
  kCmdInvert = 33,
  kCmdSelect = 34,
  kCmdDetails = 51,
  kCmdMiniatures = 52,
  kCmdFoldersTree = 14,
  kCmdDisplayFiles = 21,
  kCmdOldPartitions = 70,
  kCmdFind = 23,
  kCmdAdvancedSearch = 62,
  kCmdBreak = 61,
  kCmdBreakSearch = 111,
  kCmdPauseScan = 5555,
  kCmdScanFreeRegion = 41,
  kCmdRawScan = 42,
  kCmdPauseCurrentScan = 43,
  kCmdStopCurrentScan = 44,
  kCmdHexView = 81,
  kCmdEditFileSize = 40027,
  kCmdProperties = 990,
  kCmdRefresh = 1000,
  kCmdAddFavorite = 40023,
  kCmdConfigFolders = 22,
  kCmdLanguage = 40040,
  kCmdContents = 998,
  kCmdOnlineHelp = 40028,
  kCmdFullName = 997,
  kCmdSnapshot = 888,
};

class ExplorerWindow : public QMainWindow {
  Q_OBJECT
 public:
  // language: where the Language command finds and loads languages (none: the command is disabled).
  ExplorerWindow(CoreBridge& bridge, QtUi& ui, const StatusColours& colours, const QString& title,
                 const LanguageHost* language = nullptr, QWidget* parent = nullptr);

  QAction* action(int command) const { return actions_.at(command); }
  ScanController& scan() { return *scan_; }
  QTreeWidget* tree() const { return tree_; }
  EntryModel& model() { return *model_; }
  QTableView* list() const { return list_; }
  QListView* miniatures() const { return miniatures_; }
  QString currentPath() const;
  // Goes into a folder given as "/a/b" (false when it names no folder).
  bool GoToPath(const QString& path);
  // A session of another volume chosen with Ctrl+L: the explorer closed for
  // the start window to open it (empty otherwise).
  const QString& pendingSession() const { return pendingSession_; }
  // An old partition chosen in the scan results: the explorer closed for the
  // start window to open it.
  const std::optional<VolumeToOpen>& pendingVolume() const { return pendingVolume_; }
  // Where the filter window's "Set all colors as default" keeps the colours.
  void SetColourSettings(const ColourSettings& settings) { colourSettings_ = settings; }

 signals:
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QAction* AddCommand(QMenu* menu, int command, StringId text, const QKeySequence& keys = {}, bool built = true);
  void BuildMenus();
  void BuildTree();
  void ShowFolder(const FolderPlace& place, bool record);
  void Activate(const QModelIndex& index);
  void OpenFound(FolderItem result);
  void GoUp();
  void GoBack();
  void GoNext();
  // The Recover commands: plain, JOIN (one output file) or defragmenting.
  void Recover(RecoveryMode mode = RecoveryMode::Normal, bool defragment = false);
  void RecoverDefragmented();
  // JOIN needs two marked entries and no folder among them.
  void UpdateJoin();
  void Properties();
  void EditFileSize();
  void ShowFullName();
  void HeaderClicked(int column);
  void ExpandTreeItem(QTreeWidgetItem* item);
  QTreeWidgetItem* TreeItemFor(const FolderPlace& place);
  void UpdateNavigation();
  QMenu* AddMenu(StringId title);
  void ChooseLanguage();
  void AddFavorite();
  void FillFavorites();
  // Every text again from the slots and the language file (after a language change).
  void Retranslate();
  void ShowCount();
  // Details or Miniatures; the thumbnails of the folder's pictures load while the latter shows.
  void ShowMiniatures(bool on);
  void LoadThumbnails();
  // The free-space scan: commands, title and the counts of the virtual folders.
  void StartScan(bool raw);
  void UpdateScanCommands();
  void ScanProgressed(const ScanSnapshot& snapshot);
  void ScanEnded(const ScanResult& result);
  // The root's folders listed again (new virtual folders), the current folder too.
  void RefreshAfterScan();
  // The look for old volumes before the walk: its window while it runs, and
  // the list of what it found (shown once per scan when it found any).
  void FollowProbe(const ScanSnapshot& snapshot);
  void ShowOldPartitions(bool show);
  void OpenOldPartition(std::size_t index);
  PreliminaryScanWindow* preliminary_ = nullptr;
  OldPartitionsWindow* oldPartitions_ = nullptr;
  bool preliminaryDismissed_ = false;
  bool oldShownForScan_ = false;
  std::optional<VolumeToOpen> pendingVolume_;

  CoreBridge& bridge_;
  QtUi& ui_;
  StatusColours colours_;
  ColourSettings colourSettings_;
  EntryModel* model_;
  QTableView* list_;
  QListView* miniatures_;
  QStackedWidget* views_;
  ThumbnailLoader* thumbnails_;
  int thumbnailGeneration_ = 0;
  QTreeWidget* tree_;
  QComboBox* path_;
  QLineEdit* search_;
  QToolButton* back_;
  QToolButton* next_;
  QToolButton* up_;
  std::map<int, QAction*> actions_;
  std::map<int, StringId> texts_;
  std::vector<std::pair<QMenu*, StringId>> menus_;
  std::vector<std::pair<QAction*, int>> toolbarActions_;
  QToolBar* toolbar_ = nullptr;
  QMenu* favorites_ = nullptr;
  QStringList favoritePaths_;
  static constexpr int kMaxFavorites = 16;
  static constexpr int kMaxFavoriteLength = 771;
  std::optional<LanguageHost> language_;
  FolderPlace place_;
  std::vector<FolderPlace> backStack_, nextStack_;
  std::vector<std::u16string> history_;  // recovery destinations, most recent first
  int sortColumn_ = -1;
  int sortClicks_ = 0;
  QtLocalisable loc_{this};
  ScanController* scan_ = nullptr;
  QString title_;  // the bare title, without the scan's progress
  QAction* scanButton_ = nullptr;
  // Ctrl+S and Ctrl+L (session_windows.cpp).
  void SaveSession();
  void LoadSession();
  void TakeLoadedSession();
  QString pendingSession_;
};

}  // namespace kestrova::gui
