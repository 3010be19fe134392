#include "gui/search_window.h"

#include "common/text.h"
#include "gui/texts.h"

#include <QCheckBox>
#include <QCompleter>
#include <QEvent>
#include <QStringListModel>
#include <QComboBox>
#include <QDateEdit>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace kestrova::gui {
namespace {

const char16_t* const kMaskPresets[] = {
    u"*.c, *.cpp, *.h",
    u"*.zip, *.rar, *.7z",
    u"*.txt",
    u"*.bmp, *.jpg, *.jp2, *.j2k, *.jpeg, *.gif, *.png, *.pcx, *.tga, *ico, *.cur, *.emf, *.wmf, *.tif, *.tiff",
    u"*.wav, *.mp3, *.wma, *.ogg, *.mid",
    u"*.avi, *.mpg, *.mpeg, *.mp4, *.dat, *.wmv, *.asf, *.swf",
    u"*.doc, *.docx, *.xls, *.xlsx, *.ppt, *.pptx, *.mdb, *.pdf",
};

}  // namespace

AdvancedSearchDialog::AdvancedSearchDialog(SearchCriteria& criteria, QStringList& history, FsType fs, QtUi& ui,
                                           QWidget* parent)
    : QDialog(parent), criteria_(criteria), history_(history), fs_(fs), ui_(ui) {
  setObjectName(QStringLiteral("WINDOW_ADVANCED_SEARCH"));
  setWindowTitle(Tr(StringId::AdvancedSearchCaption));
  auto* layout = new QVBoxLayout(this);
  const StringId titles[] = {StringId::SearchMasksBox, StringId::SearchDataBox, StringId::SearchSizeBox,
                             StringId::SearchAttributesBox, StringId::SearchDateBox};
  for (int i = 0; i < 5; ++i) {
    groups_[i] = new QGroupBox(Tr(titles[i]), this);
    groups_[i]->setCheckable(true);  // each group's box enables its controls
    groups_[i]->setObjectName(QStringLiteral("group%1").arg(i));
    layout->addWidget(groups_[i]);
    loc_.AddControl(1001 + (i == 0 ? 0 : i == 1 ? 1 : i == 2 ? 7 : i == 3 ? 9 : 17), groups_[i]);
  }
  // Masks.
  masks_ = new QComboBox(this);
  masks_->setEditable(true);
  masks_->setObjectName(QStringLiteral("masks"));
  for (const char16_t* p : kMaskPresets) masks_->addItem(Q(p));
  (new QVBoxLayout(groups_[0]))->addWidget(masks_);
  // Data.
  auto* dataLayout = new QGridLayout(groups_[1]);
  data_ = new QComboBox(this);
  data_->setEditable(true);
  data_->setObjectName(QStringLiteral("data"));
  data_->addItems(history_);
  dataLayout->addWidget(data_, 0, 0, 1, 3);
  const StringId kindTexts[] = {StringId::SearchAscii, StringId::SearchUnicode, StringId::SearchHex};
  for (int i = 0; i < 3; ++i) {
    kinds_[i] = new QRadioButton(Tr(kindTexts[i]), this);
    dataLayout->addWidget(kinds_[i], 1, i);
  }
  case_ = new QCheckBox(Tr(StringId::SearchCaseSensitive), this);
  words_ = new QCheckBox(Tr(StringId::SearchWholeWords), this);
  dataLayout->addWidget(case_, 2, 0, 1, 2);
  dataLayout->addWidget(words_, 2, 2);
  // Size.
  auto* sizeLayout = new QHBoxLayout(groups_[2]);
  relation_ = new QComboBox(this);
  for (const char* r : {"=", ">", "<", ">=", "<="}) relation_->addItem(QLatin1String(r));
  value_ = new QDoubleSpinBox(this);
  value_->setRange(0, 10000);
  value_->setDecimals(2);
  unit_ = new QComboBox(this);
  for (const char* u : {"B", "kB", "MB", "GB"}) unit_->addItem(QLatin1String(u));
  tolerance_ = new QSpinBox(this);
  tolerance_->setRange(0, 100);
  sizeLayout->addWidget(relation_);
  sizeLayout->addWidget(value_);
  sizeLayout->addWidget(unit_);
  sizeLayout->addWidget(new QLabel(Tr(StringId::SearchTolerance), this));
  sizeLayout->addWidget(tolerance_);
  // Attributes.
  auto* attrLayout = new QGridLayout(groups_[3]);
  const StringId attrTexts[] = {StringId::SearchArchive,   StringId::SearchHidden, StringId::SearchCompressed,
                                StringId::SearchReadOnly,  StringId::SearchSystem, StringId::SearchEncrypted,
                                StringId::SearchDirectory};
  for (int i = 0; i < 7; ++i) {
    attributes_[i] = new QCheckBox(Tr(attrTexts[i]), this);
    attrLayout->addWidget(attributes_[i], i / 4, i % 4);
  }
  // Date.
  auto* dateLayout = new QGridLayout(groups_[4]);
  date_ = new QDateEdit(this);
  date_->setCalendarPopup(true);
  date_->setDateRange(QDate(1900, 1, 1), QDate(9999, 12, 31));
  date_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  dateLayout->addWidget(date_, 0, 0);
  const StringId modeTexts[] = {StringId::SearchPlusMinusDays, StringId::SearchBeforeDate, StringId::SearchAfterDate};
  for (int i = 0; i < 3; ++i) {
    dateModes_[i] = new QRadioButton(Tr(modeTexts[i]), this);
    dateLayout->addWidget(dateModes_[i], i, 1);
  }
  days_ = new QSpinBox(this);
  days_->setRange(0, 365);
  dateLayout->addWidget(days_, 0, 2);

  auto* buttons = new QHBoxLayout;
  auto* reset = new QPushButton(Tr(StringId::SearchReset), this);
  auto* search = new QPushButton(Tr(StringId::SearchStart), this);
  auto* cancel = new QPushButton(Tr(StringId::SearchCancel), this);
  reset->setObjectName(QStringLiteral("reset"));
  search->setObjectName(QStringLiteral("search"));
  search->setDefault(true);
  buttons->addWidget(reset);
  buttons->addStretch(1);
  buttons->addWidget(search);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(reset, &QPushButton::clicked, this, [this] { Load(SearchCriteria{}); });
  connect(search, &QPushButton::clicked, this, &AdvancedSearchDialog::Search);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  Load(criteria_);
  loc_.Apply(u"WINDOW_ADVANCED_SEARCH");
}

void AdvancedSearchDialog::Load(const SearchCriteria& c) {
  groups_[0]->setChecked(c.useMasks);
  masks_->setCurrentText(Q(c.maskText));
  groups_[1]->setChecked(c.useData);
  // The stored pattern in its kind (HEX as two upper-case digits a byte).
  ContentPattern p;
  if (c.dataKind == DataKind::Hex && CompilePattern(c.dataText, DataKind::Hex, true, false, p) == PatternError::None)
    data_->setCurrentText(Q(PatternText(p)));
  else
    data_->setCurrentText(Q(c.dataText));
  kinds_[static_cast<int>(c.dataKind)]->setChecked(true);
  case_->setChecked(c.caseSensitive);
  words_->setChecked(c.wholeWords);
  groups_[2]->setChecked(c.useSize);
  relation_->setCurrentIndex(static_cast<int>(c.relation));
  value_->setValue(c.sizeValue);
  unit_->setCurrentIndex(static_cast<int>(c.unit));
  tolerance_->setValue(static_cast<int>(c.tolerance));
  groups_[3]->setChecked(c.useAttributes);
  const bool bits[] = {c.archive, c.hidden, c.compressed, c.readOnly, c.system, c.encrypted, c.directory};
  for (int i = 0; i < 7; ++i) attributes_[i]->setChecked(bits[i]);
  groups_[4]->setChecked(c.useDate);
  date_->setDate(c.useDate ? QDate(c.year, c.month, c.day) : QDate::currentDate());
  dateModes_[static_cast<int>(c.dateMode)]->setChecked(true);
  days_->setValue(static_cast<int>(c.days));
}

SearchCriteria AdvancedSearchDialog::Read() const {
  SearchCriteria c;
  c.useMasks = groups_[0]->isChecked();
  c.maskText = masks_->currentText().toLower().toStdU16String();
  c.useData = groups_[1]->isChecked();
  c.dataText = data_->currentText().toStdU16String();
  for (int i = 0; i < 3; ++i)
    if (kinds_[i]->isChecked()) c.dataKind = static_cast<DataKind>(i);
  c.caseSensitive = case_->isChecked();
  c.wholeWords = words_->isChecked();
  c.useSize = groups_[2]->isChecked();
  c.relation = static_cast<SizeRelation>(relation_->currentIndex());
  c.sizeValue = value_->value();
  c.unit = static_cast<SizeUnit>(unit_->currentIndex());
  c.tolerance = static_cast<unsigned>(tolerance_->value());
  c.useAttributes = groups_[3]->isChecked();
  c.archive = attributes_[0]->isChecked();
  c.hidden = attributes_[1]->isChecked();
  c.compressed = attributes_[2]->isChecked();
  c.readOnly = attributes_[3]->isChecked();
  c.system = attributes_[4]->isChecked();
  c.encrypted = attributes_[5]->isChecked();
  c.directory = attributes_[6]->isChecked();
  c.useDate = groups_[4]->isChecked();
  c.year = date_->date().year();
  c.month = date_->date().month();
  c.day = date_->date().day();
  for (int i = 0; i < 3; ++i)
    if (dateModes_[i]->isChecked()) c.dateMode = static_cast<DateMode>(i);
  c.days = static_cast<unsigned>(days_->value());
  return c;
}

void AdvancedSearchDialog::Search() {
  const SearchCriteria c = Read();
  CompiledCriteria check;
  const CriteriaError error = CompileCriteria(c, fs_, check);
  if (error != CriteriaError::None) {
    // The dialog stays open with the focus where the fault is.
    ui_.Show(Q(CriteriaMessage(error)), Tr(StringId::Caption), MsgIcon::Warning, MsgButtons::Ok);
    data_->setFocus();
    return;
  }
  if (c.useData && !history_.contains(data_->currentText())) history_.prepend(data_->currentText());
  criteria_ = c;
  accept();
}

SearchController::SearchController(CoreBridge& bridge, QObject* parent)
    : QObject(parent), bridge_(bridge), runner_([&bridge] { return bridge.SearchReader(); }) {
  setObjectName(QStringLiteral("searchController"));
  timer_.setInterval(25);  // the progress label at most every 25 ms
  connect(&timer_, &QTimer::timeout, this, &SearchController::Poll);
}

SearchController::~SearchController() {
  runner_.Stop();
  runner_.Wait();
}

namespace {

QStringList ListOf(const std::vector<std::u16string>& strings) {
  QStringList out;
  for (const std::u16string& s : strings) out.push_back(Q(s));
  return out;
}

}  // namespace

QStringList& SearchController::history() {
  history_ = ListOf(bridge_.Histories().advancedSearch);
  return history_;
}

QStringList SearchController::mainHistory() const { return ListOf(bridge_.Histories().mainSearch); }

void SearchController::AttachSearchBox(QLineEdit* box) {
  box_ = box;
  completions_ = new QStringListModel(this);
  auto* completer = new QCompleter(completions_, box);
  completer->setCaseSensitivity(Qt::CaseInsensitive);
  box->setCompleter(completer);
  box->installEventFilter(this);
  RefreshCompletions();
}

void SearchController::RefreshCompletions() {
  if (!completions_ || bridge_.historiesGeneration() == historiesSeen_) return;
  historiesSeen_ = bridge_.historiesGeneration();
  completions_->setStringList(mainHistory());
}

bool SearchController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == box_ && event->type() == QEvent::FocusIn) RefreshCompletions();
  return QObject::eventFilter(watched, event);
}

bool SearchController::Start(const QString& text, bool advanced) {
  if (text.isEmpty()) return false;
  bridge_.AddToHistory(VolumeSession::History::MainSearch, text.left(static_cast<int>(kSearchTextMax)).toStdU16String());
  if (advanced && criteria_.useData) bridge_.AddToHistory(VolumeSession::History::AdvancedSearch, criteria_.dataText);
  RefreshCompletions();
  SearchRequest request;
  request.text = text.left(static_cast<int>(kSearchTextMax)).toStdU16String();
  request.advanced = advanced;
  request.criteria = criteria_;
  if (!runner_.Start(std::move(request), bridge_.displayFilter().Snapshot())) return false;
  std::u16string of = Text(StringId::SearchResultsOf);
  while (!of.empty() && of.back() == u' ') of.pop_back();
  title_ = advanced ? Tr(StringId::AdvancedSearchResults)
                    : Q(FillPlaceholders(Text(StringId::SearchResultsTitle), {of, text.toStdU16String()}));
  timer_.start();
  return true;
}

void SearchController::Poll() {
  emit progress(Q(runner_.currentFolder()));
  if (runner_.running() || runner_.generation() == seen_) return;
  seen_ = runner_.generation();
  timer_.stop();
  std::vector<FolderItem> items;
  {
    const SearchResults& r = runner_.results();
    std::scoped_lock g(r.lock);
    items.reserve(r.items.size());
    for (const SearchResult& s : r.items) items.push_back(bridge_.ItemOf(s));
  }
  const SearchEnd end = runner_.lastEnd().value_or(SearchEnd::Done);
  emit finished(items, items.empty() ? Tr(StringId::NothingFound) : title_, end);
}

SearchController* SearchOf(QObject* explorer, CoreBridge& bridge, bool& created) {
  auto* c = explorer->findChild<SearchController*>(QStringLiteral("searchController"), Qt::FindDirectChildrenOnly);
  created = c == nullptr;
  if (!c) c = new SearchController(bridge, explorer);
  return c;
}

}  // namespace kestrova::gui
