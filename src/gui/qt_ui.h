// The core's Ui for the desktop program. Message boxes are shown on the GUI
// thread (a worker waits for the answer); progress, status, the read-error
// window and posted commands reach the windows only as queued signals.
#pragma once

#include "common/ui.h"

#include <QObject>
#include <QString>

class QWidget;

namespace kestrova::gui {

class QtUi : public QObject, public Ui {
  Q_OBJECT
 public:
  explicit QtUi(QObject* parent = nullptr);

  MsgChoice MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                       MsgButtons buttons) override;
  void Progress(std::uint64_t done, std::uint64_t total) override;
  void Status(std::u16string_view text) override;
  void ReadErrorWindowChanged(const ReadErrorView& view) override;
  void PostCommand(int command) override;
  // CHOOSEDISKDLG, on the GUI thread (a worker waits for the choice).
  int ChooseDisk(const std::vector<std::u16string>& drives, int offered) override;

  // The window message boxes are centred on (GUI thread).
  void setOwner(QWidget* owner) { owner_ = owner; }

  // A box on the GUI thread with the program's caption unless one is given.
  MsgChoice Show(const QString& text, const QString& caption, MsgIcon icon, MsgButtons buttons);

 signals:
  void progressed(quint64 done, quint64 total);
  void statusChanged(const QString& text);
  void readErrorChanged(const kestrova::ReadErrorView& view);
  void commandPosted(int command);

 private:
  QWidget* owner_ = nullptr;
};

}  // namespace kestrova::gui

Q_DECLARE_METATYPE(kestrova::ReadErrorView)
