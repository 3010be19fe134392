#include "gui/explorer_window.h"
#include "gui/filter_window.h"
#include "gui/hex_view_window.h"
#include "gui/old_partitions_window.h"
#include "gui/search_window.h"

#include "common/number_text.h"
#include "common/text.h"
#include "explore/list_columns.h"
#include "gui/read_error_dialog.h"
#include "gui/recovery_dialogs.h"
#include "gui/texts.h"
#include "gui/tool_dialogs.h"
#include "scan/virtual_folders.h"

#include <QAction>
#include <QApplication>
#include <QCompleter>
#include <QActionGroup>
#include <QListView>
#include <QStackedWidget>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QUrl>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolBar>

#include <limits>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kestrova::gui {

namespace {

constexpr int kPlaceRole = Qt::UserRole + 1;   // tree: the item's handle
constexpr int kLoadedRole = Qt::UserRole + 2;  // tree: children listed
constexpr int kNameRole = Qt::UserRole + 3;    // tree: the folder's name (the text may carry a count)
constexpr int kMarkerRole = Qt::UserRole + 4;  // tree: a virtual folder's marker

QString TreeName(const QTreeWidgetItem* item) {
  const QVariant name = item->data(0, kNameRole);
  return name.isValid() ? name.toString() : item->text(0);
}

// The rating strip: a bar of at most 80 pixels, full at 110.
class RatingDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, QModelIndex());  // background and selection only
    const QVariant v = index.data(Qt::DisplayRole);
    if (!v.isValid()) return;
    const int value = std::clamp(v.toInt(), 0, 110);
    const QRect frame = option.rect.adjusted(4, 4, -4, -4);
    const int width = std::min(80, frame.width());
    const QRect outline(frame.left(), frame.top(), width, frame.height());
    painter->save();
    painter->setPen(option.palette.color(QPalette::Mid));
    painter->drawRect(outline.adjusted(0, 0, -1, -1));
    const int image = value * 10 / 100;  // one of twelve steps
    const int filled = (outline.width() - 2) * image / 11;
    const QColor fill = value >= 100 ? QColor(0, 160, 0) : value >= 50 ? QColor(220, 170, 0) : QColor(200, 40, 40);
    painter->fillRect(QRect(outline.left() + 1, outline.top() + 1, filled, outline.height() - 2), fill);
    painter->restore();
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setWidth(88);
    return s;
  }
};

QString PathText(const std::vector<std::u16string>& names) {
  QString p;
  for (const auto& n : names) p += QLatin1Char('/') + Q(n);
  return p.isEmpty() ? QStringLiteral("/") : p;
}

QColor TreeColour(const FolderItem& item, const StatusColours& colours) {
  if (item.entry.Kind() == EntryKind::VirtualFolder) {
    if (item.entry.Marker() == kRawFilesMarker) return FromColorRef(0xC000C0);
    return FromColorRef(kVirtualFolderColour);
  }
  if (!item.name.empty() && item.name[0] == u'$') return FromColorRef(colours[6]);
  return CategoryColour(item.colour, colours);
}

StringId StatusName(ColourCategory c) {
  switch (c) {
    case ColourCategory::Deleted: return StringId::StatusDeleted;
    case ColourCategory::Existing: return StringId::StatusExisting;
    case ColourCategory::Overwritten: return StringId::StatusOverwrittenEntry;
    case ColourCategory::NotDetected: return StringId::StatusNotDetected;
    case ColourCategory::Compressed: return StringId::StatusCompressed;
    case ColourCategory::Encrypted: return StringId::StatusEncrypted;
    case ColourCategory::Special: return StringId::StatusSpecial;
    case ColourCategory::VirtualFolder: return StringId::StatusVirtual;
  }
  return StringId::StatusExisting;
}

// The help shipped with the program: beside it, or in share/ when installed.
QString HelpFile() {
  const QString app = QCoreApplication::applicationDirPath();
  for (const QString& candidate : {app + QStringLiteral("/help/index.html"),
                                   app + QStringLiteral("/../share/kestrova/help/index.html")})
    if (QFileInfo::exists(candidate)) return QFileInfo(candidate).canonicalFilePath();
  return {};
}

bool IsNavigation(const FolderItem& it) {
  return it.dotEntry || it.entry.Kind() == EntryKind::ParentLink || it.entry.Kind() == EntryKind::VirtualParentLink;
}

}  // namespace

ExplorerWindow::ExplorerWindow(CoreBridge& bridge, QtUi& ui, const StatusColours& colours, const QString& title,
                               const LanguageHost* language, QWidget* parent)
    : QMainWindow(parent), bridge_(bridge), ui_(ui), colours_(colours) {
  if (language) language_ = *language;
  setObjectName(QStringLiteral("WINDOW_EXPLORER"));
  setWindowTitle(title);
  title_ = title;
  scan_ = new ScanController(bridge_, this);
  connect(scan_, &ScanController::progressed, this, &ExplorerWindow::ScanProgressed);
  connect(scan_, &ScanController::ended, this, &ExplorerWindow::ScanEnded);
  setAttribute(Qt::WA_DeleteOnClose, false);

  model_ = new EntryModel(bridge_.fsType(), colours_, this);
  list_ = new QTableView(this);
  list_->setObjectName(QStringLiteral("fileList"));
  list_->setModel(model_);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setShowGrid(false);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
  list_->horizontalHeader()->setHighlightSections(false);
  list_->horizontalHeader()->setSectionsClickable(true);
  list_->horizontalHeader()->setSortIndicatorShown(false);
  list_->horizontalHeader()->setStretchLastSection(true);
  list_->horizontalHeader()->resizeSection(0, 300);
  list_->horizontalHeader()->resizeSection(1, 90);
  list_->horizontalHeader()->resizeSection(2, 70);
  list_->horizontalHeader()->resizeSection(3, 130);
  list_->horizontalHeader()->resizeSection(4, 92);
  list_->setItemDelegateForColumn(4, new RatingDelegate(list_));
  list_->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(list_, &QTableView::activated, this, &ExplorerWindow::Activate);
  connect(list_, &QTableView::doubleClicked, this, &ExplorerWindow::Activate);
  connect(list_->horizontalHeader(), &QHeaderView::sectionClicked, this, &ExplorerWindow::HeaderClicked);

  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("folderTree"));
  tree_->setHeaderLabel(Tr(StringId::ExplorerTreeColumn));
  tree_->setHeaderHidden(true);
  connect(tree_, &QTreeWidget::itemExpanded, this, &ExplorerWindow::ExpandTreeItem);
  connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    std::vector<std::u16string> names;
    for (QTreeWidgetItem* i = item; i && i->parent(); i = i->parent()) names.insert(names.begin(), TreeName(i).toStdU16String());
    ShowFolder({static_cast<EntryHandle>(item->data(0, kPlaceRole).toULongLong()), names}, true);
  });

  // The navigation row: Back, Next, Up, path box, search box.
  auto* top = new QWidget(this);
  auto* row = new QHBoxLayout(top);
  row->setContentsMargins(4, 2, 4, 2);
  auto makeButton = [&](QStyle::StandardPixmap icon, StringId text, const char* name) {
    auto* b = new QToolButton(top);
    b->setIcon(style()->standardIcon(icon));
    b->setToolTip(BeforeTab(Tr(text)).remove(QLatin1Char('&')));
    b->setObjectName(QLatin1String(name));
    row->addWidget(b);
    return b;
  };
  back_ = makeButton(QStyle::SP_ArrowBack, StringId::Back, "back");
  next_ = makeButton(QStyle::SP_ArrowForward, StringId::Next, "next");
  up_ = makeButton(QStyle::SP_FileDialogToParent, StringId::ExplorerUp, "up");
  connect(back_, &QToolButton::clicked, this, &ExplorerWindow::GoBack);
  connect(next_, &QToolButton::clicked, this, &ExplorerWindow::GoNext);
  connect(up_, &QToolButton::clicked, this, &ExplorerWindow::GoUp);
  path_ = new QComboBox(top);
  path_->setObjectName(QStringLiteral("pathBox"));
  path_->setEditable(true);
  path_->setInsertPolicy(QComboBox::NoInsert);
  path_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  row->addWidget(path_, 1);
  // Return in the path box is handled here alone: the combo box would pass
  // the same key on to its edit a second time.
  path_->lineEdit()->installEventFilter(this);
  list_->installEventFilter(this);
  connect(path_, qOverload<int>(&QComboBox::activated), this, [this](int i) { GoToPath(path_->itemText(i)); });
  search_ = new QLineEdit(top);
  search_->setObjectName(QStringLiteral("search"));
  search_->setPlaceholderText(Tr(StringId::SearchCueBanner));
  search_->setMaximumWidth(200);
  row->addWidget(search_);

  auto* splitter = new QSplitter(this);
  splitter->addWidget(tree_);
  miniatures_ = new QListView(this);
  miniatures_->setObjectName(QStringLiteral("miniatureList"));
  miniatures_->setModel(model_);
  miniatures_->setViewMode(QListView::IconMode);
  miniatures_->setIconSize(QSize(ThumbnailLoader::kSide, ThumbnailLoader::kSide));
  miniatures_->setGridSize(QSize(ThumbnailLoader::kSide + 40, ThumbnailLoader::kSide + 2 * fontMetrics().height()));
  miniatures_->setResizeMode(QListView::Adjust);
  miniatures_->setMovement(QListView::Static);
  miniatures_->setUniformItemSizes(true);
  miniatures_->setWordWrap(false);
  miniatures_->setSelectionModel(list_->selectionModel());
  connect(miniatures_, &QAbstractItemView::activated, this, &ExplorerWindow::Activate);
  views_ = new QStackedWidget(this);
  views_->addWidget(list_);
  views_->addWidget(miniatures_);
  thumbnails_ = new ThumbnailLoader(
      [this](const ScanEntry& e, std::uint64_t offset, std::uint64_t length) {
        return bridge_.ReadRange(e, offset, length);
      },
      this);
  connect(thumbnails_, &ThumbnailLoader::Decoded, this,
          [this](int generation, quint32 key, const QImage& image) {
            if (generation == thumbnailGeneration_) model_->SetThumbnail(key, image);
          },
          Qt::QueuedConnection);
  splitter->addWidget(views_);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({220, 700});
  auto* central = new QWidget(this);
  auto* v = new QVBoxLayout(central);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  v->addWidget(top);
  v->addWidget(splitter, 1);
  setCentralWidget(central);

  BuildMenus();
  // Tab: tree, list, path box, search box, and round again.
  setTabOrder(tree_, list_);
  setTabOrder(list_, path_);
  setTabOrder(path_, search_);
  loc_.AddColumns(1001, [this](const QStringList& t) { model_->SetTitles(t); });
  loc_.AddControl(1003, search_);
  loc_.SetMenuBar(menuBar());
  loc_.Apply(u"WINDOW_EXPLORER");

  // The read-error window lives as long as the explorer and shows itself.
  bridge_.AttachReadErrorWindow(ui_);
  auto* readErrors = new ReadErrorDialog([this](bool skip) { bridge_.ReadErrorContinue(skip); },
                                         [this](bool skip) { bridge_.ReadErrorStopScan(skip); }, this);
  connect(&ui_, &QtUi::readErrorChanged, readErrors, &ReadErrorDialog::ShowView);

  BuildTree();
  ShowFolder({bridge_.RootHandle(), {}}, false);
  // A session loaded on the start window: its destinations and favourites; its unfinished scan goes on.
  TakeLoadedSession();
  resize(1000, 620);
  list_->setFocus();
}

QAction* ExplorerWindow::AddCommand(QMenu* menu, int command, StringId text, const QKeySequence& keys, bool built) {
  auto* a = new QAction(Tr(text), this);
  a->setData(command);
  if (!keys.isEmpty()) {
    a->setShortcut(keys);
    a->setShortcutContext(Qt::WindowShortcut);
  }
  a->setEnabled(built);
  texts_[command] = text;
  if (menu) menu->addAction(a);
  addAction(a);
  actions_[command] = a;
  return a;
}

QMenu* ExplorerWindow::AddMenu(StringId title) {
  QMenu* menu = menuBar()->addMenu(Tr(title));
  menus_.emplace_back(menu, title);
  return menu;
}

void ExplorerWindow::BuildMenus() {
  QMenu* file = AddMenu(StringId::ExplorerMenuFile);
  connect(AddCommand(file, kCmdRecover, StringId::PopupRecover, QKeySequence(Qt::ALT | Qt::Key_R)),
          &QAction::triggered, this, [this] { Recover(); });
  connect(AddCommand(file, kCmdRecoverDefrag, StringId::PopupRecoverPlus, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R)),
          &QAction::triggered, this, &ExplorerWindow::RecoverDefragmented);
  // Ctrl+Alt+J is the key the JOIN entry names.
  connect(AddCommand(file, kCmdRecoverJoin, StringId::PopupRecoverJoin, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_J), false),
          &QAction::triggered, this, [this] { Recover(RecoveryMode::Join); });
  connect(model_, &QAbstractItemModel::dataChanged, this, &ExplorerWindow::UpdateJoin);
  connect(model_, &QAbstractItemModel::modelReset, this, &ExplorerWindow::UpdateJoin);
  file->addSeparator();
  connect(AddCommand(file, kCmdSaveSession, StringId::PopupSession, QKeySequence(Qt::CTRL | Qt::Key_S)),
          &QAction::triggered, this, &ExplorerWindow::SaveSession);
  connect(AddCommand(file, kCmdLoadSession, StringId::MenuLoadScanSession, QKeySequence(Qt::CTRL | Qt::Key_L)),
          &QAction::triggered, this, &ExplorerWindow::LoadSession);
  file->addSeparator();
  connect(AddCommand(file, kCmdClose, StringId::MenuClose), &QAction::triggered, this, &ExplorerWindow::close);

  QMenu* select = AddMenu(StringId::ExplorerMenuSelect);
  connect(AddCommand(select, kCmdSelectAll, StringId::PopupSelectAll, QKeySequence(Qt::CTRL | Qt::Key_A)),
          &QAction::triggered, this, [this] { model_->Mark(EntryModel::MarkOp::All); });
  connect(AddCommand(select, kCmdUnselectAll, StringId::PopupUnselectAll, QKeySequence(Qt::CTRL | Qt::Key_Z)),
          &QAction::triggered, this, [this] { model_->Mark(EntryModel::MarkOp::None); });
  connect(AddCommand(select, kCmdInvert, StringId::PopupInvertSelection, QKeySequence(Qt::CTRL | Qt::Key_I)),
          &QAction::triggered, this, [this] { model_->Mark(EntryModel::MarkOp::Invert); });
  // Space reaches the list's check box directly; the menu entry toggles the focused item.
  connect(AddCommand(select, kCmdSelect, StringId::PopupSelect), &QAction::triggered, this, [this] {
    if (list_->currentIndex().isValid()) model_->Mark(EntryModel::MarkOp::Toggle, list_->currentIndex().row());
  });

  QMenu* view = AddMenu(StringId::ExplorerMenuView);
  QAction* details = AddCommand(view, kCmdDetails, StringId::PopupDetails);
  details->setCheckable(true);
  details->setChecked(true);
  QAction* miniatures = AddCommand(view, kCmdMiniatures, StringId::PopupMiniatures);
  miniatures->setCheckable(true);
  auto* viewMode = new QActionGroup(this);
  viewMode->addAction(details);
  viewMode->addAction(miniatures);
  connect(miniatures, &QAction::toggled, this, &ExplorerWindow::ShowMiniatures);
  view->addSeparator();
  QAction* treeToggle = AddCommand(view, kCmdFoldersTree, StringId::MenuFoldersTree, QKeySequence(Qt::Key_F11));
  treeToggle->setCheckable(true);
  treeToggle->setChecked(true);
  connect(treeToggle, &QAction::toggled, tree_, &QWidget::setVisible);
  connect(AddCommand(view, kCmdDisplayFiles, StringId::MenuDisplayFiles, QKeySequence(Qt::Key_F7)),
          &QAction::triggered, this, [this] {
            bool created = false;
            DisplayFilterWindow* w = OpenDisplayFilter(this, bridge_.displayFilter(), colours_, created);
            if (!created) return;
            w->SetColourSettings(colourSettings_);
            connect(w, &DisplayFilterWindow::applied, this, [this] { ShowFolder(place_, false); });
            connect(w, &DisplayFilterWindow::coloursChanged, this, [this](const StatusColours& c) {
              colours_ = c;
              model_->SetColours(c);
            });
          });
  QAction* oldPartitions = AddCommand(view, kCmdOldPartitions, StringId::MenuOldPartitions);
  oldPartitions->setCheckable(true);
  connect(oldPartitions, &QAction::toggled, this, &ExplorerWindow::ShowOldPartitions);
  view->addSeparator();
  connect(AddCommand(view, kCmdRefresh, StringId::MenuRefresh, QKeySequence(Qt::Key_F5)), &QAction::triggered, this,
          [this] { ShowFolder(place_, false); });

  QMenu* search = AddMenu(StringId::ExplorerMenuSearch);
  {
    bool created = false;
    SearchController* searcher = SearchOf(this, bridge_, created);
    QAction* find = AddCommand(search, kCmdFind, StringId::MenuFind, QKeySequence(Qt::CTRL | Qt::Key_F));
    QAction* advanced = AddCommand(search, kCmdAdvancedSearch, StringId::PopupAdvancedSearch);
    QAction* stop = AddCommand(search, kCmdBreakSearch, StringId::MenuBreakSearch, {}, false);
    connect(find, &QAction::triggered, this, [this] {
      search_->setFocus();
      search_->selectAll();
    });
    auto start = [this, searcher, stop](bool isAdvanced) {
      if (search_->text().isEmpty()) {
        QApplication::beep();
        search_->setFocus();
        return;
      }
      if (searcher->Start(search_->text(), isAdvanced)) stop->setEnabled(true);
    };
    // The box offers what was searched before (this run, or in a loaded session).
    searcher->AttachSearchBox(search_);
    connect(search_, &QLineEdit::returnPressed, this, [start] { start(false); });
    connect(advanced, &QAction::triggered, this, [this, searcher, start] {
      AdvancedSearchDialog dialog(searcher->criteria(), searcher->history(), bridge_.fsType(), ui_, this);
      if (dialog.exec() != QDialog::Accepted) return;
      search_->setText(QStringLiteral("*"));
      start(true);
    });
    connect(stop, &QAction::triggered, searcher, &SearchController::Stop);
    connect(searcher, &SearchController::progress, this, [this](const QString& folder) {
      if (!folder.isEmpty()) statusBar()->showMessage(folder);
    });
    connect(searcher, &SearchController::finished, this,
            [this, stop](const std::vector<FolderItem>& items, const QString& title, SearchEnd end) {
              stop->setEnabled(false);
              model_->SetItems(items);
              setWindowTitle(title);
              ShowCount();
              if (end == SearchEnd::Truncated)
                ui_.Show(Tr(StringId::SearchTruncated), Tr(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
              else if (end == SearchEnd::MemoryLow)
                ui_.Show(Tr(StringId::SearchMemoryLow), Tr(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
            });
  }

  QMenu* scan = AddMenu(StringId::ExplorerMenuScan);
  // F10 starts the scan (free region and RAW), then pauses and resumes it.
  connect(AddCommand(scan, kCmdPauseScan, StringId::MenuPauseScan, QKeySequence(Qt::Key_F10)), &QAction::triggered,
          this, [this] {
            if (scan_->idle())
              StartScan(true);
            else
              scan_->TogglePause();
            UpdateScanCommands();
          });
  connect(AddCommand(scan, kCmdScanFreeRegion, StringId::MenuScanFreeRegion), &QAction::triggered, this,
          [this] { StartScan(false); });
  connect(AddCommand(scan, kCmdRawScan, StringId::MenuRawScan), &QAction::triggered, this, [this] { StartScan(true); });
  connect(AddCommand(scan, kCmdPauseCurrentScan, StringId::MenuPauseCurrentScan, {}, false), &QAction::triggered, this,
          [this] {
            scan_->TogglePause();
            UpdateScanCommands();
          });
  connect(AddCommand(scan, kCmdStopCurrentScan, StringId::PopupBreak, {}, false), &QAction::triggered, this,
          [this] { scan_->Stop(); });
  AddCommand(scan, kCmdBreak, StringId::MenuBreak, {}, false);

  QMenu* tools = AddMenu(StringId::ExplorerMenuTools);
  connect(AddCommand(tools, kCmdHexView, StringId::PopupHexView, QKeySequence(Qt::CTRL | Qt::Key_H)),
          &QAction::triggered, this, [this] {
            const QModelIndex focus = list_->currentIndex();
            if (!focus.isValid() || model_->item(focus.row()).folder) return;
            OpenHexView(this, bridge_, model_->item(focus.row()).entry, model_->item(focus.row()).name);
          });
  connect(AddCommand(tools, kCmdEditFileSize, StringId::PopupEditFileSize, QKeySequence(Qt::ALT | Qt::Key_S)),
          &QAction::triggered, this, &ExplorerWindow::EditFileSize);
  connect(AddCommand(tools, kCmdProperties, StringId::PopupProperties, QKeySequence(Qt::ALT | Qt::Key_Return)),
          &QAction::triggered, this, &ExplorerWindow::Properties);
  tools->addSeparator();
  connect(AddCommand(tools, kCmdConfigFolders, StringId::PopupToolConfigFolders), &QAction::triggered, this, [this] {
    UserRegistry registry(UserRegistry::DefaultPath());
    ConfigFoldersDialog dialog(registry, bridge_.Identity(), ui_, this);
    dialog.exec();
  });
  connect(AddCommand(tools, kCmdLanguage, StringId::Language, {}, language_.has_value()), &QAction::triggered, this,
          &ExplorerWindow::ChooseLanguage);

  favorites_ = AddMenu(StringId::ExplorerMenuFavorites);
  connect(AddCommand(favorites_, kCmdAddFavorite, StringId::PopupAddToFavorites, QKeySequence(Qt::CTRL | Qt::Key_D)),
          &QAction::triggered, this, &ExplorerWindow::AddFavorite);
  favorites_->addSeparator();
  FillFavorites();

  QMenu* help = AddMenu(StringId::ExplorerMenuHelp);
  connect(AddCommand(help, kCmdContents, StringId::MenuContents, QKeySequence(Qt::Key_F1), !HelpFile().isEmpty()),
          &QAction::triggered, this, [] { QDesktopServices::openUrl(QUrl::fromLocalFile(HelpFile())); });
  AddCommand(help, kCmdOnlineHelp, StringId::MenuOnlineHelp, {}, false);

  // Keys without a menu entry.
  connect(AddCommand(nullptr, kCmdFullName, StringId::FileFolderDescription, QKeySequence(Qt::ALT | Qt::Key_X)),
          &QAction::triggered, this, &ExplorerWindow::ShowFullName);
  connect(AddCommand(nullptr, kCmdSnapshot, StringId::SnapshotWritten,
                     QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F12)),
          &QAction::triggered, this, [this] { WriteSnapshotReport(ui_, ProgramReportsFolder()); });

  // The toolbar and the list's pop-up carry the built commands.
  QToolBar* toolbar = toolbar_ = addToolBar(Tr(StringId::PopupView));
  toolbar->setObjectName(QStringLiteral("toolbar"));
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  auto toolbarAction = [&](int command, QStyle::StandardPixmap icon) {
    QAction* a = actions_.at(command);
    a->setIcon(style()->standardIcon(icon));
    auto* shown = toolbar->addAction(a->icon(), BeforeTab(a->text()).remove(QLatin1Char('&')));
    shown->setEnabled(a->isEnabled());
    toolbarActions_.emplace_back(shown, command);
    connect(shown, &QAction::triggered, a, &QAction::trigger);
  };
  toolbarAction(kCmdRecover, QStyle::SP_DialogSaveButton);
  toolbarAction(kCmdProperties, QStyle::SP_FileDialogInfoView);
  toolbarAction(kCmdRefresh, QStyle::SP_BrowserReload);
  toolbarAction(kCmdPauseScan, QStyle::SP_MediaPlay);
  scanButton_ = toolbarActions_.back().first;
  toolbar->addSeparator();
  toolbarAction(kCmdFind, QStyle::SP_FileDialogContentsView);
  toolbarAction(kCmdHexView, QStyle::SP_FileDialogDetailedView);
  for (int c : {kCmdRecover, kCmdSelectAll, kCmdUnselectAll, kCmdInvert, kCmdProperties, kCmdRefresh})
    list_->addAction(actions_.at(c));
}

void ExplorerWindow::BuildTree() {
  auto* root = new QTreeWidgetItem(tree_, QStringList{QStringLiteral("/")});
  root->setData(0, kPlaceRole, QVariant::fromValue<qulonglong>(bridge_.RootHandle()));
  root->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
  root->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  root->setExpanded(true);
}

void ExplorerWindow::ExpandTreeItem(QTreeWidgetItem* item) {
  if (item->data(0, kLoadedRole).toBool()) return;
  item->setData(0, kLoadedRole, true);
  for (const FolderItem& f : bridge_.List(static_cast<EntryHandle>(item->data(0, kPlaceRole).toULongLong()))) {
    if (!f.folder || IsNavigation(f)) continue;
    auto* child = new QTreeWidgetItem(item, QStringList{Q(f.name)});
    child->setData(0, kPlaceRole, QVariant::fromValue<qulonglong>(bridge_.FolderHandle(f.entry)));
    child->setData(0, kNameRole, Q(f.name));
    if (f.entry.Kind() == EntryKind::VirtualFolder) child->setData(0, kMarkerRole, QVariant::fromValue<quint32>(f.entry.Marker()));
    child->setForeground(0, TreeColour(f, colours_));
    child->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    child->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  }
  if (item->childCount() == 0) item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
}

QTreeWidgetItem* ExplorerWindow::TreeItemFor(const FolderPlace& place) {
  QTreeWidgetItem* item = tree_->topLevelItem(0);
  for (const std::u16string& name : place.names) {
    if (!item) return nullptr;
    ExpandTreeItem(item);
    QTreeWidgetItem* found = nullptr;
    for (int i = 0; i < item->childCount(); ++i)
      if (CompareNoCase(TreeName(item->child(i)).toStdU16String(), name) == 0) found = item->child(i);
    item = found;
  }
  return item;
}

QString ExplorerWindow::currentPath() const { return PathText(place_.names); }

void ExplorerWindow::ShowFolder(const FolderPlace& place, bool record) {
  if (record && (place.handle != place_.handle || place.names != place_.names)) {
    backStack_.push_back(place_);
    nextStack_.clear();
  }
  place_ = place;
  model_->SetItems(bridge_.List(place.handle));
  LoadThumbnails();
  sortColumn_ = -1;
  sortClicks_ = 0;
  const QString text = PathText(place.names);
  if (path_->findText(text) < 0) path_->insertItem(0, text);
  path_->setCurrentText(text);
  if (QTreeWidgetItem* item = TreeItemFor(place)) {
    for (QTreeWidgetItem* p = item->parent(); p; p = p->parent()) p->setExpanded(true);
    tree_->setCurrentItem(item);
  }
  if (model_->rowCount()) list_->setCurrentIndex(model_->index(0, 0));
  UpdateNavigation();
  ShowCount();
}

void ExplorerWindow::ShowCount() {
  statusBar()->showMessage(
      Q(FillPlaceholders(Text(StringId::ExplorerObjects), {ToUtf16(std::to_string(model_->rowCount()))})));
}

void ExplorerWindow::UpdateNavigation() {
  back_->setEnabled(!backStack_.empty());
  next_->setEnabled(!nextStack_.empty());
  up_->setEnabled(!place_.names.empty());
}

bool ExplorerWindow::eventFilter(QObject* watched, QEvent* event) {
  // Alt+S is both the file-size key and the "&Select" menu's letter: in the
  // list the key wins, as keys come before menu letters.
  if (watched == list_ && (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress)) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_S && key->modifiers() == Qt::AltModifier) {
      event->accept();
      if (event->type() == QEvent::KeyPress) actions_.at(kCmdEditFileSize)->trigger();
      return true;
    }
  }
  if (watched == path_->lineEdit() && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      const QString typed = path_->currentText();
      if (!GoToPath(typed))
        ui_.Show(Tr(StringId::CantAccessPath) + QLatin1Char(' ') + typed, {}, MsgIcon::Warning, MsgButtons::Ok);
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

bool ExplorerWindow::GoToPath(const QString& path) {
  const auto place = bridge_.ResolveFolder(path.toStdString());
  if (!place) return false;
  ShowFolder(*place, true);
  return true;
}

void ExplorerWindow::Activate(const QModelIndex& index) {
  if (!index.isValid()) return;
  const FolderItem& it = model_->item(index.row());
  if (IsNavigation(it)) {
    GoUp();
    return;
  }
  if (it.found) {
    OpenFound(it);
    return;
  }
  if (!it.folder) return;
  FolderPlace next = place_;
  next.handle = bridge_.FolderHandle(it.entry);
  next.names.push_back(it.name);
  ShowFolder(next, true);
}

void ExplorerWindow::OpenFound(FolderItem result) {
  // A search result opens where it was found, not below the folder shown
  // before the search: a folder shows its contents, a file its folder with
  // the file selected. The title is the volume's again (a running scan keeps
  // writing its own).
  if (scan_->idle()) setWindowTitle(title_);
  if (result.folder) {
    std::vector<std::u16string> names = result.parentNames;
    names.push_back(result.name);
    ShowFolder({bridge_.FolderHandle(result.entry), names}, true);
    return;
  }
  ShowFolder({result.parent, result.parentNames}, true);
  const std::uint64_t id = bridge_.EntryId(result.entry);
  for (int row = 0; row < model_->rowCount(); ++row) {
    const FolderItem& it = model_->item(row);
    if (it.dotEntry || it.name != result.name || bridge_.EntryId(it.entry) != id) continue;
    list_->setCurrentIndex(model_->index(row, 0));
    list_->scrollTo(model_->index(row, 0));
    break;
  }
}

void ExplorerWindow::GoUp() {
  if (place_.names.empty()) return;
  std::vector<std::u16string> names = place_.names;
  names.pop_back();
  QString parent;
  for (const auto& n : names) parent += QLatin1Char('/') + Q(n);
  if (const auto p = bridge_.ResolveFolder(parent.isEmpty() ? std::string("/") : parent.toStdString()))
    ShowFolder({p->handle, names}, true);
}

void ExplorerWindow::GoBack() {
  if (backStack_.empty()) return;
  nextStack_.push_back(place_);
  FolderPlace p = backStack_.back();
  backStack_.pop_back();
  ShowFolder(p, false);
}

void ExplorerWindow::GoNext() {
  if (nextStack_.empty()) return;
  backStack_.push_back(place_);
  FolderPlace p = nextStack_.back();
  nextStack_.pop_back();
  ShowFolder(p, false);
}

void ExplorerWindow::HeaderClicked(int column) {
  // First click ascending, second descending, third the folder's own order.
  sortClicks_ = column == sortColumn_ ? sortClicks_ + 1 : 1;
  sortColumn_ = column;
  if (sortClicks_ == 3) {
    model_->SetItems(bridge_.List(place_.handle));
    LoadThumbnails();
    sortColumn_ = -1;
    sortClicks_ = 0;
    return;
  }
  model_->SortBy(column, sortClicks_ == 1);
}

void ExplorerWindow::UpdateJoin() {
  std::size_t marked = 0;
  bool folder = false;
  for (const FolderItem& it : model_->items()) {
    if (!EntryModel::Checkable(it) || !it.entry.marked) continue;
    ++marked;
    folder = folder || it.folder;
  }
  actions_.at(kCmdRecoverJoin)->setEnabled(marked >= 2 && !folder);
}

void ExplorerWindow::RecoverDefragmented() {
  // Other deleted files are known to hold clusters only after a full scan.
  if (!scan_->complete() &&
      ui_.Show(Tr(StringId::ScanNotCompleted), {}, MsgIcon::Question, MsgButtons::YesNo) != MsgChoice::Yes)
    return;
  Recover(RecoveryMode::Normal, true);
}

void ExplorerWindow::Recover(RecoveryMode mode, bool defragment) {
  if (mode == RecoveryMode::Join && !actions_.at(kCmdRecoverJoin)->isEnabled()) return;
  thumbnails_->Stop();  // the recovery has the reader to itself
  std::vector<FolderItem>& items = model_->mutableItems();
  std::size_t marked = 0;
  for (const FolderItem& it : items) marked += EntryModel::Checkable(it) && it.entry.marked ? 1 : 0;
  const QModelIndex focus = list_->currentIndex();
  if (!marked && focus.isValid()) {
    // Nothing checked: the focused entry is taken, unless it is a navigation item.
    FolderItem& it = items[static_cast<std::size_t>(focus.row())];
    if (EntryModel::Checkable(it) && it.entry.Kind() != EntryKind::VirtualFolder) {
      model_->Mark(EntryModel::MarkOp::Toggle, focus.row());
      marked = 1;
    }
  }
  const MarkedCheck check = CheckMarked(marked, items.size());
  if (check != MarkedCheck::Ok) {
    ui_.Show(Tr(check == MarkedCheck::NothingToRecover ? StringId::NothingToRecover : StringId::PleaseSelectFiles), {},
             MsgIcon::Information, MsgButtons::Ok);
    return;
  }
  std::vector<MarkedEntry> entries;
  for (const FolderItem& it : items) {
    if (!EntryModel::Checkable(it) || !it.entry.marked) continue;
    entries.push_back({it.entry, it.name, ToUtf8(PathText(place_.names).toStdU16String()) + "/" + ToUtf8(it.name)});
  }
  const QString focusName = focus.isValid() ? Q(model_->item(focus.row()).name) : QString();
  const QString folderName = place_.names.empty() ? QStringLiteral("root") : Q(place_.names.back());
  setEnabled(false);
  RecoveryFlow flow(bridge_, ui_, this);
  // The destinations chosen before, as the session keeps them (a loaded session brings its own).
  history_ = bridge_.Histories().savePaths;
  const bool done = flow.Run(std::move(entries), focusName, folderName, history_, mode, defragment);
  bridge_.SetSavePaths(history_);
  setEnabled(true);
  if (done) model_->ClearMarks();
}

void ExplorerWindow::EditFileSize() {
  const QModelIndex focus = list_->currentIndex();
  if (!focus.isValid()) return;
  FolderItem& it = model_->mutableItems()[static_cast<std::size_t>(focus.row())];
  // Only a file's own record: not folders, navigation items or virtual folders.
  if (it.folder || !EntryModel::Checkable(it) || it.entry.Kind() == EntryKind::VirtualFolder) {
    ui_.Show(Tr(StringId::FileSizeOnlyFiles), {}, MsgIcon::Information, MsgButtons::Ok);
    return;
  }
  // FAT directory entries hold 32-bit sizes.
  const std::uint64_t maxSize = IsFatFamily(bridge_.fsType()) ? std::numeric_limits<std::uint32_t>::max()
                                    : std::numeric_limits<std::int64_t>::max();
  FileSizeDialog dialog(Q(it.name), it.entry.size, maxSize, ui_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  // The list's copy of the entry changes; recovery takes its size from there.
  it.entry.size = dialog.size();
  emit model_->dataChanged(model_->index(focus.row(), 0), model_->index(focus.row(), model_->columnCount() - 1));
}

void ExplorerWindow::Properties() {
  const QModelIndex focus = list_->currentIndex();
  if (!focus.isValid()) return;
  const FolderItem& it = model_->item(focus.row());
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("WINDOW_PROPERTIES"));
  dialog.setWindowTitle(Tr(StringId::PropertiesCaption));
  auto* form = new QFormLayout;
  auto value = [&](const QString& text) {
    auto* l = new QLabel(text, &dialog);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
  };
  const FsType fs = bridge_.fsType();
  form->addRow(Tr(StringId::PropertiesName), value(Q(it.name)));
  form->addRow(Tr(StringId::PropertiesType),
               value(it.folder ? Q(FolderDescription(it.entry)) : Q(ListTypeText(it.name, false))));
  form->addRow(Tr(StringId::PropertiesLocation), value(PathText(place_.names)));
  if (!it.folder) form->addRow(Tr(StringId::PropertiesSize), value(Q(DisplaySize(it.entry.size))));
  form->addRow(Tr(StringId::PropertiesDateLabel), value(Q(PropertiesDate(it.entry, fs))));
  auto* status = value(Tr(StatusName(it.colour)));
  QPalette pal = status->palette();
  pal.setColor(QPalette::WindowText, CategoryColour(it.colour, colours_));
  status->setPalette(pal);
  form->addRow(Tr(StringId::PropertiesStatus), status);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addLayout(form);
  auto* box = new QDialogButtonBox(&dialog);
  box->addButton(Tr(StringId::ButtonOk), QDialogButtonBox::AcceptRole);
  connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  layout->addWidget(box);
  QtLocalisable loc(&dialog);
  loc.Apply(u"WINDOW_PROPERTIES");
  dialog.setMinimumWidth(380);
  dialog.exec();
}

void ExplorerWindow::ShowFullName() {
  const QModelIndex focus = list_->currentIndex();
  if (!focus.isValid()) return;
  const FolderItem& it = model_->item(focus.row());
  if (it.folder || IsNavigation(it)) return;
  ui_.Show(Q(it.name), {}, MsgIcon::Information, MsgButtons::Ok);
}

void ExplorerWindow::AddFavorite() {
  const QString path = currentPath();
  if (favoritePaths_.contains(path)) {
    ui_.Show(Tr(StringId::ThisPathIsRecentlyAdded), {}, MsgIcon::Information, MsgButtons::Ok);
    return;
  }
  if (favoritePaths_.size() >= kMaxFavorites) {
    ui_.Show(Tr(StringId::FavoritesListIsFull), {}, MsgIcon::Information, MsgButtons::Ok);
    return;
  }
  favoritePaths_.push_back(path.left(kMaxFavoriteLength));
  FillFavorites();
}

void ExplorerWindow::FillFavorites() {
  // The fixed entries stay; the list after the separator is built again.
  const QList<QAction*> all = favorites_->actions();
  for (qsizetype i = 2; i < all.size(); ++i) {
    favorites_->removeAction(all[i]);
    all[i]->deleteLater();
  }
  if (favoritePaths_.isEmpty()) {
    favorites_->addAction(Tr(StringId::MenuFavoritesEmpty))->setEnabled(false);
    return;
  }
  for (int i = 0; i < favoritePaths_.size(); ++i) {
    const QString path = favoritePaths_[i];
    favorites_->addAction(QString::asprintf("&%i  ", i + 1) + path, this, [this, path] {
      if (!GoToPath(path))
        ui_.Show(Tr(StringId::CantAccessPath) + QLatin1Char(' ') + path, {}, MsgIcon::Warning, MsgButtons::Ok);
    });
  }
}

void ExplorerWindow::ChooseLanguage() {
  if (!language_) return;
  LanguageDialog dialog(*language_, this);
  if (dialog.exec() == QDialog::Accepted) Retranslate();
}

void ExplorerWindow::Retranslate() {
  for (auto& [menu, id] : menus_) menu->setTitle(Tr(id));
  for (auto& [command, id] : texts_) actions_.at(command)->setText(Tr(id));
  for (auto& [shown, command] : toolbarActions_)
    shown->setText(BeforeTab(Tr(texts_.at(command))).remove(QLatin1Char('&')));
  FillFavorites();
  toolbar_->setWindowTitle(Tr(StringId::PopupView));
  model_->SetTitles(SplitTitles(Tr(StringId::ExplorerColumns)));
  search_->setPlaceholderText(Tr(StringId::SearchCueBanner));
  back_->setToolTip(BeforeTab(Tr(StringId::Back)).remove(QLatin1Char('&')));
  next_->setToolTip(BeforeTab(Tr(StringId::Next)).remove(QLatin1Char('&')));
  up_->setToolTip(BeforeTab(Tr(StringId::ExplorerUp)).remove(QLatin1Char('&')));
  loc_.Apply(u"WINDOW_EXPLORER");
  ShowCount();
}

void ExplorerWindow::closeEvent(QCloseEvent* event) {
  emit closed();
  QMainWindow::closeEvent(event);
}

void ExplorerWindow::ShowMiniatures(bool on) {
  model_->SetThumbnailsShown(on);
  views_->setCurrentWidget(on ? static_cast<QWidget*>(miniatures_) : list_);
  LoadThumbnails();
}

void ExplorerWindow::LoadThumbnails() {
  ++thumbnailGeneration_;
  if (views_->currentWidget() != miniatures_) {
    thumbnails_->Stop();
    return;
  }
  std::vector<ThumbnailLoader::Job> jobs;
  const FsType fs = bridge_.fsType();
  for (const FolderItem& it : model_->items()) {
    if (it.folder || it.dotEntry || !IsPictureName(it.name) || model_->HasThumbnail(it.key)) continue;
    ThumbnailLoader::Job job;
    job.key = it.key;
    job.entry = it.entry;
    job.size = fs == FsType::Exfat || fs == FsType::Ntfs ? it.entry.size : (it.entry.size & 0xFFFFFFFFu);
    jobs.push_back(job);
  }
  thumbnails_->Start(std::move(jobs), thumbnailGeneration_);
}

void ExplorerWindow::StartScan(bool raw) {
  if (!scan_->idle()) return;
  thumbnails_->Stop();
  preliminaryDismissed_ = false;
  oldShownForScan_ = false;
  scan_->Start(raw);
  UpdateScanCommands();
}

void ExplorerWindow::UpdateScanCommands() {
  const bool idle = scan_->idle();
  const StringId pause = !idle && scan_->paused() ? StringId::MenuResumeScan : StringId::MenuPauseScan;
  texts_[kCmdPauseScan] = pause;
  actions_.at(kCmdPauseScan)->setText(Tr(pause));
  actions_.at(kCmdPauseScan)->setIcon(style()->standardIcon(idle || scan_->paused() ? QStyle::SP_MediaPlay
                                                                                     : QStyle::SP_MediaPause));
  if (scanButton_) {
    scanButton_->setText(BeforeTab(Tr(pause)).remove(QLatin1Char('&')));
    scanButton_->setIcon(actions_.at(kCmdPauseScan)->icon());
  }
  for (int c : {kCmdScanFreeRegion, kCmdRawScan}) actions_.at(c)->setEnabled(idle);
  for (int c : {kCmdPauseCurrentScan, kCmdStopCurrentScan}) actions_.at(c)->setEnabled(!idle);
}

void ExplorerWindow::ScanProgressed(const ScanSnapshot& s) {
  const bool running = s.state == ScanState::Running || s.state == ScanState::Paused || s.state == ScanState::Idle;
  if (!running) {
    setWindowTitle(title_);
  } else if (scan_->paused()) {
    setWindowTitle(title_ + QLatin1Char(' ') + Tr(StringId::ScanPaused));
  } else {
    // "%s - %s [ %u%s, %s MB ]"
    setWindowTitle(QStringLiteral("%1 - %2 [ %3%, %4 MB ]")
                       .arg(title_, Tr(StringId::ScanningFreeRegion), QString::number(s.percent),
                            QString::fromStdString(GroupNumber(s.bytesDone / 1048576))));
  }
  // "Lost files (12)", "RAW files (3 456)".
  QTreeWidgetItem* root = tree_->topLevelItem(0);
  for (int i = 0; root && i < root->childCount(); ++i) {
    QTreeWidgetItem* item = root->child(i);
    const QVariant marker = item->data(0, kMarkerRole);
    if (!marker.isValid()) continue;
    const std::uint64_t count = marker.toUInt() == kLostFilesMarker ? s.lostCount
                                : marker.toUInt() == kRawFilesMarker ? s.rawCount
                                                                      : 0;
    if (marker.toUInt() != kLostFilesMarker && marker.toUInt() != kRawFilesMarker) continue;
    item->setText(0, count ? QStringLiteral("%1 (%2)").arg(TreeName(item), QString::fromStdString(GroupNumber(count)))
                           : TreeName(item));
  }
  UpdateScanCommands();
  FollowProbe(s);
}

void ExplorerWindow::FollowProbe(const ScanSnapshot& s) {
  const std::vector<DriveEntry> found = bridge_.OldPartitions();
  const bool running = s.state == ScanState::Running || s.state == ScanState::Paused || s.state == ScanState::Idle;
  if (running && s.probing && !preliminaryDismissed_) {
    if (!preliminary_) {
      preliminary_ = new PreliminaryScanWindow(this);
      // Shown beside the explorer without taking the keyboard from it.
      preliminary_->setAttribute(Qt::WA_ShowWithoutActivating);
      connect(preliminary_, &PreliminaryScanWindow::skipRequested, this, [this] { scan_->SkipProbe(); });
      connect(preliminary_, &PreliminaryScanWindow::stopRequested, this, [this] { scan_->Stop(); });
      connect(preliminary_, &QDialog::rejected, this, [this] { preliminaryDismissed_ = true; });
    }
    preliminary_->Update(s, found.size());
    if (!preliminary_->isVisible()) preliminary_->show();
  } else if (preliminary_ && preliminary_->isVisible()) {
    preliminary_->hide();
  }
  if (oldPartitions_ && oldPartitions_->isVisible()) oldPartitions_->SetFound(found);
  if (!s.probing && s.probeTotal && !found.empty() && !oldShownForScan_) {
    oldShownForScan_ = true;
    actions_.at(kCmdOldPartitions)->setChecked(true);
  }
}

void ExplorerWindow::ShowOldPartitions(bool show) {
  if (!oldPartitions_) {
    if (!show) return;
    oldPartitions_ = new OldPartitionsWindow(this);
    connect(oldPartitions_, &OldPartitionsWindow::openRequested, this, &ExplorerWindow::OpenOldPartition);
    // Closed by its own buttons: the View menu's check follows.
    connect(oldPartitions_, &OldPartitionsWindow::visibilityChanged, this,
            [this](bool visible) { actions_.at(kCmdOldPartitions)->setChecked(visible); });
  }
  if (!show) {
    oldPartitions_->hide();
    return;
  }
  oldPartitions_->SetFound(bridge_.OldPartitions());
  if (oldPartitions_->isVisible()) return;
  oldPartitions_->show();
  oldPartitions_->raise();
}

void ExplorerWindow::OpenOldPartition(std::size_t index) {
  if (!oldPartitions_ || index >= oldPartitions_->entries().size()) return;
  const DriveEntry e = oldPartitions_->entries()[index];
  const std::u16string question =
      FillPlaceholders(Text(StringId::OldPartOpenQuestion), {EntryFsName(e), ToUtf16(GroupNumber(e.start))});
  if (ui_.Show(Q(question), {}, MsgIcon::Question, MsgButtons::YesNo) != MsgChoice::Yes) return;
  pendingVolume_ = VolumeToOpen{bridge_.sourcePath(), e.start, e.sectors};
  close();
}

void ExplorerWindow::ScanEnded(const ScanResult& result) {
  setWindowTitle(title_);
  UpdateScanCommands();
  RefreshAfterScan();
  // "Scan finished! Do you want to save results?" answered Yes.
  if (result.saveRequested) SaveSession();
}

void ExplorerWindow::RefreshAfterScan() {
  QTreeWidgetItem* root = tree_->topLevelItem(0);
  if (!root) return;
  // The counts stay on the folders that carry them.
  std::map<quint32, QString> texts;
  for (int i = 0; i < root->childCount(); ++i)
    if (const QVariant m = root->child(i)->data(0, kMarkerRole); m.isValid()) texts[m.toUInt()] = root->child(i)->text(0);
  qDeleteAll(root->takeChildren());
  root->setData(0, kLoadedRole, false);
  ExpandTreeItem(root);
  root->setExpanded(true);
  for (int i = 0; i < root->childCount(); ++i)
    if (const QVariant m = root->child(i)->data(0, kMarkerRole); m.isValid() && texts.count(m.toUInt()))
      root->child(i)->setText(0, texts[m.toUInt()]);
  ShowFolder(place_, false);
}

}  // namespace kestrova::gui
