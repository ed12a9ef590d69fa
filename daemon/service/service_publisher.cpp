#include "service_publisher.h"

#include <climits>

#include <dbus/dbus.h>

#include <QDBusError>

#include "policymgr_service.h"
#include <tavopolicysync/log.h>

namespace {
constexpr int publishFailed = 1;
}

void keepReadingTheBus(QDBusConnection &bus)
{
    // libdbus stops reading a connection while the messages it has read and
    // not yet freed exceed 63 MiB (or carry too many file descriptors), and reads again
    // once enough of them are freed. Qt D-Bus reads in a thread of its own
    // but frees the calls it delivered to us on the event-loop thread, so
    // that second switch reaches the socket notifier from the wrong thread,
    // which Qt ignores: the daemon would never read its socket again, and
    // until then every reply it waits for from the bus daemon or polkit sits
    // unread behind the calls in its queue. So libdbus never stops; one
    // call's memory is bounded by the bus daemon's message size limit, and
    // a call with an over-long name is answered before any other work.
    auto *raw = static_cast<DBusConnection *>(bus.internalPointer());
    if (!raw)
        return;
    dbus_connection_set_max_received_size(raw, LONG_MAX);
    dbus_connection_set_max_received_unix_fds(raw, LONG_MAX);
}

int publishPolicyService(QDBusConnection &bus, QObject &service)
{
    keepReadingTheBus(bus);
    if (!bus.registerObject(policyObjectPath, &service, QDBusConnection::ExportScriptableSlots)) {
        TAVO_ERROR("Failed to register service");
        return publishFailed;
    }
    if (!bus.registerService(policyServiceName)) {
        // A name held by another process is no bus error, so the
        // connection then has no message to give: say what happened.
        const QString reason = bus.lastError().message();
        TAVO_ERROR("%s", reason.isEmpty() ? "Name com.norda.zupolicy is already owned on the system bus"
                                          : reason.toUtf8().constData());
        bus.unregisterObject(policyObjectPath);
        return publishFailed;
    }
    return 0;
}
