#include "method_call.h"

#include <utility>

MethodCall::MethodCall(sd_bus_message *message, SystemBus *bus) : message_(sd_bus_message_ref(message)), bus_(bus)
{
}

MethodCall::MethodCall(std::function<void(int)> answer) : answer_(std::move(answer)) {}

MethodCall::MethodCall(const MethodCall &other)
    : message_(other.message_ ? sd_bus_message_ref(other.message_) : nullptr), bus_(other.bus_),
      answer_(other.answer_)
{
}

MethodCall &MethodCall::operator=(const MethodCall &other)
{
    if (this != &other) {
        MethodCall copy(other);
        std::swap(message_, copy.message_);
        bus_ = copy.bus_;
        answer_ = copy.answer_;
    }
    return *this;
}

MethodCall::~MethodCall()
{
    if (message_)
        sd_bus_message_unref(message_);
}

std::string MethodCall::sender() const
{
    const char *sender = message_ ? sd_bus_message_get_sender(message_) : nullptr;
    return sender ? sender : std::string();
}

// A call sent without expecting a reply gets none (sd-bus sends nothing).
void MethodCall::reply(int result) const
{
    if (message_) {
        sd_bus_reply_method_return(message_, "i", static_cast<int32_t>(result));
        if (bus_)
            bus_->flushSoon();
    } else if (answer_) {
        answer_(result);
    }
}

void MethodCall::refuseOverLimit(LimitReason reason) const
{
    if (message_) {
        sd_bus_reply_method_errorf(message_, limitsExceededError,
                                   "Too many calls of this caller are waiting or were refused (%s); try again later",
                                   limitReasonText(reason));
        if (bus_)
            bus_->flushSoon();
    } else if (answer_) {
        answer_(MethodNotAuthorised);
    }
}
