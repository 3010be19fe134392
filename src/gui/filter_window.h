// Window 110, "Display files (filtering)": the status and type boxes, the
// type presets and the mask box, "Auto refresh" and "&Refresh", and the seven
// status colours. It sets the program's shared display filter; the explorer
// lists its folder again when told.
#pragma once

#include "gui/localise.h"
#include "scan/display_filter.h"
#include "shell/app_settings.h"

#include <QDialog>

#include <map>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;

namespace kestrova::gui {

class DisplayFilterWindow : public QDialog {
  Q_OBJECT
 public:
  DisplayFilterWindow(SharedDisplayFilter& filter, const StatusColours& colours, std::uint32_t windowText,
                      QWidget* parent = nullptr);

  FilterBoxes Boxes() const;
  // Sets the filter from the boxes (the "&Refresh" button, or any change with "Auto refresh").
  void Apply();
  QCheckBox* box(int flag) const { return boxes_.at(flag); }
  QRadioButton* preset(FilterPreset p) const { return presets_.at(p); }
  QLineEdit* masks() const { return masks_; }
  const StatusColours& colours() const { return colours_; }

 signals:
  void applied();
  void coloursChanged(const StatusColours& colours);

 private:
  void Changed();
  void ChoosePreset(FilterPreset p);
  void FillColours();

  SharedDisplayFilter& filter_;
  StatusColours colours_;
  StatusColours defaults_;
  std::map<int, QCheckBox*> boxes_;
  std::map<FilterPreset, QRadioButton*> presets_;
  QLabel* extensions_;
  QLineEdit* masks_;
  QCheckBox* autoRefresh_;
  QListWidget* colourList_;
  bool loading_ = false;
  QtLocalisable loc_{this};
};

// The explorer's command: one window per explorer, reused. `created` tells the
// caller to connect to a new window's signals.
DisplayFilterWindow* OpenDisplayFilter(QWidget* explorer, SharedDisplayFilter& filter, const StatusColours& colours,
                                       bool& created);

}  // namespace kestrova::gui
