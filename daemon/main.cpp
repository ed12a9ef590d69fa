// tavo-policyd: compiles the policy directory and delivers it to the tavo
// module on behalf of authorised callers on the system bus.
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "delivery_recorder.h"
#include "lifecycle.h"
#include "policy_object.h"
#include "policymgr_service.h"
#include "system_bus.h"
#include "unique_fd.h"
#include <tavopolicysync/log.h>

namespace {

constexpr int exitFailure = 1;
constexpr int busLostStatus = 1;
// Stays in the environment for the whole run: putenv keeps the pointer.
char localeSetting[] = "LC_ALL=en_US.UTF-8";
// Free heap is given back once the calls have stopped (the service trims
// it then), not at each free: glibc would otherwise give back the tables
// of every small compile on the operation thread and fault them in again
// at the next one. Blocks from this size up are mapped and unmapped alone.
constexpr int keptFreeHeapBytes = 64 << 20;
constexpr int mappedBlockBytes = 4 << 20;

// SIGTERM and SIGINT end the event loop; the operation running then
// finishes and is answered, so the library instance is destroyed normally
// and no operation is cut off half-way. The signals are blocked before any
// thread exists (the operation worker), and read from a descriptor by the
// event loop.
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
    mallopt(M_TRIM_THRESHOLD, keptFreeHeapBytes);
    mallopt(M_MMAP_THRESHOLD, mappedBlockBytes);
    setlocale(LC_ALL, "");
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

    SystemBus bus;
    const bool connected = bus.connect();
    DeliveryRecorder recorder;
    // The questions to the bus daemon and polkit go over a connection of
    // their own, which no caller can fill: their answers never wait behind
    // a flood of calls. Without it they share the served one.
    SystemBus questions;
    const bool asking = connected && questions.connect();
    ZupolicyPolicymgrService service(bus, recorder, asking ? &questions : nullptr);
    if (!connected) {
        TAVO_ERROR("Can not connect to system bus, exiting ...");
        return exitFailure;
    }
    BusSlot exported;
    BusSlot introspected;
    if (publishPolicyService(bus, service, exported, introspected) != 0)
        return exitFailure;
    // A daemon that outlives its bus can never be reached again: its name
    // is gone and it does not reconnect, so it exits and the service
    // manager restarts it.
    const auto lost = [] {
        TAVO_ERROR("Lost the connection to the system bus, exiting ...");
        QCoreApplication::exit(busLostStatus);
    };
    bus.serve(lost);
    if (asking)
        questions.serve(lost);
    Watchdog watchdog;
    watchdog.start();

    const int status = app.exec();
    service.stop();
    exported.reset();
    introspected.reset();
    bus.close();
    questions.close();
    return status;
}
