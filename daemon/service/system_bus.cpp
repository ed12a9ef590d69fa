#include "system_bus.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <poll.h>

namespace {

constexpr char defaultSystemBusAddress[] = "unix:path=/run/dbus/system_bus_socket";
// Messages read and dispatched in one turn of the event loop before timers
// and other events get theirs. sd-bus reads one message a step, so a turn
// holds at most this many messages of the bus daemon's largest size.
constexpr int messagesPerTurn = 32;
// Replies and calls we may have queued for a bus daemon that does not read
// them; beyond it we read nothing new until it does, so that callers who
// never read their answers cannot grow our write queue.
constexpr uint64_t maxQueuedWrites = 1024;

uint64_t monotonicUsec()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// sd-bus calls back into C; nothing may unwind through it.
int deliverReply(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
    try {
        (*static_cast<SystemBus::ReplyHandler *>(userdata))(reply);
    } catch (...) {
    }
    return 1;
}

void dropReplyHandler(void *userdata)
{
    delete static_cast<SystemBus::ReplyHandler *>(userdata);
}

} // namespace

SystemBus::~SystemBus()
{
    close();
}

bool SystemBus::connect()
{
    const char *address = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return connectTo(address && *address ? address : defaultSystemBusAddress);
}

bool SystemBus::connectTo(const char *address)
{
    close();
    sd_bus *bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return false;
    // No descriptor passing: none of our methods takes one, and a caller
    // could otherwise fill our descriptor table through the bus daemon.
    if (sd_bus_set_address(bus, address) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_negotiate_fds(bus, 0) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return false;
    }
    bus_ = bus;
    return true;
}

void SystemBus::serve(std::function<void()> lost)
{
    if (!bus_ || serving_)
        return;
    serving_ = true;
    lost_ = std::move(lost);
    const int fd = sd_bus_get_fd(bus_);
    readable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    writable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    QObject::connect(readable_.get(), &QSocketNotifier::activated, [this] { process(); });
    QObject::connect(writable_.get(), &QSocketNotifier::activated, [this] { process(); });
    timeout_.setSingleShot(true);
    QObject::connect(&timeout_, &QTimer::timeout, [this] { process(); });
    more_.setSingleShot(true);
    QObject::connect(&more_, &QTimer::timeout, [this] { process(); });
    // Whatever arrived while starting up (sd-bus may hold it already).
    more_.start(0);
}

void SystemBus::process()
{
    if (!bus_ || !serving_)
        return;
    bool more = true;
    for (int i = 0; i < messagesPerTurn; ++i) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0 || !sd_bus_is_open(bus_)) {
            readable_->setEnabled(false);
            writable_->setEnabled(false);
            timeout_.stop();
            more_.stop();
            serving_ = false;
            if (lost_)
                lost_();
            return;
        }
        uint64_t queued = 0;
        if (r == 0 || (sd_bus_get_n_queued_write(bus_, &queued) >= 0 && queued >= maxQueuedWrites)) {
            more = false;
            break;
        }
    }
    arm();
    // The turn ended with messages perhaps still waiting: come back after
    // the event loop has run its timers (the watchdog's among them).
    if (more)
        more_.start(0);
}

void SystemBus::arm()
{
    if (!bus_ || !serving_)
        return;
    const int events = sd_bus_get_events(bus_);
    uint64_t queued = 0;
    sd_bus_get_n_queued_write(bus_, &queued);
    readable_->setEnabled(events > 0 && (events & POLLIN) && queued < maxQueuedWrites);
    writable_->setEnabled(events > 0 && (events & POLLOUT));
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus_, &until) > 0 && until != std::numeric_limits<uint64_t>::max()) {
        const uint64_t now = monotonicUsec();
        const uint64_t ms = until > now ? (until - now + 999) / 1000 : 0;
        timeout_.start(static_cast<int>(std::min<uint64_t>(ms, std::numeric_limits<int>::max())));
    } else {
        timeout_.stop();
    }
}

bool SystemBus::call(sd_bus_message *message, ReplyHandler done)
{
    if (!bus_)
        return false;
    auto *handler = new ReplyHandler(std::move(done));
    sd_bus_slot *slot = nullptr;
    if (sd_bus_call_async(bus_, &slot, message, deliverReply, handler, 0) < 0) {
        delete handler;
        return false;
    }
    // The bus owns the pending call from here on and frees the handler with
    // it, answered or not.
    sd_bus_slot_set_destroy_callback(slot, dropReplyHandler);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    flushSoon();
    return true;
}

void SystemBus::flushSoon()
{
    arm();
}

void SystemBus::close()
{
    serving_ = false;
    readable_.reset();
    writable_.reset();
    timeout_.stop();
    more_.stop();
    if (bus_) {
        // Answers already given still reach their callers.
        if (sd_bus_is_open(bus_))
            sd_bus_flush(bus_);
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
    }
}
