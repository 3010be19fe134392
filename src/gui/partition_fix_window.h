// "Kestrova - quick partition restore" (WINDOW_PARTITIONFIX): the volumes a
// drive's listing found missing from its tables or with a damaged boot
// record, with "Make &Backup", "&Restore", "&Details" and "&Close"; and the
// details tree (WINDOW_FIX_DETAILS). The checks, the backup files and every
// write are the core's (PartitionRepairJob); these windows show its plan and
// route its questions.
#pragma once

#include "explore/partition_repair_job.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "volume/drive_list.h"

#include <QDialog>

#include <memory>
#include <optional>
#include <vector>

class QTreeWidget;
class QPushButton;
class QMenu;

namespace kestrova::gui {

class PartitionFixWindow : public QDialog {
  Q_OBJECT
 public:
  // Outcomes beside Rejected: a volume chosen to open, or the drive written
  // (the device list is read again).
  enum Outcome { Open = 77, Restored = 78 };
  // `list` is the listing the job's drive was found in (its tables and row settings).
  PartitionFixWindow(const DriveList& list, PartitionRepairJob& job, QtUi& ui, QWidget* parent = nullptr);

  // The chosen volume as a one-row list that opens like any row of the device list.
  const DriveList& chosen() const { return chosen_; }
  QTreeWidget* volumes() const { return volumes_; }

 private:
  std::optional<std::size_t> Selected() const;
  void OpenSelected();
  void SaveImageOfSelected();
  void MakeBackupDialog();
  void Restore();
  void ShowDetails(const RepairPlan* plan);
  DriveList RowList(std::size_t index) const;

  const DriveList& list_;
  PartitionRepairJob& job_;
  QtUi& ui_;
  DriveList chosen_;
  QTreeWidget* volumes_;
  QMenu* context_;
  QtLocalisable loc_{this};
};

// "FIXDETAILS": the candidates as a tree (lost MBR entries, damaged boot
// records, broken extended records) and, when a plan is given, each sector a
// restore would change with its bytes before and after.
class FixDetailsWindow : public QDialog {
  Q_OBJECT
 public:
  FixDetailsWindow(const RepairCandidates& candidates, const RepairPlan* plan, QWidget* parent = nullptr);
  QTreeWidget* tree() const { return tree_; }

 private:
  QTreeWidget* tree_;
  QtLocalisable loc_{this};
};

// The drives of a listing with something to repair, each in an open job
// (worker thread: reads every listed drive's tables again).
std::vector<std::unique_ptr<PartitionRepairJob>> FindRepairs(const DriveList& list, Ui& ui);

// The lines of a sector write that differ, sixteen bytes to a line:
// "offset: before" and "offset: after" pairs as the details show them.
std::vector<std::pair<QString, QString>> ChangedLines(const SectorWrite& write);

}  // namespace kestrova::gui
