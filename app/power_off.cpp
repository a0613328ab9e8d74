#include <QtCore/QProcess>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusInterface>
#include <QtDBus/QDBusReply>

#include "app/services.h"

namespace quillon::app {

// The session manager decides whether this user may power off; asking it
// is the desktop's form of taking the shutdown privilege. A forced power-off
// does not wait for other sessions' inhibitors.
bool systemPowerOff() {
    QDBusInterface login("org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", QDBusConnection::systemBus());
    if (login.isValid()) {
        QDBusReply<void> reply = login.call("PowerOff", false);
        if (reply.isValid()) return true;
    }
    return QProcess::execute("systemctl", {"poweroff", "--force"}) == 0 ||
           QProcess::execute("systemctl", {"poweroff"}) == 0;
}

}  // namespace quillon::app
