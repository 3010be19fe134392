// Shared by the desktop program's tests: answering windows from a timer, and
// a FAT image with deleted files made with mkfs.vfat and mtools.
#pragma once

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "gui/entry_model.h"

#include <functional>

namespace {

// Runs `action` once a visible top-level widget of type T (and name, when
// given) shows up: modal dialogs and pop-ups run their own event loops, so
// the test answers them from a timer as a user would.
template <typename T>
void WhenShown(std::function<void(T*)> action, const QString& name = {}, int timeoutMs = 15000) {
  auto* timer = new QTimer;
  auto* waited = new int(0);
  QObject::connect(timer, &QTimer::timeout, [timer, waited, action, name, timeoutMs] {
    *waited += 10;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      T* t = qobject_cast<T*>(w);
      if (!t || !t->isVisible() || (!name.isEmpty() && t->objectName() != name)) continue;
      timer->stop();
      timer->deleteLater();
      delete waited;
      action(t);
      return;
    }
    if (*waited > timeoutMs) {
      timer->stop();
      timer->deleteLater();
      delete waited;
      qWarning("expected window did not show up");
    }
  });
  timer->start(10);
}

inline bool Have(const char* tool) {
  return !QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty() ||
         !QStandardPaths::findExecutable(QLatin1String(tool), {"/sbin", "/usr/sbin"}).isEmpty();
}

inline bool Run(const QString& script) {
  QProcess p;
  p.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), script});
  p.waitForFinished(60000);
  if (p.exitCode() != 0) qWarning("%s", p.readAllStandardError().constData());
  return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline int RowOf(const kestrova::gui::EntryModel& model, const QString& name) {
  for (int r = 0; r < model.rowCount(); ++r)
    if (model.data(model.index(r, 0), Qt::DisplayRole).toString() == name) return r;
  return -1;
}

// A 32 MiB FAT16 image "KVGUI": /Docs with keep.txt, photo.jpg and a deleted
// deleted.bin; /Old (deleted) with keep.txt and Deep/inner.bin. The sources
// are kept in `src` for comparison.
inline bool MakeFatImage(const QString& image, const QString& src) {
  return Run(QStringLiteral(
             "set -e; export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; img='%1'; s='%2'; mkdir -p \"$s\";"
             "truncate -s 32M \"$img\"; mkfs.vfat -F 16 -n KVGUI \"$img\" >/dev/null;"
             "printf 'kept\\n' > \"$s/keep.txt\"; head -c 200000 /dev/urandom > \"$s/photo.jpg\";"
             "head -c 7000 /dev/urandom > \"$s/deleted.bin\"; head -c 5000 /dev/urandom > \"$s/inner.bin\";"
             "mmd -i \"$img\" ::/Docs ::/Old ::/Old/Deep;"
             "mcopy -i \"$img\" \"$s/keep.txt\" \"$s/photo.jpg\" \"$s/deleted.bin\" ::/Docs/;"
             "mcopy -i \"$img\" \"$s/inner.bin\" ::/Old/Deep/; mcopy -i \"$img\" \"$s/keep.txt\" ::/Old/;"
             "mdel -i \"$img\" ::/Docs/deleted.bin; mdeltree -i \"$img\" ::/Old")
                 .arg(image, src));
}

// A 64 MiB disk with two NTFS volumes (VOL1 at 2048, VOL2 at 32768, 30720
// sectors each, serials of their own) whose MBR lost the second entry.
inline bool MakeLostNtfsDisk(const QString& image) {
  return Run(QStringLiteral(
                 "set -e; export PATH=$PATH:/sbin:/usr/sbin; img='%1'; truncate -s 64M \"$img\";"
                 "printf 'label: dos\\nstart=2048, size=30720, type=7\\nstart=32768, size=30720, type=7\\n'"
                 " | sfdisk -q \"$img\";"
                 "for s in 2048 32768; do p=\"$img.$s\"; truncate -s 15M \"$p\";"
                 " mkntfs -F -Q -q -L VOL$([ $s = 2048 ] && echo 1 || echo 2) -p $s -H 255 -S 63 -s 512 \"$p\" 2>/dev/null;"
                 // Two runs in one second give both volumes one serial: a clone, which the walk skips.
                 " ntfslabel --new-serial \"$p\" >/dev/null 2>&1;"
                 " dd if=\"$p\" of=\"$img\" bs=512 seek=$s conv=notrunc status=none; rm -f \"$p\"; done;"
                 "dd if=/dev/zero of=\"$img\" bs=1 seek=462 count=16 conv=notrunc status=none")
                 .arg(image));
}

}  // namespace
