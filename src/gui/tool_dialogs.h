// The small tool windows of the start window and the explorer: the activity
// snapshot, the configuration folders, the size a file is recovered with, and
// mounting an NTFS volume at a typed sector. Each only collects what the user
// types; the checks and the work are the core's.
#pragma once

#include "device/device_identity.h"
#include "gui/core_bridge.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "shell/folders.h"
#include "volume/drive_list.h"

#include <QDialog>

#include <cstdint>
#include <optional>

class QLineEdit;
class QComboBox;
class QCheckBox;
class QRadioButton;

namespace kestrova::gui {

// Writes the activity snapshot to the reports folder and tells the user where
// (or that it could not be written). Returns the file written, empty on failure.
QString WriteSnapshotReport(QtUi& ui, const std::string& reportsFolder);
// The program's reports folder (created).
std::string ProgramReportsFolder();

// "Configuration folders": the settings and temporary folders. Both fields are
// checked before anything is stored, so a refused field stores nothing.
class ConfigFoldersDialog : public QDialog {
  Q_OBJECT
 public:
  ConfigFoldersDialog(UserRegistry& registry, const SourceIdentity& opened, QtUi& ui, QWidget* parent = nullptr);

 public slots:
  void accept() override;

 private:
  void BrowseTemp();

  UserRegistry& registry_;
  SourceIdentity opened_;
  QtUi& ui_;
  QLineEdit* settings_;
  QLineEdit* temp_;
  QtLocalisable loc_{this};
};

// "Edit file size": the size the entry will be recovered with.
class FileSizeDialog : public QDialog {
  Q_OBJECT
 public:
  FileSizeDialog(const QString& name, std::uint64_t size, std::uint64_t maxSize, QtUi& ui, QWidget* parent = nullptr);
  std::uint64_t size() const { return size_; }

 public slots:
  void accept() override;

 private:
  QtUi& ui_;
  std::uint64_t size_;
  std::uint64_t maxSize_;
  QLineEdit* edit_;
  QtLocalisable loc_{this};
};

// "Mount NTFS Volume from sector": a base entry of the drive list, the start
// sector, the count ("MAX") and the cluster size. On OK the drive settings
// are filled through the core's check; a refused range resets both fields.
class MountNtfsDialog : public QDialog {
  Q_OBJECT
 public:
  MountNtfsDialog(const DriveList& list, std::size_t selectedRow, QtUi& ui, QWidget* parent = nullptr);
  std::size_t row() const { return row_; }
  const DriveSettings& settings() const { return settings_; }

 public slots:
  void accept() override;

 private:
  void FillMax();

  const DriveList& list_;
  QtUi& ui_;
  std::size_t row_ = 0;
  DriveSettings settings_{};
  QComboBox* base_;
  QLineEdit* sector_;
  QLineEdit* count_;
  QComboBox* cluster_;
  QCheckBox* raw_;
  QtLocalisable loc_{this};
};

// "Advanced drive settings" of one drive-list row: a forced file system, its
// cluster size, the FAT copy, the damaged and reverse modes.
class DriveSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  DriveSettingsDialog(const DriveSettings& settings, QWidget* parent = nullptr);
  const DriveSettings& settings() const { return settings_; }

 public slots:
  void accept() override;

 private:
  void UpdateEnabled();

  DriveSettings settings_;
  QRadioButton* untouched_;
  QRadioButton* override_;
  QComboBox* fs_;
  QComboBox* cluster_;
  QComboBox* fat_;
  QCheckBox* damaged_;
  QCheckBox* reverse_;
  QCheckBox* raw_;
  QtLocalisable loc_{this};
};

}  // namespace kestrova::gui
