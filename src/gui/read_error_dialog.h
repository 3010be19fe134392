// "Kestrova (read error)": the non-modal window that shows unreadable
// sectors while reading goes on. It draws the core's view and hands the
// buttons back to it.
#pragma once

#include "common/ui.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace kestrova::gui {

class ReadErrorDialog : public QDialog {
  Q_OBJECT
 public:
  // onContinue / onStopScan get the state of "Skip read errors".
  ReadErrorDialog(std::function<void(bool)> onContinue, std::function<void(bool)> onStopScan, QWidget* parent);

 public slots:
  void ShowView(const kestrova::ReadErrorView& view);

 protected:
  void reject() override;

 private:
  std::function<void(bool)> onContinue_, onStopScan_;
  QLabel* sector_;
  QLabel* code_;
  QLabel* count_;
  QCheckBox* skip_;
  QPushButton* stop_;
};

}  // namespace kestrova::gui
