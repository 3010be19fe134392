#include "gui/filter_window.h"

#include "common/text.h"
#include "gui/entry_model.h"
#include "gui/texts.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kestrova::gui {
namespace {

// Each control carries the identifier its text has in the language file's
// section, so a translation lands on the control it was written for.
struct FilterBox {
  int flag;
  StringId text;
  const char* name;
  int id;
};
constexpr FilterBox kStatusBoxes[] = {
    {show::kDeleted, StringId::FilterDeleted, "deleted", 1005},
    {show::kExisting, StringId::FilterExisting, "existing", 1006},
    {show::kOverwritten, StringId::FilterOverwritten, "overwritten", 1001},
    {show::kNotDetected, StringId::FilterNotDetected, "notDetected", 1002},
    {show::kEncrypted, StringId::FilterEncrypted, "encrypted", 1003},
    {show::kCompressed, StringId::FilterCompressed, "compressed", 1004},
    {show::kDollarNames, StringId::FilterMetafiles, "metafiles", 1009},
};
constexpr FilterBox kTypeBoxes[] = {
    {show::kFiles, StringId::FilterFiles, "files", 1007},
    {show::kFolders, StringId::FilterFolders, "folders", 1008},
};
constexpr int kPresetIds = 1010;  // "Any file" .. "System": 1010..1015
constexpr StringId kColourNames[] = {StringId::StatusDeleted,    StringId::StatusExisting,   StringId::StatusOverwrittenEntry,
                                     StringId::StatusNotDetected, StringId::StatusCompressed, StringId::StatusEncrypted,
                                     StringId::StatusSpecial};

std::uint32_t ToColorRef(const QColor& c) {
  return static_cast<std::uint32_t>(c.red()) | static_cast<std::uint32_t>(c.green()) << 8 |
         static_cast<std::uint32_t>(c.blue()) << 16;
}

}  // namespace

DisplayFilterWindow::DisplayFilterWindow(SharedDisplayFilter& filter, const StatusColours& colours,
                                         std::uint32_t windowText, QWidget* parent)
    : QDialog(parent), filter_(filter), colours_(colours), defaults_(DefaultColours(windowText)) {
  setObjectName(QStringLiteral("WINDOW_DISPLAY_FILES"));
  setWindowTitle(Tr(StringId::DisplayFilesCaption));
  auto addBox = [&](QLayout* layout, const FilterBox& box) {
    auto* b = new QCheckBox(Tr(box.text), this);
    b->setObjectName(QLatin1String(box.name));
    boxes_[box.flag] = b;
    layout->addWidget(b);
    loc_.AddControl(box.id, b);
    connect(b, &QCheckBox::toggled, this, &DisplayFilterWindow::Changed);
  };
  auto* status = new QGroupBox(Tr(StringId::FilterStatusGroup), this);
  auto* statusLayout = new QVBoxLayout(status);
  for (const FilterBox& s : kStatusBoxes) addBox(statusLayout, s);
  auto* type = new QGroupBox(Tr(StringId::FilterTypeGroup), this);
  auto* typeLayout = new QGridLayout(type);
  auto* typeBoxes = new QHBoxLayout;
  for (const FilterBox& s : kTypeBoxes) addBox(typeBoxes, s);
  typeLayout->addLayout(typeBoxes, 0, 0, 1, 3);
  int row = 1, col = 0;
  for (FilterPreset p : kFilterPresets) {
    auto* r = new QRadioButton(Tr(PresetCaption(p)), this);
    r->setObjectName(QStringLiteral("preset%1").arg(static_cast<int>(p)));
    presets_[p] = r;
    loc_.AddControl(kPresetIds + static_cast<int>(p), r);
    typeLayout->addWidget(r, row, col);
    if (++col == 3) col = 0, ++row;
    connect(r, &QRadioButton::clicked, this, [this, p] { ChoosePreset(p); });
  }
  extensions_ = new QLabel(this);
  extensions_->setObjectName(QStringLiteral("extensions"));
  typeLayout->addWidget(extensions_, row + 1, 0, 1, 3);
  auto* masksLabel = new QLabel(Tr(StringId::FilterMasksLabel), this);
  typeLayout->addWidget(masksLabel, row + 2, 0, 1, 3);
  loc_.AddControl(1021, masksLabel);
  loc_.AddControl(1019, status);
  loc_.AddControl(1020, type);
  masks_ = new QLineEdit(this);
  masks_->setObjectName(QStringLiteral("masks"));
  masks_->setMaxLength(static_cast<int>(DisplayFilter::kMaxMaskText));
  typeLayout->addWidget(masks_, row + 3, 0, 1, 3);
  connect(masks_, &QLineEdit::textEdited, this, &DisplayFilterWindow::Changed);

  auto* colourGroup = new QGroupBox(Tr(StringId::FilterColoursGroup), this);
  auto* colourLayout = new QGridLayout(colourGroup);
  colourList_ = new QListWidget(this);
  colourList_->setObjectName(QStringLiteral("colours"));
  colourLayout->addWidget(colourList_, 0, 0, 5, 1);
  auto* change = new QPushButton(Tr(StringId::ChangeThisColor), this);
  auto* restore = new QPushButton(Tr(StringId::RestoreDefaultColor), this);
  auto* restoreAll = new QPushButton(Tr(StringId::RestoreAllDefaultColors), this);
  change->setObjectName(QStringLiteral("changeColour"));
  restore->setObjectName(QStringLiteral("restoreColour"));
  restoreAll->setObjectName(QStringLiteral("restoreAllColours"));
  auto* setDefault = new QPushButton(Tr(StringId::FilterSetAllDefault), this);
  setDefault->setObjectName(QStringLiteral("setAllDefault"));
  loc_.AddControl(1018, setDefault);
  loc_.AddControl(1022, colourGroup);
  colourLayout->addWidget(change, 0, 1);
  colourLayout->addWidget(restore, 1, 1);
  colourLayout->addWidget(restoreAll, 2, 1);
  colourLayout->addWidget(setDefault, 3, 1);
  colourLayout->setRowStretch(4, 1);
  connect(setDefault, &QPushButton::clicked, this, &DisplayFilterWindow::SetAllAsDefault);
  connect(change, &QPushButton::clicked, this, [this] {
    const int i = colourList_->currentRow();
    if (i < 0) return;
    const QColor c = QColorDialog::getColor(FromColorRef(colours_[i]), this);
    if (!c.isValid()) return;
    colours_[i] = ToColorRef(c);
    FillColours();
    emit coloursChanged(colours_);
  });
  connect(restore, &QPushButton::clicked, this, [this] {
    const int i = colourList_->currentRow();
    if (i < 0) return;
    colours_[i] = defaults_[i];
    FillColours();
    emit coloursChanged(colours_);
  });
  connect(restoreAll, &QPushButton::clicked, this, [this] {
    colours_ = defaults_;
    FillColours();
    emit coloursChanged(colours_);
  });
  FillColours();
  colourList_->setCurrentRow(0);

  autoRefresh_ = new QCheckBox(Tr(StringId::FilterAutoRefresh), this);
  autoRefresh_->setObjectName(QStringLiteral("autoRefresh"));
  auto* refresh = new QPushButton(Tr(StringId::FilterRefresh), this);
  refresh->setObjectName(QStringLiteral("refresh"));
  connect(refresh, &QPushButton::clicked, this, &DisplayFilterWindow::Apply);
  auto* close = new QPushButton(Tr(StringId::ButtonOk), this);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  loc_.AddControl(1016, autoRefresh_);
  loc_.AddControl(1017, refresh);

  auto* top = new QHBoxLayout;
  top->addWidget(status);
  top->addWidget(type, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(autoRefresh_);
  bottom->addStretch(1);
  bottom->addWidget(refresh);
  bottom->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(colourGroup);
  layout->addLayout(bottom);

  // The boxes show the filter in force (all ticked for "no filter").
  loading_ = true;
  const DisplayFilter current = filter_.Snapshot();
  std::u16string maskText;
  for (const std::u16string& m : current.masks) maskText += (maskText.empty() ? u"" : u", ") + m;
  const FilterBoxes b = current.flags == show::kEverything ? FilterBoxes{} : FilterBoxes::From(current, maskText);
  for (const FilterBox& s : kStatusBoxes) boxes_[s.flag]->setChecked(b.Read().flags & static_cast<std::uint32_t>(s.flag));
  for (const FilterBox& s : kTypeBoxes) boxes_[s.flag]->setChecked(b.Read().flags & static_cast<std::uint32_t>(s.flag));
  masks_->setText(Q(b.maskText));
  presets_[FilterPreset::AnyFile]->setChecked(b.maskText.empty());
  autoRefresh_->setChecked(b.autoRefresh);
  loading_ = false;
  loc_.Apply(u"WINDOW_DISPLAY_FILES");
}

void DisplayFilterWindow::SetAllAsDefault() {
  // The colours start every later explorer of this run, and the next run:
  // written to the settings file at once, not only at exit.
  if (settings_.saved) *settings_.saved = colours_;
  if (settings_.file.empty() || SaveColours(settings_.file, colours_)) return;
  QMessageBox::warning(this, Tr(StringId::Caption),
                       Q(FillPlaceholders(Text(StringId::SettingsNotWritten), {ToUtf16(settings_.file)})));
}

void DisplayFilterWindow::FillColours() {
  const int current = colourList_->currentRow();
  colourList_->clear();
  for (std::size_t i = 0; i < colours_.size(); ++i) {
    QPixmap swatch(16, 16);
    swatch.fill(FromColorRef(colours_[i]));
    auto* item = new QListWidgetItem(QIcon(swatch), Tr(kColourNames[i]), colourList_);
    item->setForeground(FromColorRef(colours_[i]));
  }
  colourList_->setCurrentRow(current < 0 ? 0 : current);
}

FilterBoxes DisplayFilterWindow::Boxes() const {
  FilterBoxes b;
  b.overwritten = boxes_.at(show::kOverwritten)->isChecked();
  b.notDetected = boxes_.at(show::kNotDetected)->isChecked();
  b.encrypted = boxes_.at(show::kEncrypted)->isChecked();
  b.compressed = boxes_.at(show::kCompressed)->isChecked();
  b.deleted = boxes_.at(show::kDeleted)->isChecked();
  b.existing = boxes_.at(show::kExisting)->isChecked();
  b.files = boxes_.at(show::kFiles)->isChecked();
  b.folders = boxes_.at(show::kFolders)->isChecked();
  b.metafiles = boxes_.at(show::kDollarNames)->isChecked();
  b.maskText = masks_->text().toStdU16String();
  b.autoRefresh = autoRefresh_->isChecked();
  return b;
}

void DisplayFilterWindow::Apply() {
  filter_.Set(Boxes().Read());
  emit applied();
}

void DisplayFilterWindow::Changed() {
  if (loading_) return;
  if (autoRefresh_->isChecked()) Apply();
}

void DisplayFilterWindow::ChoosePreset(FilterPreset p) {
  extensions_->setText(Q(PresetExtensions(p)));
  masks_->setText(Q(PresetMasks(p)));
  Changed();
}

DisplayFilterWindow* OpenDisplayFilter(QWidget* explorer, SharedDisplayFilter& filter, const StatusColours& colours,
                                       bool& created) {
  auto* window =
      explorer->findChild<DisplayFilterWindow*>(QStringLiteral("WINDOW_DISPLAY_FILES"), Qt::FindDirectChildrenOnly);
  created = window == nullptr;
  if (!window) {
    const QColor text = explorer->palette().color(QPalette::WindowText);
    window = new DisplayFilterWindow(filter, colours, ToColorRef(text), explorer);
  }
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace kestrova::gui
