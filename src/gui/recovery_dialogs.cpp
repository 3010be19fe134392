#include "gui/recovery_dialogs.h"

#include "common/text.h"
#include "gui/texts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QUrl>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kestrova::gui {

namespace {

// The explorer's folder name as the proposed subfolder: a leading '?' becomes
// '_', ':' and separators are dropped, " (RECOVERY)" appended.
QString RecoveryFolderName(QString name) {
  if (name.startsWith(QLatin1Char('?'))) name[0] = QLatin1Char('_');
  name.remove(QLatin1Char(':'));
  name.remove(QLatin1Char('\\'));
  name.remove(QLatin1Char('/'));
  if (name.isEmpty()) name = QStringLiteral("_");
  return name + Tr(StringId::RecoverySuffix) + QLatin1Char('/');
}

QString LowerFirst(QString text) {
  if (!text.isEmpty()) text[0] = text[0].toLower();
  return text;
}

QString Elided(const QString& text, int max) {
  if (text.size() <= max) return text;
  return QStringLiteral("...") + text.right(max - 3);
}

}  // namespace

// --- Select output path ------------------------------------------------------

SelectPathDialog::SelectPathDialog(const QString& focusName, const QString& folderName, std::size_t markedCount,
                                   const SourceIdentity& source, std::vector<std::u16string>& history,
                                   RecoveryRequest& request, QtUi& ui, QWidget* parent)
    : QDialog(parent),
      source_(source),
      history_(history),
      request_(request),
      ui_(ui),
      folderName_(folderName),
      markedCount_(markedCount) {
  setObjectName(QStringLiteral("WINDOW_SELECT_PATH"));
  auto* layout = new QVBoxLayout(this);
  auto* label = new QLabel(Tr(StringId::SelectPathLabel), this);
  layout->addWidget(label);
  auto* row = new QHBoxLayout;
  path_ = new QComboBox(this);
  path_->setObjectName(QStringLiteral("path"));
  path_->setEditable(true);
  path_->setInsertPolicy(QComboBox::NoInsert);
  path_->setMinimumWidth(440);
  path_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  for (const std::u16string& h : history_) path_->addItem(Q(h));
  row->addWidget(path_, 1);
  auto* browse = new QPushButton(Tr(StringId::SelectPathBrowse), this);
  browse->setObjectName(QStringLiteral("browse"));
  row->addWidget(browse);
  layout->addLayout(row);
  label->setBuddy(path_);
  explore_ = new QCheckBox(Tr(StringId::ExploreResultsAfter), this);
  explore_->setChecked(request_.exploreAfter);
  duplicates_ = new QCheckBox(Tr(StringId::BlockingOfDuplicates), this);
  duplicates_->setObjectName(QStringLiteral("blockDuplicates"));
  duplicates_->setChecked(request_.blockDuplicates);
  layout->addWidget(explore_);
  layout->addWidget(duplicates_);
  auto* box = new QDialogButtonBox(this);
  QPushButton* ok = box->addButton(Tr(StringId::ButtonOk), QDialogButtonBox::AcceptRole);
  ok->setDefault(true);
  QPushButton* cancel = box->addButton(Tr(StringId::ButtonCancel), QDialogButtonBox::RejectRole);
  layout->addWidget(box);
  connect(box, &QDialogButtonBox::accepted, this, &SelectPathDialog::accept);
  connect(box, &QDialogButtonBox::rejected, this, &SelectPathDialog::reject);
  connect(browse, &QPushButton::clicked, this, &SelectPathDialog::Browse);

  QtLocalisable loc(this);
  loc.AddControl(1, ok);
  loc.AddControl(2, cancel);
  loc.AddControl(3, browse);
  loc.AddControl(4, explore_);
  loc.AddControl(5, duplicates_);
  loc.Apply(u"WINDOW_SELECT_PATH");
  // "Recover "name" - select output path"
  setWindowTitle(Q(FillPlaceholders(Text(StringId::RecoveryTitle),
                                    {Text(StringId::RecoverWord), focusName.toStdU16String(),
                                     LowerFirst(Tr(StringId::SelectPathCaption)).toStdU16String()})));
}

void SelectPathDialog::Browse() {
  QFileDialog dialog(this, Tr(StringId::SelectPathDialogTitle));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString folder = dialog.selectedFiles().front();
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  QLineEdit* edit = path_->lineEdit();
  if (markedCount_ > 1) {
    const QString appended = RecoveryFolderName(folderName_);
    edit->setText(folder + appended);
    edit->setSelection(static_cast<int>(folder.size()), static_cast<int>(appended.size()));
  } else {
    edit->setText(folder);
  }
}

void SelectPathDialog::accept() {
  std::string destination = path_->currentText().trimmed().toStdString();
  const std::optional<StringId> refused = CheckDestination(destination, source_, history_);
  // The history gains the path either way; the box shows it at once.
  path_->clear();
  for (const std::u16string& h : history_) path_->addItem(Q(h));
  path_->setEditText(QString::fromStdString(destination));
  if (refused) {
    const StringId caption =
        *refused == StringId::PleaseSelectAnotherDrive ? StringId::CaptionOverwriteProtection : StringId::PathErrorCaption;
    ui_.Show(Tr(*refused), Tr(caption), MsgIcon::Warning, MsgButtons::Ok);
    return;  // the dialog stays open
  }
  request_.destination = destination;
  request_.exploreAfter = explore_->isChecked();
  request_.blockDuplicates = duplicates_->isChecked();
  request_.overwrite = false;
  QDialog::accept();
}

// --- Preparing to recovery ---------------------------------------------------

PreparingDialog::PreparingDialog(RecoveryControl& control, QWidget* parent) : QDialog(parent), control_(control) {
  setObjectName(QStringLiteral("WINDOW_PREPARING"));
  setWindowTitle(Tr(StringId::PreparingCaption));
  auto* layout = new QVBoxLayout(this);
  rows_ = new QTreeWidget(this);
  rows_->setObjectName(QStringLiteral("statistics"));
  rows_->setColumnCount(2);
  rows_->setHeaderLabels(SplitTitles(Tr(StringId::PreparingColumns)));
  rows_->setRootIsDecorated(false);
  rows_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  for (StringId id : kStatisticsRows) {
    auto* item = new QTreeWidgetItem(rows_, QStringList{Tr(id), QStringLiteral("0")});
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
  rows_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  rows_->setFixedHeight(rows_->sizeHintForRow(0) * 8 + rows_->header()->sizeHint().height() + 2 * rows_->frameWidth());
  rows_->setMinimumWidth(360);
  layout->addWidget(rows_);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  layout->addWidget(bar_);
  auto* abort = new QPushButton(Tr(StringId::PreparingAbort), this);
  abort->setObjectName(QStringLiteral("abort"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(abort);
  layout->addLayout(buttons);
  connect(abort, &QPushButton::clicked, this, &PreparingDialog::reject);
  QtLocalisable loc(this);
  loc.AddControl(2, abort);
  loc.AddColumns(100, [this](const QStringList& t) { rows_->setHeaderLabels(t); });
  loc.Apply(u"WINDOW_PREPARING");
}

void PreparingDialog::Show(const RecoveryStatistics& s) {
  const std::uint64_t values[8] = {s.foldersTotal, s.foldersDeleted, s.foldersDetected, s.foldersOverwritten,
                                   s.filesTotal,   s.filesDeleted,   s.filesDetected,   s.filesOverwritten};
  for (int i = 0; i < 8; ++i) rows_->topLevelItem(i)->setText(1, QString::number(values[i]));
  bar_->setValue(100);
}

void PreparingDialog::reject() {
  control_.Abort();
  control_.skip = true;
  QDialog::reject();
}

// --- Saving data... ----------------------------------------------------------

SavingDialog::SavingDialog(RecoveryControl& control, QtUi& ui, QWidget* parent) : QDialog(parent), control_(control) {
  setObjectName(QStringLiteral("WINDOW_SAVING"));
  setWindowTitle(Tr(StringId::SavingCaption));
  auto* layout = new QVBoxLayout(this);
  file_ = new QLabel(this);
  file_->setObjectName(QStringLiteral("file"));
  file_->setMinimumWidth(480);
  file_->setTextFormat(Qt::PlainText);
  layout->addWidget(file_);
  layout->addWidget(new QLabel(Tr(StringId::SavingCurrentFile), this));
  current_ = new QProgressBar(this);
  current_->setRange(0, 100);
  layout->addWidget(current_);
  layout->addWidget(new QLabel(Tr(StringId::SavingOverall), this));
  overall_ = new QProgressBar(this);
  overall_->setObjectName(QStringLiteral("overall"));
  overall_->setRange(0, 100);
  layout->addWidget(overall_);
  time_ = new QLabel(this);
  layout->addWidget(time_);
  auto* skip = new QPushButton(Tr(StringId::SavingSkipFile), this);
  auto* abort = new QPushButton(Tr(StringId::SavingAbort), this);
  abort->setObjectName(QStringLiteral("abort"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(skip);
  buttons->addWidget(abort);
  layout->addLayout(buttons);
  connect(skip, &QPushButton::clicked, this, [this] { control_.skip = true; });
  connect(abort, &QPushButton::clicked, this, &SavingDialog::reject);
  connect(&ui, &QtUi::statusChanged, this, [this](const QString& path) {
    file_->setText(Elided(path, 80));
    current_->setValue(0);
  });
  connect(&ui, &QtUi::progressed, this, [this](quint64 done, quint64 total) {
    current_->setValue(100);
    overall_->setValue(total ? static_cast<int>(done * 100 / total) : 100);
  });
  QtLocalisable loc(this);
  loc.AddControl(2, abort);
  loc.AddControl(3, skip);
  loc.Apply(u"WINDOW_SAVING");

  elapsed_.start();
  auto tick = [this] {
    const qint64 s = elapsed_.elapsed() / 1000;
    time_->setText(QString::asprintf("%s %.2u:%.2u:%.2u", Tr(StringId::TimeElapsed).toUtf8().constData(),
                                     static_cast<unsigned>(s / 3600), static_cast<unsigned>(s / 60 % 60),
                                     static_cast<unsigned>(s % 60)));
  };
  tick();
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, tick);
  timer->start(1000);
}

void SavingDialog::reject() {
  // The worker ends the current file at once and closes the window after it.
  control_.Abort();
  control_.skip = true;
}

// --- The flow ----------------------------------------------------------------

class RecoveryFlow::WorkerProgress : public CoreBridge::Progress {
 public:
  WorkerProgress(RecoveryFlow& flow, std::shared_ptr<Handover> handover, std::function<void(RecoveryStatistics)> post)
      : handover_(std::move(handover)), post_(std::move(post)) {
    (void)flow;
  }
  void Counted(const RecoveryStatistics& stats) override {
    post_(stats);
    // Saving starts once its window is up (or the user aborted).
    std::unique_lock lock(handover_->mutex);
    handover_->cv.wait(lock, [&] { return handover_->release; });
  }

 private:
  std::shared_ptr<Handover> handover_;
  std::function<void(RecoveryStatistics)> post_;
};

RecoveryFlow::~RecoveryFlow() {
  {
    std::scoped_lock lock(handover_->mutex);
    handover_->release = true;
  }
  handover_->cv.notify_all();
  if (worker_.joinable()) worker_.Join();
}

bool RecoveryFlow::Run(std::vector<MarkedEntry> marked, const QString& focusName, const QString& folderName,
                       std::vector<std::u16string>& history, RecoveryMode mode, bool defragment) {
  const SourceIdentity source = bridge_.Identity();
  request_.mode = mode;
  request_.defragment = defragment;
  {
    SelectPathDialog select(focusName, folderName, marked.size(), source, history, request_, ui_, owner_);
    if (select.exec() != QDialog::Accepted) return false;
  }
  auto release = [h = handover_] {
    {
      std::scoped_lock lock(h->mutex);
      h->release = true;
    }
    h->cv.notify_all();
  };

  QElapsedTimer started;
  started.start();
  PreparingDialog preparing(request_.control, owner_);
  QPointer<PreparingDialog> prep(&preparing);
  QPointer<SavingDialog> saving;
  bool counted = false, finished = false, ok = false;

  auto onCounted = [&, prep](RecoveryStatistics stats) {
    counted = true;
    if (!prep) return;
    prep->Show(stats);
    // The counters stay readable for a moment before the saving window follows.
    const qint64 wait = std::max<qint64>(0, 500 - started.elapsed()) + 250;
    QTimer::singleShot(std::chrono::milliseconds(wait), prep, [prep] {
      if (prep) prep->accept();
    });
  };
  auto onFinished = [&](bool success, RecoveryStatistics stats) {
    finished = true;
    ok = success;
    result_ = stats;
    if (prep && prep->isVisible()) prep->done(QDialog::Rejected);
    if (saving) {
      QPointer<SavingDialog> s = saving;
      QTimer::singleShot(request_.control.aborted() ? 0 : 250, s, [s] {
        if (s) s->done(QDialog::Accepted);
      });
    }
  };

  WorkerProgress progress(*this, handover_, [this, &onCounted](RecoveryStatistics stats) {
    QMetaObject::invokeMethod(this, [&onCounted, stats] { onCounted(stats); }, Qt::QueuedConnection);
  });
  worker_.Start(request_.control.token, [this, &progress, &onFinished, marked = std::move(marked)](WorkerToken&) mutable {
    RecoveryStatistics stats;
    const bool success = bridge_.Recover(marked, request_, ui_, progress, stats);
    QMetaObject::invokeMethod(this, [&onFinished, success, stats] { onFinished(success, stats); },
                              Qt::QueuedConnection);
  });

  if (!finished) preparing.exec();
  if (!finished && counted && !request_.control.aborted()) {
    SavingDialog dialog(request_.control, ui_, owner_);
    saving = &dialog;
    dialog.show();
    release();
    if (!finished) dialog.exec();
  }
  release();
  // The worker posts its end before it returns; wait for both.
  while (!finished) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  worker_.Join();
  if (ok && request_.exploreAfter && !request_.control.aborted())
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(request_.destination)));
  if (!ok) ui_.Show(Tr(StringId::CantCreateOpenDirectory), Tr(StringId::PathErrorCaption), MsgIcon::Warning,
                    MsgButtons::Ok);
  return ok;
}

}  // namespace kestrova::gui
