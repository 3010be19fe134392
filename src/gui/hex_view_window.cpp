#include "gui/hex_view_window.h"

#include "common/text.h"
#include "gui/core_bridge.h"
#include "gui/texts.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace kestrova::gui {
namespace {

constexpr int kLineSpacing = 2;
const QColor kOffsetColour(0x00, 0x00, 0xFF);  // COLORREF 0xFF0000: blue

}  // namespace

HexListView::HexListView(QWidget* parent) : QAbstractScrollArea(parent) {
  setObjectName(QStringLiteral("HexLV"));
  font_ = QFont(QStringLiteral("Courier New"));
  font_.setStyleHint(QFont::Monospace);
  font_.setFixedPitch(true);
  font_.setPixelSize(16);
  viewport()->setFont(font_);
  viewport()->setCursor(Qt::ArrowCursor);
  setFocusPolicy(Qt::StrongFocus);
  verticalScrollBar()->setSingleStep(1);
}

int HexListView::RowHeight() const { return QFontMetrics(font_).height() + 2 * kLineSpacing; }

int HexListView::visibleRows() const {
  const int h = RowHeight();
  const std::int64_t rows = (viewport()->height() - h - 5) / h;
  return static_cast<int>(std::clamp<std::int64_t>(rows, 0, static_cast<std::int64_t>(std::min<std::uint64_t>(rows_, 1u << 30))));
}

int HexListView::LineWidth() const {
  const int cw = QFontMetrics(font_).horizontalAdvance(QLatin1Char('0'));
  return 4 + (12 + 48 + 3 + 16 + 2) * cw + verticalScrollBar()->sizeHint().width() + 2 * frameWidth();
}

void HexListView::SetEntry(HexBlockCache::ReadFn read, std::uint64_t blockSize, std::uint64_t size) {
  cache_ = std::make_unique<HexBlockCache>(std::move(read), blockSize);
  cache_->Reset(size);
  rows_ = HexTotalRows(size);
  perUnit_ = HexRowsPerScrollUnit(rows_);
  first_ = 0;
  UpdateScrollBar();
  viewport()->update();
}

void HexListView::UpdateScrollBar() {
  // The scroll bar's range is 32-bit: past 0x0FFFFFFF rows each unit is 256 rows.
  const std::uint64_t lastFirst = rows_ > static_cast<std::uint64_t>(visibleRows()) ? rows_ - visibleRows() : 0;
  syncing_ = true;
  verticalScrollBar()->setRange(0, static_cast<int>((lastFirst + perUnit_ - 1) / perUnit_));
  verticalScrollBar()->setPageStep(std::max(1, static_cast<int>(visibleRows() / static_cast<int>(perUnit_))));
  verticalScrollBar()->setValue(static_cast<int>(first_ / perUnit_));
  syncing_ = false;
}

void HexListView::ScrollToRow(std::uint64_t row) {
  const std::uint64_t lastFirst = rows_ > static_cast<std::uint64_t>(visibleRows()) ? rows_ - visibleRows() : 0;
  first_ = std::min(row, lastFirst);
  UpdateScrollBar();
  viewport()->update();
}

void HexListView::scrollContentsBy(int, int) {
  if (syncing_) return;
  const std::uint64_t lastFirst = rows_ > static_cast<std::uint64_t>(visibleRows()) ? rows_ - visibleRows() : 0;
  first_ = std::min(static_cast<std::uint64_t>(verticalScrollBar()->value()) * perUnit_, lastFirst);
  viewport()->update();
}

void HexListView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  ScrollToRow(first_);
}

void HexListView::keyPressEvent(QKeyEvent* event) {
  const std::uint64_t page = std::max(1, visibleRows());
  switch (event->key()) {
    case Qt::Key_PageUp: ScrollToRow(first_ > page ? first_ - page : 0); break;
    case Qt::Key_PageDown: ScrollToRow(first_ + page); break;
    case Qt::Key_Home: ScrollToRow(0); break;
    case Qt::Key_End: ScrollToRow(rows_); break;
    case Qt::Key_Up: ScrollToRow(first_ ? first_ - 1 : 0); break;
    case Qt::Key_Down: ScrollToRow(first_ + 1); break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
  }
  event->accept();
}

void HexListView::wheelEvent(QWheelEvent* event) {
  // The system's lines per notch (120 units a notch).
  const int notches = event->angleDelta().y();
  const std::int64_t lines = static_cast<std::int64_t>(notches) * QApplication::wheelScrollLines() / 120;
  if (lines < 0) ScrollToRow(first_ + static_cast<std::uint64_t>(-lines));
  else ScrollToRow(first_ > static_cast<std::uint64_t>(lines) ? first_ - static_cast<std::uint64_t>(lines) : 0);
  event->accept();
}

QString HexListView::RowText(std::uint64_t row) {
  if (!cache_ || row >= rows_) return {};
  return Q(HexLine(row, cache_->FetchRow(row)));
}

void HexListView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), palette().base());
  p.setFont(font_);
  const QFontMetrics fm(font_);
  const int h = RowHeight();
  const int cw = fm.horizontalAdvance(QLatin1Char('0'));
  const int x0 = 4;
  const int hexX = x0 + 12 * cw;           // after the ten offset digits and two blanks
  const int charsX = hexX + (48 + 3) * cw;  // after the byte column and three blanks
  const int baseline = kLineSpacing + fm.ascent();
  p.setPen(kOffsetColour);
  p.drawText(x0, baseline, Q(HexHeaderLine()));
  // The highlight line under the header.
  p.setPen(QColor(0xA0, 0xA0, 0xA0));
  p.drawLine(0, h, viewport()->width(), h);
  if (!cache_) return;
  const int shown = visibleRows() + 1;
  for (int i = 0; i < shown && first_ + static_cast<std::uint64_t>(i) < rows_; ++i) {
    const std::uint64_t row = first_ + static_cast<std::uint64_t>(i);
    const HexRow rowData = cache_->FetchRow(row);
    const int y = h * (i + 1) + baseline;
    p.setPen(kOffsetColour);
    p.drawText(x0, y, Q(HexOffsetText(row)));
    p.setPen(palette().text().color());
    p.drawText(hexX, y, Q(HexBytesText(rowData)));
    p.drawText(charsX, y, Q(HexCharsText(rowData)));
  }
}

HexViewWindow::HexViewWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("WINDOW_HEX_VIEW"));
  view_ = new HexListView(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);
  resize(std::max(640, view_->LineWidth()), 480);
}

void HexViewWindow::ShowEntry(CoreBridge& bridge, const ScanEntry& entry, const std::u16string& name) {
  const ScanEntry copy = entry;
  view_->SetEntry([&bridge, copy](std::uint64_t offset, std::uint64_t length) { return bridge.ReadRange(copy, offset, length); },
                  bridge.HexBlockSize(entry), HexEntrySize(entry, bridge.fsType()));
  loc_.Apply(u"WINDOW_HEX_VIEW");
  setWindowTitle(Q(FillPlaceholders(u"%s - %s", {name, Text(StringId::HexViewTitle)})));
  setWindowIcon(style()->standardIcon(IsFolder(entry, bridge.fsType()) ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
  show();
  raise();
  activateWindow();
  view_->setFocus();
}

void OpenHexView(QWidget* explorer, CoreBridge& bridge, const ScanEntry& entry, const std::u16string& name) {
  auto* window = explorer->findChild<HexViewWindow*>(QStringLiteral("WINDOW_HEX_VIEW"), Qt::FindDirectChildrenOnly);
  if (!window) window = new HexViewWindow(explorer);
  window->ShowEntry(bridge, entry, name);
}

}  // namespace kestrova::gui
