#include "gui/saving_image_window.h"
#include "gui/wait_windows.h"

#include "common/number_text.h"
#include "common/text.h"
#include "gui/core_bridge.h"
#include "gui/texts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace kestrova::gui {
namespace {

// The row as the window's first line shows it: label (file system) [drive model].
QString RowCaption(const DriveList& list, std::size_t row) {
  const DriveRow& r = list.rows.at(row);
  std::u16string label = EntryLabel(r.entry);
  if (label.empty()) label = DescribeRow(r).name;
  QString text = Q(label);
  const std::u16string fs = EntryFsName(r.entry);
  if (!fs.empty() && !r.entry.wholeDrive) text += QStringLiteral(" (%1)").arg(Q(fs));
  if (r.imagePath.empty())
    if (const PhysicalDrive* d = list.tables.Physical(r.entry.drive); d && !d->model.empty())
      text += r.entry.wholeDrive ? QStringLiteral(" %1").arg(Q(d->model)) : QStringLiteral(" [%1]").arg(Q(d->model));
  return text;
}

QString SectorLine(std::uint64_t done, std::uint64_t total) {
  return QStringLiteral("%1 %2 / %3")
      .arg(Tr(StringId::ImageSector), QString::fromStdString(GroupNumber(done)), QString::fromStdString(GroupNumber(total)));
}

}  // namespace

SavingImageWindow::SavingImageWindow(const DriveList& list, std::size_t row, const QString& output, QtUi& ui,
                                     QWidget* parent)
    : QDialog(parent), ui_(ui) {
  setObjectName(QStringLiteral("WINDOW_SAVING_IMAGE"));
  setWindowTitle(Tr(StringId::SavingImageCaption));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  source_ = new QLabel(RowCaption(list, row), this);
  source_->setObjectName(QStringLiteral("source"));
  source_->setMinimumWidth(460);
  layout->addWidget(source_);
  sector_ = new QLabel(this);
  sector_->setObjectName(QStringLiteral("sector"));
  layout->addWidget(sector_);
  unreadable_ = new QLabel(QStringLiteral("%1 0").arg(Tr(StringId::ImageUnreadable)), this);
  unreadable_->setObjectName(QStringLiteral("unreadable"));
  layout->addWidget(unreadable_);
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("progress"));
  bar_->setRange(0, 100);
  layout->addWidget(bar_);
  pause_ = new QPushButton(Tr(StringId::ImagePause), this);
  pause_->setObjectName(QStringLiteral("pauseButton"));
  abort_ = new QPushButton(Tr(StringId::ImageAbort), this);
  abort_->setObjectName(QStringLiteral("abortButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(pause_);
  buttons->addWidget(abort_);
  layout->addLayout(buttons);
  // "&Pause" and "&Resume" come from their slots as the button toggles.
  loc_.AddControl(2, abort_);
  loc_.Apply(u"WINDOW_SAVING_IMAGE");

  connect(pause_, &QPushButton::clicked, this, [this] {
    if (!copy_ || aborting_) return;
    pause_->setText(Tr(copy_->TogglePause() ? StringId::ImageResume : StringId::ImagePause));
  });
  connect(abort_, &QPushButton::clicked, this, &SavingImageWindow::Abort);

  // The row's whole device, in a session of this window's own: the browsing session stays as it is.
  const DriveRow& r = list.rows.at(row);
  const std::string path = CoreBridge::DevicePathOf(list, row);
  session_ = std::make_unique<VolumeSession>(ui_);
  copy_ = std::make_unique<ImageCopy>(*session_);
  ImageChoice choice;
  choice.byRange = true;
  choice.start = r.entry.start;
  choice.count = r.entry.wholeDrive ? 0 : r.entry.sectors;
  choice.fsName = EntryFsName(r.entry);
  choice.outputPath = output.toStdString();
  ImageRequest request;
  bool prepared = false;
  // Opening reads the drive, which a failing one may take long to answer.
  RunBehindWaitWindow(parent, [&] {
    const SessionStatus opened = path.empty() ? SessionStatus::Missing : session_->OpenSource(path);
    prepared = (opened == SessionStatus::Ok || opened == SessionStatus::BootUnreadable) &&
               copy_->Prepare(choice, request) == SessionStatus::Ok;
  });
  if (prepared) {
    sector_->setText(SectorLine(1, request.count));
    started_ = copy_->Start(request);
  }
  if (!started_) {
    failMessage_ = r.imagePath.empty() ? StringId::CantOpenThisDrive : StringId::CantOpenImageFile;
    sector_->setText(SectorLine(0, 0));
    result_.status = ImageStatus::BadRequest;
  }
  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, &SavingImageWindow::Poll);
  poll_->start(25);
}

SavingImageWindow::~SavingImageWindow() {
  if (copy_) {
    copy_->Abort();
    copy_->Wait();
  }
}

void SavingImageWindow::Poll() {
  if (!started_) {
    poll_->stop();
    ui_.Show(Tr(failMessage_), {}, MsgIcon::Error, MsgButtons::Ok);
    done(QDialog::Rejected);
    return;
  }
  const WorkerProgress p = copy_->Progress();
  if (p.total) {
    const int percent = static_cast<int>(p.done * 100 / p.total);
    if (percent != lastPercent_) bar_->setValue(lastPercent_ = percent);
    sector_->setText(SectorLine(p.done, p.total));
  }
  unreadable_->setText(QStringLiteral("%1 %2").arg(Tr(StringId::ImageUnreadable), QString::fromStdString(GroupNumber(p.items))));
  if (!copy_->finished()) return;
  poll_->stop();
  result_ = copy_->Wait();
  const bool ok = result_.status == ImageStatus::Done && result_.sectorsUnreadable == 0;
  const QString text = Q(ImageStatusText(result_.status)) + QStringLiteral("\n\n") + Q(ImageSummaryText(result_));
  ui_.Show(text, {}, ok ? MsgIcon::Information : MsgIcon::Warning, MsgButtons::Ok);
  accept();
}

void SavingImageWindow::Abort() {
  if (!copy_ || aborting_) return;
  aborting_ = true;
  pause_->setEnabled(false);
  abort_->setEnabled(false);
  copy_->Abort();  // the window closes when the copy has ended
}

void SavingImageWindow::reject() { Abort(); }

void CreateImageOfRow(const DriveList& list, std::size_t row, QtUi& ui, QWidget* parent) {
  const DriveRow& r = list.rows.at(row);
  std::u16string name = EntryLabel(r.entry);
  if (name.empty()) name = DescribeRow(r).name;
  QString proposed = Q(name).trimmed();
  proposed.replace(QLatin1Char('/'), QLatin1Char('_'));
  if (proposed.isEmpty()) proposed = QStringLiteral("image");
  const SourceIdentity source = IdentityOfSource(CoreBridge::DevicePathOf(list, row));
  proposed += QStringLiteral(".img");
  QString chosen, folder;
  for (;;) {
    QFileDialog dialog(parent, Tr(StringId::SaveImageFile));
    dialog.setObjectName(QStringLiteral("saveImageDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(Tr(StringId::ImageFilter));
    dialog.setDefaultSuffix(QStringLiteral("img"));
    // After a refusal the folder stays and the name is proposed afresh, not the refused file.
    if (!folder.isEmpty()) dialog.setDirectory(folder);
    dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    chosen = dialog.selectedFiles().front();
    // The image must not be written onto the drive it copies.
    if (PathIsOnSource(chosen.toStdString(), source)) {
      folder = QFileInfo(chosen).absolutePath();
      ui.Show(Tr(StringId::PleaseSelectAnotherDrive), Tr(StringId::CaptionOverwriteProtection), MsgIcon::Warning,
              MsgButtons::Ok);
      continue;
    }
    break;
  }
  SavingImageWindow window(list, row, chosen, ui, parent);
  window.exec();
}

}  // namespace kestrova::gui
