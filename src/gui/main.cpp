// The desktop program: start window, explorer, back to the start window,
// until the user closes the start window. It takes no command-line options.
#include "gui/core_bridge.h"
#include "common/worker_thread.h"
#include "gui/explorer_window.h"
#include "gui/localise.h"
#include "gui/qt_ui.h"
#include "gui/sleep_inhibitor.h"
#include "gui/start_window.h"
#include "gui/texts.h"
#include "gui/update_checker.h"
#include "gui/wait_windows.h"
#include "shell/startup.h"

#include <QApplication>
#include <QEventLoop>
#include <QIcon>
#include <QPalette>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

using namespace kestrova;
using namespace kestrova::gui;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kestrova"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kestrova")));

  const QColor text = app.palette().color(QPalette::WindowText);
  const auto windowText = static_cast<std::uint32_t>(text.red() | text.green() << 8 | text.blue() << 16);
  UserRegistry registry(UserRegistry::DefaultPath());
  ShellState shell = StartShell(ExecutableFolder(), registry, windowText);
  SetCurrentLanguage(&shell.language.file);

  const SleepInhibitor awake;  // for the whole run
  QtUi ui;
  // Asynchronous: the start window shows at once; a user who accepts a new
  // version is sent to its page and the program ends.
  UpdateChecker update(ui);
  QObject::connect(&update, &UpdateChecker::finished, &update, [&update] {
    if (update.quitRequested()) QApplication::closeAllWindows();
  });
  update.Start(Q(shell.settings.updateHost));
  std::vector<std::string> images;
  QString pendingSession;  // a session the explorer's Ctrl+L chose on another volume
  std::optional<VolumeToOpen> pendingVolume;  // an old partition chosen in the explorer
  for (;;) {
    auto bridge = std::make_unique<CoreBridge>(ui);
    int chosen = 0;
    {
      StartWindow start(*bridge, ui, images, true);
      ui.setOwner(&start);
      start.QueueSessionFile(std::exchange(pendingSession, QString()));
      start.QueueVolume(std::exchange(pendingVolume, std::nullopt));
      chosen = start.exec();
      images = start.images();
      ui.setOwner(nullptr);
    }
    if (chosen != QDialog::Accepted || update.quitRequested()) break;
    {
      const QString title = Q(shell.title) + QStringLiteral(" - ") +
                            QString::fromStdString(std::filesystem::path(bridge->sourcePath()).filename().string());
      const LanguageHost language{shell.folders.language, &shell.language, &shell.settings.language};
      ExplorerWindow explorer(*bridge, ui, shell.settings.colours, title, &language);
      explorer.SetColourSettings({shell.folders.SettingsFile(), &shell.settings.colours});
      ui.setOwner(&explorer);
      QEventLoop loop;
      QObject::connect(&explorer, &ExplorerWindow::closed, &loop, &QEventLoop::quit);
      explorer.show();
      loop.exec();
      ui.setOwner(nullptr);
      pendingSession = explorer.pendingSession();
      pendingVolume = explorer.pendingVolume();
    }
    // The volume's data is released on a thread behind a wait window.
    WaitWindow wait(nullptr);
    wait.show();
    std::atomic<bool> released{false};
    WorkerToken releaseToken;
    WorkerThread release(releaseToken, [&](WorkerToken&) {
      bridge.reset();
      released = true;
    });
    while (!released) {
      QApplication::processEvents(QEventLoop::AllEvents, 50);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    release.Join();
    if (update.quitRequested()) break;
  }
  FinishShell(shell);
  return 0;
}
