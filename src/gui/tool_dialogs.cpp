#include "gui/tool_dialogs.h"

#include "common/text.h"
#include "gui/texts.h"
#include "shell/diagnostics.h"
#include "volume/mount_at_sector.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <filesystem>
#include <limits>

namespace kestrova::gui {

namespace {
QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  box->button(QDialogButtonBox::Ok)->setText(Tr(StringId::ButtonOk));
  box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  box->button(QDialogButtonBox::Cancel)->setText(Tr(StringId::ButtonCancel));
  QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return box;
}

QLabel* Label(StringId text, QWidget* buddy, QWidget* parent) {
  auto* l = new QLabel(Tr(text), parent);
  l->setBuddy(buddy);
  return l;
}
}  // namespace

// --- Activity snapshot -------------------------------------------------------

std::string ProgramReportsFolder() { return ReportsFolder(ExecutableFolder()); }

QString WriteSnapshotReport(QtUi& ui, const std::string& reportsFolder) {
  const std::string folder = WithSeparator(reportsFolder);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  // The accumulator is large; it lives on the heap, not on the GUI thread's stack.
  auto text = std::make_unique<ReportAccumulator>();
  char path[512] = {};
  if (!WriteActivitySnapshot((folder + kReportBaseName).c_str(), text.get(), path)) {
    ui.Show(Q(FillPlaceholders(Text(StringId::SnapshotFailed), {ToUtf16(folder)})), {}, MsgIcon::Error,
            MsgButtons::Ok);
    return {};
  }
  const QString written = QString::fromUtf8(path);
  ui.Show(Q(FillPlaceholders(Text(StringId::SnapshotWritten), {written.toStdU16String()})), {},
          MsgIcon::Information, MsgButtons::Ok);
  return written;
}

// --- Configuration folders ---------------------------------------------------

ConfigFoldersDialog::ConfigFoldersDialog(UserRegistry& registry, const SourceIdentity& opened, QtUi& ui,
                                         QWidget* parent)
    : QDialog(parent), registry_(registry), opened_(opened), ui_(ui) {
  setObjectName(QStringLiteral("WINDOW_CONFIGURATION_FOLDERS"));
  setWindowTitle(Tr(StringId::ConfigurationFoldersCaption));
  settings_ = new QLineEdit(QString::fromStdString(registry.Read("sp").value_or(std::string())), this);
  settings_->setObjectName(QStringLiteral("settingsFolder"));
  temp_ = new QLineEdit(QString::fromStdString(registry.Read("tp").value_or(std::string())), this);
  temp_->setObjectName(QStringLiteral("tempFolder"));
  for (QLineEdit* e : {settings_, temp_}) e->setMinimumWidth(420);
  auto* browse = new QPushButton(Tr(StringId::ConfigFoldersBrowse), this);
  browse->setObjectName(QStringLiteral("browseTemp"));
  connect(browse, &QPushButton::clicked, this, &ConfigFoldersDialog::BrowseTemp);

  auto* layout = new QVBoxLayout(this);
  QLabel* settingsLabel = Label(StringId::ConfigFoldersSettings, settings_, this);
  QLabel* tempLabel = Label(StringId::ConfigFoldersTemp, temp_, this);
  layout->addWidget(settingsLabel);
  layout->addWidget(settings_);
  layout->addWidget(tempLabel);
  auto* tempRow = new QHBoxLayout;
  tempRow->addWidget(temp_, 1);
  tempRow->addWidget(browse);
  layout->addLayout(tempRow);
  layout->addStretch();
  layout->addWidget(OkCancel(this));

  loc_.AddControl(1001, settingsLabel);
  loc_.AddControl(1002, tempLabel);
  loc_.AddControl(1003, browse);
  loc_.Apply(u"WINDOW_CONFIGURATION_FOLDERS");
}

void ConfigFoldersDialog::BrowseTemp() {
  const QString chosen = QFileDialog::getExistingDirectory(this, Tr(StringId::ConfigFoldersTemp), temp_->text(),
                                                           QFileDialog::DontUseNativeDialog);
  if (chosen.isEmpty()) return;
  const QString base = QString::fromStdString(WithSeparator(chosen.toStdString()));
  temp_->setText(base + QStringLiteral("KVTemp/"));
  temp_->setSelection(static_cast<int>(base.size()), 7);
  temp_->setFocus();
}

void ConfigFoldersDialog::accept() {
  // Both fields pass before either is stored: a refused field stores nothing.
  const std::string settingsField = settings_->text().trimmed().toStdString();
  const std::string tempField = temp_->text().trimmed().toStdString();
  const FolderCheck settings = CheckConfigFolder(FolderKind::Settings, settingsField, opened_);
  const FolderCheck temp = settings.ok ? CheckConfigFolder(FolderKind::Temporary, tempField, opened_) : FolderCheck{};
  for (auto [check, field] : {std::pair{&settings, settings_}, std::pair{&temp, temp_}}) {
    if (check->ok) continue;
    ui_.Show(Tr(check->message), Tr(check->caption), check->icon, MsgButtons::Ok);
    field->setFocus();
    field->selectAll();
    return;
  }
  if (!registry_.Write("sp", settings.stored) || !registry_.Write("tp", temp.stored)) {
    ui_.Show(Tr(StringId::CantCreateAccessFolderSettings), Tr(StringId::FolderAccessProblem), MsgIcon::Error,
             MsgButtons::Ok);
    return;
  }
  QDialog::accept();
}

// --- Edit file size ----------------------------------------------------------

FileSizeDialog::FileSizeDialog(const QString& name, std::uint64_t size, std::uint64_t maxSize, QtUi& ui,
                               QWidget* parent)
    : QDialog(parent), ui_(ui), size_(size), maxSize_(maxSize) {
  setObjectName(QStringLiteral("WINDOW_FILE_SIZE"));
  setWindowTitle(Tr(StringId::FileSizeCaption));
  edit_ = new QLineEdit(QString::number(size), this);
  edit_->setObjectName(QStringLiteral("fileSize"));
  edit_->selectAll();
  auto* nameLabel = new QLabel(name, this);
  nameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* layout = new QVBoxLayout(this);
  QLabel* label = Label(StringId::FileSizeLabel, edit_, this);
  layout->addWidget(nameLabel);
  layout->addWidget(label);
  layout->addWidget(edit_);
  layout->addWidget(OkCancel(this));
  setMinimumWidth(360);
  loc_.AddControl(1001, label);
  loc_.Apply(u"WINDOW_FILE_SIZE");
}

void FileSizeDialog::accept() {
  bool ok = false;
  const QString text = edit_->text().trimmed().remove(QLatin1Char(' '));
  const qulonglong value = text.toULongLong(&ok, 10);
  if (!ok || value > maxSize_) {
    ui_.Show(Q(FillPlaceholders(Text(StringId::FileSizeInvalid), {QString::number(maxSize_).toStdU16String()})), {},
             MsgIcon::Information, MsgButtons::Ok);
    edit_->setFocus();
    edit_->selectAll();
    return;
  }
  size_ = value;
  QDialog::accept();
}

// --- Mount NTFS Volume from sector -------------------------------------------

MountNtfsDialog::MountNtfsDialog(const DriveList& list, std::size_t selectedRow, QtUi& ui, QWidget* parent)
    : QDialog(parent), list_(list), ui_(ui) {
  setObjectName(QStringLiteral("WINDOW_DRIVE_MOUNTNTFS"));
  setWindowTitle(Tr(StringId::MountNtfsCaption));
  base_ = new QComboBox(this);
  base_->setObjectName(QStringLiteral("baseDrive"));
  for (std::size_t i = 0; i < list.rows.size(); ++i)
    base_->addItem(Q(MountBaseEntryText(i + 1, list.rows[i].entry)));
  if (selectedRow < list.rows.size()) base_->setCurrentIndex(static_cast<int>(selectedRow));
  sector_ = new QLineEdit(QStringLiteral("0"), this);
  sector_->setObjectName(QStringLiteral("sector"));
  count_ = new QLineEdit(QStringLiteral("0"), this);
  count_->setObjectName(QStringLiteral("count"));
  auto* max = new QPushButton(Tr(StringId::MountNtfsMax), this);
  max->setObjectName(QStringLiteral("maxButton"));
  connect(max, &QPushButton::clicked, this, &MountNtfsDialog::FillMax);
  cluster_ = new QComboBox(this);
  cluster_->setObjectName(QStringLiteral("cluster"));
  for (std::u16string_view n : kClusterChoiceNames) cluster_->addItem(Q(n));
  cluster_->setCurrentIndex(MountAtSectorInput{}.clusterChoice);
  raw_ = new QCheckBox(Tr(StringId::MountNtfsRaw), this);
  raw_->setChecked(true);

  auto* form = new QFormLayout;
  QLabel* baseLabel = Label(StringId::MountNtfsBase, base_, this);
  QLabel* sectorLabel = Label(StringId::MountNtfsSector, sector_, this);
  QLabel* countLabel = Label(StringId::MountNtfsCount, count_, this);
  QLabel* clusterLabel = Label(StringId::MountNtfsCluster, cluster_, this);
  form->addRow(baseLabel, base_);
  form->addRow(sectorLabel, sector_);
  auto* countRow = new QHBoxLayout;
  countRow->addWidget(count_, 1);
  countRow->addWidget(max);
  form->addRow(countLabel, countRow);
  form->addRow(clusterLabel, cluster_);
  form->addRow(QString(), raw_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(OkCancel(this));
  setMinimumWidth(480);

  loc_.AddControl(1001, baseLabel);
  loc_.AddControl(1002, sectorLabel);
  loc_.AddControl(1003, countLabel);
  loc_.AddControl(1004, clusterLabel);
  loc_.AddControl(1005, max);
  loc_.AddControl(1006, raw_);
  loc_.Apply(u"WINDOW_DRIVE_MOUNTNTFS");
}

void MountNtfsDialog::FillMax() {
  const int i = base_->currentIndex();
  if (i < 0) return;
  count_->setText(QString::number(
      MaxSectorCount(list_.rows[static_cast<std::size_t>(i)].entry, sector_->text().toStdU16String())));
}

void MountNtfsDialog::accept() {
  const int i = base_->currentIndex();
  if (i < 0) return;
  MountAtSectorInput input;
  input.sectorText = sector_->text().trimmed().toStdU16String();
  input.countText = count_->text().trimmed().toStdU16String();
  input.clusterChoice = static_cast<std::uint8_t>(cluster_->currentIndex());
  input.rawAnalyzeTicked = raw_->isChecked();
  DriveSettings settings = list_.rows[static_cast<std::size_t>(i)].settings;
  const bool ok = MountAtSector(list_.rows[static_cast<std::size_t>(i)].entry, input, settings);
  if (!ok || settings.manualCount == 0) {
    // The range is refused (or empty): the fields show what the check left and the window stays.
    sector_->setText(Q(input.sectorText));
    count_->setText(Q(input.countText));
    ui_.Show(Tr(StringId::MountNtfsBadRange), {}, MsgIcon::Information, MsgButtons::Ok);
    sector_->setFocus();
    return;
  }
  row_ = static_cast<std::size_t>(i);
  settings_ = settings;
  QDialog::accept();
}

// --- Advanced drive settings -------------------------------------------------

DriveSettingsDialog::DriveSettingsDialog(const DriveSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  setObjectName(QStringLiteral("WINDOW_DRIVE_SETTINGS"));
  setWindowTitle(Tr(StringId::DriveSettingsTitle));
  untouched_ = new QRadioButton(Tr(StringId::DriveSettingsUntouched), this);
  override_ = new QRadioButton(Tr(StringId::DriveSettingsOverride), this);
  override_->setObjectName(QStringLiteral("overrideFs"));
  (settings.overrideFs ? override_ : untouched_)->setChecked(true);
  fs_ = new QComboBox(this);
  fs_->setObjectName(QStringLiteral("fsChoice"));
  for (std::u16string_view n : kFsChoiceNames) fs_->addItem(Q(n));
  fs_->setCurrentIndex(settings.fsChoice < kFsChoiceNames.size() ? settings.fsChoice : 0);
  cluster_ = new QComboBox(this);
  cluster_->setObjectName(QStringLiteral("clusterChoice"));
  for (std::u16string_view n : kClusterChoiceNames) cluster_->addItem(Q(n));
  cluster_->setCurrentIndex(settings.clusterChoice < kClusterChoiceCount ? settings.clusterChoice : 0);
  fat_ = new QComboBox(this);
  for (std::u16string_view n : kFatChoiceNames) fat_->addItem(Q(n));
  fat_->setCurrentIndex(settings.fatChoice < kFatChoiceNames.size() ? settings.fatChoice : 0);
  damaged_ = new QCheckBox(Tr(StringId::DriveSettingsDamaged), this);
  damaged_->setChecked(settings.damaged);
  reverse_ = new QCheckBox(Tr(StringId::DriveSettingsReverse), this);
  reverse_->setChecked(settings.reverse);
  raw_ = new QCheckBox(Tr(StringId::DriveSettingsRaw), this);
  raw_->setObjectName(QStringLiteral("rawAnalyze"));
  raw_->setChecked(settings.RawAnalyzeTicked());

  auto* form = new QFormLayout;
  QLabel* fsLabel = Label(StringId::DriveSettingsFs, fs_, this);
  QLabel* clusterLabel = Label(StringId::DriveSettingsCluster, cluster_, this);
  QLabel* fatLabel = Label(StringId::DriveSettingsFat, fat_, this);
  form->addRow(fsLabel, fs_);
  form->addRow(clusterLabel, cluster_);
  form->addRow(fatLabel, fat_);
  form->setContentsMargins(24, 0, 0, 0);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(untouched_);
  layout->addWidget(override_);
  layout->addLayout(form);
  layout->addWidget(damaged_);
  layout->addWidget(reverse_);
  layout->addWidget(raw_);
  layout->addWidget(OkCancel(this));
  connect(override_, &QRadioButton::toggled, this, &DriveSettingsDialog::UpdateEnabled);
  UpdateEnabled();

  loc_.AddControl(1001, untouched_);
  loc_.AddControl(1002, override_);
  loc_.AddControl(1003, fsLabel);
  loc_.AddControl(1004, clusterLabel);
  loc_.AddControl(1005, fatLabel);
  loc_.AddControl(1006, damaged_);
  loc_.AddControl(1007, reverse_);
  loc_.AddControl(1008, raw_);
  loc_.Apply(u"WINDOW_DRIVE_SETTINGS");
}

void DriveSettingsDialog::UpdateEnabled() {
  for (QWidget* w : {static_cast<QWidget*>(fs_), static_cast<QWidget*>(cluster_), static_cast<QWidget*>(fat_)})
    w->setEnabled(override_->isChecked());
}

void DriveSettingsDialog::accept() {
  settings_.overrideFs = override_->isChecked();
  settings_.fsChoice = static_cast<std::uint8_t>(fs_->currentIndex());
  settings_.clusterChoice = static_cast<std::uint8_t>(cluster_->currentIndex());
  settings_.fatChoice = static_cast<std::uint8_t>(fat_->currentIndex());
  settings_.damaged = damaged_->isChecked();
  settings_.reverse = reverse_->isChecked();
  settings_.rawAnalyze = raw_->isChecked() ? 0 : 1;  // stored inverted
  QDialog::accept();
}

}  // namespace kestrova::gui
