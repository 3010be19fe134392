#include "gui/wait_windows.h"

#include "explore/volume_session.h"
#include "gui/localise.h"
#include "gui/texts.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <thread>

namespace kestrova::gui {

WaitWindow::WaitWindow(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("WINDOW_PLEASE_WAIT"));
  setWindowTitle(Tr(StringId::PleaseWaitCaption));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* label = new QLabel(Tr(StringId::PleaseWaitCaption), this);
  layout->addWidget(label);
  auto* bar = new QProgressBar(this);
  bar->setRange(0, 0);  // busy: the open reports no steps
  bar->setMinimumWidth(300);
  layout->addWidget(bar);
  QtLocalisable loc(this);
  loc.Apply(u"WINDOW_PLEASE_WAIT");
}

void RunBehindWaitWindow(QWidget* parent, std::function<void()> work) {
  WaitWindow wait(parent);
  // Escape would close the window while the work goes on: it stays until the end.
  wait.setWindowFlag(Qt::WindowCloseButtonHint, false);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
    QMetaObject::invokeMethod(&wait, [&wait] { wait.done(QDialog::Accepted); }, Qt::QueuedConnection);
  });
  while (!done) wait.exec();  // a rejected window (Escape) shows again until the work ends
  worker.join();
  // The queued close may still be pending for a window that is gone with this scope.
  QCoreApplication::removePostedEvents(&wait);
}

ProcessingMftWindow::ProcessingMftWindow(MftCollection& collection, QtUi& ui, QWidget* parent)
    : QDialog(parent), collection_(collection) {
  setObjectName(QStringLiteral("WINDOW_PROCESSING_MFT"));
  setWindowTitle(Tr(StringId::ProcessingMftCaption));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  status_ = new QLabel(Tr(StringId::ProcessingMftSector), this);
  status_->setMinimumWidth(420);
  layout->addWidget(status_);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 1000);
  layout->addWidget(bar_);
  auto* now = new QPushButton(Tr(StringId::ExploreFilesNow), this);
  now->setObjectName(QStringLiteral("exploreNow"));
  auto* cancel = new QPushButton(Tr(StringId::ProcessingMftCancel), this);
  cancel->setObjectName(QStringLiteral("cancel"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(now);
  buttons->addStretch();
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  QtLocalisable loc(this);
  loc.AddControl(1, now);
  loc.AddControl(2, cancel);
  loc.Apply(u"WINDOW_PROCESSING_MFT");

  connect(now, &QPushButton::clicked, this, [this] { collection_.ExploreNow(); });
  connect(cancel, &QPushButton::clicked, this, &ProcessingMftWindow::reject);
  connect(&ui, &QtUi::statusChanged, status_, &QLabel::setText);
  connect(&ui, &QtUi::progressed, this, [this](quint64 done, quint64 total) {
    if (total) bar_->setValue(static_cast<int>(done * 1000 / total));
  });
  // The collection's thread ends on its own; the window polls for that.
  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (collection_.finished()) accept();
  });
  poll_->start(50);
}

void ProcessingMftWindow::reject() {
  // Closing the window stops the collection; the explorer shows what was found.
  collection_.Cancel();
  collection_.Wait();
  accept();
}

}  // namespace kestrova::gui
