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
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;

namespace kestrova::gui {

// Where "Set all colors as default" puts the colours: the settings file (none:
// no settings folder is set) and the program's copy that later explorers start
// with and the exit writes back.
struct ColourSettings {
  std::string file;
  StatusColours* saved = nullptr;
};

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
  void SetColourSettings(const ColourSettings& settings) { settings_ = settings; }

 signals:
  void applied();
  void coloursChanged(const StatusColours& colours);

 private:
  void Changed();
  void ChoosePreset(FilterPreset p);
  void FillColours();
  void SetAllAsDefault();

  SharedDisplayFilter& filter_;
  StatusColours colours_;
  StatusColours defaults_;
  ColourSettings settings_;
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
