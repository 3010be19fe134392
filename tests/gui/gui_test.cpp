// The desktop program driven as a user drives it: the image dialog, the
// device list, the explorer's list with keys, and the recovery windows, on
// FAT images made here with mkfs.vfat and mtools.
#include "gui/core_bridge.h"
#include "gui/entry_model.h"
#include "gui/explorer_window.h"
#include "gui/old_partitions_window.h"
#include "gui/filter_window.h"
#include "gui/hex_view_window.h"
#include "gui/search_window.h"
#include "explore/scan_session.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "gui/recovery_dialogs.h"
#include "gui/start_window.h"
#include "gui/texts.h"
#include "gui/language_dialog.h"
#include "gui/wait_windows.h"
#include "gui/tool_dialogs.h"
#include "gui/update_checker.h"
#include "gui/saving_image_window.h"
#include "gui/partition_search_windows.h"
#include "gui/partition_fix_window.h"
#include "device/posix_block_source.h"
#include "tools/partition_session.h"
#include "shell/folders.h"
#include "shell/app_settings.h"
#include "shell/localisation.h"
#include "common/text.h"
#include "support/failing_writer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QListView>
#include <QPixmap>
#include <QComboBox>
#include <QCompleter>
#include <QGroupBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QHeaderView>
#include <QStandardPaths>
#include <QToolButton>
#include <QDir>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QLabel>
#include <QRadioButton>
#include <QSlider>
#include <QSignalSpy>

#include <functional>

using namespace kestrova;
using namespace kestrova::gui;

#include "gui_support.h"

namespace {
// Answers every message box that shows while it lives: records the text and
// presses the button `choose` names (the default button, Yes, when it names none).
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::function<QMessageBox::StandardButton(const QString&)> choose = {})
      : choose_(std::move(choose)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible() || box->property("answered").toBool()) continue;
        box->setProperty("answered", true);
        texts << box->text();
        QAbstractButton* button = choose_ ? box->button(choose_(box->text())) : nullptr;
        if (!button) button = box->defaultButton();
        QTimer::singleShot(0, button, [button] { button->click(); });
      }
    });
    timer_.start(20);
  }
  bool Saw(const QString& start) const {
    for (const QString& t : texts)
      if (t.startsWith(start)) return true;
    return false;
  }
  QStringList texts;

 private:
  std::function<QMessageBox::StandardButton(const QString&)> choose_;
  QTimer timer_;
};

std::uint32_t Le32At(const QByteArray& bytes, int offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(bytes.at(offset + i));
  return v;
}

}  // namespace

class GuiTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString image_;
  StatusColours colours_ = DefaultColours(0);
  QtUi ui_;

  // The start window with `image` added through its dialog; the image's volume row selected.
  void AddThroughDialog(StartWindow& start, const QString& image) {
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    auto* load = start.findChild<QPushButton*>(QStringLiteral("loadButton"));
    QVERIFY(load && load->isEnabled());
    WhenShown<QMenu>([](QMenu* menu) {
      QTest::keyClick(menu, Qt::Key_Down);
      QTest::keyClick(menu, Qt::Key_Return);
    });
    WhenShown<QFileDialog>(
        [image](QFileDialog* d) {
          auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
          QVERIFY(edit);
          // Pasted, as a user with the path at hand does (typing opens the completer).
          edit->setText(image);
          QTest::keyClick(edit, Qt::Key_Return);
        },
        QStringLiteral("imageDialog"));
    QTest::mouseClick(load, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.images().size(), std::size_t{1}, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
  }

  // Opens the image in a start window (through the dialog and the Open button).
  void OpenImage(CoreBridge& bridge, const QString& image) {
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    AddThroughDialog(start, image);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
  }

  void Enter(ExplorerWindow& explorer, const QString& name) {
    const int row = RowOf(explorer.model(), name);
    QVERIFY2(row >= 0, qPrintable(name));
    explorer.list()->setCurrentIndex(explorer.model().index(row, 0));
    QTest::keyClick(explorer.list(), Qt::Key_Return);
  }

  void Check(ExplorerWindow& explorer, const QString& name) {
    const int row = RowOf(explorer.model(), name);
    QVERIFY2(row >= 0, qPrintable(name));
    explorer.list()->setCurrentIndex(explorer.model().index(row, 0));
    QTest::keyClick(explorer.list(), Qt::Key_Space);
    QCOMPARE(explorer.model().data(explorer.model().index(row, 0), Qt::CheckStateRole).toInt(), int(Qt::Checked));
  }

  // Chooses the named entry of a pop-up menu with the keyboard once it shows.
  static void ChooseFromMenu(const QString& actionName) {
    WhenShown<QMenu>([actionName](QMenu* menu) {
      for (QAction* a : menu->actions())
        if (a->objectName() == actionName) menu->setActiveAction(a);
      QTest::keyClick(menu, Qt::Key_Return);
    });
  }

  // Answers the next message box and returns its text through `text`.
  static void AnswerBox(QString* text) {
    WhenShown<QMessageBox>([text](QMessageBox* box) {
      *text = box->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
  }

 private slots:
  void initTestCase() {
    if (!Have("mkfs.vfat") || !Have("mcopy")) QSKIP("mkfs.vfat and mtools are needed (dosfstools, mtools)");
    QVERIFY(dir_.isValid());
    image_ = dir_.filePath(QStringLiteral("fat16.img"));
    const QString src = dir_.filePath(QStringLiteral("src"));
    QVERIFY(MakeFatImage(image_, src));
    ui_.setOwner(nullptr);
  }

  void startWindowListsAnImageAddedThroughTheDialog() {
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    AddThroughDialog(start, image_);
    auto* list = start.findChild<QTreeWidget*>(QStringLiteral("deviceList"));
    QVERIFY(list->topLevelItemCount() >= 1);
    QTreeWidgetItem* group = list->topLevelItem(0);
    QVERIFY2(group->text(0).contains(QStringLiteral("fat16.img")), qPrintable(group->text(0)));
    QVERIFY(group->childCount() >= 1);
    QCOMPARE(list->currentItem()->text(1), QStringLiteral("FAT16"));
    QVERIFY(list->currentItem()->text(0).contains(QStringLiteral("KVGUI")));
  }

  void openingShowsTheRootAndADeletedFolderInItsColour() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    EntryModel& m = explorer.model();
    for (const char* name : {"Docs", "Old", "Lost files", "RAW files", "Rebuild"})
      QVERIFY2(RowOf(m, QLatin1String(name)) >= 0, name);
    QCOMPARE(explorer.currentPath(), QStringLiteral("/"));
    const QColor deleted = FromColorRef(colours_[0]);
    QCOMPARE(m.data(m.index(RowOf(m, QStringLiteral("Old")), 0), Qt::ForegroundRole).value<QColor>(), deleted);

    Enter(explorer, QStringLiteral("Old"));
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Old"));
    const int deep = RowOf(m, QStringLiteral("Deep"));
    QVERIFY(deep >= 0);
    QCOMPARE(m.data(m.index(deep, 0), Qt::ForegroundRole).value<QColor>(), deleted);
    // The deleted file keeps its name without the first letter.
    QVERIFY(RowOf(m, QStringLiteral("?eep.txt")) >= 0);

    // Back, Next and Up.
    QTest::mouseClick(explorer.findChild<QToolButton*>(QStringLiteral("back")), Qt::LeftButton);
    QCOMPARE(explorer.currentPath(), QStringLiteral("/"));
    QTest::mouseClick(explorer.findChild<QToolButton*>(QStringLiteral("next")), Qt::LeftButton);
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Old"));
    Enter(explorer, QStringLiteral("Deep"));
    QVERIFY(RowOf(m, QStringLiteral("?nner.bin")) >= 0 || RowOf(m, QStringLiteral("inner.bin")) >= 0);
    QTest::mouseClick(explorer.findChild<QToolButton*>(QStringLiteral("up")), Qt::LeftButton);
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Old"));

    // A path typed into the path box: a folder is shown, anything else refused.
    auto* pathBox = explorer.findChild<QComboBox*>(QStringLiteral("pathBox"));
    // Pasted: typing would let the box complete from its history.
    pathBox->lineEdit()->setText(QStringLiteral("/docs"));
    QTest::keyClick(pathBox->lineEdit(), Qt::Key_Return);
    QCOMPARE(explorer.currentPath(), QStringLiteral("/docs"));
    QVERIFY(RowOf(m, QStringLiteral("photo.jpg")) >= 0);
    QString refusal;
    WhenShown<QMessageBox>([&refusal](QMessageBox* box) {
      refusal = box->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
    pathBox->lineEdit()->setText(QStringLiteral("/no such folder"));
    QTest::keyClick(pathBox->lineEdit(), Qt::Key_Return);
    QCOMPARE(refusal, Tr(StringId::CantAccessPath) + QStringLiteral(" /no such folder"));

    // Favorites: the current path once; a second time is refused; choosing it goes there.
    QMenu* favorites = explorer.menuBar()->actions().at(6)->menu();
    QVERIFY(!favorites->actions().last()->isEnabled());  // "Currently list is empty"
    explorer.activateWindow();  // the keys of the menus reach an active window
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Old/Deep")));
    QTest::keyClick(explorer.list(), Qt::Key_D, Qt::ControlModifier);
    QCOMPARE(favorites->actions().last()->text(), QStringLiteral("&1  /Old/Deep"));
    QString again;
    WhenShown<QMessageBox>([&again](QMessageBox* box) {
      again = box->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
    QTest::keyClick(explorer.list(), Qt::Key_D, Qt::ControlModifier);
    QCOMPARE(again, Tr(StringId::ThisPathIsRecentlyAdded));
    QVERIFY(explorer.GoToPath(QStringLiteral("/")));
    favorites->actions().last()->trigger();
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Old/Deep"));

    // Commands of parts not built are present and disabled, never faked.
    for (int c : {kCmdBreakSearch})
      QVERIFY(!explorer.action(c)->isEnabled());
    for (int c : {kCmdRecover, kCmdSaveSession, kCmdLoadSession}) QVERIFY(explorer.action(c)->isEnabled());
  }

  void miniaturesShowTheDecodedPictureOfADeletedPng() {
    // A picture made here, copied onto a fresh FAT image and deleted there.
    const QString image = dir_.filePath(QStringLiteral("pictures.img"));
    const QString png = dir_.filePath(QStringLiteral("red.png"));
    QImage red(120, 60, QImage::Format_RGB32);
    red.fill(QColor(220, 20, 30));
    QVERIFY(red.save(png, "PNG"));
    QVERIFY(Run(QStringLiteral("set -e; export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; img='%1';"
                               "truncate -s 32M \"$img\"; mkfs.vfat -F 16 -n KVPIC \"$img\" >/dev/null;"
                               "mcopy -i \"$img\" '%2' ::/red.png; mcopy -i \"$img\" '%2' ::/notes.txt;"
                               "mdel -i \"$img\" ::/red.png")
                    .arg(image, png)));
    CoreBridge bridge(ui_);
    OpenImage(bridge, image);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    EntryModel& m = explorer.model();
    const int row = RowOf(m, QStringLiteral("?ed.png"));
    QVERIFY(row >= 0);
    const int text = RowOf(m, QStringLiteral("notes.txt"));
    QVERIFY(text >= 0);
    QVERIFY(explorer.action(kCmdMiniatures)->isEnabled());

    explorer.action(kCmdMiniatures)->trigger();
    QVERIFY(explorer.miniatures()->isVisible());
    QVERIFY(!explorer.list()->isVisible());
    const std::uint32_t key = m.item(row).key;
    QTRY_VERIFY_WITH_TIMEOUT(m.HasThumbnail(key), 15000);
    const QVariant shown = m.data(m.index(row, 0), Qt::DecorationRole);
    QCOMPARE(shown.typeId(), QMetaType::QPixmap);
    const QImage thumb = shown.value<QPixmap>().toImage();
    QCOMPARE(thumb.size(), QSize(96, 48));  // the picture's shape kept
    QCOMPARE(QColor(thumb.pixel(48, 24)), QColor(220, 20, 30));
    // A file that is no picture keeps its icon.
    QCOMPARE(m.data(m.index(text, 0), Qt::DecorationRole).typeId(), QMetaType::QIcon);

    // Back to details: the icon again, the table shown.
    explorer.action(kCmdDetails)->trigger();
    QVERIFY(explorer.list()->isVisible());
    QCOMPARE(m.data(m.index(row, 0), Qt::DecorationRole).typeId(), QMetaType::QIcon);
  }

  void sortingCyclesAscendingDescendingAndOriginal() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    EntryModel& m = explorer.model();
    auto names = [&] {
      QStringList out;
      for (int r = 0; r < m.rowCount(); ++r) out << m.data(m.index(r, 0), Qt::DisplayRole).toString();
      return out;
    };
    const QStringList original = names();
    QHeaderView* header = explorer.list()->horizontalHeader();
    auto clickSize = [&] { QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(1) + 10, 5)); };
    clickSize();
    const QStringList ascending = names();
    QVERIFY(ascending.indexOf(QStringLiteral("keep.txt")) < ascending.indexOf(QStringLiteral("photo.jpg")));
    clickSize();
    const QStringList descending = names();
    QVERIFY(descending.indexOf(QStringLiteral("keep.txt")) > descending.indexOf(QStringLiteral("photo.jpg")));
    clickSize();
    QCOMPARE(names(), original);
  }

  void markedFilesAreRecoveredByteExactThroughTheThreeWindows() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    // The deleted file keeps its whole name here (mdel keeps the long name entry).
    QString deletedName;
    for (int r = 0; r < explorer.model().rowCount(); ++r) {
      const QString n = explorer.model().data(explorer.model().index(r, 0), Qt::DisplayRole).toString();
      if (n.endsWith(QStringLiteral("eleted.bin"))) deletedName = n;
    }
    QVERIFY(!deletedName.isEmpty());
    Check(explorer, deletedName);
    Check(explorer, QStringLiteral("photo.jpg"));

    const QString out = dir_.filePath(QStringLiteral("out"));
    bool sawPreparing = false;
    WhenShown<SelectPathDialog>([out](SelectPathDialog* d) {
      auto* path = d->findChild<QComboBox*>(QStringLiteral("path"));
      QTest::keyClicks(path->lineEdit(), out);
      QTest::keyClick(path->lineEdit(), Qt::Key_Return);
    });
    WhenShown<PreparingDialog>([&sawPreparing](PreparingDialog*) { sawPreparing = true; });
    QTest::keyClick(explorer.list(), Qt::Key_R, Qt::AltModifier);
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled() && QFile::exists(out + QStringLiteral("/photo.jpg")), 20000);
    QVERIFY(sawPreparing);
    const QString src = dir_.filePath(QStringLiteral("src"));
    QCOMPARE(ReadAll(out + QStringLiteral("/photo.jpg")), ReadAll(src + QStringLiteral("/photo.jpg")));
    QString written = out + QLatin1Char('/') + deletedName;
    if (deletedName.startsWith(QLatin1Char('?'))) written = out + QStringLiteral("/_") + deletedName.mid(1);
    QCOMPARE(ReadAll(written), ReadAll(src + QStringLiteral("/deleted.bin")));
    // The marks are cleared after the recovery.
    const int row = RowOf(explorer.model(), QStringLiteral("photo.jpg"));
    QCOMPARE(explorer.model().data(explorer.model().index(row, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
  }

  // JOIN (Ctrl+Alt+J) is there only for two or more marked files; the
  // defragmenting recovery (Ctrl+Alt+R) asks first because no scan has run.
  void joinAndDefragmentationRecoverThroughTheWindows() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QAction* join = explorer.action(kCmdRecoverJoin);
    QVERIFY(!join->isEnabled());
    Check(explorer, QStringLiteral("Docs"));
    Check(explorer, QStringLiteral("Old"));
    QVERIFY2(!join->isEnabled(), "folders are never joined");
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    Check(explorer, QStringLiteral("keep.txt"));
    QVERIFY(!join->isEnabled());
    Check(explorer, QStringLiteral("photo.jpg"));
    QVERIFY(join->isEnabled());

    auto answerPath = [](const QString& out) {
      WhenShown<SelectPathDialog>([out](SelectPathDialog* d) {
        auto* path = d->findChild<QComboBox*>(QStringLiteral("path"));
        path->lineEdit()->clear();
        QTest::keyClicks(path->lineEdit(), out);
        QTest::keyClick(path->lineEdit(), Qt::Key_Return);
      });
    };
    const QString src = dir_.filePath(QStringLiteral("src"));
    const QString joined = dir_.filePath(QStringLiteral("joined"));
    answerPath(joined);
    QTest::keyClick(explorer.list(), Qt::Key_J, Qt::ControlModifier | Qt::AltModifier);
    const QString one = joined + QStringLiteral("/keep.txt - photo.jpg");
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled() && QFileInfo(one).size() == 5 + 200000, 20000);
    QCOMPARE(ReadAll(one), ReadAll(src + QStringLiteral("/keep.txt")) + ReadAll(src + QStringLiteral("/photo.jpg")));
    QVERIFY2(!join->isEnabled(), "the marks are cleared after the recovery");

    // Defragmentation: "No" to the question recovers nothing; "Yes" goes on.
    QString deletedName;
    for (int r = 0; r < explorer.model().rowCount(); ++r) {
      const QString n = explorer.model().data(explorer.model().index(r, 0), Qt::DisplayRole).toString();
      if (n.endsWith(QStringLiteral("eleted.bin"))) deletedName = n;
    }
    QVERIFY(!deletedName.isEmpty());
    Check(explorer, deletedName);
    explorer.activateWindow();  // back from the recovery's windows
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QString question;
    WhenShown<QMessageBox>([&question](QMessageBox* box) {
      question = box->text();
      QTest::keyClick(box, Qt::Key_Escape);
    });
    QTest::keyClick(explorer.list(), Qt::Key_R, Qt::ControlModifier | Qt::AltModifier);
    QTRY_VERIFY_WITH_TIMEOUT(!question.isEmpty(), 10000);
    QCOMPARE(question, Tr(StringId::ScanNotCompleted));
    QTest::qWait(50);
    QVERIFY2(!QApplication::activeModalWidget(), "No: no destination dialog");

    const QString defrag = dir_.filePath(QStringLiteral("defrag"));
    explorer.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    WhenShown<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });  // Yes
    answerPath(defrag);
    QTest::keyClick(explorer.list(), Qt::Key_R, Qt::ControlModifier | Qt::AltModifier);
    QString written = defrag + QLatin1Char('/') + deletedName;
    if (deletedName.startsWith(QLatin1Char('?'))) written = defrag + QStringLiteral("/_") + deletedName.mid(1);
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled() && QFileInfo(written).size() == 7000, 20000);
    QCOMPARE(ReadAll(written), ReadAll(src + QStringLiteral("/deleted.bin")));
  }

  void destinationOnTheSourceIsRefused() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    Check(explorer, QStringLiteral("keep.txt"));

    // The image's own file system, mounted through a loop device when this
    // machine allows it; otherwise a path through the image file itself.
    const QString mnt = dir_.filePath(QStringLiteral("mnt"));
    QDir().mkpath(mnt);
    const bool mounted = Run(QStringLiteral("mount -o loop,ro '%1' '%2' 2>/dev/null").arg(image_, mnt));
    const QString target = mounted ? mnt + QStringLiteral("/recovered") : image_ + QStringLiteral("/recovered");
    QString message, caption;
    bool stayedOpen = false;
    WhenShown<SelectPathDialog>([&, target](SelectPathDialog* d) {
      WhenShown<QMessageBox>([&, d](QMessageBox* box) {
        message = box->text();
        caption = box->windowTitle();
        QTest::keyClick(box, Qt::Key_Return);
        QTimer::singleShot(50, d, [&, d] {
          stayedOpen = d->isVisible();
          d->reject();
        });
      });
      auto* path = d->findChild<QComboBox*>(QStringLiteral("path"));
      QTest::keyClicks(path->lineEdit(), target);
      QTest::keyClick(path->lineEdit(), Qt::Key_Return);
    });
    QTest::keyClick(explorer.list(), Qt::Key_R, Qt::AltModifier);
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled() && !message.isEmpty(), 20000);
    if (mounted) Run(QStringLiteral("umount '%1'").arg(mnt));
    QCOMPARE(message, Tr(StringId::PleaseSelectAnotherDrive));
    QCOMPARE(caption, Tr(StringId::CaptionOverwriteProtection));
    QVERIFY(stayedOpen);
    QVERIFY(!QFileInfo::exists(target));
  }

  void corruptImageGivesTheMessageAndNoCrash() {
    const QString bad = dir_.filePath(QStringLiteral("truncated.img"));
    {
      QFile f(bad);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(QByteArray(100, '\x5a'));
    }
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {bad.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    auto* list = start.findChild<QTreeWidget*>(QStringLiteral("deviceList"));
    QVERIFY(list->currentItem());
    QString message;
    WhenShown<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), 20000);
    QCOMPARE(message, Tr(StringId::CantOpenImageFile));
    QVERIFY(start.isVisible());
    QCOMPARE(start.result(), 0);
  }

  void ntfsRunsTheMftCollectionBeforeTheExplorer() {
    const QString ntfs = QStringLiteral(KESTROVA_TEST_IMAGES_DIR "/ntfs-files.img");
    if (!QFileInfo::exists(ntfs)) QSKIP("ntfs-files.img missing: run scripts/make-test-images.sh");
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {ntfs.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    bool sawMft = false;
    WhenShown<ProcessingMftWindow>([&sawMft](ProcessingMftWindow*) { sawMft = true; }, {}, 3000);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 60000);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    EntryModel& m = explorer.model();
    for (const char* name : {"Docs", "Old", "Lost files"}) QVERIFY2(RowOf(m, QLatin1String(name)) >= 0, name);
    // The deleted folder is listed in the deleted colour, and entering it lists its files.
    QCOMPARE(m.data(m.index(RowOf(m, QStringLiteral("Old")), 0), Qt::ForegroundRole).value<QColor>(),
             FromColorRef(colours_[0]));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Old")));
    QVERIFY(m.rowCount() > 1);
    QVERIFY(sawMft);  // the window stays up until its own poll sees the end
  }

  void exfatOpensAndListsItsDeletedFolder() {
    const QString exfat = QStringLiteral(KESTROVA_TEST_IMAGES_DIR "/exfat-files.img");
    if (!QFileInfo::exists(exfat)) QSKIP("exfat-files.img missing: run scripts/make-test-images.sh");
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {exfat.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    EntryModel& m = explorer.model();
    QVERIFY(RowOf(m, QStringLiteral("Docs")) >= 0);
    const int old = RowOf(m, QStringLiteral("Old"));
    QVERIFY(old >= 0);
    QCOMPARE(m.data(m.index(old, 0), Qt::ForegroundRole).value<QColor>(), FromColorRef(colours_[0]));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Old")));
    QVERIFY(m.rowCount() > 1);
  }

  void languageDialogSwitchesTheExplorerAtOnce() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    LoadedLanguage loaded;
    loaded.name = u"English";
    std::u16string setting = u"English";
    const LanguageHost host{std::string(KESTROVA_LANGUAGE_DIR) + "/", &loaded, &setting};
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"), &host);
    explorer.show();
    QCOMPARE(explorer.menuBar()->actions().front()->text(), QStringLiteral("&File"));
    WhenShown<LanguageDialog>([](LanguageDialog* d) {
      auto* list = d->findChild<QListWidget*>(QStringLiteral("languages"));
      QVERIFY(list->count() >= 2);  // English (built in) and German
      QTest::keyClick(list, Qt::Key_End);
      QCOMPARE(list->currentItem()->text(), QStringLiteral("German"));
      QTest::keyClick(list, Qt::Key_Return);
    });
    explorer.action(kCmdLanguage)->trigger();
    QCOMPARE(setting, std::u16string(u"German"));
    QCOMPARE(explorer.menuBar()->actions().front()->text(), QStringLiteral("&Datei"));
    QCOMPARE(explorer.model().headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Größe"));
    QCOMPARE(explorer.action(kCmdRecover)->text(), QStringLiteral("&Wiederherstellen\tAlt+R"));
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  void germanLanguageReachesTheWindows() {
    const QString folder = QStringLiteral(KESTROVA_LANGUAGE_DIR);
    LoadedLanguage german = LoadLanguage(folder.toStdString() + "/", u"German");
    QCOMPARE(QString::fromStdU16String(german.name), QStringLiteral("German"));
    // Every slot of the windows built here has its German text.
    for (std::size_t i = 0; i < kStringCount; ++i) {
      const StringSlot& slot = Slot(static_cast<StringId>(i));
      for (const char* section : {"WINDOW_SELECT_DRIVE", "WINDOW_EXPLORER", "WINDOW_PREPARING", "WINDOW_SAVING",
                                  "WINDOW_SELECT_PATH", "WINDOW_PROCESSING_MFT", "WINDOW_PLEASE_WAIT",
                                  "WINDOW_PROPERTIES", "WINDOW_READ_ERROR"}) {
        if (slot.section != section) continue;
        const std::u16string sec = ToUtf16(std::string(slot.section)), key = ToUtf16(std::string(slot.key));
        QVERIFY2(german.file.Get(sec, key).has_value(), (std::string(slot.section) + "/" + std::string(slot.key)).c_str());
      }
    }
    SetCurrentLanguage(&german.file);
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    QCOMPARE(start.windowTitle(), Tr(StringId::SelectDriveCaption));
    QVERIFY(start.windowTitle() != QStringLiteral("Kestrova (please select drive)"));
    auto* open = start.findChild<QPushButton*>(QStringLiteral("openButton"));
    QVERIFY(open->text() != QStringLiteral("&Open"));
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    {
      // Each control of the filter window gets the translation of its own text.
      SharedDisplayFilter filter;
      DisplayFilterWindow w(filter, colours_, 0);
      QCOMPARE(w.box(show::kDeleted)->text(), QStringLiteral("Wiederherstellbar (gelöscht)"));
      QCOMPARE(w.box(show::kOverwritten)->text(), QStringLiteral("Überschrieben, nicht erkannt"));
      QCOMPARE(w.box(show::kFolders)->text(), QStringLiteral("Ordner"));
      QCOMPARE(w.preset(FilterPreset::Graphic)->text(), QStringLiteral("Grafik"));
      QCOMPARE(w.findChild<QCheckBox*>(QStringLiteral("autoRefresh"))->text(), QStringLiteral("Automatisch aktualisieren"));
      QCOMPARE(w.findChild<QPushButton*>(QStringLiteral("setAllDefault"))->text(),
               QStringLiteral("&Alle Farben als Vorgabe setzen"));
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  void ctrlShiftF12WritesTheActivitySnapshot() {
    CoreBridge bridge(ui_);
    auto snapshotFrom = [this](QWidget* target) {
      QString text;
      AnswerBox(&text);
      QTest::keyClick(target, Qt::Key_F12, Qt::ControlModifier | Qt::ShiftModifier);
      QTRY_VERIFY_WITH_TIMEOUT(!text.isEmpty(), 10000);
      const QString path = text.section(QLatin1Char('\n'), 1);
      QVERIFY2(path.startsWith(QString::fromStdString(ProgramReportsFolder())), qPrintable(text));
      QVERIFY2(QFile::exists(path), qPrintable(path));
      QVERIFY(QFileInfo(path).fileName().startsWith(QStringLiteral("VEH_REPORT_")));
      QVERIFY(QFileInfo(path).size() > 0);
    };
    {
      StartWindow start(bridge, ui_, {}, false);
      start.show();
      QVERIFY(QTest::qWaitForWindowActive(&start));
      QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
      snapshotFrom(&start);
    }
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    snapshotFrom(explorer.list());
  }

  void configurationFoldersAreCheckedBeforeAnythingIsStored() {
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    const QString good = dir_.filePath(QStringLiteral("config/temp"));
    struct Case {
      QString settings, temp, message;
      bool stored;
    };
    const Case cases[] = {
        {QStringLiteral("relative/folder"), good, Tr(StringId::PleaseEnterFullPathSettings), false},
        {QString(), QStringLiteral("tmp"), Tr(StringId::PleaseEnterFullPathTemp), false},
        {QString(), good, QString(), true},
    };
    for (const Case& c : cases) {
      UserRegistry(UserRegistry::DefaultPath()).Write("tp", "");
      UserRegistry(UserRegistry::DefaultPath()).Write("sp", "");
      QString message;
      bool closed = false;
      WhenShown<ConfigFoldersDialog>([&](ConfigFoldersDialog* d) {
        d->findChild<QLineEdit*>(QStringLiteral("settingsFolder"))->setText(c.settings);
        d->findChild<QLineEdit*>(QStringLiteral("tempFolder"))->setText(c.temp);
        if (!c.stored) AnswerBox(&message);
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
        if (!c.stored) {
          QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), 10000);
          QVERIFY(d->isVisible());  // the window stays for a correction
          d->reject();
        }
        closed = true;
      });
      ChooseFromMenu(QStringLiteral("configFolders"));
      QMenu* options = start.findChild<QMenuBar*>()->actions().at(1)->menu();
      options->popup(start.mapToGlobal(QPoint(10, 10)));
      QTRY_VERIFY_WITH_TIMEOUT(closed, 15000);
      QCOMPARE(message, c.message);
      const UserRegistry registry(UserRegistry::DefaultPath());
      QVERIFY(!registry.Read("sp").has_value());
      if (c.stored) {
        QCOMPARE(QString::fromStdString(registry.Read("tp").value_or("")), good + QLatin1Char('/'));
        QVERIFY(QDir(good).exists());
      } else {
        QVERIFY(!registry.Read("tp").has_value());
      }
    }
    UserRegistry(UserRegistry::DefaultPath()).Write("tp", "");
  }

  void editedFileSizeIsTheSizeRecovered() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    EntryModel& m = explorer.model();
    QString deletedName;
    for (int r = 0; r < m.rowCount(); ++r)
      if (m.data(m.index(r, 0), Qt::DisplayRole).toString().endsWith(QStringLiteral("eleted.bin")))
        deletedName = m.data(m.index(r, 0), Qt::DisplayRole).toString();
    QVERIFY(!deletedName.isEmpty());
    const int row = RowOf(m, deletedName);
    explorer.list()->setCurrentIndex(m.index(row, 0));
    // A value beyond the field's range is refused, then 3000 is taken.
    QString refusal;
    WhenShown<FileSizeDialog>([&refusal](FileSizeDialog* d) {
      auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileSize"));
      QCOMPARE(edit->text(), QStringLiteral("7000"));
      edit->setText(QStringLiteral("99999999999"));
      AnswerBox(&refusal);
      QTest::keyClick(edit, Qt::Key_Return);
      QTRY_VERIFY_WITH_TIMEOUT(!refusal.isEmpty(), 10000);
      edit->setText(QStringLiteral("3000"));
      QTest::keyClick(edit, Qt::Key_Return);
    });
    QTest::keyClick(explorer.list(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(std::uint64_t(m.item(row).entry.size), std::uint64_t{3000}, 15000);
    QVERIFY(refusal.contains(QStringLiteral("4294967295")));
    // A folder's size is not edited.
    QString folderRefusal;
    QVERIFY(explorer.GoToPath(QStringLiteral("/")));
    explorer.list()->setCurrentIndex(m.index(RowOf(m, QStringLiteral("Docs")), 0));
    AnswerBox(&folderRefusal);
    QTest::keyClick(explorer.list(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(folderRefusal, Tr(StringId::FileSizeOnlyFiles), 10000);
    // Back in the folder the list is read again: the edit belongs to that copy, so edit once more and recover.
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    const int again = RowOf(m, deletedName);
    explorer.list()->setCurrentIndex(m.index(again, 0));
    WhenShown<FileSizeDialog>([](FileSizeDialog* d) {
      auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileSize"));
      edit->setText(QStringLiteral("3000"));
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
    });
    QTest::keyClick(explorer.list(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(std::uint64_t(m.item(again).entry.size), std::uint64_t{3000}, 15000);
    Check(explorer, deletedName);

    const QString out = dir_.filePath(QStringLiteral("sized"));
    WhenShown<SelectPathDialog>([out](SelectPathDialog* d) {
      auto* path = d->findChild<QComboBox*>(QStringLiteral("path"));
      QTest::keyClicks(path->lineEdit(), out);
      QTest::keyClick(path->lineEdit(), Qt::Key_Return);
    });
    explorer.activateWindow();  // the dialogs had the focus; the keys go to the active window
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QTest::keyClick(explorer.list(), Qt::Key_R, Qt::AltModifier);
    // A lost first letter is written as '_'.
    const QString written = out + QLatin1Char('/') + QString(deletedName).replace(QLatin1Char('?'), QLatin1Char('_'));
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled() && QFile::exists(written), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(written).size(), qint64{3000}, 10000);
    QCOMPARE(ReadAll(written), ReadAll(dir_.filePath(QStringLiteral("src/deleted.bin"))).left(3000));
  }

  void ntfsVolumeIsMountedFromATypedSector() {
    if (!Have("mkntfs") || !Have("ntfscp")) QSKIP("mkntfs and ntfscp are needed (ntfs-3g)");
    const QString outer = dir_.filePath(QStringLiteral("outer.img"));
    QVERIFY(Run(QStringLiteral(
                    "set -e; export PATH=$PATH:/sbin:/usr/sbin; d='%1'; truncate -s 16M \"$d/outer.img\";"
                    "truncate -s 8M \"$d/inner.img\"; mkntfs -F -Q -q -s 512 -p 2048 -L KVNTFS \"$d/inner.img\";"
                    "printf 'inside ntfs\\n' > \"$d/hello.txt\"; ntfscp -q \"$d/inner.img\" \"$d/hello.txt\" hello.txt;"
                    "dd if=\"$d/inner.img\" of=\"$d/outer.img\" bs=512 seek=2048 conv=notrunc status=none")
                    .arg(dir_.path())));
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    // No table in front of the volume: the quick restore offers it first; closed.
    WhenShown<PartitionFixWindow>([](PartitionFixWindow* w) { w->reject(); }, QStringLiteral("WINDOW_PARTITIONFIX"));
    AddThroughDialog(start, outer);
    QString refusal;
    bool maxOk = false;
    WhenShown<MountNtfsDialog>([&](MountNtfsDialog* d) {
      auto* sector = d->findChild<QLineEdit*>(QStringLiteral("sector"));
      auto* count = d->findChild<QLineEdit*>(QStringLiteral("count"));
      QVERIFY(d->findChild<QComboBox*>(QStringLiteral("baseDrive"))->currentText().startsWith(QStringLiteral("(1) ")));
      QCOMPARE(d->findChild<QComboBox*>(QStringLiteral("cluster"))->currentText(), QStringLiteral("4 kB"));
      // Beyond the base drive: refused, both fields back to 0, the window stays.
      sector->setText(QStringLiteral("30000"));
      count->setText(QStringLiteral("5000"));
      AnswerBox(&refusal);
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(!refusal.isEmpty(), 10000);
      QCOMPARE(sector->text(), QStringLiteral("0"));
      QCOMPARE(count->text(), QStringLiteral("0"));
      QVERIFY(d->isVisible());
      sector->setText(QStringLiteral("2048"));
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("maxButton")), Qt::LeftButton);
      maxOk = count->text() == QStringLiteral("30720");
      count->setText(QStringLiteral("16384"));
      // "1 kB" clusters, chosen with the keyboard.
      auto* cluster = d->findChild<QComboBox*>(QStringLiteral("cluster"));
      cluster->setFocus();
      while (cluster->currentText() != QStringLiteral("1 kB") && cluster->currentIndex() > 0)
        QTest::keyClick(cluster, Qt::Key_Up);
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
    });
    ChooseFromMenu(QStringLiteral("mountNtfs"));
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("toolsButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 30000);
    QCOMPARE(refusal, Tr(StringId::MountNtfsBadRange));
    QVERIFY(maxOk);
    // What the window collected reached the mount: a damaged NTFS volume whose
    // clusters count from the typed sector, of the chosen size, as long as typed.
    QCOMPARE(bridge.fsType(), FsType::Ntfs);
    QVERIFY(bridge.damaged());
    QCOMPARE(bridge.device().clusterBase, std::int64_t{2048});
    QCOMPARE(bridge.device().dataStart, std::uint64_t{2050});
    QCOMPARE(bridge.device().sectorsPerCluster, 2u);
    QCOMPARE(bridge.device().volumeLastSector, std::uint64_t{2048 + 16384 - 1});
    // Its records are found by scanning; the explorer opens on it.
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
  }

  void updateCheckAsksNothingWithoutAHostAndStaysSilentOnFailure() {
    // The default: no host, no request at all.
    UpdateChecker none(ui_);
    QVERIFY(!none.Start(QString()));
    QVERIFY(!none.Start(QStringLiteral("  ")));
    QVERIFY(!none.Start(QStringLiteral("example.org/path")));
    QCOMPARE(none.requestsMade(), 0);
    // A host that does not answer: the check ends without a word.
    bool boxShown = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&boxShown] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w) && w->isVisible()) {
          boxShown = true;
          w->close();
        }
    });
    watch.start(5);
    UpdateChecker failing(ui_);
    QSignalSpy done(&failing, &UpdateChecker::finished);
    QVERIFY(failing.Start(QStringLiteral("127.0.0.1:1")));
    QCOMPARE(failing.requestsMade(), 1);
    QVERIFY(done.wait(20000));
    QVERIFY(!boxShown);
    QVERIFY(!failing.quitRequested());
  }

  // F10 scans the free region of a real image: the title follows it (and says
  // when it is paused), "RAW files" gets its count and a folder per type, the
  // end question is asked, and a RAW find is recovered byte-exact.
  void scanFindsADeletedPictureAsARawFileThatIsRecovered() {
    const QString image = dir_.filePath(QStringLiteral("scan.img"));
    const QString png = dir_.filePath(QStringLiteral("noise.png"));
    QImage noise(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y)
      for (int x = 0; x < noise.width(); ++x)
        noise.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, (x * y) % 256, (x * 31 + y * 3) % 256));
    QVERIFY(noise.save(png, "PNG"));
    QVERIFY(QFileInfo(png).size() > 4096);
    QVERIFY(Run(QStringLiteral("set -e; export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; img='%1';"
                               "truncate -s 64M \"$img\"; mkfs.vfat -F 16 -n KVSCAN \"$img\" >/dev/null;"
                               "mcopy -i \"$img\" '%2' ::/noise.png; mdel -i \"$img\" ::/noise.png")
                    .arg(image, png)));
    CoreBridge bridge(ui_);
    OpenImage(bridge, image);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova 3.8.6.1 - scan.img"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QAction* f10 = explorer.action(kCmdPauseScan);
    QCOMPARE(f10->text(), Tr(StringId::MenuPauseScan));
    QVERIFY(explorer.action(kCmdScanFreeRegion)->isEnabled());
    QVERIFY(!explorer.action(kCmdStopCurrentScan)->isEnabled());

    QString endQuestion;
    WhenShown<QMessageBox>([&endQuestion](QMessageBox* box) {
      endQuestion = box->text();
      QTest::keyClick(box, Qt::Key_Escape);  // No: nothing to save
    });
    QTest::keyClick(explorer.list(), Qt::Key_F10);
    QVERIFY(!explorer.scan().idle() || !endQuestion.isEmpty());
    if (!explorer.scan().idle()) {
      QVERIFY(!explorer.action(kCmdScanFreeRegion)->isEnabled());
      QVERIFY(explorer.action(kCmdStopCurrentScan)->isEnabled());
      // Paused at once: the menu offers to resume and the title says so.
      QTest::keyClick(explorer.list(), Qt::Key_F10);
      if (explorer.scan().paused()) {
        QCOMPARE(f10->text(), Tr(StringId::MenuResumeScan));
        QTRY_VERIFY(explorer.windowTitle().endsWith(Tr(StringId::ScanPaused)));
        QTest::keyClick(explorer.list(), Qt::Key_F10);
        QCOMPARE(f10->text(), Tr(StringId::MenuPauseScan));
      }
    }
    QTRY_VERIFY_WITH_TIMEOUT(explorer.scan().idle(), 60000);
    QCOMPARE(endQuestion, Tr(StringId::SaveSessionPrompt));
    QVERIFY(explorer.scan().complete());
    QCOMPARE(explorer.windowTitle(), QStringLiteral("Kestrova 3.8.6.1 - scan.img"));
    QVERIFY(explorer.action(kCmdScanFreeRegion)->isEnabled());

    // The tree: "RAW files (1)" with a folder for the type.
    QTreeWidgetItem* rawItem = nullptr;
    QTreeWidgetItem* root = explorer.tree()->topLevelItem(0);
    for (int i = 0; i < root->childCount(); ++i)
      if (root->child(i)->text(0).startsWith(Tr(StringId::RawFilesFolder))) rawItem = root->child(i);
    QVERIFY(rawItem);
    QCOMPARE(rawItem->text(0), Tr(StringId::RawFilesFolder) + QStringLiteral(" (1)"));
    QVERIFY(explorer.GoToPath(QLatin1Char('/') + Tr(StringId::RawFilesFolder)));
    QVERIFY(RowOf(explorer.model(), QStringLiteral("PNG")) >= 0);
    Enter(explorer, QStringLiteral("PNG"));
    QString found;
    for (int r = 0; r < explorer.model().rowCount(); ++r) {
      const QString n = explorer.model().data(explorer.model().index(r, 0), Qt::DisplayRole).toString();
      if (n.endsWith(QStringLiteral(".png"))) found = n;
    }
    QVERIFY2(!found.isEmpty(), "a RAW find in RAW files/PNG");
    explorer.activateWindow();  // back from the end question
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    Check(explorer, found);
    const QString out = dir_.filePath(QStringLiteral("raw-out"));
    WhenShown<SelectPathDialog>([out](SelectPathDialog* d) {
      auto* path = d->findChild<QComboBox*>(QStringLiteral("path"));
      path->lineEdit()->clear();
      QTest::keyClicks(path->lineEdit(), out);
      QTest::keyClick(path->lineEdit(), Qt::Key_Return);
    });
    QTest::keyClick(explorer.list(), Qt::Key_R, Qt::AltModifier);
    const QString written = out + QLatin1Char('/') + found;
    // The find starts where the picture does; its length is the RAW sizing's
    // (it may run past the picture's end).
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled() && QFileInfo(written).size() >= QFileInfo(png).size(), 30000);
    QCOMPARE(ReadAll(written).left(QFileInfo(png).size()), ReadAll(png));
  }

  // A deleted NTFS image inside a FAT32 volume: the scan's preliminary pass
  // over the volume shows its window (paused there, then let go), the list
  // of old partitions shows the volume when the pass ends, and Open closes
  // the explorer for the start window to open that volume in its place.
  void preliminaryScanFindsAnOldNtfsVolumeThatOpensInPlace() {
    if (!Have("mkntfs")) QSKIP("mkntfs is needed (ntfs-3g)");
    const QString image = dir_.filePath(QStringLiteral("oldntfs.img"));
    const QString ntfs = dir_.filePath(QStringLiteral("old-ntfs.img"));
    QVERIFY(Run(QStringLiteral("set -e; export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1;"
                               "truncate -s 8M '%2'; mkntfs -F -f -q -L OLDNTFS '%2' >/dev/null 2>&1;"
                               "truncate -s 64M '%1'; mkfs.vfat -F 32 -s 1 -n KVF32 '%1' >/dev/null;"
                               "mcopy -i '%1' '%2' ::/OLD.IMG; mdel -i '%1' ::/OLD.IMG")
                    .arg(image, ntfs)));
    std::optional<VolumeToOpen> chosen;
    {
      CoreBridge bridge(ui_);
      OpenImage(bridge, image);
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("oldntfs.img"));
      explorer.show();
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      // Before any scan the list says how old partitions are found.
      QAction* command = explorer.action(kCmdOldPartitions);
      QVERIFY(command->isEnabled());
      command->trigger();
      auto* list = explorer.findChild<OldPartitionsWindow*>(QStringLiteral("SUBPARTDLG"));
      QVERIFY(list && list->isVisible());
      QCOMPARE(list->windowTitle(), Tr(StringId::PartitionResultsCaption));
      QVERIFY(list->findChild<QLabel*>(QStringLiteral("noneFound"))->isVisible());
      QVERIFY(!list->findChild<QPushButton*>(QStringLiteral("openButton"))->isEnabled());
      QTest::mouseClick(list->findChild<QPushButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
      QVERIFY(!list->isVisible());
      QVERIFY(!command->isChecked());

      QString endQuestion;
      WhenShown<QMessageBox>([&endQuestion](QMessageBox* box) {
        endQuestion = box->text();
        QTest::keyClick(box, Qt::Key_Escape);
      });
      explorer.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      QTest::keyClick(explorer.list(), Qt::Key_F10);
      QTest::keyClick(explorer.list(), Qt::Key_F10);  // paused in the preliminary pass
      QVERIFY(explorer.scan().paused());
      PreliminaryScanWindow* pass = nullptr;
      QTRY_VERIFY_WITH_TIMEOUT(
          (pass = explorer.findChild<PreliminaryScanWindow*>(QStringLiteral("WINDOW_SUBPART"))) && pass->isVisible(),
          10000);
      QCOMPARE(pass->windowTitle(), Tr(StringId::FreeRegionCaption));
      // 64 MiB in sectors, whatever was read before the pause.
      QVERIFY2(pass->findChild<QLabel*>(QStringLiteral("probeRead"))->text().endsWith(QStringLiteral("131 072")) ||
                   pass->findChild<QLabel*>(QStringLiteral("probeRead"))->text().endsWith(QStringLiteral("131,072")),
               qPrintable(pass->findChild<QLabel*>(QStringLiteral("probeRead"))->text()));
      // (This platform plugin activates every window shown; a desktop leaves the explorer active.)
      QTRY_VERIFY((explorer.activateWindow(), QTest::qWait(20), explorer.isActiveWindow()));
      QTest::keyClick(explorer.list(), Qt::Key_F10);  // resumed
      QVERIFY(!explorer.scan().paused());
      QTRY_VERIFY_WITH_TIMEOUT(explorer.scan().idle(), 60000);
      QCOMPARE(endQuestion, Tr(StringId::SaveSessionPrompt));
      QVERIFY(!pass->isVisible());

      // The pass found the volume: the list showed by itself.
      QVERIFY(list->isVisible());
      QVERIFY(command->isChecked());
      auto* rows = list->findChild<QTreeWidget*>(QStringLiteral("oldPartitionList"));
      QCOMPARE(rows->topLevelItemCount(), 1);
      QCOMPARE(rows->topLevelItem(0)->text(1), QStringLiteral("NTFS"));
      QVERIFY2(rows->topLevelItem(0)->text(0).contains(QStringLiteral("OLDNTFS")), qPrintable(rows->topLevelItem(0)->text(0)));
      QVERIFY(!list->findChild<QLabel*>(QStringLiteral("noneFound"))->isVisible());

      // Open asks first: No keeps the explorer, Yes closes it with the volume to open.
      QString question;
      WhenShown<QMessageBox>([&question](QMessageBox* box) {
        question = box->text();
        QTimer::singleShot(0, box->button(QMessageBox::No), &QAbstractButton::click);
      });
      QTest::mouseClick(list->findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
      QVERIFY2(question.contains(QStringLiteral("NTFS")), qPrintable(question));
      QVERIFY(explorer.isVisible());
      QVERIFY(!explorer.pendingVolume());
      QSignalSpy closed(&explorer, &ExplorerWindow::closed);
      WhenShown<QMessageBox>(
          [](QMessageBox* box) { QTimer::singleShot(0, box->button(QMessageBox::Yes), &QAbstractButton::click); });
      QTest::keyClick(rows, Qt::Key_Return);
      QTRY_COMPARE(closed.count(), 1);
      QVERIFY(explorer.pendingVolume());
      chosen = explorer.pendingVolume();
      QCOMPARE(chosen->path, image.toStdString());
      QCOMPARE(chosen->sectors, std::uint64_t{8u * 2048 - 1});
    }
    // The start window opens it once its list is read: the NTFS volume mounts.
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.QueueVolume(chosen);
    start.show();
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 30000);
    QCOMPARE(bridge.fsType(), FsType::Ntfs);
    QCOMPARE(bridge.device().volumeStart, chosen->start);
  }

  void hexViewShowsTheFocusedFileAndIsReusedForTheNext() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
    Enter(explorer, QStringLiteral("Docs"));
    explorer.list()->setCurrentIndex(explorer.model().index(RowOf(explorer.model(), QStringLiteral("keep.txt")), 0));
    explorer.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    QTest::keyClick(explorer.list(), Qt::Key_H, Qt::ControlModifier);
    auto* hex = explorer.findChild<HexViewWindow*>(QStringLiteral("WINDOW_HEX_VIEW"));
    QVERIFY(hex);
    QTRY_VERIFY(hex->isVisible());
    QCOMPARE(hex->windowTitle(), QStringLiteral("keep.txt - ") + Tr(StringId::HexViewTitle));
    QCOMPARE(hex->view()->totalRows(), 1u);
    QCOMPARE(hex->view()->RowText(0),
             QStringLiteral("0000000000  6B 65 70 74 0A                                     kept.           "));
    // The next entry reuses the window; keys scroll by rows and pages.
    explorer.list()->setCurrentIndex(explorer.model().index(RowOf(explorer.model(), QStringLiteral("photo.jpg")), 0));
    explorer.action(kCmdHexView)->trigger();
    QCOMPARE(explorer.findChildren<HexViewWindow*>().size(), 1);
    QCOMPARE(hex->windowTitle(), QStringLiteral("photo.jpg - ") + Tr(StringId::HexViewTitle));
    HexListView* view = hex->view();
    QCOMPARE(view->totalRows(), 12500u);
    QTest::keyClick(view, Qt::Key_Down);
    QCOMPARE(view->firstRow(), 1u);
    QTest::keyClick(view, Qt::Key_PageDown);
    QCOMPARE(view->firstRow(), 1u + static_cast<std::uint64_t>(view->visibleRows()));
    QTest::keyClick(view, Qt::Key_End);
    QCOMPARE(view->firstRow(), 12500u - static_cast<std::uint64_t>(view->visibleRows()));
    QTest::keyClick(view, Qt::Key_Home);
    QCOMPARE(view->firstRow(), 0u);
    // Rows within one cluster are drawn from the one cached block.
    view->RowText(0);
    const std::uint64_t reads = view->cache()->reads();
    view->RowText(1);
    view->RowText(2);
    QCOMPARE(view->cache()->reads(), reads);
    hex->close();
  }

  void displayFilterWindowNarrowsTheListAndItsPresetsFillTheMasks() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
    Enter(explorer, QStringLiteral("Docs"));
    EntryModel& m = explorer.model();
    QVERIFY(RowOf(m, QStringLiteral("keep.txt")) >= 0);
    QVERIFY(RowOf(m, QStringLiteral("?eleted.bin")) >= 0);
    explorer.action(kCmdDisplayFiles)->trigger();
    auto* w = explorer.findChild<DisplayFilterWindow*>(QStringLiteral("WINDOW_DISPLAY_FILES"));
    QVERIFY(w);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QVERIFY(w->findChild<QCheckBox*>(QStringLiteral("autoRefresh"))->isChecked());
    // On the box's indicator: a box stretched by its layout is wider than its text.
    auto tick = [](QAbstractButton* b) { QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2)); };
    // Existing off: with "Auto refresh" the list is narrowed at once.
    tick(w->box(show::kExisting));
    QVERIFY(!w->box(show::kExisting)->isChecked());
    QCOMPARE(bridge.displayFilter().Snapshot().flags & show::kExisting, 0u);
    QCOMPARE(RowOf(m, QStringLiteral("keep.txt")), -1);
    QVERIFY(RowOf(m, QStringLiteral("?eleted.bin")) >= 0);
    // Existing on again, the "Graphic" preset: its masks in the box, only pictures listed.
    tick(w->box(show::kExisting));
    tick(w->preset(FilterPreset::Graphic));
    QVERIFY(w->masks()->text().startsWith(QStringLiteral("*.bmp, *.jpg")));
    QVERIFY(RowOf(m, QStringLiteral("photo.jpg")) >= 0);
    QCOMPARE(RowOf(m, QStringLiteral("keep.txt")), -1);
    // Without "Auto refresh" nothing changes until "&Refresh".
    tick(w->findChild<QCheckBox*>(QStringLiteral("autoRefresh")));
    tick(w->preset(FilterPreset::AnyFile));
    QCOMPARE(RowOf(m, QStringLiteral("keep.txt")), -1);
    QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("refresh")), Qt::LeftButton);
    QVERIFY(RowOf(m, QStringLiteral("keep.txt")) >= 0);
    // A colour restored to its default reaches the list.
    QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("restoreAllColours")), Qt::LeftButton);
    const int gone = RowOf(m, QStringLiteral("?eleted.bin"));
    QCOMPARE(m.data(m.index(gone, 0), Qt::ForegroundRole).value<QColor>(), CategoryColour(m.item(gone).colour, w->colours()));
    bridge.displayFilter().Set(DisplayFilter{});
    w->close();
  }

  // "Set all colors as default" writes the colours at once; the next start
  // (the settings read again) lists with them. The file's other values stay.
  void setAllColoursAsDefaultReachesTheNextStart() {
    QVERIFY(QDir().mkpath(dir_.filePath(QStringLiteral("settings"))));
    const std::string file = dir_.filePath(QStringLiteral("settings/Kestrova.cfg")).toStdString();
    AppSettings first = LoadAppSettings(file, 0, u"English");
    first.language = u"German";
    QVERIFY(SaveAppSettings(file, first));
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    StatusColours chosen = colours_;
    chosen[0] = 0x336699;  // DELETED
    chosen[3] = 0x102030;  // NOTDETECTED
    StatusColours program = colours_;
    {
      ExplorerWindow explorer(bridge, ui_, chosen, QStringLiteral("test"));
      explorer.SetColourSettings({file, &program});
      explorer.show();
      QVERIFY(QTest::qWaitForWindowExposed(&explorer));
      explorer.action(kCmdDisplayFiles)->trigger();
      auto* w = explorer.findChild<DisplayFilterWindow*>(QStringLiteral("WINDOW_DISPLAY_FILES"));
      QVERIFY(w);
      QVERIFY(program != chosen);
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("setAllDefault")), Qt::LeftButton);
      QVERIFY(program == chosen);
      w->close();
    }
    const AppSettings next = LoadAppSettings(file, 0, u"English");
    QVERIFY(next.colours == chosen);
    QCOMPARE(next.language, std::u16string(u"German"));
    ExplorerWindow explorer(bridge, ui_, next.colours, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
    Enter(explorer, QStringLiteral("Docs"));
    EntryModel& m = explorer.model();
    const int gone = RowOf(m, QStringLiteral("?eleted.bin"));
    QVERIFY(gone >= 0);
    const auto category = static_cast<std::size_t>(m.item(gone).colour);
    QVERIFY(category == 0 || category == 3);  // one of the colours chosen
    QCOMPARE(m.data(m.index(gone, 0), Qt::ForegroundRole).value<QColor>(), FromColorRef(chosen[category]));
    explorer.action(kCmdDisplayFiles)->trigger();
    auto* w = explorer.findChild<DisplayFilterWindow*>(QStringLiteral("WINDOW_DISPLAY_FILES"));
    QVERIFY(w && w->colours() == chosen);
    // A settings file that cannot be written is said, not passed over.
    w->SetColourSettings({dir_.filePath(QStringLiteral("no-such-folder/Kestrova.cfg")).toStdString(), nullptr});
    QString said;
    AnswerBox(&said);
    QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("setAllDefault")), Qt::LeftButton);
    QVERIFY2(said.contains(QStringLiteral("no-such-folder")), qPrintable(said));
    w->close();
  }

  void searchBoxAndAdvancedSearchShowTheirResultsInTheList() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
    EntryModel& m = explorer.model();
    auto* box = explorer.findChild<QLineEdit*>(QStringLiteral("search"));
    QVERIFY(box->isEnabled());
    box->setText(QStringLiteral("keep"));
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(explorer.windowTitle(), QStringLiteral("Search results of \"keep\""), 10000);
    QVERIFY(RowOf(m, QStringLiteral("keep.txt")) >= 0);
    QVERIFY(RowOf(m, QStringLiteral("?eep.txt")) >= 0);
    QCOMPARE(m.rowCount(), 2);
    QVERIFY(!explorer.action(kCmdBreakSearch)->isEnabled());
    QVERIFY(box->completer() && box->completer()->model()->index(0, 0).data().toString() == QStringLiteral("keep"));

    // An odd HEX length is refused and the dialog stays; masks find the picture.
    QString refusal;
    WhenShown<AdvancedSearchDialog>([&refusal](AdvancedSearchDialog* d) {
      d->group(1)->setChecked(true);
      d->kind(DataKind::Hex)->setChecked(true);
      d->dataBox()->setCurrentText(QStringLiteral("4D5"));
      AnswerBox(&refusal);
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("search")), Qt::LeftButton);
      QVERIFY(d->isVisible());
      d->group(1)->setChecked(false);
      d->group(0)->setChecked(true);
      d->maskBox()->setCurrentText(QStringLiteral("*.JPG"));
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("search")), Qt::LeftButton);
    });
    explorer.action(kCmdAdvancedSearch)->trigger();
    QCOMPARE(refusal, Tr(StringId::SearchHexParity));
    QTRY_COMPARE_WITH_TIMEOUT(explorer.windowTitle(), Tr(StringId::AdvancedSearchResults), 10000);
    QCOMPARE(box->text(), QStringLiteral("*"));
    QCOMPARE(m.rowCount(), 1);
    QVERIFY(RowOf(m, QStringLiteral("photo.jpg")) >= 0);

    // Nothing found.
    box->setText(QStringLiteral("no-such-name"));
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(explorer.windowTitle(), Tr(StringId::NothingFound), 10000);
    QCOMPARE(m.rowCount(), 0);
  }

  // A result opens where it was found, whatever folder was shown when the
  // search started: a file its folder with the file selected, a folder itself.
  void searchResultsOpenTheFolderTheyWereFoundIn() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
    EntryModel& m = explorer.model();
    Enter(explorer, QStringLiteral("Docs"));
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Docs"));
    auto* box = explorer.findChild<QLineEdit*>(QStringLiteral("search"));
    auto search = [&](const QString& text) {
      box->setText(text);
      QTest::keyClick(box, Qt::Key_Return);
      QTRY_COMPARE_WITH_TIMEOUT(explorer.windowTitle(), QStringLiteral("Search results of \"%1\"").arg(text), 10000);
    };
    // A file two folders down a deleted folder, opened with a double click.
    search(QStringLiteral("inner"));
    QCOMPARE(m.rowCount(), 1);
    const QRect cell = explorer.list()->visualRect(m.index(0, 0));
    QTest::mouseClick(explorer.list()->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(explorer.list()->viewport(), Qt::LeftButton, {}, cell.center());
    QTRY_COMPARE_WITH_TIMEOUT(explorer.currentPath(), QStringLiteral("/Old/Deep"), 5000);
    const int inner = RowOf(m, QStringLiteral("?nner.bin"));
    QVERIFY(inner >= 0);
    QCOMPARE(explorer.list()->currentIndex().row(), inner);
    // A file of another branch, searched from down there, opened with Return.
    search(QStringLiteral("keep"));
    Enter(explorer, QStringLiteral("keep.txt"));
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Docs"));
    QCOMPARE(explorer.list()->currentIndex().row(), RowOf(m, QStringLiteral("keep.txt")));
    // A folder result opens that folder; Up goes to its real parent.
    search(QStringLiteral("deep"));
    Enter(explorer, QStringLiteral("Deep"));
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Old/Deep"));
    QVERIFY(RowOf(m, QStringLiteral("?nner.bin")) >= 0);
  }

  // The texts searched are saved with the session; loading it into an open
  // explorer gives the search box and the data box their drop-downs back.
  void searchHistoriesAreSavedAndLoadedWithTheSession() {
    const std::string file = dir_.filePath(QStringLiteral("histories.kvs")).toStdString();
    auto advanced = [](const QString& data) {
      WhenShown<AdvancedSearchDialog>([data](AdvancedSearchDialog* d) {
        d->group(1)->setChecked(true);
        d->kind(DataKind::Ascii)->setChecked(true);
        d->dataBox()->setCurrentText(data);
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("search")), Qt::LeftButton);
      });
    };
    {
      CoreBridge bridge(ui_);
      OpenImage(bridge, image_);
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
      explorer.show();
      QVERIFY(QTest::qWaitForWindowExposed(&explorer));
      auto* box = explorer.findChild<QLineEdit*>(QStringLiteral("search"));
      box->setText(QStringLiteral("keep"));
      QTest::keyClick(box, Qt::Key_Return);
      QTRY_COMPARE_WITH_TIMEOUT(explorer.windowTitle(), QStringLiteral("Search results of \"keep\""), 10000);
      advanced(QStringLiteral("kept"));
      explorer.action(kCmdAdvancedSearch)->trigger();
      QTRY_COMPARE_WITH_TIMEOUT(explorer.windowTitle(), Tr(StringId::AdvancedSearchResults), 10000);
      QVERIFY(SaveScanSession(bridge.volumeSession(), file).ok());
    }
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&explorer));
    auto* box = explorer.findChild<QLineEdit*>(QStringLiteral("search"));
    QVERIFY(box->completer());
    QCOMPARE(box->completer()->model()->rowCount(), 0);
    QVERIFY(LoadIntoMounted(bridge.volumeSession(), file).ok());
    QFocusEvent focus(QEvent::FocusIn);
    QApplication::sendEvent(box, &focus);
    QStringList offered;
    for (int r = 0; r < box->completer()->model()->rowCount(); ++r)
      offered << box->completer()->model()->index(r, 0).data().toString();
    QCOMPARE(offered, (QStringList{QStringLiteral("*"), QStringLiteral("keep")}));
    bool listed = false;
    WhenShown<AdvancedSearchDialog>([&listed](AdvancedSearchDialog* d) {
      listed = d->dataBox()->findText(QStringLiteral("kept")) >= 0;
      d->reject();
    });
    explorer.action(kCmdAdvancedSearch)->trigger();
    QVERIFY(listed);
  }

  void forcedFileSystemReachesTheMount() {
    const QString img = dir_.filePath(QStringLiteral("fat32-noboot.img"));
    QVERIFY(Run(QStringLiteral(
                    "set -e; export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; d='%1'; img='%2';"
                    "truncate -s 64M \"$img\"; mkfs.vfat -F 32 -n KVF32 \"$img\" >/dev/null;"
                    "printf 'fat32 data\\n' > \"$d/f32.txt\"; mcopy -i \"$img\" \"$d/f32.txt\" ::/F32.TXT;"
                    "dd if=/dev/zero of=\"$img\" bs=512 count=1 conv=notrunc status=none;"
                    "dd if=/dev/zero of=\"$img\" bs=512 seek=6 count=1 conv=notrunc status=none")
                    .arg(dir_.path(), img)));
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    AddThroughDialog(start, img);
    auto* list = start.findChild<QTreeWidget*>(QStringLiteral("deviceList"));
    QVERIFY(list->currentItem());
    bool forced = false;
    WhenShown<DriveSettingsDialog>([&forced](DriveSettingsDialog* d) {
      auto* fs = d->findChild<QComboBox*>(QStringLiteral("fsChoice"));
      QVERIFY(!fs->isEnabled());  // only with "Previously was another system:"
      QTest::mouseClick(d->findChild<QRadioButton*>(QStringLiteral("overrideFs")), Qt::LeftButton, {}, QPoint(5, 5));
      QVERIFY(fs->isEnabled());
      fs->setCurrentIndex(1);  // FAT32
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
      forced = true;
    });
    ChooseFromMenu(QStringLiteral("driveSettings"));
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("toolsButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(forced, 15000);
    // The forced type reaches the mount: its structure search finds the tables
    // of this real volume (both boot sectors zeroed) without a word, and the
    // explorer lists its file.
    QString message;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&message] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
          message = box->text();
          QTest::keyClick(box, Qt::Key_Return);
        }
    });
    watch.start(10);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
    watch.stop();
    QVERIFY2(message.isEmpty(), qPrintable(message));
    QCOMPARE(bridge.fsType(), FsType::Fat32);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(RowOf(explorer.model(), QStringLiteral("F32.TXT")) >= 0);
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
  }

  void createImageCopiesTheRowAfterRefusingTheSource() {
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    AddThroughDialog(start, image_);
    const QString out = dir_.filePath(QStringLiteral("copy.img"));
    QString proposed, warning, done;
    // First the image itself (the overwrite question answered yes): refused, and the dialog comes again.
    WhenShown<QFileDialog>(
        [&](QFileDialog* d) {
          auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
          QVERIFY(edit);
          proposed = edit->text();
          WhenShown<QMessageBox>([&](QMessageBox* replace) {
            if (QAbstractButton* yes = replace->button(QMessageBox::Yes)) yes->click();
            WhenShown<QMessageBox>([&](QMessageBox* box) {
              warning = box->text();
              WhenShown<QFileDialog>(
                  [&, out](QFileDialog* again) {
                    auto* name = again->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                    QCOMPARE(name->text(), QStringLiteral("KVGUI.img"));  // proposed afresh, not the refused file
                    name->setText(out);
                    WhenShown<QMessageBox>([&](QMessageBox* end) {
                      done = end->text();
                      QTest::keyClick(end, Qt::Key_Return);
                    }, {}, 60000);
                    QTest::keyClick(name, Qt::Key_Return);
                  },
                  QStringLiteral("saveImageDialog"));
              QTest::keyClick(box, Qt::Key_Return);
            });
          });
          edit->setText(image_);
          QTest::keyClick(edit, Qt::Key_Return);
        },
        QStringLiteral("saveImageDialog"));
    ChooseFromMenu(QStringLiteral("createImage"));
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("toolsButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!done.isEmpty(), 60000);
    QCOMPARE(proposed, QStringLiteral("KVGUI.img"));
    QCOMPARE(warning, Tr(StringId::PleaseSelectAnotherDrive));
    QVERIFY2(done.startsWith(Tr(StringId::ImageDone)), qPrintable(done));
    QCOMPARE(ReadAll(out), ReadAll(image_));
  }

  void savingImageWindowPausesAndAbortsWhilePaused() {
    // A large sparse image: long enough to pause, with little written before the abort.
    const QString big = dir_.filePath(QStringLiteral("sparse-big.img"));
    {
      QFile f(big);
      QVERIFY(f.open(QIODevice::WriteOnly));
      QVERIFY(f.resize(qint64{8} << 30));
    }
    DriveList list;
    DriveLister().Refresh(list, ui_, {big.toStdString()}, false, nullptr);
    QVERIFY(!list.rows.empty());
    const QString out = dir_.filePath(QStringLiteral("aborted.img"));
    QString message;
    SavingImageWindow window(list, 0, out, ui_, nullptr);
    QVERIFY(window.started());
    auto* pause = window.findChild<QPushButton*>(QStringLiteral("pauseButton"));
    auto* abort = window.findChild<QPushButton*>(QStringLiteral("abortButton"));
    QCOMPARE(pause->text(), Tr(StringId::ImagePause));
    QCOMPARE(abort->text(), Tr(StringId::ImageAbort));
    std::uint64_t sizeWhenPaused = 0, sizeLater = 0;
    QTimer::singleShot(150, &window, [&] {
      QTest::mouseClick(pause, Qt::LeftButton);
      QCOMPARE(pause->text(), Tr(StringId::ImageResume));
      QTimer::singleShot(300, &window, [&] {
        sizeWhenPaused = static_cast<std::uint64_t>(QFileInfo(out).size());
        QTimer::singleShot(300, &window, [&] {
          sizeLater = static_cast<std::uint64_t>(QFileInfo(out).size());
          WhenShown<QMessageBox>([&](QMessageBox* box) {
            message = box->text();
            QTest::keyClick(box, Qt::Key_Return);
          });
          QTest::mouseClick(abort, Qt::LeftButton);
          QVERIFY(!pause->isEnabled() && !abort->isEnabled());
        });
      });
    });
    window.exec();
    QVERIFY2(message.startsWith(Tr(StringId::ImageAborted)), qPrintable(message));
    QCOMPARE(window.result().status, ImageStatus::Aborted);
    QCOMPARE(sizeLater, sizeWhenPaused);
    QCOMPARE(static_cast<std::uint64_t>(QFileInfo(out).size()), sizeWhenPaused);  // no chunk after the pause
    QVERIFY(window.result().sectorsLeft > 0);
  }

  // A disk without a partition table holding an NTFS volume at sector 2048:
  // the search from the tools menu finds it ("Lost"), and Next opens it.
  void partitionSearchOpensTheFoundVolume() {
    if (!Have("mkntfs") || !Have("ntfscp")) QSKIP("mkntfs and ntfscp are needed (ntfs-3g)");
    const QString disk = dir_.filePath(QStringLiteral("lost-table.img"));
    QVERIFY(Run(QStringLiteral(
                    "set -e; export PATH=$PATH:/sbin:/usr/sbin; d='%1'; truncate -s 16M \"$d/lost-table.img\";"
                    "truncate -s 8M \"$d/lost-inner.img\"; mkntfs -F -Q -q -s 512 -p 2048 -L KVLOST \"$d/lost-inner.img\";"
                    "printf 'found again\\n' > \"$d/again.txt\"; ntfscp -q \"$d/lost-inner.img\" \"$d/again.txt\" again.txt;"
                    "dd if=\"$d/lost-inner.img\" of=\"$d/lost-table.img\" bs=512 seek=2048 conv=notrunc status=none")
                    .arg(dir_.path())));
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    // The disk lost its table: the quick restore offers the volume first; closed.
    WhenShown<PartitionFixWindow>([](PartitionFixWindow* w) { w->reject(); }, QStringLiteral("WINDOW_PARTITIONFIX"));
    AddThroughDialog(start, disk);
    bool modeSeen = false, progressSeen = false, resultsSeen = false;
    QString status, fs;
    WhenShown<ScanModeWindow>([&](ScanModeWindow* w) {
      QVERIFY(w->findChild<QRadioButton*>(QStringLiteral("deepMode"))->isChecked());
      QVERIFY(w->findChild<QRadioButton*>(QStringLiteral("rawMode"))->isEnabled());
      auto* sector = w->findChild<QLineEdit*>(QStringLiteral("startSector"));
      auto* mb = w->findChild<QLineEdit*>(QStringLiteral("startMb"));
      // Typing in one field moves the others and the slider.
      mb->clear();
      QTest::keyClicks(mb, QStringLiteral("2"));
      QCOMPARE(sector->text(), QStringLiteral("4096"));
      QVERIFY(w->findChild<QSlider*>(QStringLiteral("startSlider"))->value() > 0);
      // Beyond the disk: the last sector.
      sector->clear();
      QTest::keyClicks(sector, QStringLiteral("99999999"));
      QCOMPARE(w->startSector(), std::uint64_t{32767});
      sector->clear();
      QTest::keyClicks(sector, QStringLiteral("0"));
      QTest::mouseClick(w->findChild<QRadioButton*>(QStringLiteral("fastMode")), Qt::LeftButton, {}, QPoint(5, 5));
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
      modeSeen = true;
    });
    WhenShown<PartitionSearchWindow>([&](PartitionSearchWindow* w) {
      auto* next = w->findChild<QPushButton*>(QStringLiteral("nextButton"));
      auto* log = w->findChild<QListWidget*>(QStringLiteral("searchLog"));
      QTRY_VERIFY_WITH_TIMEOUT(next->isEnabled(), 20000);
      QTRY_VERIFY_WITH_TIMEOUT(!log->findItems(QStringLiteral("KVLOST"), Qt::MatchContains).isEmpty(), 20000);
      progressSeen = true;
      QTest::mouseClick(next, Qt::LeftButton);
    }, {}, 20000);
    WhenShown<PartitionResultsWindow>([&](PartitionResultsWindow* w) {
      auto* list = w->findChild<QTreeWidget*>(QStringLiteral("resultList"));
      QVERIFY(list->currentItem());
      fs = list->currentItem()->text(1);
      status = list->currentItem()->text(3);
      resultsSeen = true;
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("nextButton")), Qt::LeftButton);
    }, {}, 30000);
    ChooseFromMenu(QStringLiteral("searchPartitions"));
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("toolsButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 40000);
    QVERIFY(modeSeen && progressSeen && resultsSeen);
    QCOMPARE(fs, QStringLiteral("NTFS"));
    QCOMPARE(status, Tr(StringId::StatusLost));
    QCOMPARE(bridge.fsType(), FsType::Ntfs);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("test"));
    explorer.show();
    QVERIFY(RowOf(explorer.model(), QStringLiteral("again.txt")) >= 0);
  }

  // A session saved from the progress window resumes from the Load menu.
  void partitionSessionSavesAndLoads() {
    const QString disk = dir_.filePath(QStringLiteral("lost-table.img"));
    if (!QFile::exists(disk)) QSKIP("needs the disk of partitionSearchOpensTheFoundVolume");
    const QString kvsp = dir_.filePath(QStringLiteral("search.kvsp"));
    {
      PartitionFinder finder(ui_);
      QCOMPARE(finder.Open(disk.toStdString()), SessionStatus::Ok);
      QVERIFY(finder.Start(SearchMode::Deep, 0));
      finder.Wait();
      PartitionSearchWindow progress(finder, ui_);
      progress.show();
      WhenShown<QFileDialog>([kvsp](QFileDialog* d) {
        auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        edit->setText(kvsp);
        QTest::keyClick(edit, Qt::Key_Return);
      }, QStringLiteral("sessionDialog"));
      QTest::mouseClick(progress.findChild<QPushButton*>(QStringLiteral("saveButton")), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(kvsp), 15000);
    }
    PartitionSession saved;
    QCOMPARE(LoadPartitionSession(kvsp.toStdString(), saved), SessionFileStatus::Ok);
    QCOMPARE(saved.results.size(), std::size_t{1});
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    bool resumed = false;
    WhenShown<QMenu>([](QMenu* menu) {
      for (QAction* a : menu->actions())
        if (a->objectName() == QStringLiteral("loadSession")) menu->setActiveAction(a);
      QTest::keyClick(menu, Qt::Key_Return);
    });
    WhenShown<QFileDialog>([kvsp](QFileDialog* d) {
      auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      edit->setText(kvsp);
      QTest::keyClick(edit, Qt::Key_Return);
    }, QStringLiteral("sessionDialog"));
    WhenShown<PartitionSearchWindow>([&](PartitionSearchWindow* w) {
      auto* log = w->findChild<QListWidget*>(QStringLiteral("searchLog"));
      QTRY_VERIFY_WITH_TIMEOUT(log->count() > 1, 20000);
      resumed = log->item(0)->text().contains(Tr(StringId::PartScanTotalPartitionsDetected));
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
    });
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("loadButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(resumed, 30000);
  }

  // "Scan for files (RAW)" opens the whole drive and runs its free-space scan
  // before the explorer shows it.
  void carvingChoiceScansTheWholeDrive() {
    const QString disk = dir_.filePath(QStringLiteral("lost-table.img"));
    if (!QFile::exists(disk)) QSKIP("needs the disk of partitionSearchOpensTheFoundVolume");
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    WhenShown<PartitionFixWindow>([](PartitionFixWindow* w) { w->reject(); }, QStringLiteral("WINDOW_PARTITIONFIX"));
    AddThroughDialog(start, disk);
    bool chosen = false, scanned = false;
    WhenShown<ScanModeWindow>([&](ScanModeWindow* w) {
      auto* raw = w->findChild<QRadioButton*>(QStringLiteral("rawMode"));
      QVERIFY(raw->isEnabled());
      QTest::mouseClick(raw, Qt::LeftButton, {}, QPoint(5, 5));
      QCOMPARE(w->choice(), ScanModeWindow::Raw);
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
      chosen = true;
    });
    WhenShown<CarvingScanWindow>([&](CarvingScanWindow*) { scanned = true; }, {}, 30000);
    // The scan's end question ("save results?") is answered No.
    WhenShown<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_N, Qt::AltModifier); QTest::keyClick(box, Qt::Key_Escape); }, {}, 40000);
    ChooseFromMenu(QStringLiteral("searchPartitions"));
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("toolsButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 60000);
    QVERIFY(chosen);
    QVERIFY(scanned);
    QVERIFY(bridge.mounted());
  }

  // Chooses a file in the named file dialog once it shows (pasted, then Enter).
  static void ChooseFile(const QString& dialogName, const QString& path) {
    WhenShown<QFileDialog>(
        [path](QFileDialog* d) {
          auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
          QVERIFY(edit);
          edit->setText(path);
          QTest::keyClick(edit, Qt::Key_Return);
        },
        dialogName);
  }

  // "&Load" > "&Backup" with `kvb`; every question answered Yes.
  void LoadBackup(StartWindow& start, const QString& kvb) {
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    ChooseFromMenu(QStringLiteral("loadBackup"));
    ChooseFile(QStringLiteral("backupDialog"), kvb);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("loadButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
  }

  void lostNtfsPartitionIsRestoredAndItsAutoBackupPutBack() {
    if (!Have("mkntfs") || !Have("sfdisk")) QSKIP("mkntfs and sfdisk are needed (ntfs-3g, fdisk)");
    const QString disk = dir_.filePath(QStringLiteral("lost-ntfs.img"));
    QVERIFY(MakeLostNtfsDisk(disk));
    const QByteArray original = ReadAll(disk);
    QCOMPARE(Le32At(original, 446 + 16 + 8), 0u);  // the second entry is gone
    CoreBridge bridge(ui_);
    BoxAnswerer boxes;  // Yes: the standard MBR code is written too
    QStringList listed;
    bool restored = false;
    WhenShown<PartitionFixWindow>(
        [&](PartitionFixWindow* w) {
          QCOMPARE(w->windowTitle(), Tr(StringId::PartitionFixCaption));
          for (int i = 0; i < w->volumes()->topLevelItemCount(); ++i) listed << w->volumes()->topLevelItem(i)->text(0);
          QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("restoreButton")), Qt::LeftButton);
          restored = true;
        },
        QStringLiteral("WINDOW_PARTITIONFIX"), 30000);
    // The window opens by itself once the image is listed.
    StartWindow start(bridge, ui_, {disk.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(restored, 30000);
    QVERIFY2(listed.contains(QStringLiteral("VOL2")), qPrintable(listed.join(QLatin1Char(','))));
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Saw(Tr(StringId::PartitionFixDone)), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);

    // Both entries in the MBR, the first volume's untouched.
    const QByteArray fixed = ReadAll(disk);
    QCOMPARE(fixed.mid(446, 16), original.mid(446, 16));
    QCOMPARE(static_cast<std::uint8_t>(fixed.at(446 + 16 + 4)), std::uint8_t{0x07});
    QCOMPARE(Le32At(fixed, 446 + 16 + 8), 32768u);
    QVERIFY(Le32At(fixed, 446 + 16 + 12) >= 30719u);
    QCOMPARE(static_cast<std::uint8_t>(fixed.at(510)), std::uint8_t{0x55});
    QCOMPARE(static_cast<std::uint8_t>(fixed.at(511)), std::uint8_t{0xAA});
    if (Have("sfdisk")) {
      QProcess dump;
      dump.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"),
                                              QStringLiteral("PATH=$PATH:/sbin:/usr/sbin sfdisk --dump '%1'").arg(disk)});
      QVERIFY(dump.waitForFinished(20000));
      QVERIFY2(dump.readAllStandardOutput().contains("start=       32768"), "sfdisk lists the second partition");
    }
    // Nothing lost is left: the list was read again and shows VOL2 as a row.
    auto* devices = start.findChild<QTreeWidget*>(QStringLiteral("deviceList"));
    bool vol2 = false;
    for (QTreeWidgetItemIterator it(devices); *it; ++it) vol2 = vol2 || (*it)->text(0).contains(QStringLiteral("VOL2"));
    QVERIFY(vol2);

    // The automatic backup named in the message puts the disk back byte for byte.
    QString done;
    for (const QString& t : boxes.texts)
      if (t.startsWith(Tr(StringId::PartitionFixDone))) done = t;
    const QString autoBackup = done.mid(Tr(StringId::PartitionFixDone).size()).trimmed();
    QVERIFY2(QFile::exists(autoBackup), qPrintable(done));
    QCOMPARE(ReadAll(autoBackup).left(4), QByteArray("KVBK"));
    // The window offers the lost partition again after the backup is back: closed.
    WhenShown<PartitionFixWindow>([](PartitionFixWindow* w) { w->reject(); }, QStringLiteral("WINDOW_PARTITIONFIX"),
                                  30000);
    LoadBackup(start, autoBackup);
    QVERIFY2(boxes.Saw(Tr(StringId::BackupQuestion)), qPrintable(boxes.texts.join(QLatin1Char('|'))));
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Saw(Tr(StringId::BackupSucces)), 20000);
    QVERIFY(ReadAll(disk) == original);
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
  }

  void backupMadeInTheWindowIsWrittenBackByteExact() {
    if (!Have("mkntfs") || !Have("sfdisk")) QSKIP("mkntfs and sfdisk are needed (ntfs-3g, fdisk)");
    const QString disk = dir_.filePath(QStringLiteral("backup-ntfs.img"));
    QVERIFY(MakeLostNtfsDisk(disk));
    const QByteArray original = ReadAll(disk);
    const QString kvb = dir_.filePath(QStringLiteral("made.kvb"));
    CoreBridge bridge(ui_);
    BoxAnswerer boxes;
    bool made = false;
    WhenShown<PartitionFixWindow>(
        [&](PartitionFixWindow* w) {
          WhenShown<QFileDialog>(
              [kvb](QFileDialog* d) {
                // The proposal: the image's name with ".kvb".
                auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                QVERIFY(edit);
                QCOMPARE(edit->text(), QStringLiteral("backup-ntfs.img.kvb"));
                edit->setText(kvb);
                QTest::keyClick(edit, Qt::Key_Return);
              },
              QStringLiteral("backupDialog"));
          QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("backupButton")), Qt::LeftButton);
          made = true;
          QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
        },
        QStringLiteral("WINDOW_PARTITIONFIX"), 30000);
    StartWindow start(bridge, ui_, {disk.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(made, 30000);
    QVERIFY2(boxes.Saw(Tr(StringId::PartFixBackupCreated)), qPrintable(boxes.texts.join(QLatin1Char('|'))));
    const QByteArray file = ReadAll(kvb);
    QCOMPARE(file.left(4), QByteArray("KVBK"));
    QVERIFY(file.contains(original.left(512)));  // sector 0 as it was
    QVERIFY(!QFile::exists(kvb + QStringLiteral(".part")));

    // The table is damaged further; the backup puts sector 0 back.
    {
      QFile f(disk);
      QVERIFY(f.open(QIODevice::ReadWrite));
      f.seek(446);
      f.write(QByteArray(64, '\x5a'));
    }
    QVERIFY(ReadAll(disk) != original);
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    LoadBackup(start, kvb);
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Saw(Tr(StringId::BackupSucces)), 20000);
    QVERIFY(ReadAll(disk) == original);
    // The window was closed for this image: the next listing does not offer it again.
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    QVERIFY(start.isVisible());
  }

  void nothingToRestoreAndAForeignFileAreTold() {
    CoreBridge bridge(ui_);
    const QByteArray before = ReadAll(image_);
    StartWindow start(bridge, ui_, {image_.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    {
      BoxAnswerer boxes;
      ChooseFromMenu(QStringLiteral("partitionFix"));
      QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("toolsButton")), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(boxes.Saw(Tr(StringId::PartFixNothingToRestore)), 10000);
    }
    // A file that is no backup: the message, and nothing written.
    const QString foreign = dir_.filePath(QStringLiteral("foreign.kvb"));
    {
      QFile f(foreign);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(QByteArray(4096, 'x'));
    }
    BoxAnswerer boxes;
    LoadBackup(start, foreign);
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Saw(Tr(StringId::BadBackupFile)), 10000);
    QVERIFY(!boxes.Saw(Tr(StringId::BackupQuestion)));
    QVERIFY(ReadAll(image_) == before);
  }

  void detailsWindowShowsTheLostEntryAndTheChangedBytes() {
    if (!Have("mkntfs") || !Have("sfdisk")) QSKIP("mkntfs and sfdisk are needed (ntfs-3g, fdisk)");
    const QString disk = dir_.filePath(QStringLiteral("details-ntfs.img"));
    QVERIFY(MakeLostNtfsDisk(disk));
    PartitionRepairJob job(ui_);
    QCOMPARE(job.Open(disk.toStdString()), SessionStatus::Ok);
    QVERIFY(job.candidates().lostPartitions >= 1);
    DriveList list;
    QString tree;
    WhenShown<FixDetailsWindow>([&](FixDetailsWindow* d) {
      for (QTreeWidgetItemIterator it(d->tree()); *it; ++it) tree += (*it)->text(0) + QLatin1Char('\n');
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
    });
    WhenShown<PartitionFixWindow>([](PartitionFixWindow* w) {
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("detailsButton")), Qt::LeftButton);
      w->reject();
    });
    PartitionFixWindow window(list, job, ui_);
    window.exec();
    QVERIFY2(tree.startsWith(Tr(StringId::FixFixDetailsOf)), qPrintable(tree));
    QVERIFY2(tree.contains(Tr(StringId::FixMissingPrmaryEntries)), qPrintable(tree));
    QVERIFY2(tree.contains(QStringLiteral("32768")), qPrintable(tree));
    // The MBR's entry bytes before and after: slot 2 goes from zeros to the entry.
    QVERIFY2(tree.contains(QStringLiteral("+ 01c0:")) || tree.contains(QStringLiteral("+ 01d0:")), qPrintable(tree));
    // The write's line names what its count is.
    QVERIFY2(tree.contains(QStringLiteral("MBR - ") + Tr(StringId::FixSectorString) + QStringLiteral(" 0, ") +
                           Tr(StringId::FixTotalSectorsString) + QStringLiteral(" 1")),
             qPrintable(tree));
  }

  void failedWriteOffersTheAutomaticBackup() {
    if (!Have("mkntfs") || !Have("sfdisk")) QSKIP("mkntfs and sfdisk are needed (ntfs-3g, fdisk)");
    const QString disk = dir_.filePath(QStringLiteral("failing-ntfs.img"));
    QVERIFY(MakeLostNtfsDisk(disk));
    const QByteArray original = ReadAll(disk);
    PartitionRepairJob job(ui_);
    auto calls = std::make_shared<int>(0);
    const std::string path = disk.toStdString();
    job.SetReopen([path, calls](bool writable, int& error) -> std::unique_ptr<BlockSource> {
      OpenResult r = OpenPosixSource(path, writable ? OpenAccess::ReadWrite : OpenAccess::ReadOnly);
      error = r.error;
      if (!r.source) return nullptr;
      return std::make_unique<kestrova::test::FailingWriter>(std::move(r.source), calls, 1);  // the MBR's write fails
    });
    QCOMPARE(job.Open(path), SessionStatus::Ok);
    DriveList list;
    BoxAnswerer boxes;  // Yes: the automatic backup goes back
    WhenShown<PartitionFixWindow>([](PartitionFixWindow* w) {
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("restoreButton")), Qt::LeftButton);
    });
    PartitionFixWindow window(list, job, ui_);
    QCOMPARE(window.exec(), int(PartitionFixWindow::Restored));  // the drive is listed again
    const QString failed = Tr(StringId::PartFixWriteFailed).section(QStringLiteral("%s"), 0, 0);
    QVERIFY2(boxes.Saw(failed), qPrintable(boxes.texts.join(QLatin1Char('|'))));
    QVERIFY2(boxes.Saw(Tr(StringId::PartFixRestoreAutoBackup)), qPrintable(boxes.texts.join(QLatin1Char('|'))));
    QVERIFY2(boxes.Saw(Tr(StringId::BackupSucces)), qPrintable(boxes.texts.join(QLatin1Char('|'))));
    QVERIFY(ReadAll(disk) == original);
  }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
