// Scan sessions through the windows, as a user works with them: Ctrl+S while
// a scan runs and while it is paused, the session loaded from the start
// window with its scan continuing, a moved image found again through
// CHOOSEDISKDLG, and damaged files refused while the results shown stay.
#include "common/text.h"
#include "gui/core_bridge.h"
#include "gui/explorer_window.h"
#include "gui/qt_ui.h"
#include "gui/session_windows.h"
#include "gui/start_window.h"
#include "gui/texts.h"
#include "session/session_file.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace kestrova;
using namespace kestrova::gui;

#include "gui_support.h"

namespace {

// Everything the explorer can show of a volume's results, folder by folder:
// path, size, kind and status of each item, sorted.
QStringList Results(CoreBridge& bridge) {
  QStringList out;
  std::function<void(EntryHandle, const QString&, int)> walk = [&](EntryHandle h, const QString& path, int depth) {
    for (const FolderItem& it : bridge.List(h)) {
      const EntryKind kind = it.entry.Kind();
      if (it.dotEntry || kind == EntryKind::ParentLink || kind == EntryKind::VirtualParentLink) continue;
      const QString p = path + QLatin1Char('/') + Q(it.name);
      out << QStringLiteral("%1|%2|%3|%4")
                 .arg(p)
                 .arg(static_cast<qulonglong>(it.entry.size))
                 .arg(static_cast<int>(kind))
                 .arg(static_cast<int>(it.colour));
      if (it.folder && depth < 12) walk(bridge.FolderHandle(it.entry), p, depth + 1);
    }
  };
  walk(bridge.RootHandle(), {}, 0);
  out.sort();
  return out;
}

QString Canonical(const QString& path) { return QFileInfo(path).canonicalFilePath(); }

// Types `file` into the next file dialog of that name and accepts it.
void AnswerFileDialog(const QString& file, const QString& name) {
  WhenShown<QFileDialog>(
      [file](QFileDialog* d) {
        auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(edit);
        edit->setText(file);
        QTest::keyClick(edit, Qt::Key_Return);
      },
      name);
}

}  // namespace

class SessionGuiTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString image_;
  StatusColours colours_ = DefaultColours(0);
  QtUi ui_;

  void OpenImage(CoreBridge& bridge, const QString& image) {
    StartWindow start(bridge, ui_, {image.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
  }

  // The explorer takes keys again after a dialog or a box has closed.
  static void Activate(ExplorerWindow& explorer) {
    explorer.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
  }

  // Ctrl+S with `file` typed into the save dialog.
  static void SaveWithCtrlS(ExplorerWindow& explorer, const QString& file) {
    Activate(explorer);
    AnswerFileDialog(file, QStringLiteral("saveSessionDialog"));
    QTest::keyClick(explorer.list(), Qt::Key_S, Qt::ControlModifier);
  }

  // Ctrl+L with `file` typed into the open dialog.
  static void LoadWithCtrlL(ExplorerWindow& explorer, const QString& file) {
    Activate(explorer);
    AnswerFileDialog(file, QStringLiteral("sessionDialog"));
    QTest::keyClick(explorer.list(), Qt::Key_L, Qt::ControlModifier);
  }

  // "&Load" > "&Session" on the start window with `file` chosen.
  static void LoadFromStartWindow(StartWindow& start, const QString& file) {
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    WhenShown<QMenu>([](QMenu* menu) {
      for (QAction* a : menu->actions())
        if (a->objectName() == QStringLiteral("loadSession")) menu->setActiveAction(a);
      QTest::keyClick(menu, Qt::Key_Return);
    });
    AnswerFileDialog(file, QStringLiteral("sessionDialog"));
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("loadButton")), Qt::LeftButton);
  }

  // The scan of a whole explorer run to its end (the end question answered No).
  static void ScanToTheEnd(ExplorerWindow& explorer) {
    WhenShown<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
    if (explorer.scan().idle()) QTest::keyClick(explorer.list(), Qt::Key_F10);
    QTRY_VERIFY_WITH_TIMEOUT(explorer.scan().idle(), 180000);
    QVERIFY(explorer.scan().complete());
  }

 private slots:
  void initTestCase() {
    if (!Have("mkfs.vfat") || !Have("mcopy")) QSKIP("mkfs.vfat and mtools are needed (dosfstools, mtools)");
    // Every block of a scan is slowed down, so that a scan of a small image
    // runs long enough to be saved part way.
    qputenv("KESTROVA_TEST_SCAN_DELAY_MS", "150");
    QVERIFY(dir_.isValid());
    image_ = dir_.filePath(QStringLiteral("session.img"));
    QVERIFY(MakeFatImage(image_, dir_.filePath(QStringLiteral("src"))));
    // A deleted picture for the RAW scan to find.
    const QString png = dir_.filePath(QStringLiteral("noise.png"));
    QImage noise(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y)
      for (int x = 0; x < noise.width(); ++x)
        noise.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, (x * y) % 256, (x * 31 + y * 3) % 256));
    QVERIFY(noise.save(png, "PNG"));
    QVERIFY(Run(QStringLiteral("set -e; export MTOOLS_SKIP_CHECK=1; mcopy -i '%1' '%2' ::/noise.png;"
                               "mdel -i '%1' ::/noise.png")
                    .arg(image_, png)));
    ui_.setOwner(nullptr);
  }

  // Saved while the scan runs (it goes on) and while it is paused (it stays
  // paused); the paused session, loaded from the start window, shows the
  // same results, continues paused, and let go ends as one whole scan does.
  void savedMidScanLoadsFromTheStartWindowWithTheSameResults() {
    const QString running = dir_.filePath(QStringLiteral("running"));  // ".kvs" is added
    const QString paused = dir_.filePath(QStringLiteral("paused.kvs"));
    QStringList atPause;
    {
      CoreBridge bridge(ui_);
      OpenImage(bridge, image_);
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - session.img"));
      explorer.show();
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      QAction* f10 = explorer.action(kCmdPauseScan);
      QVERIFY(explorer.action(kCmdSaveSession)->isEnabled());
      QVERIFY(explorer.action(kCmdLoadSession)->isEnabled());
      QStringList stages;
      QObject watch;  // the connection ends with this test, however it ends
      connect(&ui_, &QtUi::statusChanged, &watch, [&stages](const QString& t) { stages << t; });
      QTest::keyClick(explorer.list(), Qt::Key_F10);
      QVERIFY(!explorer.scan().idle());
      QTest::qWait(300);

      SaveWithCtrlS(explorer, running);
      QTRY_VERIFY(QFileInfo::exists(running + QStringLiteral(".kvs")));
      QVERIFY2(!explorer.scan().idle(), "the scan ended before it could be saved part way: raise the delay");
      QVERIFY(stages.contains(Tr(StringId::SessionActionSuspendingScan)));
      QVERIFY(stages.contains(Tr(StringId::SessionActionFinalizing)));
      // The save paused the scan for its time only.
      QVERIFY(!explorer.scan().paused());
      QCOMPARE(f10->text(), Tr(StringId::MenuPauseScan));
      QTest::qWait(200);

      Activate(explorer);
      QTest::keyClick(explorer.list(), Qt::Key_F10);
      QVERIFY(explorer.scan().paused());
      QTest::qWait(300);  // the worker parks at its next block
      atPause = Results(bridge);
      stages.clear();
      SaveWithCtrlS(explorer, paused);
      QTRY_VERIFY(QFileInfo::exists(paused));
      QVERIFY(!stages.contains(Tr(StringId::SessionActionSuspendingScan)));  // nothing to suspend
      QVERIFY(explorer.scan().paused());
      QCOMPARE(f10->text(), Tr(StringId::MenuResumeScan));
      QCOMPARE(Results(bridge), atPause);
      explorer.close();
    }
    QVERIFY(atPause.size() > 5);

    CoreBridge bridge(ui_);
    {
      StartWindow start(bridge, ui_, {}, false);
      start.show();
      LoadFromStartWindow(start, paused);
      QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 30000);
    }
    QCOMPARE(Canonical(QString::fromStdString(bridge.sourcePath())), Canonical(image_));
    QCOMPARE(Results(bridge), atPause);
    QStringList resumed;
    {
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - session.img"));
      explorer.show();
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      // The unfinished scan is back, paused as it was saved.
      QVERIFY(!explorer.scan().idle());
      QVERIFY(explorer.scan().paused());
      QCOMPARE(explorer.action(kCmdPauseScan)->text(), Tr(StringId::MenuResumeScan));
      QVERIFY(explorer.action(kCmdStopCurrentScan)->isEnabled());
      WhenShown<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
      QTest::keyClick(explorer.list(), Qt::Key_F10);
      QVERIFY(!explorer.scan().paused());
      QTRY_VERIFY_WITH_TIMEOUT(explorer.scan().idle(), 180000);
      QVERIFY(explorer.scan().complete());
      resumed = Results(bridge);
    }

    CoreBridge whole(ui_);
    OpenImage(whole, image_);
    ExplorerWindow explorer(whole, ui_, colours_, QStringLiteral("Kestrova - session.img"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    ScanToTheEnd(explorer);
    QCOMPARE(resumed, Results(whole));
  }

  // The session's image has moved: the drive check says which disk is
  // missing, and CHOOSEDISKDLG's Browse finds the image in its new place.
  void movedImageIsPickedInChooseDisk() {
    const QString moved = dir_.filePath(QStringLiteral("moved.img"));
    QVERIFY(QFile::copy(image_, moved));
    const QString file = dir_.filePath(QStringLiteral("moved.kvs"));
    const QString missing = Canonical(moved);
    QStringList expected;
    {
      CoreBridge bridge(ui_);
      OpenImage(bridge, moved);
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - moved.img"));
      explorer.show();
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      ScanToTheEnd(explorer);
      explorer.activateWindow();  // back from the end question
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      // A favourite travels with the session.
      QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
      QTest::keyClick(explorer.list(), Qt::Key_D, Qt::ControlModifier);
      SaveWithCtrlS(explorer, file);
      QTRY_VERIFY(QFileInfo::exists(file));
      expected = Results(bridge);
    }
    const QString elsewhere = dir_.filePath(QStringLiteral("elsewhere.img"));
    QVERIFY(QFile::rename(moved, elsewhere));

    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    QString message;
    WhenShown<QMessageBox>([&message](QMessageBox* box) {
      message = box->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
    bool browsed = false;
    WhenShown<ChooseDiskWindow>([&](ChooseDiskWindow* w) {
      QCOMPARE(w->windowTitle(), Tr(StringId::PleaseSelectDedicatedDisk));
      AnswerFileDialog(elsewhere, QStringLiteral("imageDialog"));
      browsed = true;
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("browse")), Qt::LeftButton);
    });
    LoadFromStartWindow(start, file);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 30000);
    QVERIFY(browsed);
    QVERIFY2(message.startsWith(Tr(StringId::CantFindValidDriveForThisSession)), qPrintable(message));
    QVERIFY2(message.endsWith(QLatin1Char(' ') + missing), qPrintable(message));
    QCOMPARE(QString::fromStdString(bridge.sourcePath()), elsewhere);
    QCOMPARE(Results(bridge), expected);
    // A finished scan is not started again.
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - elsewhere.img"));
    QVERIFY(explorer.scan().idle());
    QVERIFY(explorer.scan().complete());
    QStringList menuTexts;
    for (QAction* top : explorer.menuBar()->actions())
      if (top->menu())
        for (QAction* a : top->menu()->actions()) menuTexts << a->text();
    QVERIFY2(menuTexts.contains(QStringLiteral("&1  /Docs")), qPrintable(menuTexts.join(QLatin1Char('|'))));
    // And it opens in the folder shown at the save.
    QCOMPARE(explorer.currentPath(), QStringLiteral("/Docs"));
  }

  // Cancelling CHOOSEDISKDLG leaves the start window as it was.
  void cancelledDiskChoiceLoadsNothing() {
    const QString file = dir_.filePath(QStringLiteral("moved.kvs"));
    if (!QFileInfo::exists(file)) QSKIP("needs the session of movedImageIsPickedInChooseDisk");
    QFile::rename(dir_.filePath(QStringLiteral("elsewhere.img")), dir_.filePath(QStringLiteral("gone.img")));
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.show();
    WhenShown<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
    bool offered = false;
    WhenShown<ChooseDiskWindow>([&offered](ChooseDiskWindow* w) {
      offered = true;
      QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("cancel")), Qt::LeftButton);
    });
    LoadFromStartWindow(start, file);
    QTRY_VERIFY_WITH_TIMEOUT(offered, 15000);
    QTest::qWait(200);
    QVERIFY(start.isVisible());
    QCOMPARE(start.result(), 0);
    QVERIFY(!bridge.mounted());
    QFile::rename(dir_.filePath(QStringLiteral("gone.img")), dir_.filePath(QStringLiteral("elsewhere.img")));
  }

  // The Ui's drive choice from a worker: the offered drive preselected, the
  // user's pick returned; Cancel gives -1.
  void chooseDiskAnswersTheCoreFromAWorker() {
    for (const bool cancel : {false, true}) {
      int preselected = -2;
      WhenShown<ChooseDiskWindow>([&preselected, cancel](ChooseDiskWindow* w) {
        auto* list = w->findChild<QListWidget*>(QStringLiteral("drives"));
        preselected = list->currentRow();
        QVERIFY(!w->findChild<QPushButton*>(QStringLiteral("browse")));
        if (cancel) {
          QTest::keyClick(w, Qt::Key_Escape);
          return;
        }
        list->setCurrentRow(0);
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("ok")), Qt::LeftButton);
      });
      std::atomic<int> chosen{-2};
      std::thread worker([&] { chosen = ui_.ChooseDisk({u"Disk A (/dev/sda)", u"Disk B (/dev/sdb)"}, 1); });
      QTRY_VERIFY_WITH_TIMEOUT(chosen != -2, 15000);
      worker.join();
      QCOMPARE(preselected, 1);
      QCOMPARE(chosen.load(), cancel ? -1 : 0);
    }
  }

  // Files that are no session, or whose blocks do not read back, are refused
  // with the message; the explorer stays on the results it shows.
  void damagedSessionsAreRefusedAndTheResultsStay() {
    const QString other = dir_.filePath(QStringLiteral("other.img"));
    QVERIFY(QFile::copy(image_, other));
    const QString otherSession = dir_.filePath(QStringLiteral("other.kvs"));
    {
      CoreBridge bridge(ui_);
      OpenImage(bridge, other);
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - other.img"));
      explorer.show();
      QVERIFY(QTest::qWaitForWindowActive(&explorer));
      SaveWithCtrlS(explorer, otherSession);
      QTRY_VERIFY(QFileInfo::exists(otherSession));
    }
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - session.img"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    ScanToTheEnd(explorer);
    explorer.activateWindow();  // back from the end question
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    const QString good = dir_.filePath(QStringLiteral("good.kvs"));
    SaveWithCtrlS(explorer, good);
    QTRY_VERIFY(QFileInfo::exists(good));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    const QStringList before = Results(bridge);
    const int rows = explorer.model().rowCount();
    const int treeFolders = explorer.tree()->topLevelItem(0)->childCount();
    QVERIFY(treeFolders > 0);

    // A block reference that promises more than its block holds.
    auto lying = [this](const QString& from, const QString& name) {
      QByteArray bytes = ReadAll(from);
      const qsizetype trailer = bytes.size() - 0x15C578;
      const qsizetype rawSize = trailer + 0x94 + 4;  // "HISTORY_MAIN": its raw size
      bytes[rawSize] = char(0xF0);
      bytes[rawSize + 1] = char(0xFF);
      bytes[rawSize + 2] = char(0xFF);
      bytes[rawSize + 3] = char(0x7F);
      QFile f(dir_.filePath(name));
      f.open(QIODevice::WriteOnly);
      f.write(bytes);
      return f.fileName();
    };
    const QByteArray whole = ReadAll(good);
    QFile garbage(dir_.filePath(QStringLiteral("garbage.kvs")));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    QFile shortFile(dir_.filePath(QStringLiteral("short.kvs")));
    QVERIFY(shortFile.open(QIODevice::WriteOnly));
    shortFile.write(whole.left(whole.size() - 1000));
    shortFile.close();
    QFile partitionGarbage(dir_.filePath(QStringLiteral("garbage.kvsp")));
    QVERIFY(partitionGarbage.open(QIODevice::WriteOnly));
    partitionGarbage.write(QByteArray(512, 'x'));
    partitionGarbage.close();
    const QString cases[] = {garbage.fileName(), shortFile.fileName(), partitionGarbage.fileName(),
                             lying(good, QStringLiteral("lying.kvs")),
                             lying(otherSession, QStringLiteral("other-lying.kvs"))};
    for (const QString& bad : cases) {
      QString message;
      WhenShown<QMessageBox>([&message](QMessageBox* box) {
        message = box->text();
        QTest::keyClick(box, Qt::Key_Return);
      });
      LoadWithCtrlL(explorer, bad);
      QTRY_VERIFY2_WITH_TIMEOUT(!message.isEmpty(), qPrintable(bad), 15000);
      QCOMPARE(message, Tr(bad.endsWith(QStringLiteral(".kvsp")) ? StringId::PartSessionDamaged
                                                                 : StringId::SessionFileErr));
      QVERIFY(explorer.isVisible());
      QVERIFY(explorer.pendingSession().isEmpty());
      QCOMPARE(explorer.currentPath(), QStringLiteral("/Docs"));
      QCOMPARE(explorer.model().rowCount(), rows);
      QCOMPARE(Results(bridge), before);
    }

    // The good one of this volume is read into it: the explorer starts at the root.
    LoadWithCtrlL(explorer, good);
    QTRY_COMPARE_WITH_TIMEOUT(explorer.currentPath(), QStringLiteral("/"), 15000);
    QVERIFY(explorer.isVisible());
    QCOMPARE(explorer.tree()->topLevelItemCount(), 1);
    QCOMPARE(explorer.tree()->topLevelItem(0)->childCount(), treeFolders);
    QCOMPARE(Results(bridge), before);
    QVERIFY(explorer.scan().idle());

    // A good one of another volume closes the explorer for the start window.
    LoadWithCtrlL(explorer, otherSession);
    QTRY_VERIFY_WITH_TIMEOUT(!explorer.isVisible(), 15000);
    QCOMPARE(explorer.pendingSession(), otherSession);
  }

  // "Scan finished! Do you want to save results?" answered Yes asks for the session file.
  void yesAtTheScansEndSavesTheSession() {
    CoreBridge bridge(ui_);
    OpenImage(bridge, image_);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova - session.img"));
    explorer.show();
    QVERIFY(QTest::qWaitForWindowActive(&explorer));
    const QString file = dir_.filePath(QStringLiteral("at-end.kvs"));
    QString question;
    WhenShown<QMessageBox>(
        [&question, file](QMessageBox* box) {
          question = box->text();
          AnswerFileDialog(file, QStringLiteral("saveSessionDialog"));
          QTest::keyClick(box, Qt::Key_Return);  // Yes
        },
        {}, 180000);
    QTest::keyClick(explorer.list(), Qt::Key_F10);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(file), 180000);
    QCOMPARE(question, Tr(StringId::SaveSessionPrompt));
    QVERIFY(explorer.scan().idle());
    // The saved session is of a finished scan.
    auto trailer = std::make_unique<session::SessionTrailer>();
    QVERIFY(session::ReadSessionTrailer(file.toStdString(), *trailer).ok());
    QVERIFY(trailer->scanComplete != 0);
  }

  // Ctrl+L loads in place only a session of the volume mounted the same way:
  // one saved from a plain mount is another volume's for a damaged-mode mount.
  void aSessionOfAnotherMountIsNotLoadedInPlace() {
    const QString file = dir_.filePath(QStringLiteral("at-end.kvs"));
    if (!QFileInfo::exists(file)) QSKIP("needs the session of yesAtTheScansEndSavesTheSession");
    const std::uint64_t sectors = static_cast<std::uint64_t>(QFileInfo(image_).size()) / 512;
    struct Case {
      const char* what;
      DriveSettings settings;
      bool inPlace;
    };
    DriveSettings damaged;
    damaged.damaged = true;
    DriveSettings forced;
    forced.overrideFs = true;
    forced.fsChoice = 0;  // FAT16, as it is
    DriveSettings noRaw;
    noRaw.rawAnalyze = 1;
    for (const Case& c : {Case{"as saved", DriveSettings{}, true}, Case{"damaged mode", damaged, false},
                          Case{"forced file system", forced, false}, Case{"no RAW analysis", noRaw, false}}) {
      SilentUi quiet;  // a damaged-mode mount may say so; nobody answers here
      CoreBridge bridge(quiet);
      QVERIFY2(bridge.OpenFound(image_.toStdString(), 0, sectors, c.settings).ok, c.what);
      QVERIFY2(bridge.SessionIsOfMountedVolume(file.toStdString()) == c.inPlace, c.what);
    }
  }

  // The start window opens a session handed over by the explorer once its list is read.
  void queuedSessionOpensOnTheStartWindow() {
    const QString otherSession = dir_.filePath(QStringLiteral("other.kvs"));
    if (!QFileInfo::exists(otherSession)) QSKIP("needs the session of damagedSessionsAreRefusedAndTheResultsStay");
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {}, false);
    start.QueueSessionFile(otherSession);
    start.show();
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 30000);
    QCOMPARE(Canonical(QString::fromStdString(bridge.sourcePath())), Canonical(dir_.filePath(QStringLiteral("other.img"))));
  }

  // The progress window's title names the file; its bar follows the stages.
  void progressWindowTitleAndStages() {
    SessionProgressWindow saving(SessionProgressWindow::Kind::Saving, QStringLiteral("/tmp/a.kvs"), ui_, nullptr);
    QCOMPARE(saving.windowTitle(), QStringLiteral("Saving a.kvs"));
    SessionProgressWindow loading(SessionProgressWindow::Kind::Loading, QStringLiteral("/tmp/b.kvs"), ui_, nullptr);
    QCOMPARE(loading.windowTitle(), QStringLiteral("Loading b.kvs"));
    int seen = -1;
    bool rising = true;
    loading.Run([&] {
      for (StringId id : {StringId::SessionActionInitializing, StringId::SessionActionLoadingLost,
                          StringId::SessionActionLoadingRawStrings, StringId::SessionActionFinalizing}) {
        ui_.Status(Text(id));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        QMetaObject::invokeMethod(
            &loading,
            [&] {
              rising = rising && loading.percent() > seen;
              seen = loading.percent();
            },
            Qt::BlockingQueuedConnection);
      }
    });
    QVERIFY(rising);
    QVERIFY(seen > 80 && seen < 100);
    QCOMPARE(loading.action(), Tr(StringId::SessionActionFinalizing));
    QCOMPARE(loading.percent(), 100);
  }
};

QTEST_MAIN(SessionGuiTest)
#include "session_gui_test.moc"
