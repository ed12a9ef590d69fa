// Built-in object classes and capabilities of the stand-in library.
//
// Object types other than the compiler's own (file, dir, lnkfile, process)
// resolve to a parent class:
//   kmod                    -> "kmod"    (kernel modules)
//   cap, capability         -> "cap"     (capabilities)
//   device, chrdev, blkdev  -> "device"  (device nodes)
//   socket, ipc             -> "net"     (no meaning to the compiler)
// Capabilities are those of capabilities(7), written CAP_SYS_ADMIN etc.;
// their identifier is {capability number, 1, 0}.
#include "object_classes.h"

#include <cstring>

namespace {

struct ParentEntry {
    const char *type;
    const char *parent;
};

const ParentEntry parentTable[] = {
    {"kmod", "kmod"},     {"cap", "cap"},       {"capability", "cap"}, {"device", "device"},
    {"chrdev", "device"}, {"blkdev", "device"}, {"socket", "net"},     {"ipc", "net"},
};

// Index is the capability number.
const char *const capabilityNames[] = {
    "CAP_CHOWN",
    "CAP_DAC_OVERRIDE",
    "CAP_DAC_READ_SEARCH",
    "CAP_FOWNER",
    "CAP_FSETID",
    "CAP_KILL",
    "CAP_SETGID",
    "CAP_SETUID",
    "CAP_SETPCAP",
    "CAP_LINUX_IMMUTABLE",
    "CAP_NET_BIND_SERVICE",
    "CAP_NET_BROADCAST",
    "CAP_NET_ADMIN",
    "CAP_NET_RAW",
    "CAP_IPC_LOCK",
    "CAP_IPC_OWNER",
    "CAP_SYS_MODULE",
    "CAP_SYS_RAWIO",
    "CAP_SYS_CHROOT",
    "CAP_SYS_PTRACE",
    "CAP_SYS_PACCT",
    "CAP_SYS_ADMIN",
    "CAP_SYS_BOOT",
    "CAP_SYS_NICE",
    "CAP_SYS_RESOURCE",
    "CAP_SYS_TIME",
    "CAP_SYS_TTY_CONFIG",
    "CAP_MKNOD",
    "CAP_LEASE",
    "CAP_AUDIT_WRITE",
    "CAP_AUDIT_CONTROL",
    "CAP_SETFCAP",
    "CAP_MAC_OVERRIDE",
    "CAP_MAC_ADMIN",
    "CAP_SYSLOG",
    "CAP_WAKE_ALARM",
    "CAP_BLOCK_SUSPEND",
    "CAP_AUDIT_READ",
    "CAP_PERFMON",
    "CAP_BPF",
    "CAP_CHECKPOINT_RESTORE",
};

} // namespace

namespace tavo_policysync {

const char *parentClassOf(const std::string &type)
{
    for (const ParentEntry &e : parentTable) {
        if (type == e.type)
            return e.parent;
    }
    return nullptr;
}

bool capabilityNumber(const std::string &name, uint64_t &number)
{
    for (size_t i = 0; i < sizeof capabilityNames / sizeof capabilityNames[0]; ++i) {
        if (name == capabilityNames[i]) {
            number = i;
            return true;
        }
    }
    return false;
}

} // namespace tavo_policysync
