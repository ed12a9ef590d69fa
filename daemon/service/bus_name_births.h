// When each connection on the bus appeared, as far as the daemon can know:
// a process cannot have made a connection older than itself, so a caller's
// pid whose process started later than the connection is not the caller.
#ifndef TAVO_BUS_NAME_BIRTHS_H
#define TAVO_BUS_NAME_BIRTHS_H

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "system_bus.h"

class BusNameBirths {
public:
    // Asks the bus daemon, without waiting, for NameOwnerChanged from now
    // on. Returns false when the request cannot be sent.
    bool subscribe(SystemBus &bus);

    // Clock ticks since boot (rounded down) by which the unique name
    // `sender` existed: when its NameOwnerChanged was read, or, for a name
    // that was there before the subscription took effect, that moment.
    // Nothing until the subscription is in effect.
    std::optional<uint64_t> bornBy(const std::string &sender) const;

private:
    static int onNameOwnerChanged(sd_bus_message *signal, void *userdata, sd_bus_error *);
    static int onSubscribed(sd_bus_message *reply, void *userdata, sd_bus_error *);

    BusSlot slot_;
    std::optional<uint64_t> subscribedAt_;
    // One entry a live unique name: the bus daemon bounds their number.
    std::unordered_map<std::string, uint64_t> births_;
};

#endif
