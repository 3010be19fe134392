// Pictures of the desktop program's windows for a person to look at: run
// under Xvfb, writes PNGs into KESTROVA_SCREENSHOT_DIR. Also checks what a
// picture cannot show: every window fits its texts.
#include "gui/core_bridge.h"
#include "gui/explorer_window.h"
#include "gui/old_partitions_window.h"
#include "gui/filter_window.h"
#include "gui/hex_view_window.h"
#include "gui/search_window.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "gui/read_error_dialog.h"
#include "gui/recovery_dialogs.h"
#include "gui/start_window.h"
#include "gui/texts.h"
#include "gui/tool_dialogs.h"
#include "gui/saving_image_window.h"
#include "gui/partition_search_windows.h"
#include "gui/session_windows.h"
#include "gui/partition_fix_window.h"
#include "gui/wait_windows.h"
#include "shell/app_settings.h"
#include "shell/localisation.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QMenu>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "gui_support.h"

using namespace kestrova;
using namespace kestrova::gui;

class Screenshots : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString out_;
  QString image_;
  StatusColours colours_ = DefaultColours(0);
  QtUi ui_;

  void Save(QWidget* w, const QString& name) {
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTest::qWait(100);
    const QString file = out_ + QLatin1Char('/') + name + QStringLiteral(".png");
    QVERIFY2(w->grab().save(file), qPrintable(file));
    // Buttons and labels show their whole text.
    for (QPushButton* b : w->findChildren<QPushButton*>()) {
      if (!b->isVisible()) continue;
      const int need = b->fontMetrics().horizontalAdvance(QString(b->text()).remove(QLatin1Char('&')));
      QVERIFY2(b->width() >= need, qPrintable(name + QStringLiteral(": ") + b->text()));
    }
  }

  void OpenImage(CoreBridge& bridge) {
    StartWindow start(bridge, ui_, {image_.toStdString()}, false);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
    QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
  }

  void CheckRow(ExplorerWindow& explorer, const QString& name) {
    const int row = RowOf(explorer.model(), name);
    QVERIFY2(row >= 0, qPrintable(name));
    explorer.list()->setCurrentIndex(explorer.model().index(row, 0));
    QTest::keyClick(explorer.list(), Qt::Key_Space);
  }

 private slots:
  void initTestCase() {
    if (!Have("mkfs.vfat") || !Have("mcopy")) QSKIP("mkfs.vfat and mtools are needed (dosfstools, mtools)");
    out_ = qEnvironmentVariable("KESTROVA_SCREENSHOT_DIR", QDir::currentPath() + QStringLiteral("/screenshots"));
    QVERIFY(QDir().mkpath(out_));
    image_ = dir_.filePath(QStringLiteral("fat16.img"));
    QVERIFY(MakeFatImage(image_, dir_.filePath(QStringLiteral("src"))));
  }

  void startWindow() {
    CoreBridge bridge(ui_);
    StartWindow start(bridge, ui_, {image_.toStdString()}, true);
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 30000);
    auto* list = start.findChild<QTreeWidget*>(QStringLiteral("deviceList"));
    QVERIFY(list->topLevelItemCount() > 0);
    Save(&start, QStringLiteral("start-window"));
  }

  void explorer() {
    CoreBridge bridge(ui_);
    OpenImage(bridge);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova 3.8.6.1 - fat16.img"));
    explorer.show();
    QVERIFY(explorer.model().rowCount() > 0);
    Save(&explorer, QStringLiteral("explorer-root"));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Old")));
    Save(&explorer, QStringLiteral("explorer-deleted-folder"));
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    CheckRow(explorer, QStringLiteral("photo.jpg"));
    CheckRow(explorer, QStringLiteral("keep.txt"));
    Save(&explorer, QStringLiteral("explorer-marked"));

    // The menus, opened.
    QMenu* file = explorer.menuBar()->actions().front()->menu();
    file->popup(explorer.mapToGlobal(QPoint(10, 30)));
    QVERIFY(QTest::qWaitForWindowExposed(file));
    Save(file, QStringLiteral("explorer-file-menu"));
    file->hide();

    // Properties of the focused file.
    WhenShown<QDialog>(
        [this](QDialog* d) {
          Save(d, QStringLiteral("properties"));
          d->accept();
        },
        QStringLiteral("WINDOW_PROPERTIES"));
    explorer.action(kCmdProperties)->trigger();

    // The read-error window, as the reading thread reports a bad sector.
    ReadErrorView view;
    view.visible = true;
    view.sectorLine = u"123456/15432";
    view.errorText = u"Input/output error";
    view.countLine = u"1";
    ui_.ReadErrorWindowChanged(view);
    auto* readErrors = explorer.findChild<ReadErrorDialog*>();
    QTRY_VERIFY(readErrors && readErrors->isVisible());
    Save(readErrors, QStringLiteral("read-error"));
    QTest::keyClick(readErrors, Qt::Key_Escape);
    QVERIFY(!readErrors->isVisible());

    // The destination window, then the refusal of a path on the source.
    WhenShown<SelectPathDialog>([this](SelectPathDialog* d) {
      auto* path = d->findChild<QComboBox*>(QStringLiteral("path"));
      path->lineEdit()->setText(dir_.filePath(QStringLiteral("out")));
      Save(d, QStringLiteral("select-output-path"));
      QTest::keyClick(path->lineEdit(), Qt::Key_Return);
    });
    bool savingSeen = false;
    WhenShown<PreparingDialog>([this](PreparingDialog* d) { Save(d, QStringLiteral("preparing-live")); });
    WhenShown<SavingDialog>([&savingSeen](SavingDialog*) { savingSeen = true; });
    explorer.action(kCmdRecover)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(explorer.isEnabled(), 20000);
    QVERIFY(savingSeen);
  }

  // Miniatures of real pictures (made here), one of them deleted, beside a file
  // that is no picture; every picture shows its thumbnail.
  void miniatures() {
    const QString pictures = dir_.filePath(QStringLiteral("pictures"));
    QVERIFY(QDir().mkpath(pictures));
    const struct {
      const char* name;
      QColor from, to;
    } made[] = {{"sunset.jpg", QColor(250, 140, 30), QColor(120, 20, 90)},
                {"meadow.png", QColor(90, 190, 60), QColor(20, 80, 30)},
                {"sea.png", QColor(40, 120, 220), QColor(10, 30, 90)},
                {"snow.jpg", QColor(240, 240, 250), QColor(150, 170, 200)}};
    QString copies;
    for (const auto& m : made) {
      QImage picture(320, 200, QImage::Format_RGB32);
      QPainter painter(&picture);
      QLinearGradient gradient(0, 0, 0, 200);
      gradient.setColorAt(0, m.from);
      gradient.setColorAt(1, m.to);
      painter.fillRect(picture.rect(), gradient);
      painter.setBrush(QColor(255, 255, 255, 120));
      painter.drawEllipse(QPoint(220, 70), 40, 40);
      painter.end();
      const QString file = pictures + QLatin1Char('/') + QLatin1String(m.name);
      QVERIFY(picture.save(file));
      copies += QStringLiteral(" '") + file + QLatin1Char('\'');
    }
    const QString image = dir_.filePath(QStringLiteral("pictures.img"));
    QVERIFY(Run(QStringLiteral("set -e; export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; img='%1';"
                               "truncate -s 32M \"$img\"; mkfs.vfat -F 16 -n KVPICS \"$img\" >/dev/null;"
                               "mmd -i \"$img\" ::/Photos; mcopy -i \"$img\" %2 ::/Photos/;"
                               "printf 'holiday list\\n' > '%3/notes.txt'; mcopy -i \"$img\" '%3/notes.txt' ::/Photos/;"
                               "mdel -i \"$img\" ::/Photos/sea.png")
                    .arg(image, copies, pictures)));
    CoreBridge bridge(ui_);
    {
      StartWindow start(bridge, ui_, {image.toStdString()}, false);
      start.show();
      QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
      QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
      QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
    }
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova 3.8.6.1 - pictures.img"));
    explorer.show();
    QVERIFY(explorer.GoToPath(QStringLiteral("/Photos")));
    explorer.action(kCmdMiniatures)->trigger();
    EntryModel& model = explorer.model();
    int pictureCount = 0;
    for (int r = 0; r < model.rowCount(); ++r) {
      const FolderItem& it = model.item(r);
      if (it.folder || !IsPictureName(it.name)) continue;
      ++pictureCount;
      QTRY_VERIFY2_WITH_TIMEOUT(model.HasThumbnail(it.key), qPrintable(Q(it.name)), 15000);
    }
    QCOMPARE(pictureCount, 4);  // the deleted one too
    QVERIFY(explorer.miniatures()->isVisible());
    Save(&explorer, QStringLiteral("explorer-miniatures"));
  }

  void recoveryWindows() {
    RecoveryControl control;
    PreparingDialog preparing(control, nullptr);
    RecoveryStatistics s;
    s.foldersTotal = 3;
    s.foldersDeleted = 2;
    s.filesTotal = 1250;
    s.filesDeleted = 310;
    s.filesDetected = 290;
    s.filesOverwritten = 20;
    preparing.Show(s);
    preparing.show();
    Save(&preparing, QStringLiteral("preparing-to-recovery"));

    SavingDialog saving(control, ui_, nullptr);
    saving.show();
    ui_.Status(u"/media/backup/Docs (RECOVERY)/Holiday 2024/IMG_20240712_181522.jpg");
    ui_.Progress(41, 120);
    Save(&saving, QStringLiteral("saving-data"));
  }

  // The tool windows in both languages.
  void toolDialogs() {
    DriveList list;
    DriveLister lister;
    lister.Refresh(list, ui_, {image_.toStdString()}, false, nullptr);
    QVERIFY(!list.rows.empty());
    UserRegistry registry(dir_.filePath(QStringLiteral("registry")).toStdString());
    registry.Write("tp", dir_.filePath(QStringLiteral("KVTemp/")).toStdString());
    std::optional<LoadedLanguage> german;  // loading it switches the texts: English first
    for (const QString& suffix : {QString(), QStringLiteral("-de")}) {
      if (!suffix.isEmpty()) {
        german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
        SetCurrentLanguage(&german->file);
      }
      {
        ConfigFoldersDialog folders(registry, SourceIdentity{}, ui_);
        folders.show();
        Save(&folders, QStringLiteral("configuration-folders") + suffix);
        FileSizeDialog size(QStringLiteral("deleted.bin"), 7000, 0xFFFFFFFFu, ui_);
        size.show();
        Save(&size, QStringLiteral("edit-file-size") + suffix);
        MountNtfsDialog mount(list, 0, ui_);
        mount.show();
        Save(&mount, QStringLiteral("mount-ntfs-from-sector") + suffix);
        DriveSettingsDialog settings(DriveSettings{});
        settings.show();
        Save(&settings, QStringLiteral("advanced-drive-settings") + suffix);
        for (QLabel* l : mount.findChildren<QLabel*>()) QVERIFY2(l->width() >= l->sizeHint().width(), qPrintable(l->text()));
      }
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  void browsingTools() {
    CoreBridge bridge(ui_);
    OpenImage(bridge);
    ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova 3.8.6.1 - fat16.img"));
    explorer.show();
    QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
    explorer.list()->setCurrentIndex(explorer.model().index(RowOf(explorer.model(), QStringLiteral("photo.jpg")), 0));
    explorer.action(kCmdHexView)->trigger();
    auto* hex = explorer.findChild<HexViewWindow*>(QStringLiteral("WINDOW_HEX_VIEW"));
    QVERIFY(hex);
    Save(hex, QStringLiteral("hex-view"));
    hex->close();
    explorer.action(kCmdDisplayFiles)->trigger();
    auto* filter = explorer.findChild<DisplayFilterWindow*>(QStringLiteral("WINDOW_DISPLAY_FILES"));
    QVERIFY(filter);
    Save(filter, QStringLiteral("display-files"));
    filter->close();
    SearchCriteria criteria;
    QStringList history{QStringLiteral("invoice")};
    AdvancedSearchDialog search(criteria, history, FsType::Fat16, ui_, &explorer);
    search.show();
    Save(&search, QStringLiteral("advanced-search"));
    auto* box = explorer.findChild<QLineEdit*>(QStringLiteral("search"));
    box->setText(QStringLiteral("e"));
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(explorer.windowTitle().startsWith(QStringLiteral("Search results")), 10000);
    Save(&explorer, QStringLiteral("explorer-search-results"));
  }

  void germanExplorer() {
    LoadedLanguage german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
    SetCurrentLanguage(&german.file);
    {
      CoreBridge bridge(ui_);
      StartWindow start(bridge, ui_, {image_.toStdString()}, false);
      start.show();
      QTRY_VERIFY_WITH_TIMEOUT(!start.busy(), 20000);
      Save(&start, QStringLiteral("start-window-de"));
      QTest::mouseClick(start.findChild<QPushButton*>(QStringLiteral("openButton")), Qt::LeftButton);
      QTRY_COMPARE_WITH_TIMEOUT(start.result(), int(QDialog::Accepted), 20000);
      ExplorerWindow explorer(bridge, ui_, colours_, QStringLiteral("Kestrova 3.8.6.1 - fat16.img"));
      explorer.show();
      QVERIFY(explorer.GoToPath(QStringLiteral("/Docs")));
      Save(&explorer, QStringLiteral("explorer-de"));
      RecoveryControl control;
      PreparingDialog preparing(control, nullptr);
      preparing.show();
      Save(&preparing, QStringLiteral("preparing-to-recovery-de"));
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  // "Saving image", paused part-way, in both languages.
  void savingImage() {
    const QString big = dir_.filePath(QStringLiteral("sparse-4g.img"));
    {
      QFile f(big);
      QVERIFY(f.open(QIODevice::WriteOnly));
      QVERIFY(f.resize(qint64{4} << 30));
    }
    DriveList list;
    DriveLister().Refresh(list, ui_, {big.toStdString()}, false, nullptr);
    QVERIFY(!list.rows.empty());
    std::optional<LoadedLanguage> german;
    for (const QString& suffix : {QString(), QStringLiteral("-de")}) {
      if (!suffix.isEmpty()) {
        german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
        SetCurrentLanguage(&german->file);
      }
      SavingImageWindow window(list, 0, dir_.filePath(QStringLiteral("shot.img")), ui_, nullptr);
      QTimer::singleShot(200, &window, [&, suffix] {
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("pauseButton")), Qt::LeftButton);
        QTest::qWait(100);
        Save(&window, QStringLiteral("saving-image") + suffix);
        WhenShown<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("abortButton")), Qt::LeftButton);
      });
      window.exec();
      QCOMPARE(window.result().status, ImageStatus::Aborted);
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  // The partition search's three windows, in English and German.
  void partitionSearchWindows() {
    std::optional<LoadedLanguage> german;
    for (const QString& suffix : {QString(), QStringLiteral("-de")}) {
      if (!suffix.isEmpty()) {
        german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
        SetCurrentLanguage(&german->file);
      }
      {
        ScanModeWindow mode(131072);
        mode.show();
        Save(&mode, QStringLiteral("physical-drive-scan") + suffix);
        PartitionFinder finder(ui_);
        QCOMPARE(finder.Open(image_.toStdString()), SessionStatus::Ok);
        QVERIFY(finder.Start(SearchMode::Deep, 0));
        finder.Wait();
        PartitionSearchWindow progress(finder, ui_);
        progress.show();
        QTest::qWait(100);
        Save(&progress, QStringLiteral("searching-for-partitions") + suffix);
        PartitionResultsWindow results(finder, u"HDD0: fat16.img (32.00 MB)");
        results.show();
        Save(&results, QStringLiteral("partition-search-results") + suffix);
      }
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  // The scan's preliminary pass and the old partitions it found, in English and German.
  void oldPartitionWindows() {
    ScanSnapshot probing;
    probing.state = ScanState::Running;
    probing.probing = true;
    probing.probeDone = 40960;
    probing.probeTotal = 131072;
    std::vector<DriveEntry> found(2, MakeDriveEntry());
    SetEntryFsName(found[0], u"NTFS");
    SetEntryLabel(found[0], u"OLDNTFS");
    found[0].start = 24640;
    found[0].sectors = 16383;
    SetEntryFsName(found[1], u"NTFS");
    found[1].start = 1953523712;
    found[1].sectors = 976771119;
    found[1].damagedResult = 1;
    std::optional<LoadedLanguage> german;
    for (const QString& suffix : {QString(), QStringLiteral("-de")}) {
      if (!suffix.isEmpty()) {
        german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
        SetCurrentLanguage(&german->file);
      }
      PreliminaryScanWindow pass(nullptr);
      pass.Update(probing, 1);
      pass.show();
      Save(&pass, QStringLiteral("preliminary-scan") + suffix);
      QCOMPARE(pass.windowTitle(), suffix.isEmpty() ? QStringLiteral("Preliminary scan of free region")
                                                    : QStringLiteral("Vorläufiger Scan des freien Bereichs"));
      OldPartitionsWindow list(nullptr);
      list.SetFound(found);
      list.show();
      Save(&list, QStringLiteral("old-partitions") + suffix);
      OldPartitionsWindow none(nullptr);
      none.show();
      Save(&none, QStringLiteral("old-partitions-none") + suffix);
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  // CHOOSEDISKDLG and the session's progress window, in English and German.
  void sessionWindows() {
    std::optional<LoadedLanguage> german;
    for (const QString& suffix : {QString(), QStringLiteral("-de")}) {
      if (!suffix.isEmpty()) {
        german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
        SetCurrentLanguage(&german->file);
      }
      {
        ChooseDiskWindow choose({QStringLiteral("Samsung SSD 870 (/dev/sda)"), QStringLiteral("/srv/images/usb-stick.img")},
                                0, true, nullptr);
        choose.show();
        Save(&choose, QStringLiteral("choose-disk") + suffix);
        // The grab leaves the title bar out.
        QCOMPARE(choose.windowTitle(), suffix.isEmpty() ? QStringLiteral("Please select dedicated disk")
                                                        : QStringLiteral("Bitte das zugehörige Laufwerk wählen"));
      }
      SessionProgressWindow progress(SessionProgressWindow::Kind::Saving, QStringLiteral("/srv/sessions/usb-stick.kvs"),
                                     ui_, nullptr);
      QCOMPARE(progress.windowTitle(), suffix.isEmpty() ? QStringLiteral("Saving usb-stick.kvs")
                                                        : QStringLiteral("usb-stick.kvs wird gespeichert"));
      progress.Run([&] {
        ui_.Status(Text(StringId::SessionActionSavingRaw));
        QMetaObject::invokeMethod(
            &progress, [&] { Save(&progress, QStringLiteral("session-progress") + suffix); },
            Qt::BlockingQueuedConnection);
      });
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }

  // The quick partition restore and its details over a disk that lost its
  // second NTFS partition, in English and German.
  void partitionFixWindows() {
    if (!Have("mkntfs") || !Have("sfdisk")) QSKIP("mkntfs and sfdisk are needed (ntfs-3g, fdisk)");
    const QString disk = dir_.filePath(QStringLiteral("lost-ntfs.img"));
    QVERIFY(MakeLostNtfsDisk(disk));
    PartitionRepairJob job(ui_);
    QCOMPARE(job.Open(disk.toStdString()), SessionStatus::Ok);
    DriveList list;
    std::optional<LoadedLanguage> german;
    for (const QString& suffix : {QString(), QStringLiteral("-de")}) {
      if (!suffix.isEmpty()) {
        german = LoadLanguage(std::string(KESTROVA_LANGUAGE_DIR) + "/", u"German");
        SetCurrentLanguage(&german->file);
      }
      PartitionFixWindow window(list, job, ui_);
      window.show();
      Save(&window, QStringLiteral("partition-fix") + suffix);
      WhenShown<FixDetailsWindow>([this, suffix](FixDetailsWindow* d) {
        Save(d, QStringLiteral("partition-fix-details") + suffix);
        d->accept();
      });
      QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("detailsButton")), Qt::LeftButton);
    }
    SetCurrentLanguage(nullptr);
    ResetTexts();
  }
};

QTEST_MAIN(Screenshots)
#include "gui_screenshots.moc"
