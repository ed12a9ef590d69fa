#include "lifecycle.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <systemd/sd-daemon.h>

void Watchdog::start()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    const uint64_t halfMs = std::clamp<uint64_t>(usec / 2000, 1, std::numeric_limits<int>::max());
    timer.setInterval(static_cast<int>(halfMs));
    QObject::connect(&timer, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
    timer.start();
    sd_notify(0, "WATCHDOG=1");
}
