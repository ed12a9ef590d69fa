#include "lifecycle.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <systemd/sd-daemon.h>

#include <QCoreApplication>

#include <tavopolicysync/log.h>

namespace {

constexpr int busLostStatus = 1;
// libdbus reports the loss of the connection as this signal of its own.
constexpr char localPath[] = "/org/freedesktop/DBus/Local";
constexpr char localInterface[] = "org.freedesktop.DBus.Local";
constexpr char disconnectedSignal[] = "Disconnected";

} // namespace

bool BusLossWatch::watch(QDBusConnection &bus)
{
    return bus.connect(QString(), localPath, localInterface, disconnectedSignal, this, SLOT(disconnected()));
}

void BusLossWatch::disconnected()
{
    TAVO_ERROR("Lost the connection to the system bus, exiting ...");
    QCoreApplication::exit(busLostStatus);
}

void Watchdog::start()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    const uint64_t halfMs = std::clamp<uint64_t>(usec / 2000, 1, std::numeric_limits<int>::max());
    timer.setInterval(static_cast<int>(halfMs));
    connect(&timer, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
    timer.start();
    sd_notify(0, "WATCHDOG=1");
}
