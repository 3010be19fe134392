#include "gui/old_partitions_window.h"

#include "common/number_text.h"
#include "common/text.h"
#include "gui/localise.h"
#include "gui/texts.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kestrova::gui {

namespace {
QString Grouped(std::uint64_t n) { return QString::fromStdString(GroupNumber(n)); }
}  // namespace

// --- Preliminary scan ----------------------------------------------------------

PreliminaryScanWindow::PreliminaryScanWindow(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("WINDOW_SUBPART"));
  setWindowTitle(Tr(StringId::FreeRegionCaption));
  // The explorer stays usable (F10 pauses the scan meanwhile).
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(Tr(StringId::ProbeHint), this);
  hint->setWordWrap(true);
  hint->setMinimumWidth(440);
  layout->addWidget(hint);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 1000);
  layout->addWidget(bar_);
  read_ = new QLabel(this);
  read_->setObjectName(QStringLiteral("probeRead"));
  layout->addWidget(read_);
  found_ = new QLabel(this);
  found_->setObjectName(QStringLiteral("probeFound"));
  layout->addWidget(found_);
  auto* skip = new QPushButton(Tr(StringId::ProbeSkip), this);
  skip->setObjectName(QStringLiteral("skipButton"));
  skip->setDefault(true);
  auto* stop = new QPushButton(Tr(StringId::PopupBreak), this);
  stop->setObjectName(QStringLiteral("stopButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(skip);
  buttons->addStretch();
  buttons->addWidget(stop);
  layout->addLayout(buttons);
  connect(skip, &QPushButton::clicked, this, &PreliminaryScanWindow::skipRequested);
  connect(stop, &QPushButton::clicked, this, &PreliminaryScanWindow::stopRequested);
  Update(ScanSnapshot{}, 0);
}

void PreliminaryScanWindow::Update(const ScanSnapshot& s, std::size_t found) {
  const std::uint64_t total = s.probeTotal ? s.probeTotal : 1;
  bar_->setValue(static_cast<int>(std::min<std::uint64_t>(s.probeDone, total) * 1000 / total));
  // Counted in the device's own sectors, whatever their size.
  read_->setText(Q(FillPlaceholders(Text(StringId::ProbeRead),
                                    {ToUtf16(GroupNumber(s.probeDone)), ToUtf16(GroupNumber(s.probeTotal))})));
  found_->setText(Q(FillPlaceholders(Text(StringId::ProbeFound), {ToUtf16(GroupNumber(found))})));
}

// --- Old partitions -------------------------------------------------------------

OldPartitionsWindow::OldPartitionsWindow(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("SUBPARTDLG"));
  setWindowTitle(Tr(StringId::PartitionResultsCaption));
  setModal(false);
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("oldPartitionList"));
  list_->setColumnCount(4);
  list_->setHeaderLabels(SplitTitles(Tr(StringId::OldPartColumns)));
  list_->setRootIsDecorated(false);
  list_->setAllColumnsShowFocus(true);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  list_->setMinimumSize(560, 200);
  none_ = new QLabel(Tr(StringId::OldPartNone), this);
  none_->setObjectName(QStringLiteral("noneFound"));
  none_->setWordWrap(true);
  open_ = new QPushButton(Tr(StringId::OldPartOpen), this);
  open_->setObjectName(QStringLiteral("openButton"));
  open_->setDefault(true);
  auto* close = new QPushButton(Tr(StringId::MenuClose), this);
  close->setObjectName(QStringLiteral("closeButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(open_);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addWidget(none_);
  layout->addLayout(buttons);
  connect(open_, &QPushButton::clicked, this, &OldPartitionsWindow::OpenSelected);
  connect(close, &QPushButton::clicked, this, &QDialog::hide);
  // Return reaches the default button (Open); a double click opens too.
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { OpenSelected(); });
  connect(list_, &QTreeWidget::currentItemChanged, this, [this] { open_->setEnabled(list_->currentItem()); });
  SetFound({});
}

void OldPartitionsWindow::SetFound(const std::vector<DriveEntry>& found) {
  const bool same = found.size() == shown_.size() &&
                    std::equal(found.begin(), found.end(), shown_.begin(), [](const DriveEntry& a, const DriveEntry& b) {
                      return a.start == b.start && a.sectors == b.sectors;
                    });
  if (!same) Rebuild(found);
  none_->setVisible(shown_.empty());
  open_->setEnabled(list_->currentItem());
}

void OldPartitionsWindow::Rebuild(const std::vector<DriveEntry>& found) {
  const int current = list_->currentItem() ? list_->indexOfTopLevelItem(list_->currentItem()) : 0;
  shown_ = found;
  list_->clear();
  for (const DriveEntry& e : shown_) {
    std::u16string name = EntryLabel(e);
    if (name.empty()) name = Text(StringId::PartFixUnnamed);
    if (e.damagedResult) name += u" [DAMAGED]";
    auto* item = new QTreeWidgetItem(list_, QStringList{Q(name), Q(EntryFsName(e)),
                                                        Q(ToUtf16(SizeText(std::uint64_t{e.sectors} * 512))),
                                                        Grouped(e.start)});
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
  }
  for (int c = 1; c < 4; ++c) list_->resizeColumnToContents(c);
  if (!shown_.empty()) list_->setCurrentItem(list_->topLevelItem(std::clamp(current, 0, int(shown_.size()) - 1)));
}

void OldPartitionsWindow::OpenSelected() {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item) return;
  const int row = list_->indexOfTopLevelItem(item);
  if (row >= 0 && static_cast<std::size_t>(row) < shown_.size()) emit openRequested(static_cast<std::size_t>(row));
}

void OldPartitionsWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  emit visibilityChanged(true);
}

void OldPartitionsWindow::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  emit visibilityChanged(false);
}

}  // namespace kestrova::gui
