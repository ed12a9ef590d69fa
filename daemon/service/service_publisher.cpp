#include "service_publisher.h"

#include <QDBusError>

#include "policymgr_service.h"
#include "tavo_log.h"

namespace {
constexpr int publishFailed = 1;
}

int publishPolicyService(QDBusConnection &bus, QObject &service)
{
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
