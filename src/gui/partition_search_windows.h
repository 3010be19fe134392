// The partition search of a whole drive: the scan-mode window (deep or fast,
// from which sector), the progress window that follows the search, and the
// results window with each volume's status. The search itself runs in the
// core (PartitionFinder); these windows only start, follow and stop it.
#pragma once

#include "explore/partition_finder.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"

#include <QDialog>

#include <cstdint>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class QTreeWidget;

namespace kestrova::gui {

// "Physical drive scan": the mode and the start position.
class ScanModeWindow : public QDialog {
  Q_OBJECT
 public:
  enum Choice { Deep, Fast, Raw, Reverse };
  ScanModeWindow(std::uint64_t deviceSectors, QWidget* parent = nullptr);
  Choice choice() const;
  SearchMode mode() const;
  std::uint64_t startSector() const { return start_; }

 private:
  void SetStart(std::uint64_t sector, QObject* from);

  std::uint64_t last_;
  std::uint64_t start_ = 0;
  QRadioButton* deep_;
  QRadioButton* fast_;
  QRadioButton* raw_;
  QRadioButton* reverse_;
  QSlider* slider_;
  QLineEdit* sector_;
  QLineEdit* mb_;
  QLineEdit* gb_;
  QtLocalisable loc_{this};
};

// "Searching for partitions...": the log, the progress bar and the sector line;
// Save, Pause/Resume, Next (see the results) and Close (stop). Accepted when
// the results are to be shown, rejected when the search was closed.
class PartitionSearchWindow : public QDialog {
  Q_OBJECT
 public:
  PartitionSearchWindow(PartitionFinder& finder, QtUi& ui, QWidget* parent = nullptr);

 protected:
  void reject() override;

 private:
  void Poll();
  void Save();

  PartitionFinder& finder_;
  QtUi& ui_;
  QListWidget* log_;
  QProgressBar* bar_;
  QLabel* status_;
  QPushButton* save_;
  QPushButton* pause_;
  QPushButton* next_;
  QPushButton* close_;
  QTimer* poll_;
  std::size_t shownLines_ = 0;
  std::uint64_t statusGeneration_ = ~0ull;
  QtLocalisable loc_{this};
};

// "Kestrova - scan results": the volumes found under their drive's heading,
// with capacity and status. Back continues the search; Next opens the chosen one.
class PartitionResultsWindow : public QDialog {
  Q_OBJECT
 public:
  enum Outcome { Back = 10, Open = 77 };
  PartitionResultsWindow(PartitionFinder& finder, std::u16string driveTitle, QWidget* parent = nullptr);
  // The volume chosen with Next, with the settings chosen for it.
  std::optional<FoundVolume> chosen() const { return chosen_; }
  const DriveSettings& settings() const { return settings_; }

 private:
  std::optional<std::size_t> Selected() const;

  std::vector<FoundVolume> found_;
  std::optional<FoundVolume> chosen_;
  DriveSettings settings_;
  QTreeWidget* list_;
  QtLocalisable loc_{this};
};

// The free-space scan of a whole drive chosen in the scan-mode window ("Scan
// for files (RAW)", or the reverse scan): progress and the counts found,
// "Stop current scan"; ends with the scan.
class CarvingScanWindow : public QDialog {
  Q_OBJECT
 public:
  CarvingScanWindow(VolumeScan& scan, const QString& caption, QWidget* parent = nullptr);

 protected:
  void reject() override;

 private:
  void Poll();

  VolumeScan& scan_;
  QProgressBar* bar_;
  QLabel* counts_;
  QTimer* poll_;
};

}  // namespace kestrova::gui
