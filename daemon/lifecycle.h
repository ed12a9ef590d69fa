// What ties the daemon's life to the system around it: its bus connection
// and the service manager's watchdog.
#ifndef TAVO_LIFECYCLE_H
#define TAVO_LIFECYCLE_H

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

// Ends the event loop with status 1 when the bus connection is lost. A
// daemon that outlives its bus can never be reached again: its name is gone
// and it does not reconnect, so it exits and the service manager restarts
// it.
class BusLossWatch : public QObject {
    Q_OBJECT

public:
    // Returns false when the watch could not be set up.
    bool watch(QDBusConnection &bus);

private Q_SLOTS:
    void disconnected();
};

// Tells the service manager from the event loop that the daemon is alive,
// at half the interval it asked for, when it asked this process to
// (WATCHDOG_USEC, WATCHDOG_PID); otherwise does nothing. A loop that stops
// turning stops the notifications, and the service manager restarts the
// daemon.
class Watchdog : public QObject {
    Q_OBJECT

public:
    void start();

private:
    QTimer timer;
};

#endif
