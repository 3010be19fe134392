// The two windows over the scan's look for older NTFS volumes inside the
// mounted one: the progress of that preliminary pass over the volume (it
// runs before the walk of the free region and can be skipped), and the list
// of what it found, from which a volume is opened in place of this one.
#pragma once

#include "device/drive_entry.h"
#include "scanner/scan_state.h"

#include <QDialog>

#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace kestrova::gui {

// "Preliminary scan of free region": sectors read, volumes found; Skip goes
// on to the free region, the stop button ends the scan. Closing only hides it.
class PreliminaryScanWindow : public QDialog {
  Q_OBJECT
 public:
  explicit PreliminaryScanWindow(QWidget* parent);
  void Update(const ScanSnapshot& snapshot, std::size_t found);

 signals:
  void skipRequested();
  void stopRequested();

 private:
  QProgressBar* bar_;
  QLabel* read_;
  QLabel* found_;
};

// "Kestrova - scan results": the old partitions found, with Open and Close.
class OldPartitionsWindow : public QDialog {
  Q_OBJECT
 public:
  explicit OldPartitionsWindow(QWidget* parent);
  // Shows `found` (the list is rebuilt only when it changed; the selection stays).
  void SetFound(const std::vector<DriveEntry>& found);
  const std::vector<DriveEntry>& entries() const { return shown_; }

 signals:
  // The user chose the found volume at `index` of the last SetFound.
  void openRequested(std::size_t index);
  void visibilityChanged(bool visible);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void OpenSelected();
  void Rebuild(const std::vector<DriveEntry>& found);

  std::vector<DriveEntry> shown_;
  QTreeWidget* list_;
  QLabel* none_;
  QPushButton* open_;
};

}  // namespace kestrova::gui
