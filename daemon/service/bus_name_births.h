// What the daemon knows of each connection on the bus, learnt once: when it
// appeared, as far as the daemon can know (a process cannot have made a
// connection older than itself, so a caller's pid whose process started
// later than the connection is not the caller), and the uid and pid the bus
// daemon gave for it, kept until the bus says the name has gone.
#ifndef TAVO_BUS_NAME_BIRTHS_H
#define TAVO_BUS_NAME_BIRTHS_H

#include <cstdint>
#include <functional>
#include <map>
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

    // The uid and pid of a connection, as the bus daemon told them.
    struct Credentials {
        uint32_t uid;
        std::optional<uint32_t> pid;
    };
    // What the bus daemon told of `sender`, while the name lives.
    std::optional<Credentials> credentials(const std::string &sender) const;
    // Keeps what the bus daemon told of `sender` until the name goes (or,
    // beyond maxRemembered names, until it is the oldest one kept).
    void remember(const std::string &sender, Credentials credentials);
    static constexpr size_t maxRemembered = 4096;
    // Runs `gone` with each unique name the bus says has gone.
    void whenGone(std::function<void(const std::string &)> gone) { gone_ = std::move(gone); }

private:
    static int onNameOwnerChanged(sd_bus_message *signal, void *userdata, sd_bus_error *);
    static int onSubscribed(sd_bus_message *reply, void *userdata, sd_bus_error *);

    BusSlot slot_;
    std::optional<uint64_t> subscribedAt_;
    // One entry a live unique name: the bus daemon bounds their number.
    std::unordered_map<std::string, uint64_t> births_;
    struct Remembered {
        Credentials credentials;
        uint64_t order;
    };
    std::unordered_map<std::string, Remembered> credentials_;
    std::map<uint64_t, std::string> rememberedOrder_;
    uint64_t nextOrder_ = 0;
    std::function<void(const std::string &)> gone_;
    void forget(const std::string &sender);
};

#endif
