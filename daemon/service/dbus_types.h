// Composite D-Bus types the daemon exchanges with polkit.
#ifndef TAVO_DBUS_TYPES_H
#define TAVO_DBUS_TYPES_H

#include <map>
#include <string>

#include <systemd/sd-bus.h>

using StringMap = std::map<std::string, std::string>;

// Reply of polkit's CheckAuthorization, D-Bus (bba{ss}).
struct PolkitAuthResult {
    bool is_authorized = false;
    bool is_challenge = false;
    StringMap details; // kept, never read
};
constexpr char polkitAuthResultSignature[] = "(bba{ss})";

// Reads a PolkitAuthResult from `reply`, which must carry exactly
// (bba{ss}). Returns 0 or a negative errno.
int readPolkitAuthResult(sd_bus_message *reply, PolkitAuthResult &result);

#endif
