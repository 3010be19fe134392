#include "gui/partition_fix_window.h"
#include "gui/wait_windows.h"

#include "common/number_text.h"
#include "common/text.h"
#include "device/device_identity.h"
#include "gui/core_bridge.h"
#include "gui/saving_image_window.h"
#include "gui/start_window.h"
#include "gui/texts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

namespace kestrova::gui {

namespace {
constexpr int kIndexRole = Qt::UserRole + 1;

QString SizeOf(const DriveEntry& e) {
  const std::uint64_t ss = e.sectorSize ? e.sectorSize : 512;
  return QString::fromStdString(SizeText(e.sectors * ss));
}

void AddNode(QTreeWidgetItem* parent, const DetailsNode& node) {
  auto* item = new QTreeWidgetItem(parent, QStringList{Q(node.text)});
  for (const DetailsNode& child : node.children) AddNode(item, child);
}

QString HexLine(const std::vector<std::uint8_t>& bytes, std::size_t from) {
  QString out = QStringLiteral("%1:").arg(from, 4, 16, QLatin1Char('0'));
  for (std::size_t j = from; j < from + 16 && j < bytes.size(); ++j)
    out += QStringLiteral(" %1").arg(bytes[j], 2, 16, QLatin1Char('0'));
  return out;
}
}  // namespace

std::vector<std::pair<QString, QString>> ChangedLines(const SectorWrite& write) {
  std::vector<std::pair<QString, QString>> out;
  const std::size_t n = std::max(write.before.size(), write.after.size());
  for (std::size_t i = 0; i < n; i += 16) {
    bool same = true;
    for (std::size_t j = i; j < i + 16 && j < n && same; ++j)
      same = j < write.before.size() && j < write.after.size() && write.before[j] == write.after[j];
    if (!same) out.emplace_back(HexLine(write.before, i), HexLine(write.after, i));
  }
  return out;
}

std::vector<std::unique_ptr<PartitionRepairJob>> FindRepairs(const DriveList& list, Ui& ui) {
  std::vector<std::unique_ptr<PartitionRepairJob>> out;
  for (const DriveRepairCandidates& r : list.repairs) {
    std::string path = r.imagePath;
    if (path.empty())
      if (const PhysicalDrive* d = list.tables.Physical(r.drive)) path = d->devicePath;
    if (path.empty()) continue;
    auto job = std::make_unique<PartitionRepairJob>(ui);
    if (job->Open(path) != SessionStatus::Ok || job->candidates().Empty()) continue;
    out.push_back(std::move(job));
  }
  return out;
}

// --- Quick partition restore -------------------------------------------------------

PartitionFixWindow::PartitionFixWindow(const DriveList& list, PartitionRepairJob& job, QtUi& ui, QWidget* parent)
    : QDialog(parent), list_(list), job_(job), ui_(ui) {
  setObjectName(QStringLiteral("WINDOW_PARTITIONFIX"));
  setWindowTitle(Tr(StringId::PartitionFixCaption));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(Tr(StringId::PartitionFixText), this);
  hint->setObjectName(QStringLiteral("hint"));
  hint->setWordWrap(true);
  layout->addWidget(hint);
  layout->addWidget(new QLabel(Tr(StringId::PartitionFixList), this));

  volumes_ = new QTreeWidget(this);
  volumes_->setObjectName(QStringLiteral("restoreList"));
  volumes_->setColumnCount(4);
  volumes_->setHeaderLabels(SplitTitles(Tr(StringId::SelectDriveColumns)));
  volumes_->setRootIsDecorated(false);
  volumes_->setUniformRowHeights(true);
  volumes_->setAllColumnsShowFocus(true);
  volumes_->setContextMenuPolicy(Qt::CustomContextMenu);
  volumes_->header()->setStretchLastSection(false);
  volumes_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  volumes_->setMinimumSize(560, 160);
  const std::vector<DriveEntry>& rows = job_.candidates().restoreList;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const DriveEntry& e = rows[i];
    const std::u16string label = EntryLabel(e);
    auto* item = new QTreeWidgetItem(volumes_, QStringList{label.empty() ? Tr(StringId::PartFixUnnamed) : Q(label),
                                                           Q(EntryFsName(e)), SizeOf(e),
                                                           Tr(StringId::NotAvailable)});
    item->setData(0, kIndexRole, static_cast<qulonglong>(i));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    item->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
  }
  for (int c = 1; c < 4; ++c) volumes_->resizeColumnToContents(c);
  if (volumes_->topLevelItemCount()) volumes_->setCurrentItem(volumes_->topLevelItem(0));
  layout->addWidget(volumes_);

  auto* backup = new QPushButton(Tr(StringId::SaveBackupFile), this);
  backup->setObjectName(QStringLiteral("backupButton"));
  auto* restore = new QPushButton(Tr(StringId::PartFixRestore), this);
  restore->setObjectName(QStringLiteral("restoreButton"));
  auto* details = new QPushButton(Tr(StringId::PopupDetails), this);
  details->setObjectName(QStringLiteral("detailsButton"));
  auto* close = new QPushButton(Tr(StringId::MenuClose), this);
  close->setObjectName(QStringLiteral("closeButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(backup);
  buttons->addWidget(restore);
  buttons->addWidget(details);
  buttons->addStretch();
  buttons->addWidget(close);
  layout->addLayout(buttons);

  context_ = new QMenu(this);
  context_->addAction(Tr(StringId::SaveImageFile), this, &PartitionFixWindow::SaveImageOfSelected)
      ->setObjectName(QStringLiteral("saveImage"));
  connect(volumes_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (volumes_->itemAt(pos)) context_->popup(volumes_->viewport()->mapToGlobal(pos));
  });
  // Double-click and Enter ("OK") open the volume.
  connect(volumes_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem*) { OpenSelected(); });
  connect(backup, &QPushButton::clicked, this, &PartitionFixWindow::MakeBackupDialog);
  connect(restore, &QPushButton::clicked, this, &PartitionFixWindow::Restore);
  connect(details, &QPushButton::clicked, this, [this] { ShowDetails(nullptr); });
  connect(close, &QPushButton::clicked, this, &PartitionFixWindow::reject);

  loc_.AddColumns(100, [this](const QStringList& t) { volumes_->setHeaderLabels(t); });
  loc_.AddControl(1002, restore);
  loc_.Apply(u"WINDOW_PARTITIONFIX");
  resize(680, 360);
}

std::optional<std::size_t> PartitionFixWindow::Selected() const {
  QTreeWidgetItem* item = volumes_->currentItem();
  if (!item || !item->data(0, kIndexRole).isValid()) return std::nullopt;
  const auto index = static_cast<std::size_t>(item->data(0, kIndexRole).toULongLong());
  if (index >= job_.candidates().restoreList.size()) return std::nullopt;  // the drive was read again
  return index;
}

DriveList PartitionFixWindow::RowList(std::size_t index) const {
  // A one-row list over the volume: it opens (and is imaged) like a row of
  // the device list, with the drive tables and the settings of the listing.
  const RepairCandidates& c = job_.candidates();
  DriveList one;
  one.tables = list_.tables;
  DriveRow row;
  row.entry = c.restoreList.at(index);
  row.entry.startIsPhysical = 1;
  row.imagePath = c.imagePath;
  if (row.imagePath.empty()) row.volumePath = job_.sourcePath();  // the whole drive the entry counts from
  for (const DriveRow& r : list_.rows)
    if (r.entry.wholeDrive && CoreBridge::DevicePathOf(list_, static_cast<std::size_t>(&r - list_.rows.data())) ==
                                  job_.sourcePath())
      row.settings = r.settings;
  one.rows.push_back(std::move(row));
  one.groups.push_back(DriveGroup{{}, {0}});
  return one;
}

void PartitionFixWindow::OpenSelected() {
  const std::optional<std::size_t> i = Selected();
  if (!i) return;
  chosen_ = RowList(*i);
  done(Open);
}

void PartitionFixWindow::SaveImageOfSelected() {
  const std::optional<std::size_t> i = Selected();
  if (!i) return;
  const DriveList one = RowList(*i);
  CreateImageOfRow(one, 0, ui_, this);
}

void PartitionFixWindow::MakeBackupDialog() {
  const SourceIdentity source = IdentityOfSource(job_.sourcePath());
  QString folder;
  for (;;) {
    QFileDialog dialog(this, Tr(StringId::SaveBackupFile).remove(QLatin1Char('&')));
    dialog.setObjectName(QStringLiteral("backupDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(Tr(StringId::FilterBackup));
    dialog.setDefaultSuffix(QStringLiteral("kvb"));
    if (!folder.isEmpty()) dialog.setDirectory(folder);
    dialog.selectFile(QString::fromStdString(job_.ProposedBackupName()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString chosen = dialog.selectedFiles().front();
    // The backup must not land on the drive it saves.
    if (PathIsOnSource(chosen.toStdString(), source)) {
      folder = QFileInfo(chosen).absolutePath();
      ui_.Show(Tr(StringId::PleaseSelectAnotherDrive), Tr(StringId::CaptionOverwriteProtection), MsgIcon::Warning,
               MsgButtons::Ok);
      continue;
    }
    // Reads the whole table walk from the drive: off the GUI thread.
    RunBehindWaitWindow(this, [&] { job_.MakeBackup(chosen.toStdString()); });  // tells the user how it went
    return;
  }
}

void PartitionFixWindow::Restore() {
  RepairPlan plan;
  const PlanStatus status = job_.Plan(plan);
  if (status == PlanStatus::SecondExtended) {
    ShowDetails(nullptr);
    return;
  }
  if (status != PlanStatus::Ok) return;  // the core told why
  if (plan.Empty()) {
    ui_.Show(Tr(StringId::PartFixNothingToRestore), {}, MsgIcon::Information, MsgButtons::Ok);
    return;
  }
  // The automatic backup, the writes and their read-back: off the GUI thread.
  RepairResult result;
  RunBehindWaitWindow(this, [&] { result = job_.Apply(plan); });
  if (result.outcome == RepairOutcome::WriteFailed && !result.backupPath.empty()) {
    // Part of the repair is on the drive: offer to put the automatic backup back.
    const QString question = Tr(StringId::PartFixRestoreAutoBackup) + QLatin1Char('\n') +
                             QString::fromStdString(result.backupPath);
    if (ui_.Show(question, {}, MsgIcon::Question, MsgButtons::YesNo) == MsgChoice::Yes) {
      RepairPlan back;
      if (job_.PlanRestore(result.backupPath, true, back) == RestoreStatus::Ok)
        RunBehindWaitWindow(this, [&] { job_.ApplyRestore(back); });  // tells the user how it went
      else
        ui_.Show(Tr(StringId::BackupFail), {}, MsgIcon::Error, MsgButtons::Ok);
    }
  }
  // Unless nothing was touched, the drive's tables changed or may have: list again.
  if (result.outcome != RepairOutcome::BackupFailed && result.outcome != RepairOutcome::Nothing) done(Restored);
}

void PartitionFixWindow::ShowDetails(const RepairPlan* plan) {
  // Without a plan of "&Restore" the details show what it would write,
  // planned without questions (the MBR boot code stays as it is).
  RepairPlan preview;
  if (!plan) {
    SilentUi quiet;
    const RepairCandidates& c = job_.candidates();
    if (RestoreMbr(job_.device(), c, quiet, preview) && RestoreExtendedRecords(job_.device(), c, preview) &&
        RestoreBootRecords(job_.device(), c, preview))
      plan = &preview;
  }
  FixDetailsWindow details(job_.candidates(), plan, this);
  details.exec();
}

// --- Details -----------------------------------------------------------------------

FixDetailsWindow::FixDetailsWindow(const RepairCandidates& candidates, const RepairPlan* plan, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("WINDOW_FIX_DETAILS"));
  const DetailsNode root = RepairDetails(candidates);
  setWindowTitle(Q(root.text));
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("detailsTree"));
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  auto* top = new QTreeWidgetItem(tree_, QStringList{Q(root.text)});
  for (const DetailsNode& child : root.children) AddNode(top, child);
  if (plan) {
    for (const SectorWrite& w : plan->writes) {
      auto* item = new QTreeWidgetItem(top, QStringList{QStringLiteral("%1 - %2 %3, %4 %5")
                                                            .arg(Q(w.what), Tr(StringId::FixSectorString))
                                                            .arg(w.sector)
                                                            .arg(Tr(StringId::FixTotalSectorsString))
                                                            .arg(w.count)});
      for (const auto& [before, after] : ChangedLines(w)) {
        new QTreeWidgetItem(item, QStringList{QStringLiteral("- ") + before});
        new QTreeWidgetItem(item, QStringList{QStringLiteral("+ ") + after});
      }
    }
  }
  // The boot loader behind an NTFS boot sector is not written here: say who restores it.
  std::vector<std::u16string> notes = plan ? plan->notes : std::vector<std::u16string>{};
  const bool ntfsBoot = std::any_of(candidates.damagedBoot.begin(), candidates.damagedBoot.end(),
                                    [](const DriveEntry& e) { return EntryFsName(e) == u"NTFS"; });
  if (notes.empty() && ntfsBoot) notes.push_back(Text(StringId::PartFixNtfsLoaderNote));
  for (const std::u16string& note : notes) {
    auto* item = new QTreeWidgetItem(top, QStringList{Q(note)});
    item->setToolTip(0, Q(note));
  }
  tree_->expandAll();
  tree_->setMinimumSize(560, 320);
  auto* ok = new QPushButton(Tr(StringId::ButtonOk), this);
  ok->setObjectName(QStringLiteral("okButton"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &FixDetailsWindow::accept);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_);
  layout->addLayout(buttons);
  loc_.Apply(u"WINDOW_FIX_DETAILS");
  resize(680, 440);
}

}  // namespace kestrova::gui

// --- From the start window -----------------------------------------------------------

namespace kestrova::gui {

void StartWindow::FindRepairsOfListing(const DriveList& list) {
  // Worker thread: the window is busy, nothing else touches the pending jobs.
  pendingRepairs_ = FindRepairs(list, ui_);
}

void StartWindow::OfferRepairs() {
  repairs_ = std::move(pendingRepairs_);
  pendingRepairs_.clear();
  // Lost partitions open the window at once, each drive until its window is closed.
  for (const std::unique_ptr<PartitionRepairJob>& job : repairs_) {
    if (job->candidates().lostPartitions <= 0) continue;
    if (std::find(dismissedRepairs_.begin(), dismissedRepairs_.end(), job->sourcePath()) != dismissedRepairs_.end())
      continue;
    if (RunPartitionFix(*job)) return;
  }
}

bool StartWindow::RunPartitionFix(PartitionRepairJob& job) {
  PartitionFixWindow window(list_, job, ui_, this);
  const int outcome = window.exec();
  if (outcome == PartitionFixWindow::Open) {
    auto one = std::make_shared<DriveList>(window.chosen());
    StartOpen([this, one] { return bridge_.Open(*one, 0); });
    return true;
  }
  if (outcome == PartitionFixWindow::Restored) {
    Refresh();
    return true;
  }
  dismissedRepairs_.push_back(job.sourcePath());
  return false;
}

void StartWindow::PartitionFixOfSelected() {
  if (busy()) return;
  const std::optional<std::size_t> row = SelectedRow();
  if (!row) return;
  const DriveRow& r = list_.rows[*row];
  std::string path = r.imagePath;
  if (path.empty())
    if (const PhysicalDrive* d = list_.tables.Physical(r.entry.drive)) path = d->devicePath;
  for (const std::unique_ptr<PartitionRepairJob>& job : repairs_) {
    if (!path.empty() && job->sourcePath() == path) {
      RunPartitionFix(*job);
      return;
    }
  }
  ui_.Show(Tr(StringId::PartFixNothingToRestore), {}, MsgIcon::Information, MsgButtons::Ok);
}

void StartWindow::LoadBackupDialog() {
  if (busy()) return;
  QFileDialog dialog(this, Tr(StringId::LoadBackupFile));
  dialog.setObjectName(QStringLiteral("backupDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(Tr(StringId::FilterBackup));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::string kvb = dialog.selectedFiles().front().toStdString();
  BackupInfo info;
  if (ReadBackupInfo(kvb, 512, info) != BackupReadStatus::Ok) {
    ui_.Show(Tr(StringId::BadBackupFile), {}, MsgIcon::Error, MsgButtons::Ok);
    return;
  }
  // The stored name is the image's or the drive's path (older files: the
  // drive's model, found among the drives of the stored size). The core
  // asks "Are You sure ..." once the disk is open.
  std::string target;
  const std::string stored = ToUtf8(info.name);
  std::error_code ec;
  if (!stored.empty() &&
      (std::filesystem::is_regular_file(stored, ec) || std::filesystem::is_block_file(stored, ec))) {
    target = stored;
  } else if (!stored.empty() && info.name.size() >= 63) {
    // The file keeps 64 characters of a path: a longer image path is found
    // among the listed images by its beginning and its size.
    for (const std::string& image : images_) {
      const std::u16string path = ToUtf16(image);
      std::error_code sizeError;
      const std::uintmax_t bytes = std::filesystem::file_size(image, sizeError);
      if (!sizeError && path.starts_with(info.name) && bytes / 512 == info.deviceSectors) target = image;
    }
  }
  if (target.empty()) {
    std::vector<const PhysicalDrive*> matches;
    for (const PhysicalDrive& d : list_.tables.physical)
      if (d.opened && d.sectors == info.deviceSectors && d.model == info.name) matches.push_back(&d);
    if (matches.size() > 1) {
      // Several identical drives: the one selected in the list, if it is one of them.
      QTreeWidgetItem* item = devices_->currentItem();
      const QVariant v = item ? item->data(0, Qt::UserRole + 1) : QVariant();
      const PhysicalDrive* selected = nullptr;
      if (v.isValid())
        for (const PhysicalDrive* d : matches)
          if (d->number == list_.rows[static_cast<std::size_t>(v.toULongLong())].entry.drive) selected = d;
      if (!selected) {
        ui_.Show(Tr(StringId::PleaseSelectDedicatedDisk), {}, MsgIcon::Information, MsgButtons::Ok);
        return;
      }
      matches = {selected};
    }
    if (matches.size() == 1) target = matches.front()->devicePath;
  }
  PartitionRepairJob job(ui_);
  if (target.empty() || job.Open(target) != SessionStatus::Ok) {
    ui_.Show(Tr(StringId::CantFindPhysicalDriveBackup) + QLatin1Char(' ') + Q(info.name), {}, MsgIcon::Error,
             MsgButtons::Ok);
    return;
  }
  RepairPlan plan;
  const RestoreStatus planned = job.PlanRestore(kvb, false, plan);
  // Declined, another disk refused, or a damaged file: the core said so.
  if (planned == RestoreStatus::Declined || planned == RestoreStatus::Mismatch || planned == RestoreStatus::NotKvb ||
      planned == RestoreStatus::Corrupt)
    return;
  if (planned != RestoreStatus::Ok) {
    ui_.Show(Tr(StringId::BackupFail), {}, MsgIcon::Error, MsgButtons::Ok);
    return;
  }
  // The result and the automatic backup's name are reported by the core.
  RunBehindWaitWindow(this, [&] { job.ApplyRestore(plan); });
  Refresh();
}

}  // namespace kestrova::gui
