#include "gui/qt_ui.h"

#include "gui/session_windows.h"
#include "gui/texts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

namespace kestrova::gui {

QtUi::QtUi(QObject* parent) : QObject(parent) { qRegisterMetaType<kestrova::ReadErrorView>(); }

MsgChoice QtUi::Show(const QString& text, const QString& caption, MsgIcon icon, MsgButtons buttons) {
  QMessageBox box(owner_ ? owner_ : QApplication::activeWindow());
  box.setWindowTitle(caption.isEmpty() ? Tr(StringId::Caption) : caption);
  box.setText(text);
  switch (icon) {
    case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MsgIcon::None: break;
  }
  struct Choice {
    QMessageBox::StandardButton button;
    StringId text;
    MsgChoice choice;
  };
  std::vector<Choice> choices;
  switch (buttons) {
    case MsgButtons::Ok: choices = {{QMessageBox::Ok, StringId::ButtonOk, MsgChoice::Ok}}; break;
    case MsgButtons::OkCancel:
      choices = {{QMessageBox::Ok, StringId::ButtonOk, MsgChoice::Ok},
                 {QMessageBox::Cancel, StringId::ButtonCancel, MsgChoice::Cancel}};
      break;
    case MsgButtons::YesNo:
      choices = {{QMessageBox::Yes, StringId::ButtonYes, MsgChoice::Yes},
                 {QMessageBox::No, StringId::ButtonNo, MsgChoice::No}};
      break;
    case MsgButtons::YesNoCancel:
      choices = {{QMessageBox::Yes, StringId::ButtonYes, MsgChoice::Yes},
                 {QMessageBox::No, StringId::ButtonNo, MsgChoice::No},
                 {QMessageBox::Cancel, StringId::ButtonCancel, MsgChoice::Cancel}};
      break;
    case MsgButtons::RetryCancel:
      choices = {{QMessageBox::Retry, StringId::ButtonRetry, MsgChoice::Retry},
                 {QMessageBox::Cancel, StringId::ButtonCancel, MsgChoice::Cancel}};
      break;
  }
  QMessageBox::StandardButtons set;
  for (const Choice& c : choices) set |= c.button;
  box.setStandardButtons(set);
  for (const Choice& c : choices) box.button(c.button)->setText(Tr(c.text));
  box.setDefaultButton(choices.front().button);
  const int answer = box.exec();
  for (const Choice& c : choices)
    if (answer == c.button) return c.choice;
  // Closed without a button: the box's escape answer.
  return choices.back().choice;
}

MsgChoice QtUi::MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                           MsgButtons buttons) {
  const QString t = Q(text), c = Q(caption);
  if (QThread::currentThread() == thread()) return Show(t, c, icon, buttons);
  // A worker waits for the user's answer; the GUI thread never waits for a worker.
  MsgChoice choice = MsgChoice::Cancel;
  QMetaObject::invokeMethod(
      this, [&] { choice = Show(t, c, icon, buttons); }, Qt::BlockingQueuedConnection);
  return choice;
}

void QtUi::Progress(std::uint64_t done, std::uint64_t total) { emit progressed(done, total); }

void QtUi::Status(std::u16string_view text) { emit statusChanged(Q(text)); }

void QtUi::ReadErrorWindowChanged(const ReadErrorView& view) { emit readErrorChanged(view); }

void QtUi::PostCommand(int command) { emit commandPosted(command); }

int QtUi::ChooseDisk(const std::vector<std::u16string>& drives, int offered) {
  QStringList texts;
  for (const auto& d : drives) texts << Q(d);
  auto choose = [&] {
    ChooseDiskWindow window(texts, offered, false, owner_ ? owner_ : QApplication::activeWindow());
    return window.exec() == QDialog::Accepted ? window.chosen() : -1;
  };
  if (QThread::currentThread() == thread()) return choose();
  int chosen = -1;
  QMetaObject::invokeMethod(this, [&] { chosen = choose(); }, Qt::BlockingQueuedConnection);
  return chosen;
}

}  // namespace kestrova::gui
