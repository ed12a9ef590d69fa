#include "bus_name_births.h"

#include "process_identity.h"
#include <tavopolicysync/log.h>

bool BusNameBirths::subscribe(SystemBus &bus)
{
    if (!bus.isConnected())
        return false;
    sd_bus_slot *slot = nullptr;
    if (sd_bus_match_signal_async(bus.handle(), &slot, busDaemonService, busDaemonPath, busDaemonInterface,
                                  "NameOwnerChanged", onNameOwnerChanged, onSubscribed, this) < 0)
        return false;
    slot_.reset(slot);
    return true;
}

int BusNameBirths::onSubscribed(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
    auto *self = static_cast<BusNameBirths *>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        const sd_bus_error *error = sd_bus_message_get_error(reply);
        TAVO_ERROR("Cannot follow the connections on the system bus: %s",
                   error && error->message ? error->message : "unknown error");
        return 1;
    }
    // The match is in effect by the time its reply is read; a name we
    // were not told of appeared before this.
    self->subscribedAt_ = ticksSinceBoot();
    return 1;
}

int BusNameBirths::onNameOwnerChanged(sd_bus_message *signal, void *userdata, sd_bus_error *)
{
    auto *self = static_cast<BusNameBirths *>(userdata);
    const char *name = nullptr;
    const char *oldOwner = nullptr;
    const char *newOwner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0 || !name || name[0] != ':')
        return 0;
    if (newOwner && *newOwner)
        self->births_[name] = ticksSinceBoot();
    else {
        self->births_.erase(name);
        self->forget(name);
        if (self->gone_)
            self->gone_(name);
    }
    return 0;
}

std::optional<uint64_t> BusNameBirths::bornBy(const std::string &sender) const
{
    if (!subscribedAt_)
        return std::nullopt;
    const auto it = births_.find(sender);
    return it != births_.end() ? it->second : *subscribedAt_;
}

std::optional<BusNameBirths::Credentials> BusNameBirths::credentials(const std::string &sender) const
{
    const auto it = credentials_.find(sender);
    if (it == credentials_.end())
        return std::nullopt;
    return it->second.credentials;
}

void BusNameBirths::remember(const std::string &sender, Credentials credentials)
{
    forget(sender);
    if (credentials_.size() >= maxRemembered && !rememberedOrder_.empty())
        forget(rememberedOrder_.begin()->second);
    const uint64_t order = nextOrder_++;
    credentials_.emplace(sender, Remembered{credentials, order});
    rememberedOrder_.emplace(order, sender);
}

void BusNameBirths::forget(const std::string &sender)
{
    const auto it = credentials_.find(sender);
    if (it == credentials_.end())
        return;
    rememberedOrder_.erase(it->second.order);
    credentials_.erase(it);
}
