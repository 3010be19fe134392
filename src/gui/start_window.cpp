#include "gui/start_window.h"

#include "explore/partition_finder.h"
#include "explore/partition_repair_job.h"

#include "common/text.h"
#include "gui/saving_image_window.h"
#include "gui/texts.h"
#include "gui/tool_dialogs.h"
#include "gui/wait_windows.h"

#include <QAction>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <utility>

namespace kestrova::gui {

namespace {
constexpr int kRowRole = Qt::UserRole + 1;

// "Image files (*.dsk, *.img)" as a Qt filter: patterns separated by blanks.
QString QtFilter(const QString& filter) {
  QString f = filter;
  return f.replace(QRegularExpression(QStringLiteral(",\\s*")), QStringLiteral(" "));
}

QAction* Disabled(QMenu* menu, StringId text) {
  QAction* a = menu->addAction(Tr(text));
  a->setEnabled(false);  // its part of the program is not built yet
  return a;
}
}  // namespace

StartWindow::StartWindow(CoreBridge& bridge, QtUi& ui, std::vector<std::string> images, bool includeSystem,
                         QWidget* parent)
    : QDialog(parent), bridge_(bridge), ui_(ui), images_(std::move(images)), includeSystem_(includeSystem) {
  setObjectName(QStringLiteral("WINDOW_SELECT_DRIVE"));
  setWindowTitle(Tr(StringId::SelectDriveCaption));
  auto* layout = new QVBoxLayout(this);

  auto* bar = new QMenuBar(this);
  QMenu* file = bar->addMenu(Tr(StringId::SelectDriveMenuFile));
  file->addAction(BeforeTab(Tr(StringId::SelectDriveMenuExit)), this, &StartWindow::reject);
  QMenu* options = bar->addMenu(Tr(StringId::SelectDriveMenuOptions));
  options->addAction(Tr(StringId::SelectDriveMenuConfigFolders), this, &StartWindow::ConfigFolders)
      ->setObjectName(QStringLiteral("configFolders"));
  QMenu* help = bar->addMenu(Tr(StringId::SelectDriveMenuHelp));
  Disabled(help, StringId::SelectDriveMenuContents);
  Disabled(help, StringId::SelectDriveMenuOnlineHelp);
  layout->setMenuBar(bar);

  devices_ = new QTreeWidget(this);
  devices_->setObjectName(QStringLiteral("deviceList"));
  devices_->setColumnCount(4);
  devices_->setHeaderLabels(SplitTitles(Tr(StringId::SelectDriveColumns)));
  devices_->setRootIsDecorated(false);
  devices_->setItemsExpandable(false);
  devices_->setUniformRowHeights(true);
  devices_->setAllColumnsShowFocus(true);
  devices_->setContextMenuPolicy(Qt::CustomContextMenu);
  devices_->header()->setStretchLastSection(false);
  devices_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  devices_->setMinimumSize(640, 320);
  layout->addWidget(devices_);

  load_ = new QPushButton(Tr(StringId::SelectDriveLoad), this);
  load_->setObjectName(QStringLiteral("loadButton"));
  auto* loadMenu = new QMenu(load_);
  QAction* image = loadMenu->addAction(Tr(StringId::PopupImageFile), this, &StartWindow::OpenImageDialog);
  image->setObjectName(QStringLiteral("loadImage"));
  loadMenu->addAction(Tr(StringId::PopupSessionFile), this, &StartWindow::LoadSessionDialog)
      ->setObjectName(QStringLiteral("loadSession"));
  loadMenu->addAction(Tr(StringId::PopupBackupFile), this, &StartWindow::LoadBackupDialog)
      ->setObjectName(QStringLiteral("loadBackup"));
  load_->setMenu(loadMenu);

  tools_ = new QPushButton(Tr(StringId::SelectDriveTools), this);
  auto* toolsMenu = new QMenu(tools_);
  toolsMenu->addAction(Tr(StringId::PopupToolDriveSettings), this, &StartWindow::DriveSettingsOfSelected)
      ->setObjectName(QStringLiteral("driveSettings"));
  toolsMenu->addAction(Tr(StringId::PopupImage), this, &StartWindow::CreateImageOfSelected)
      ->setObjectName(QStringLiteral("createImage"));
  toolsMenu->addAction(Tr(StringId::PopupMountNtfsFromSector), this, &StartWindow::MountNtfsFromSector)
      ->setObjectName(QStringLiteral("mountNtfs"));
  toolsMenu->addAction(Tr(StringId::PopupToolConfigFolders), this, &StartWindow::ConfigFolders);
  toolsMenu->addAction(Tr(StringId::PopupSearchPartitions), this, &StartWindow::SearchPartitionsOfSelected)
      ->setObjectName(QStringLiteral("searchPartitions"));
  toolsMenu->addAction(Tr(StringId::PopupPartitionFix), this, &StartWindow::PartitionFixOfSelected)
      ->setObjectName(QStringLiteral("partitionFix"));
  tools_->setMenu(toolsMenu);
  tools_->setObjectName(QStringLiteral("toolsButton"));
  auto* snapshot = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F12), this);
  connect(snapshot, &QShortcut::activated, this, [this] { WriteSnapshotReport(ui_, ProgramReportsFolder()); });

  refresh_ = new QPushButton(Tr(StringId::SelectDriveRefresh), this);
  refresh_->setObjectName(QStringLiteral("refreshButton"));
  open_ = new QPushButton(Tr(StringId::SelectDriveOpen), this);
  open_->setObjectName(QStringLiteral("openButton"));
  open_->setDefault(true);
  close_ = new QPushButton(Tr(StringId::SelectDriveClose), this);
  close_->setObjectName(QStringLiteral("closeButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(load_);
  buttons->addWidget(tools_);
  buttons->addStretch();
  buttons->addWidget(refresh_);
  buttons->addWidget(open_);
  buttons->addWidget(close_);
  layout->addLayout(buttons);

  context_ = new QMenu(this);
  context_->addAction(Tr(StringId::PopupOpen), this, &StartWindow::OpenSelected);
  context_->addAction(Tr(StringId::PopupToolDriveSettings), this, &StartWindow::DriveSettingsOfSelected)
      ->setObjectName(QStringLiteral("driveSettings"));
  context_->addAction(Tr(StringId::PopupImage), this, &StartWindow::CreateImageOfSelected)
      ->setObjectName(QStringLiteral("createImage"));
  context_->addAction(Tr(StringId::PopupSearchPartitions), this, &StartWindow::SearchPartitionsOfSelected);
  connect(devices_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (QTreeWidgetItem* item = devices_->itemAt(pos); item && item->data(0, kRowRole).isValid())
      context_->popup(devices_->viewport()->mapToGlobal(pos));
  });

  connect(refresh_, &QPushButton::clicked, this, &StartWindow::Refresh);
  connect(open_, &QPushButton::clicked, this, &StartWindow::OpenSelected);
  connect(close_, &QPushButton::clicked, this, &StartWindow::reject);
  connect(devices_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    if (item->data(0, kRowRole).isValid()) OpenSelected();
  });

  loc_.AddControl(1, open_);
  loc_.AddControl(2, close_);
  loc_.AddControl(3, refresh_);
  loc_.AddControl(5, load_);
  loc_.AddControl(6, tools_);
  loc_.AddColumns(100, [this](const QStringList& t) { devices_->setHeaderLabels(t); });
  loc_.SetMenuBar(bar);
  loc_.Apply(u"WINDOW_SELECT_DRIVE");
  // The menu buttons keep room for their arrow beside the text.
  for (QPushButton* b : {load_, tools_})
    b->setMinimumWidth(b->fontMetrics().horizontalAdvance(QString(b->text()).remove(QLatin1Char('&'))) + 40);
  resize(760, 460);
  Refresh();
}

StartWindow::~StartWindow() {
  cancel_.RequestStop();
  Join();
}

void StartWindow::Join() {
  if (worker_.joinable()) worker_.Join();
}

void StartWindow::SetBusy(bool busy) {
  for (QWidget* w : {static_cast<QWidget*>(open_), static_cast<QWidget*>(refresh_), static_cast<QWidget*>(load_),
                     static_cast<QWidget*>(tools_)})
    w->setEnabled(!busy);
  setCursor(busy ? Qt::BusyCursor : Qt::ArrowCursor);
}

void StartWindow::Refresh() {
  if (busy()) return;
  SetBusy(true);
  cancel_.Reset();
  pending_ = std::make_unique<DriveList>();
  worker_.Start(workToken_, [this, list = pending_.get(), images = images_](WorkerToken&) {
    DriveLister lister;
    lister.Refresh(*list, ui_, images, includeSystem_, &cancel_);
    FindRepairsOfListing(*list);
    QMetaObject::invokeMethod(
        this,
        [this] {
          Join();
          list_ = std::move(*pending_);
          pending_.reset();
          ShowList();
          SetBusy(false);
          // A session being loaded goes first; the repair offer waits for the next listing.
          if (!queuedSession_.isEmpty())
            OpenSessionFile(std::exchange(queuedSession_, QString()));
          else if (queuedVolume_)
            OpenQueuedVolume();
          else
            OfferRepairs();
        },
        Qt::QueuedConnection);
  });
}

void StartWindow::ShowList() {
  devices_->clear();
  QTreeWidgetItem* select = nullptr;
  for (const DriveGroup& g : list_.groups) {
    if (g.rows.empty()) continue;
    auto* group = new QTreeWidgetItem(devices_, QStringList{Q(g.title)});
    group->setFirstColumnSpanned(true);
    QFont bold = group->font(0);
    bold.setBold(true);
    group->setFont(0, bold);
    group->setFlags(Qt::ItemIsEnabled);
    for (std::size_t i : g.rows) {
      const RowTexts t = DescribeRow(list_.rows[i]);
      auto* item = new QTreeWidgetItem(group, QStringList{Q(t.name), Q(t.fsName), Q(t.size), Q(t.free)});
      item->setData(0, kRowRole, static_cast<qulonglong>(i));
      item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
      item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
      item->setIcon(0, style()->standardIcon(list_.rows[i].imagePath.empty() ? QStyle::SP_DriveHDIcon
                                                                              : QStyle::SP_FileIcon));
      if (!select && !selectImage_.empty() && list_.rows[i].imagePath == selectImage_) select = item;
    }
  }
  devices_->expandAll();
  for (int c = 1; c < 4; ++c) devices_->resizeColumnToContents(c);
  if (!select && devices_->topLevelItemCount() && devices_->topLevelItem(0)->childCount())
    select = devices_->topLevelItem(0)->child(0);
  if (select) devices_->setCurrentItem(select);
  selectImage_.clear();
}

void StartWindow::OpenImageDialog() {
  if (busy()) return;
  QFileDialog dialog(this, Tr(StringId::OpenDisk));
  dialog.setObjectName(QStringLiteral("imageDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QtFilter(Tr(StringId::LoadImageFile)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  AddImage(dialog.selectedFiles().front());
}

void StartWindow::AddImage(const QString& path) {
  const std::string p = path.toStdString();
  if (std::find(images_.begin(), images_.end(), p) == images_.end()) images_.push_back(p);
  selectImage_ = p;
  Refresh();
}

std::optional<std::size_t> StartWindow::SelectedRow() {
  QTreeWidgetItem* item = devices_->currentItem();
  if (!item || !item->data(0, kRowRole).isValid()) {
    ui_.Show(Tr(StringId::PleaseSelectDrive), {}, MsgIcon::Information, MsgButtons::Ok);
    return std::nullopt;
  }
  return static_cast<std::size_t>(item->data(0, kRowRole).toULongLong());
}

void StartWindow::OpenSelected() {
  if (busy()) return;
  const std::optional<std::size_t> row = SelectedRow();
  if (!row) return;
  StartOpen([this, r = *row] { return bridge_.Open(list_, r); });
}

void StartWindow::StartOpen(std::function<OpenOutcome()> open) {
  SetBusy(true);
  wait_ = new WaitWindow(this);
  wait_->show();
  worker_.Start(workToken_, [this, open = std::move(open)](WorkerToken&) {
    const OpenOutcome outcome = open();
    QMetaObject::invokeMethod(this, [this, outcome] { Opened(outcome); }, Qt::QueuedConnection);
  });
}

void StartWindow::OpenQueuedVolume() {
  const VolumeToOpen v = *std::exchange(queuedVolume_, std::nullopt);
  StartOpen([this, v] { return bridge_.OpenFound(v.path, v.start, v.sectors, DriveSettings{}); });
}

void StartWindow::MountNtfsFromSector() {
  if (busy() || list_.rows.empty()) return;
  QTreeWidgetItem* item = devices_->currentItem();
  const std::size_t selected =
      item && item->data(0, kRowRole).isValid() ? static_cast<std::size_t>(item->data(0, kRowRole).toULongLong()) : 0;
  MountNtfsDialog dialog(list_, selected, ui_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  StartOpen([this, row = dialog.row(), settings = dialog.settings()] {
    return bridge_.OpenAtSector(list_, row, settings);
  });
}

void StartWindow::DriveSettingsOfSelected() {
  if (busy()) return;
  const std::optional<std::size_t> row = SelectedRow();
  if (!row) return;
  // The settings stay with the row until the list is read again.
  DriveSettingsDialog dialog(list_.rows[*row].settings, this);
  if (dialog.exec() == QDialog::Accepted) list_.rows[*row].settings = dialog.settings();
}

void StartWindow::CreateImageOfSelected() {
  if (busy()) return;
  const std::optional<std::size_t> row = SelectedRow();
  if (!row) return;
  CreateImageOfRow(list_, *row, ui_, this);
}

void StartWindow::ConfigFolders() {
  UserRegistry registry(UserRegistry::DefaultPath());
  ConfigFoldersDialog dialog(registry, SourceIdentity{}, ui_, this);  // nothing is opened yet
  dialog.exec();
}

void StartWindow::Opened(OpenOutcome outcome) {
  Join();
  delete wait_;
  wait_ = nullptr;
  SetBusy(false);
  if (!outcome.ok) {
    ui_.Show(Tr(outcome.message), {}, MsgIcon::Error, MsgButtons::Ok);
    return;
  }
  if (bridge_.IsNtfs()) {
    if (std::unique_ptr<MftCollection> collection = bridge_.StartMftCollection()) {
      ProcessingMftWindow mft(*collection, ui_, this);
      mft.exec();
      collection->Wait();
    }
  }
  RunScanAfterOpen();
  accept();
}

void StartWindow::reject() {
  // Closing stops a listing at its next drive; an open in progress finishes first.
  cancel_.RequestStop();
  if (wait_) return;
  Join();
  QDialog::reject();
}

}  // namespace kestrova::gui
