// One incoming method call of the service and how it is answered: an int
// result, or the one D-Bus error of ours for a call a cap refuses.
#ifndef TAVO_METHOD_CALL_H
#define TAVO_METHOD_CALL_H

#include <functional>
#include <string>

#include "call_limits.h"
#include "system_bus.h"

// The answer to a call that a cap refuses, the one D-Bus error of ours.
constexpr char limitsExceededError[] = "org.freedesktop.DBus.Error.LimitsExceeded";

// Result codes of the methods besides the pipeline's and the library's.
enum MethodResult : int {
    MethodSucceeded = 0,
    MethodRefusedInput = -1, // module absent, bad name or value
    MethodCompileFailed = 5,
    MethodNotAuthorised = -100,
};

// One incoming method call, to be answered once. Copies share the call;
// used on the event-loop thread only.
class MethodCall {
public:
    // A call from the bus, answered through `bus`.
    MethodCall(sd_bus_message *message, SystemBus *bus);
    // A call made directly, outside any bus message: no sender; the result
    // goes to `answer`.
    explicit MethodCall(std::function<void(int)> answer);
    MethodCall(const MethodCall &other);
    MethodCall &operator=(const MethodCall &other);
    ~MethodCall();

    // The caller's unique bus name, empty outside the bus.
    std::string sender() const;
    void reply(int result) const;
    void refuseOverLimit(LimitReason reason) const;

private:
    sd_bus_message *message_ = nullptr;
    SystemBus *bus_ = nullptr;
    std::function<void(int)> answer_;
};

#endif
