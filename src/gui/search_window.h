// The explorer's search: the "Advanced search" dialog and the controller that
// runs the search thread, polls it every 25 ms for the folder being walked and
// hands the results to the explorer, which shows them like a folder.
#pragma once

#include "gui/core_bridge.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "tools/search.h"

#include <QDialog>
#include <QObject>
#include <QTimer>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QDoubleSpinBox;
class QGroupBox;
class QLineEdit;
class QStringListModel;
class QRadioButton;
class QSpinBox;

namespace kestrova::gui {

class AdvancedSearchDialog : public QDialog {
  Q_OBJECT
 public:
  // Shows `criteria`; "&Search" writes them back after they are checked and
  // adds the data text to `history` (the data box's drop-down) when it is new.
  AdvancedSearchDialog(SearchCriteria& criteria, QStringList& history, FsType fs, QtUi& ui, QWidget* parent = nullptr);

  QGroupBox* group(int index) const { return groups_[index]; }  // masks, data, size, attributes, date
  QComboBox* dataBox() const { return data_; }
  QComboBox* maskBox() const { return masks_; }
  QRadioButton* kind(DataKind k) const { return kinds_[static_cast<int>(k)]; }

 private:
  void Load(const SearchCriteria& c);
  SearchCriteria Read() const;
  void Search();

  SearchCriteria& criteria_;
  QStringList& history_;
  FsType fs_;
  QtUi& ui_;
  QGroupBox* groups_[5] = {};
  QComboBox* masks_;
  QComboBox* data_;
  QRadioButton* kinds_[3] = {};
  QCheckBox* case_;
  QCheckBox* words_;
  QComboBox* relation_;
  QDoubleSpinBox* value_;
  QComboBox* unit_;
  QSpinBox* tolerance_;
  QCheckBox* attributes_[7] = {};
  QDateEdit* date_;
  QRadioButton* dateModes_[3] = {};
  QSpinBox* days_;
  QtLocalisable loc_{this};
};

class SearchController : public QObject {
  Q_OBJECT
 public:
  SearchController(CoreBridge& bridge, QObject* parent);
  ~SearchController() override;

  // Empty text: false (the caller beeps). False too when two starts already wait.
  bool Start(const QString& text, bool advanced);
  void Stop() { runner_.Stop(); }
  bool running() const { return runner_.running(); }
  SearchCriteria& criteria() { return criteria_; }
  // The advanced-search history (the data box's drop-down) and the main one
  // (the search box's completions): texts searched, newest first, as the
  // core's session keeps them (a loaded session brings its own back).
  QStringList& history();
  QStringList mainHistory() const;
  // Gives the search box its completions, refreshed when it takes the focus
  // and when a search starts.
  void AttachSearchBox(QLineEdit* box);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 signals:
  // The folder being walked (shortened), while the search runs.
  void progress(const QString& folder);
  // The search ended: its results and the window title to show with them.
  void finished(const std::vector<FolderItem>& items, const QString& title, SearchEnd end);

 private:
  void Poll();
  void RefreshCompletions();

  CoreBridge& bridge_;
  SearchRunner runner_;
  SearchCriteria criteria_;
  QStringList history_;
  QStringListModel* completions_ = nullptr;
  QLineEdit* box_ = nullptr;
  std::uint64_t historiesSeen_ = ~std::uint64_t{0};
  QTimer timer_;
  std::uint64_t seen_ = 0;
  QString title_;
};

// The explorer's one controller (made on first use).
SearchController* SearchOf(QObject* explorer, CoreBridge& bridge, bool& created);

}  // namespace kestrova::gui
