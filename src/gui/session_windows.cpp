#include "gui/session_windows.h"

#include "gui/explorer_window.h"
#include "gui/localise.h"
#include "gui/search_window.h"
#include "gui/start_window.h"
#include "gui/texts.h"
#include "tools/partition_session.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <set>

namespace kestrova::gui {

namespace {

// The stages in the order the core reports them; the bar shows how far down
// the list the work has come (the core reports no finer steps).
QStringList Stages(SessionProgressWindow::Kind kind) {
  const std::initializer_list<StringId> saving = {
      StringId::SessionActionSuspendingScan,  StringId::SessionActionSavingDeleted,
      StringId::SessionActionSavingLost,      StringId::SessionActionSavingRebuild,
      StringId::SessionActionSavingRaw,       StringId::SessionActionSavingAmap,
      StringId::SessionActionSavingLostStrings, StringId::SessionActionSavingRawStrings,
      StringId::SessionActionSavingRebuildStrings, StringId::SessionActionFinalizing};
  const std::initializer_list<StringId> loading = {
      StringId::SessionActionSuspendingScan,   StringId::SessionActionInitializing,
      StringId::SessionActionLoadingDeleted,   StringId::SessionActionLoadingLost,
      StringId::SessionActionLoadingRebuild,   StringId::SessionActionLoadingRaw,
      StringId::SessionActionLoadingAmap,      StringId::SessionActionLoadingLostStrings,
      StringId::SessionActionLoadingRawStrings, StringId::SessionActionLoadingRebuildStrings,
      StringId::SessionActionFinalizing};
  QStringList texts;
  for (StringId id : kind == SessionProgressWindow::Kind::Saving ? saving : loading) texts << Tr(id);
  return texts;
}

}  // namespace

SessionProgressWindow::SessionProgressWindow(Kind kind, const QString& file, QtUi& ui, QWidget* parent)
    : QDialog(parent), kind_(kind), stages_(Stages(kind)) {
  setObjectName(QStringLiteral("WINDOW_SESSION"));
  setModal(true);
  setWindowFlag(Qt::WindowCloseButtonHint, false);
  auto* layout = new QVBoxLayout(this);
  action_ = new QLabel(kind == Kind::Saving ? Tr(StringId::SessionActionSuspendingScan)
                                            : Tr(StringId::SessionActionInitializing),
                       this);
  action_->setObjectName(QStringLiteral("action"));
  action_->setMinimumWidth(420);
  layout->addWidget(action_);
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("progress"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  layout->addWidget(bar_);
  QtLocalisable loc(this);
  loc.Apply(u"WINDOW_SESSION");
  // "Saving %s" with the file's name; "Loading" and the name.
  const QString name = QFileInfo(file).fileName();
  setWindowTitle(kind == Kind::Saving ? Tr(StringId::SessionSavingTitle).replace(QStringLiteral("%s"), name)
                                      : Tr(StringId::SessionLoadingTitle) + QLatin1Char(' ') + name);
  connect(&ui, &QtUi::statusChanged, this, &SessionProgressWindow::StageText);
}

SessionProgressWindow::~SessionProgressWindow() {
  if (worker_.joinable()) worker_.join();
}

void SessionProgressWindow::StageText(const QString& text) {
  action_->setText(text);
  const qsizetype at = stages_.indexOf(text);
  if (at >= 0) bar_->setValue(static_cast<int>(at * 100 / stages_.size()));
}

int SessionProgressWindow::percent() const { return bar_->value(); }

QString SessionProgressWindow::action() const { return action_->text(); }

void SessionProgressWindow::Run(std::function<void()> work) {
  worker_ = std::thread([this, work = std::move(work)] {
    work();
    QMetaObject::invokeMethod(
        this,
        [this] {
          bar_->setValue(100);
          accept();
        },
        Qt::QueuedConnection);
  });
  exec();
  worker_.join();
}

ChooseDiskWindow::ChooseDiskWindow(const QStringList& drives, int offered, bool browse, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("WINDOW_CHOOSE_DISK"));
  setWindowTitle(Tr(StringId::PleaseSelectDedicatedDisk));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  drives_ = new QListWidget(this);
  drives_->setObjectName(QStringLiteral("drives"));
  drives_->addItems(drives);
  drives_->setMinimumSize(460, 160);
  if (offered >= 0 && offered < drives_->count()) drives_->setCurrentRow(offered);
  layout->addWidget(drives_);
  auto* row = new QHBoxLayout;
  QPushButton* browseButton = nullptr;
  if (browse) {
    browseButton = new QPushButton(Tr(StringId::SelectPathBrowse), this);
    browseButton->setObjectName(QStringLiteral("browse"));
    row->addWidget(browseButton);
    connect(browseButton, &QPushButton::clicked, this, &ChooseDiskWindow::Browse);
  }
  row->addStretch();
  ok_ = new QPushButton(Tr(StringId::ButtonOk), this);
  ok_->setObjectName(QStringLiteral("ok"));
  ok_->setDefault(true);
  auto* cancel = new QPushButton(Tr(StringId::ButtonCancel), this);
  cancel->setObjectName(QStringLiteral("cancel"));
  row->addWidget(ok_);
  row->addWidget(cancel);
  layout->addLayout(row);
  ok_->setEnabled(drives_->currentRow() >= 0);
  connect(drives_, &QListWidget::currentRowChanged, this, [this](int r) { ok_->setEnabled(r >= 0); });
  connect(drives_, &QListWidget::itemActivated, this, &ChooseDiskWindow::Choose);
  connect(ok_, &QPushButton::clicked, this, &ChooseDiskWindow::Choose);
  connect(cancel, &QPushButton::clicked, this, &ChooseDiskWindow::reject);
  QtLocalisable loc(this);
  loc.AddControl(1, ok_);
  loc.AddControl(2, cancel);
  if (browseButton) loc.AddControl(3, browseButton);
  loc.Apply(u"WINDOW_CHOOSE_DISK");
}

void ChooseDiskWindow::Choose() {
  if (drives_->currentRow() < 0) return;
  chosen_ = drives_->currentRow();
  image_.clear();
  accept();
}

void ChooseDiskWindow::Browse() {
  QFileDialog dialog(this, Tr(StringId::OpenDisk));
  dialog.setObjectName(QStringLiteral("imageDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  QString filter = Tr(StringId::LoadImageFile);
  dialog.setNameFilter(filter.replace(QRegularExpression(QStringLiteral(",\\s*")), QStringLiteral(" ")));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  image_ = dialog.selectedFiles().front();
  chosen_ = -1;
  accept();
}

namespace {

QString QtFilter(QString filter) {
  return filter.replace(QRegularExpression(QStringLiteral(",\\s*")), QStringLiteral(" "));
}

bool IsPartitionSession(const QString& file) { return file.endsWith(QStringLiteral(".kvsp"), Qt::CaseInsensitive); }

QString AskSessionToLoad(QWidget* parent) {
  QFileDialog dialog(parent, Tr(StringId::LoadSessionFile));
  dialog.setObjectName(QStringLiteral("sessionDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QtFilter(Tr(StringId::FilterSessionOpen)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

}  // namespace

bool SaveScanSessionFromExplorer(CoreBridge& bridge, QtUi& ui, const session::SessionHistories& histories,
                                 QWidget* parent) {
  QFileDialog dialog(parent, BeforeTab(Tr(StringId::PopupSession)).remove(QLatin1Char('&')));
  dialog.setObjectName(QStringLiteral("saveSessionDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  const QString filter = QtFilter(Tr(StringId::FilterSessionSave));
  dialog.setNameFilters({filter, QStringLiteral("*")});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  QString file = dialog.selectedFiles().front();
  // The first filter, no extension typed and no such file: ".kvs".
  if (dialog.selectedNameFilter() == filter && QFileInfo(file).suffix().isEmpty() && !QFileInfo::exists(file))
    file += QStringLiteral(".kvs");
  SessionProgressWindow progress(SessionProgressWindow::Kind::Saving, file, ui, parent);
  ScanSessionResult saved;
  progress.Run([&] { saved = bridge.SaveSession(file.toStdString(), histories); });
  // The core has said why for a refused place and a second save.
  if (saved.status == ScanSessionStatus::WriteFailed)
    ui.Show(Tr(StringId::PartSessionCantWrite).replace(QStringLiteral("%s"), file), {}, MsgIcon::Error,
            MsgButtons::Ok);
  return saved.ok();
}

ExplorerSessionLoad LoadScanSessionFromExplorer(CoreBridge& bridge, QtUi& ui, QWidget* parent, QString& file) {
  file = AskSessionToLoad(parent);
  if (file.isEmpty()) return ExplorerSessionLoad::Nothing;
  if (IsPartitionSession(file)) {
    // The start window resumes it on its disk; a damaged one keeps the explorer.
    PartitionSession partitions;
    if (LoadPartitionSession(file.toStdString(), partitions) != SessionFileStatus::Ok) {
      ui.Show(Tr(StringId::PartSessionDamaged), {}, MsgIcon::Error, MsgButtons::Ok);
      return ExplorerSessionLoad::Nothing;
    }
    return ExplorerSessionLoad::OtherVolume;
  }
  const std::string path = file.toStdString();
  if (bridge.SessionIsOfMountedVolume(path)) {
    SessionProgressWindow progress(SessionProgressWindow::Kind::Loading, file, ui, parent);
    ScanSessionResult loaded;
    progress.Run([&] { loaded = bridge.LoadSessionIntoMounted(path); });
    return loaded.ok() ? ExplorerSessionLoad::Loaded : ExplorerSessionLoad::Nothing;
  }
  // Another volume: the explorer closes for it only when the whole file reads back.
  SessionProgressWindow progress(SessionProgressWindow::Kind::Loading, file, ui, parent);
  bool whole = false;
  progress.Run([&] { whole = bridge.SessionReadsBack(path); });
  if (!whole) {
    ui.Show(Tr(StringId::SessionFileErr), {}, MsgIcon::Error, MsgButtons::Ok);
    return ExplorerSessionLoad::Nothing;
  }
  return ExplorerSessionLoad::OtherVolume;
}

void StartWindow::QueueSessionFile(const QString& file) { queuedSession_ = file; }

void StartWindow::OpenSessionFile(const QString& file) {
  if (busy() || file.isEmpty()) return;
  if (IsPartitionSession(file)) {
    LoadPartitionSessionFile(file);
    return;
  }
  const std::string path = file.toStdString();
  SessionDrive drive;
  const ScanSessionResult found = bridge_.FindSessionDrive(path, drive);
  std::string source = drive.sourcePath;
  if (found.status == ScanSessionStatus::DriveNotFound) {
    // The message named the missing disk; the user may point at it now: a
    // drive or image of the list, or an image file elsewhere.
    QStringList texts;
    std::vector<std::string> paths;
    std::set<std::string> seen;
    for (const DriveRow& row : list_.rows) {
      std::string p;
      QString text;
      if (!row.imagePath.empty()) {
        p = row.imagePath;
        text = QString::fromStdString(p);
      } else if (const PhysicalDrive* d = list_.tables.Physical(row.entry.drive)) {
        p = d->devicePath;
        text = Q(d->model) + QStringLiteral(" (") + QString::fromStdString(p) + QLatin1Char(')');
      }
      if (p.empty() || !seen.insert(p).second) continue;
      paths.push_back(p);
      texts << text;
    }
    ChooseDiskWindow choose(texts, -1, true, this);
    if (choose.exec() != QDialog::Accepted) return;
    if (!choose.imagePath().isEmpty())
      source = choose.imagePath().toStdString();
    else if (choose.chosen() >= 0 && static_cast<std::size_t>(choose.chosen()) < paths.size())
      source = paths[static_cast<std::size_t>(choose.chosen())];
    else
      return;
  } else if (!found.ok()) {
    return;  // refused with its message, or the choice was cancelled
  }
  SetBusy(true);
  SessionProgressWindow progress(SessionProgressWindow::Kind::Loading, file, ui_, this);
  ScanSessionResult loaded;
  progress.Run([&] { loaded = bridge_.LoadSession(path, source); });
  SetBusy(false);
  if (loaded.ok() && !bridge_.mounted()) {
    // Results of a volume this program cannot list: nothing to browse them with.
    ui_.Show(Tr(StringId::FileSystemNotSupported), {}, MsgIcon::Error, MsgButtons::Ok);
    return;
  }
  if (!loaded.ok()) {
    if (loaded.status == ScanSessionStatus::CantOpen)
      ui_.Show(Tr(StringId::CantOpenThisDrive), {}, MsgIcon::Error, MsgButtons::Ok);
    else if (loaded.status == ScanSessionStatus::CantMount)
      ui_.Show(Tr(StringId::FileSystemNotSupported), {}, MsgIcon::Error, MsgButtons::Ok);
    return;  // an unreadable file has been refused with its message
  }
  accept();
}

void ExplorerWindow::SaveSession() {
  // The core keeps the texts searched and the destinations chosen as they are used.
  const session::SessionHistories histories = bridge_.Histories();
  std::vector<std::u16string> favorites, pathItems;
  for (const QString& f : favoritePaths_) favorites.push_back(f.toStdU16String());
  // The folder shown comes first: a load opens the explorer there again.
  const QString here = currentPath();
  pathItems.push_back(here.toStdU16String());
  for (int i = 0; i < path_->count(); ++i)
    if (path_->itemText(i) != here) pathItems.push_back(path_->itemText(i).toStdU16String());
  bridge_.SetSessionExplorerState(favorites, pathItems);
  SaveScanSessionFromExplorer(bridge_, ui_, histories, this);
  UpdateScanCommands();
}

void ExplorerWindow::TakeLoadedSession() {
  history_ = bridge_.loadedHistories().savePaths;
  const std::vector<std::u16string> favorites = bridge_.SessionFavorites();
  if (!favorites.empty()) {
    favoritePaths_.clear();
    for (const auto& f : favorites)
      if (favoritePaths_.size() < kMaxFavorites) favoritePaths_.push_back(Q(f).left(kMaxFavoriteLength));
    FillFavorites();
  }
  // Back in the folder shown at the save, when it is still there.
  const QString folder = QString::fromStdU16String(bridge_.TakeSessionFolder());
  if (!folder.isEmpty() && folder != currentPath()) GoToPath(folder);
  if (scan_->ContinueLoaded()) UpdateScanCommands();
}

void ExplorerWindow::LoadSession() {
  QString file;
  scan_->HoldPolling(true);
  const ExplorerSessionLoad loaded = LoadScanSessionFromExplorer(bridge_, ui_, this, file);
  scan_->HoldPolling(false);
  if (loaded == ExplorerSessionLoad::OtherVolume) {
    // The start window opens the other volume and loads the file there.
    pendingSession_ = file;
    close();
    return;
  }
  if (loaded != ExplorerSessionLoad::Loaded) return;
  thumbnails_->Stop();
  backStack_.clear();
  nextStack_.clear();
  // The tree is built again over the loaded results, from the root.
  tree_->clear();
  BuildTree();
  place_ = {bridge_.RootHandle(), {}};
  TakeLoadedSession();
  ExpandTreeItem(tree_->topLevelItem(0));
  ShowFolder(place_, false);
  setWindowTitle(title_);
  UpdateScanCommands();
}

}  // namespace kestrova::gui
