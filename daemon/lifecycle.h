// What ties the daemon's life to the service manager: its watchdog.
#ifndef TAVO_LIFECYCLE_H
#define TAVO_LIFECYCLE_H

#include <QTimer>

// Tells the service manager from the event loop that the daemon is alive,
// at half the interval it asked for, when it asked this process to
// (WATCHDOG_USEC, WATCHDOG_PID); otherwise does nothing. A loop that stops
// turning stops the notifications, and the service manager restarts the
// daemon. Nothing holds the loop for long: the bus is served a bounded
// number of messages a turn and policy operations run on their own thread.
class Watchdog {
public:
    void start();

private:
    QTimer timer;
};

#endif
