// The daemon's connection to the system bus: sd-bus, driven by the Qt event
// loop of the thread that serves it, never waiting on the bus while serving.
#ifndef TAVO_SYSTEM_BUS_H
#define TAVO_SYSTEM_BUS_H

#include <cstdint>
#include <functional>
#include <memory>

#include <QSocketNotifier>
#include <QTimer>

#include <systemd/sd-bus.h>

// The bus daemon's own object, whom the daemon asks about names and callers.
constexpr char busDaemonService[] = "org.freedesktop.DBus";
constexpr char busDaemonPath[] = "/org/freedesktop/DBus";
constexpr char busDaemonInterface[] = "org.freedesktop.DBus";

// Owners of sd-bus references, released on every path.
struct BusMessageUnref {
    void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using BusMessage = std::unique_ptr<sd_bus_message, BusMessageUnref>;
struct BusSlotUnref {
    void operator()(sd_bus_slot *s) const { sd_bus_slot_unref(s); }
};
using BusSlot = std::unique_ptr<sd_bus_slot, BusSlotUnref>;

class SystemBus {
public:
    SystemBus() = default;
    ~SystemBus();
    SystemBus(const SystemBus &) = delete;
    SystemBus &operator=(const SystemBus &) = delete;

    // Connects to the system bus ($DBUS_SYSTEM_BUS_ADDRESS, else the
    // standard socket) as a bus client that takes no unix descriptors: the
    // bus daemon then refuses to pass us any. False when the bus cannot be
    // reached.
    bool connect();
    // The same on another bus address (a private bus of the tests).
    bool connectTo(const char *address);
    bool isConnected() const { return bus_ != nullptr; }
    sd_bus *handle() const { return bus_; }

    // From now on the event loop reads and writes the connection, a bounded
    // number of messages a turn; `lost` runs once if the connection ends.
    void serve(std::function<void()> lost);

    // Sends a method call; `done` runs on the loop with the reply, an error
    // reply or the timeout's error (the default 25 s), never before this
    // returns. False (and `done` never runs) when it cannot be queued. The
    // caller owns the call through the slot put in `pending`: releasing it
    // before the reply cancels the call (`done` never runs), so that
    // nothing is kept for a question whose answer is no longer wanted.
    using ReplyHandler = std::function<void(sd_bus_message *reply)>;
    bool call(sd_bus_message *message, ReplyHandler done, BusSlot &pending);

    // Has queued outgoing messages written as soon as the socket takes them.
    void flushSoon();

    // Writes what is queued and closes the connection.
    void close();

private:
    void process();
    void arm();

    sd_bus *bus_ = nullptr;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;
    QTimer timeout_;
    uint64_t timeoutUntil_ = 0; // the deadline timeout_ was started for
    QTimer more_;
    std::function<void()> lost_;
    bool serving_ = false;
    bool processing_ = false; // inside sd_bus_process
};

#endif
