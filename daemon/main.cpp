// tavo-policyd: compiles the policy directory and delivers it to the tavo
// module on behalf of authorised callers on the system bus.
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include "dbus_types.h"
#include "lifecycle.h"
#include "policymgr_service.h"
#include "service_publisher.h"
#include "unique_fd.h"
#include <tavopolicysync/log.h>

namespace {

constexpr int exitFailure = 1;
// Stays in the environment for the whole run: putenv keeps the pointer.
char localeSetting[] = "LC_ALL=en_US.UTF-8";

// SIGTERM and SIGINT end the event loop between two method calls, so the
// library instance is destroyed normally and no call is cut off half-way.
// The stopSet are blocked before any thread exists (Qt D-Bus starts one),
// and read from a descriptor by the event loop.
int blockStopSignals()
{
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stopSet, nullptr) != 0)
        return -1;
    return signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
}

} // namespace

int main(int argc, char *argv[])
{
    putenv(localeSetting);
    setlocale(LC_ALL, "");
    registerStringMapType();
    enableDebugLog();
    TAVO_INFO("Start tavo policy daemon");

    const UniqueFd stopSignalsOwner(blockStopSignals());
    const int stopSignals = stopSignalsOwner.get();
    QCoreApplication app(argc, argv);
    QSocketNotifier stopNotifier(stopSignals, QSocketNotifier::Read);
    stopNotifier.setEnabled(stopSignals >= 0);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [stopSignals]() {
        struct signalfd_siginfo info;
        while (read(stopSignals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        QCoreApplication::quit();
    });

    ZupolicyPolicymgrService &service = ZupolicyPolicymgrService::instance();

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        TAVO_ERROR("Can not connect to system bus, exiting ...");
        return exitFailure;
    }
    BusLossWatch busLoss;
    if (!busLoss.watch(bus)) {
        TAVO_ERROR("Can not watch the system bus connection, exiting ...");
        return exitFailure;
    }
    if (publishPolicyService(bus, service) != 0)
        return exitFailure;
    Watchdog watchdog;
    watchdog.start();

    const int status = app.exec();
    bus.unregisterService(policyServiceName);
    bus.unregisterObject(policyObjectPath);
    return status;
}
