// The hex view: the control HexLV (a scroll area drawing the dump of one
// entry, 64-bit rows, one cached block) and the window that holds it, reused
// for every entry opened from the explorer.
#pragma once

#include "common/fs_type.h"
#include "gui/localise.h"
#include "scan/scan_entry.h"
#include "tools/hex_view.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QWidget>

#include <memory>

namespace kestrova::gui {

class CoreBridge;

class HexListView : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit HexListView(QWidget* parent = nullptr);

  // A new entry: the cache is emptied and the view goes to the top.
  void SetEntry(HexBlockCache::ReadFn read, std::uint64_t blockSize, std::uint64_t size);
  std::uint64_t firstRow() const { return first_; }
  std::uint64_t totalRows() const { return rows_; }
  int visibleRows() const;
  // The width that shows the offset, byte and character columns whole.
  int LineWidth() const;
  void ScrollToRow(std::uint64_t row);
  // The text of a shown row (for tests and copying).
  QString RowText(std::uint64_t row);
  const HexBlockCache* cache() const { return cache_.get(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  void UpdateScrollBar();
  int RowHeight() const;

  std::unique_ptr<HexBlockCache> cache_;
  std::uint64_t rows_ = 0;
  std::uint64_t first_ = 0;
  std::uint64_t perUnit_ = 1;
  QFont font_;
  bool syncing_ = false;
};

class HexViewWindow : public QWidget {
  Q_OBJECT
 public:
  explicit HexViewWindow(QWidget* parent = nullptr);
  // Shows the entry (title "name - Kestrova [HEX VIEW]"), brings the window to the front.
  void ShowEntry(CoreBridge& bridge, const ScanEntry& entry, const std::u16string& name);
  HexListView* view() const { return view_; }

 private:
  HexListView* view_;
  QtLocalisable loc_{this};
};

// The explorer's "HEX view" command: one window per explorer, reused.
void OpenHexView(QWidget* explorer, CoreBridge& bridge, const ScanEntry& entry, const std::u16string& name);

}  // namespace kestrova::gui
