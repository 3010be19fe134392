#include "gui/read_error_dialog.h"

#include "gui/localise.h"
#include "gui/texts.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrova::gui {

ReadErrorDialog::ReadErrorDialog(std::function<void(bool)> onContinue, std::function<void(bool)> onStopScan,
                                 QWidget* parent)
    : QDialog(parent), onContinue_(std::move(onContinue)), onStopScan_(std::move(onStopScan)) {
  setObjectName(QStringLiteral("WINDOW_READ_ERROR"));
  setWindowTitle(Tr(StringId::ReadErrorTitle));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  auto* heading = new QLabel(Tr(StringId::ReadErrorHeading), this);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  layout->addWidget(heading);
  auto* grid = new QGridLayout;
  sector_ = new QLabel(this);
  code_ = new QLabel(this);
  code_->setWordWrap(true);
  count_ = new QLabel(this);
  grid->addWidget(new QLabel(Tr(StringId::ReadErrorSectorCluster), this), 0, 0);
  grid->addWidget(sector_, 0, 1);
  grid->addWidget(new QLabel(Tr(StringId::ReadErrorCode), this), 1, 0);
  grid->addWidget(code_, 1, 1);
  grid->addWidget(new QLabel(Tr(StringId::ReadErrorCount), this), 2, 0);
  grid->addWidget(count_, 2, 1);
  grid->setColumnStretch(1, 1);
  layout->addLayout(grid);
  skip_ = new QCheckBox(Tr(StringId::ReadErrorSkip), this);
  layout->addWidget(skip_);
  auto* buttons = new QHBoxLayout;
  auto* cont = new QPushButton(Tr(StringId::ReadErrorContinue), this);
  cont->setDefault(true);
  stop_ = new QPushButton(Tr(StringId::ReadErrorStopScan), this);
  buttons->addStretch();
  buttons->addWidget(cont);
  buttons->addWidget(stop_);
  layout->addLayout(buttons);
  setMinimumWidth(380);
  connect(cont, &QPushButton::clicked, this, &ReadErrorDialog::reject);
  connect(stop_, &QPushButton::clicked, this, [this] {
    hide();
    onStopScan_(skip_->isChecked());
  });
  QtLocalisable loc(this);
  loc.Apply(u"WINDOW_READ_ERROR");
}

void ReadErrorDialog::ShowView(const ReadErrorView& view) {
  sector_->setText(Q(view.sectorLine));
  code_->setText(Q(view.errorText));
  count_->setText(Q(view.countLine));
  stop_->setVisible(view.hasStopButton);
  stop_->setEnabled(view.stopScanEnabled);
  skip_->setChecked(view.skipChecked);
  if (view.visible)
    show();
  else
    hide();
}

void ReadErrorDialog::reject() {
  // "&Continue" and closing the window alike.
  hide();
  onContinue_(skip_->isChecked());
}

}  // namespace kestrova::gui
