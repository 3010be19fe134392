#include "gui/partition_search_windows.h"

#include "common/number_text.h"
#include "common/text.h"
#include "gui/texts.h"
#include "gui/start_window.h"
#include "gui/tool_dialogs.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QTreeWidgetItem>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <filesystem>

namespace kestrova::gui {

// --- Scan mode ---------------------------------------------------------------

ScanModeWindow::ScanModeWindow(std::uint64_t deviceSectors, QWidget* parent)
    : QDialog(parent), last_(deviceSectors ? deviceSectors - 1 : 0) {
  setObjectName(QStringLiteral("WINDOW_HDD_SCAN_MODE"));
  setWindowTitle(Tr(StringId::PhysicalDriveScanCaption));
  deep_ = new QRadioButton(Tr(StringId::ScanModeDeep), this);
  deep_->setObjectName(QStringLiteral("deepMode"));
  deep_->setToolTip(Tr(StringId::ScanModeDeepTip));
  deep_->setChecked(true);
  fast_ = new QRadioButton(Tr(StringId::ScanModeFast), this);
  fast_->setObjectName(QStringLiteral("fastMode"));
  fast_->setToolTip(Tr(StringId::ScanModeFastTip));
  // The two carving choices hand the whole drive to the free-space scan.
  auto* raw = raw_ = new QRadioButton(Tr(StringId::ScanModeRaw), this);
  raw->setObjectName(QStringLiteral("rawMode"));
  raw->setToolTip(Tr(StringId::ScanModeRawTip));
  auto* reverse = reverse_ = new QRadioButton(Tr(StringId::ScanModeReverse), this);
  reverse->setObjectName(QStringLiteral("reverseMode"));
  reverse->setToolTip(Tr(StringId::ScanModeReverseTip));
  auto* note = new QLabel(Tr(StringId::ScanModeNote), this);
  note->setWordWrap(true);

  auto* position = new QGroupBox(Tr(StringId::ScanModeStartPosition), this);
  slider_ = new QSlider(Qt::Horizontal, position);
  slider_->setObjectName(QStringLiteral("startSlider"));
  slider_->setRange(0, kStartSliderSteps);
  sector_ = new QLineEdit(QStringLiteral("0"), position);
  sector_->setObjectName(QStringLiteral("startSector"));
  mb_ = new QLineEdit(QStringLiteral("0"), position);
  mb_->setObjectName(QStringLiteral("startMb"));
  gb_ = new QLineEdit(QStringLiteral("0"), position);
  gb_->setObjectName(QStringLiteral("startGb"));
  auto* sectorLabel = new QLabel(Tr(StringId::ScanModeSector), position);
  auto* mbLabel = new QLabel(Tr(StringId::ScanModeMb), position);
  auto* gbLabel = new QLabel(Tr(StringId::ScanModeGb), position);
  auto* fields = new QHBoxLayout;
  for (auto [label, edit] : {std::pair{sectorLabel, sector_}, std::pair{mbLabel, mb_}, std::pair{gbLabel, gb_}}) {
    label->setBuddy(edit);
    fields->addWidget(label);
    fields->addWidget(edit, 1);
  }
  auto* positionLayout = new QVBoxLayout(position);
  positionLayout->addWidget(slider_);
  positionLayout->addLayout(fields);

  connect(slider_, &QSlider::valueChanged, this,
          [this](int step) { SetStart(StartSectorFromSlider(step, last_), slider_); });
  connect(sector_, &QLineEdit::textEdited, this,
          [this](const QString& t) { SetStart(StartSectorFromField(t.toStdU16String(), 1, last_), sector_); });
  connect(mb_, &QLineEdit::textEdited, this,
          [this](const QString& t) { SetStart(StartSectorFromField(t.toStdU16String(), kSectorsPerMb, last_), mb_); });
  connect(gb_, &QLineEdit::textEdited, this,
          [this](const QString& t) { SetStart(StartSectorFromField(t.toStdU16String(), kSectorsPerGb, last_), gb_); });

  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  box->button(QDialogButtonBox::Ok)->setText(Tr(StringId::ButtonOk));
  box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  box->button(QDialogButtonBox::Cancel)->setText(Tr(StringId::ButtonCancel));
  connect(box, &QDialogButtonBox::accepted, this, [this] {
    // The number in "Sector:" decides (0 when it is not one).
    start_ = StartSectorFromField(sector_->text().toStdU16String(), 1, last_);
    accept();
  });
  connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  for (QWidget* w : {static_cast<QWidget*>(deep_), static_cast<QWidget*>(fast_), static_cast<QWidget*>(raw),
                     static_cast<QWidget*>(reverse), static_cast<QWidget*>(note), static_cast<QWidget*>(position)})
    layout->addWidget(w);
  layout->addWidget(box);
  setMinimumWidth(520);

  loc_.AddControl(1001, deep_);
  loc_.AddControl(1002, fast_);
  loc_.AddControl(1003, raw);
  loc_.AddControl(1004, reverse);
  loc_.AddControl(1005, position);
  loc_.AddControl(1006, sectorLabel);
  loc_.AddControl(1007, mbLabel);
  loc_.AddControl(1008, gbLabel);
  loc_.Apply(u"WINDOW_HDD_SCAN_MODE");
}

SearchMode ScanModeWindow::mode() const { return fast_->isChecked() ? SearchMode::Fast : SearchMode::Deep; }

ScanModeWindow::Choice ScanModeWindow::choice() const {
  if (raw_->isChecked()) return Raw;
  if (reverse_->isChecked()) return Reverse;
  return fast_->isChecked() ? Fast : Deep;
}

void ScanModeWindow::SetStart(std::uint64_t sector, QObject* from) {
  start_ = sector;
  if (from != sector_) sector_->setText(QString::number(sector));
  if (from != mb_) mb_->setText(QString::number(sector / kSectorsPerMb));
  if (from != gb_) gb_->setText(QString::number(sector / kSectorsPerGb));
  if (from != slider_) {
    const QSignalBlocker quiet(slider_);
    slider_->setValue(StartSliderStep(sector, last_));
  }
}

// --- Progress ------------------------------------------------------------------

PartitionSearchWindow::PartitionSearchWindow(PartitionFinder& finder, QtUi& ui, QWidget* parent)
    : QDialog(parent), finder_(finder), ui_(ui) {
  setObjectName(QStringLiteral("WINDOW_HDD_SCAN_PARTITIONS"));
  setWindowTitle(Tr(StringId::PartitionSearchCaption));
  log_ = new QListWidget(this);
  log_->setObjectName(QStringLiteral("searchLog"));
  log_->setMinimumSize(620, 240);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("searchStatus"));
  save_ = new QPushButton(Tr(StringId::PartScanSave), this);
  save_->setObjectName(QStringLiteral("saveButton"));
  pause_ = new QPushButton(Tr(StringId::PartScanPauseString), this);
  pause_->setObjectName(QStringLiteral("pauseButton"));
  next_ = new QPushButton(Tr(StringId::PartScanNext), this);
  next_->setObjectName(QStringLiteral("nextButton"));
  close_ = new QPushButton(Tr(StringId::PartScanClose), this);
  close_->setObjectName(QStringLiteral("closeButton"));
  // Save and pause wait for the scan loop; Next for the first volume or the end.
  save_->setEnabled(false);
  pause_->setEnabled(false);
  next_->setEnabled(false);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(save_);
  buttons->addWidget(pause_);
  buttons->addStretch();
  buttons->addWidget(next_);
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(log_);
  layout->addWidget(bar_);
  layout->addWidget(status_);
  layout->addLayout(buttons);

  connect(save_, &QPushButton::clicked, this, &PartitionSearchWindow::Save);
  connect(pause_, &QPushButton::clicked, this, [this] {
    const bool paused = finder_.token().TogglePause();
    pause_->setText(Tr(paused ? StringId::PartScanResumeString : StringId::PartScanPauseString));
  });
  connect(next_, &QPushButton::clicked, this, [this] {
    // The search ends after its buffer and keeps its place for "&Back".
    finder_.token().Resume();
    if (finder_.search()) finder_.search()->RequestFinish();
    finder_.Wait();
    accept();
  });
  connect(close_, &QPushButton::clicked, this, &PartitionSearchWindow::reject);

  loc_.AddControl(1001, save_);
  loc_.AddControl(1002, next_);
  loc_.AddControl(1003, close_);
  loc_.Apply(u"WINDOW_HDD_SCAN_PARTITIONS");

  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, &PartitionSearchWindow::Poll);
  poll_->start(25);
  Poll();
}

void PartitionSearchWindow::Poll() {
  PartitionSearch* search = finder_.search();
  if (!search) return;
  const std::vector<std::u16string> lines = search->Log();
  for (; shownLines_ < lines.size(); ++shownLines_) log_->addItem(Q(lines[shownLines_]));
  if (!lines.empty()) log_->scrollToBottom();
  const WorkerProgress p = finder_.token().Progress();
  if (p.total) bar_->setValue(static_cast<int>(std::min<std::uint64_t>(p.done, p.total) * 100 / p.total));
  if (p.statusGeneration != statusGeneration_) {
    statusGeneration_ = p.statusGeneration;
    status_->setText(Q(finder_.token().Status()));
  }
  const bool running = finder_.Running();
  save_->setEnabled(true);
  pause_->setEnabled(running);
  next_->setEnabled(search->ResultCount() > 0 || !running);
  if (!running && search->finished()) {
    bar_->setValue(100);
    poll_->stop();
  }
}

void PartitionSearchWindow::Save() {
  QFileDialog dialog(this, Tr(StringId::PartScanSaveScanSession));
  dialog.setObjectName(QStringLiteral("sessionDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilter(Tr(StringId::PartScanSaveScanSession));
  dialog.setDefaultSuffix(QStringLiteral("kvsp"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::string path = dialog.selectedFiles().front().toStdString();
  if (finder_.Running()) {
    finder_.search()->RequestSave(path);  // written after the current buffer, then logged
  } else if (!finder_.search()->SaveNow(path)) {
    ui_.Show(Q(FillPlaceholders(Text(StringId::PartSessionCantWrite), {ToUtf16(path)})), {}, MsgIcon::Error,
             MsgButtons::Ok);
  }
  Poll();
}

void PartitionSearchWindow::reject() {
  // "&Close": the search stops and the window ends.
  poll_->stop();
  finder_.Stop();
  QDialog::reject();
}

// --- Results -------------------------------------------------------------------

PartitionResultsWindow::PartitionResultsWindow(PartitionFinder& finder, std::u16string driveTitle, QWidget* parent)
    : QDialog(parent), found_(finder.Found()) {
  setObjectName(QStringLiteral("WINDOW_HDD_SCAN_RESULTS"));
  setWindowTitle(Tr(StringId::PartitionResultsCaption));
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("resultList"));
  list_->setColumnCount(4);
  list_->setHeaderLabels(SplitTitles(Tr(StringId::PartResultsColumns)));
  list_->setRootIsDecorated(false);
  list_->setAllColumnsShowFocus(true);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  list_->setMinimumSize(620, 260);
  auto* group = new QTreeWidgetItem(list_, QStringList{Q(driveTitle)});
  group->setFirstColumnSpanned(true);
  QFont bold = group->font(0);
  bold.setBold(true);
  group->setFont(0, bold);
  group->setFlags(Qt::ItemIsEnabled);
  for (std::size_t i = 0; i < found_.size(); ++i) {
    const DriveEntry& e = found_[i].entry;
    std::u16string name = EntryLabel(e);
    if (found_[i].damaged) name += u" [DAMAGED]";
    auto* item = new QTreeWidgetItem(group, QStringList{Q(name), Q(EntryFsName(e)), Q(ToUtf16(SizeText(e.sectors * 512))),
                                                       Q(PartitionStatusText(found_[i].status))});
    item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  }
  list_->expandAll();
  for (int c = 1; c < 4; ++c) list_->resizeColumnToContents(c);
  if (group->childCount()) list_->setCurrentItem(group->child(0));

  auto* back = new QPushButton(Tr(StringId::PartResultsBack), this);
  back->setObjectName(QStringLiteral("backButton"));
  auto* settings = new QPushButton(Tr(StringId::PartResultsSettings), this);
  settings->setObjectName(QStringLiteral("settingsButton"));
  auto* next = new QPushButton(Tr(StringId::PartResultsNext), this);
  next->setObjectName(QStringLiteral("nextButton"));
  next->setDefault(true);
  next->setEnabled(!found_.empty());
  settings->setEnabled(!found_.empty());
  // "&Back" returns to the search, which goes on from where it stopped.
  back->setEnabled(!finder.search() || !finder.search()->finished());
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(back);
  buttons->addWidget(settings);
  buttons->addStretch();
  buttons->addWidget(next);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addLayout(buttons);

  connect(back, &QPushButton::clicked, this, [this] { done(Back); });
  connect(settings, &QPushButton::clicked, this, [this] {
    if (!Selected()) return;
    DriveSettingsDialog dialog(settings_, this);
    if (dialog.exec() == QDialog::Accepted) settings_ = dialog.settings();
  });
  auto open = [this] {
    if (const auto i = Selected()) {
      chosen_ = found_[*i];
      done(Open);
    }
  };
  connect(next, &QPushButton::clicked, this, open);
  connect(list_, &QTreeWidget::itemActivated, this, [open](QTreeWidgetItem* item) {
    if (item->data(0, Qt::UserRole).isValid()) open();
  });

  loc_.AddColumns(100, [this](const QStringList& t) { list_->setHeaderLabels(t); });
  loc_.AddControl(1001, back);
  loc_.AddControl(1002, settings);
  loc_.AddControl(1003, next);
  loc_.Apply(u"WINDOW_HDD_SCAN_RESULTS");
}

std::optional<std::size_t> PartitionResultsWindow::Selected() const {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item || !item->data(0, Qt::UserRole).isValid()) return std::nullopt;
  return static_cast<std::size_t>(item->data(0, Qt::UserRole).toULongLong());
}

// --- Carving scan of a whole drive -----------------------------------------------

CarvingScanWindow::CarvingScanWindow(VolumeScan& scan, const QString& caption, QWidget* parent)
    : QDialog(parent), scan_(scan) {
  setObjectName(QStringLiteral("carvingScan"));
  setWindowTitle(caption);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  counts_ = new QLabel(this);
  counts_->setObjectName(QStringLiteral("carvingCounts"));
  auto* stop = new QPushButton(Tr(StringId::PopupBreak), this);
  stop->setObjectName(QStringLiteral("stopButton"));
  connect(stop, &QPushButton::clicked, this, &CarvingScanWindow::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(stop);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(bar_);
  layout->addWidget(counts_);
  layout->addLayout(buttons);
  setMinimumWidth(480);
  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, &CarvingScanWindow::Poll);
  poll_->start(50);
  Poll();
}

void CarvingScanWindow::Poll() {
  const ScanSnapshot s = scan_.Snapshot();
  bar_->setValue(static_cast<int>(std::min<std::uint32_t>(s.percent, 100)));
  counts_->setText(Tr(StringId::LostFilesFolder) + QStringLiteral(": ") + QString::number(s.lostCount) +
                   QStringLiteral("    ") + Tr(StringId::RawFilesFolder) + QStringLiteral(": ") +
                   QString::number(s.rawCount));
  if (scan_.finished()) {
    poll_->stop();
    accept();
  }
}

void CarvingScanWindow::reject() {
  // Stops after the current block; what was found stays for the explorer.
  scan_.Stop();
  poll_->stop();
  QDialog::accept();
}

// --- From the start window -----------------------------------------------------

void StartWindow::SearchPartitionsOfSelected() {
  if (busy()) return;
  const std::optional<std::size_t> row = SelectedRow();
  if (!row) return;
  const DriveEntry& e = list_.rows[*row].entry;
  const std::u16string title = FillPlaceholders(Text(StringId::HddGroup), {ToUtf16(std::to_string(e.drive)), EntryLabel(e),
                                                                           ToUtf16(SizeText(e.sectors * 512))});
  RunPartitionSearch(CoreBridge::DevicePathOf(list_, *row), title, nullptr);
}

void StartWindow::LoadSessionDialog() {
  if (busy()) return;
  QFileDialog dialog(this, Tr(StringId::LoadSessionFile));
  dialog.setObjectName(QStringLiteral("sessionDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(Tr(StringId::FilterSessionOpen).replace(QStringLiteral(", "), QStringLiteral(" ")));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  OpenSessionFile(dialog.selectedFiles().front());
}

void StartWindow::LoadPartitionSessionFile(const QString& file) {
  PartitionSession session;
  if (LoadPartitionSession(file.toStdString(), session) != SessionFileStatus::Ok) {
    ui_.Show(Tr(StringId::PartSessionDamaged), {}, MsgIcon::Error, MsgButtons::Ok);
    return;
  }
  // The stored name is the image or device the search ran on.
  const std::string path = ToUtf8(session.name);
  std::error_code ec;
  if (session.name.empty() || !std::filesystem::exists(path, ec)) {
    ui_.Show(Tr(StringId::CantFindValidDriveForThisSession) + QStringLiteral(" ") + Q(session.name), {},
             MsgIcon::Error, MsgButtons::Ok);
    return;
  }
  const std::u16string title = FillPlaceholders(Text(StringId::HddGroup),
                                                {u"0", session.name, ToUtf16(SizeText(session.deviceSectors * 512))});
  RunPartitionSearch(path, title, &session);
}

void StartWindow::RunScanAfterOpen() {
  if (!scanAfterOpen_) return;
  const ScanOptions options = *scanAfterOpen_;
  scanAfterOpen_.reset();
  if (!bridge_.mounted()) return;
  std::unique_ptr<VolumeScan> scan = bridge_.StartScan(options);
  if (!scan) return;
  CarvingScanWindow window(*scan, Tr(options.reverse ? StringId::ScanModeReverse : StringId::ScanModeRaw), this);
  window.exec();
  scan->Wait();
}

void StartWindow::RunPartitionSearch(const std::string& path, const std::u16string& title,
                                     const PartitionSession* resume) {
  finder_ = std::make_unique<PartitionFinder>(ui_);
  const SessionStatus opened = finder_->Open(path);
  if (opened != SessionStatus::Ok) {
    if (opened != SessionStatus::CantOpen) ui_.Show(Tr(StringId::CantOpenThisDrive), {}, MsgIcon::Error, MsgButtons::Ok);
    finder_.reset();
    return;
  }
  if (resume) {
    if (resume->deviceSectors != finder_->deviceSectors()) {
      ui_.Show(Tr(StringId::PartSessionOtherDisk), {}, MsgIcon::Error, MsgButtons::Ok);
      finder_.reset();
      return;
    }
    finder_->Resume(*resume);
  } else {
    ScanModeWindow mode(finder_->deviceSectors(), this);
    if (mode.exec() != QDialog::Accepted) {
      finder_.reset();
      return;
    }
    if (mode.choice() == ScanModeWindow::Raw || mode.choice() == ScanModeWindow::Reverse) {
      // The carving scans: the whole drive opens as one volume and its
      // free-space scan runs (from the end in reverse) before the explorer shows it.
      const std::uint64_t sectors = finder_->deviceSectors();
      finder_.reset();
      ScanOptions options;
      options.reverse = mode.choice() == ScanModeWindow::Reverse;
      DriveSettings settings;
      settings.reverse = options.reverse;
      scanAfterOpen_ = options;
      StartOpen([this, path, sectors, settings] { return bridge_.OpenFound(path, 0, sectors, settings); });
      return;
    }
    finder_->Start(mode.mode(), mode.startSector());
  }
  for (;;) {
    PartitionSearchWindow progress(*finder_, ui_, this);
    if (progress.exec() != QDialog::Accepted) break;  // closed: the search stopped
    PartitionResultsWindow results(*finder_, title, this);
    const int outcome = results.exec();
    if (outcome == PartitionResultsWindow::Back && finder_->Continue()) continue;
    if (outcome == PartitionResultsWindow::Open && results.chosen()) {
      const FoundVolume chosen = *results.chosen();
      const DriveSettings settings = results.settings();
      StartOpen([this, path, chosen, settings] {
        return bridge_.OpenFound(path, chosen.entry.start, chosen.entry.sectors, settings);
      });
    }
    break;
  }
  finder_.reset();
}

}  // namespace kestrova::gui
