// "Saving image" (WINDOW_SAVING_IMAGE): the copy of one row of the device list
// into an image file, with its progress, "&Pause"/"&Resume" and "&Abort"; and
// the "Create image" entry that asks for the file first.
#pragma once

#include "explore/image_copy.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "volume/drive_list.h"

#include <QDialog>

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kestrova::gui {

class SavingImageWindow : public QDialog {
  Q_OBJECT
 public:
  // Opens the row's device in a session of its own and starts the copy into `output`.
  SavingImageWindow(const DriveList& list, std::size_t row, const QString& output, QtUi& ui, QWidget* parent);
  ~SavingImageWindow() override;

  // How the copy ended (valid once the window closed by itself).
  const ImageResult& result() const { return result_; }
  bool started() const { return started_; }

 protected:
  // Escape or closing the window: as "&Abort".
  void reject() override;

 private:
  void Poll();
  void Abort();

  QtUi& ui_;
  std::unique_ptr<VolumeSession> session_;
  std::unique_ptr<ImageCopy> copy_;
  ImageResult result_;
  bool started_ = false;
  bool aborting_ = false;
  StringId failMessage_ = StringId::CantOpenThisDrive;
  int lastPercent_ = -1;
  QLabel* source_;
  QLabel* sector_;
  QLabel* unreadable_;
  QProgressBar* bar_;
  QPushButton* pause_;
  QPushButton* abort_;
  QTimer* poll_;
  QtLocalisable loc_{this};
};

// "Create image" for a row of the device list: the save dialog (proposing the
// row's label + ".img", refusing a file on the row's own device and asking
// again), then the "Saving image" window until the copy ends.
void CreateImageOfRow(const DriveList& list, std::size_t row, QtUi& ui, QWidget* parent);

}  // namespace kestrova::gui
