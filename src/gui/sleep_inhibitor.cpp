#include "gui/sleep_inhibitor.h"

#include "gui/texts.h"

#ifdef KESTROVA_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#endif

namespace kestrova::gui {

struct SleepInhibitor::Held {
#ifdef KESTROVA_HAVE_DBUS
  QDBusUnixFileDescriptor fd;  // the inhibitor lasts while this descriptor is open
#endif
};

SleepInhibitor::SleepInhibitor() {
#ifdef KESTROVA_HAVE_DBUS
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return;
  QDBusInterface login(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                       QStringLiteral("org.freedesktop.login1.Manager"), bus);
  if (!login.isValid()) return;
  QDBusReply<QDBusUnixFileDescriptor> reply =
      login.call(QStringLiteral("Inhibit"), QStringLiteral("sleep:idle"), Tr(StringId::Caption),
                 Tr(StringId::SleepInhibitReason), QStringLiteral("block"));
  if (reply.isValid() && reply.value().isValid()) held_ = std::make_unique<Held>(Held{reply.value()});
#endif
}

SleepInhibitor::~SleepInhibitor() = default;

bool SleepInhibitor::active() const { return held_ != nullptr; }

}  // namespace kestrova::gui
