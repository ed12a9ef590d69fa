#include "input_validator.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <tavopolicysync/log.h>

#include "bounded_read.h"
#include "unique_fd.h"

namespace {

const char moduleDirectory[] = "/sys/kernel/security/tavo/";
const char threeModeSwitch[] = "/sys/kernel/security/tavo/paras/zusec_global/admctl";
constexpr size_t namespaceLinkBuffer = 4096;
constexpr int initialProcess = 1;
// "0" or "1", with a line feed or a carriage return and a line feed.
constexpr size_t switchReadLimit = 3;

// ASCII only, whatever the locale: under a Latin-1 locale isalnum() would
// let bytes above 127 through, and such names would reach the kernel.
bool isNameByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::optional<std::string> readNamespaceLink(int pid, const char *kind)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
    char target[namespaceLinkBuffer];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n < 0)
        return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
}

bool sameAsInitial(int pid, const char *kind)
{
    const std::optional<std::string> own = readNamespaceLink(pid, kind);
    const std::optional<std::string> initial = readNamespaceLink(initialProcess, kind);
    return own && initial && *own == *initial;
}

// Whether the process sees the same root directory as process 1 (a chroot
// shows a different one through the same mount namespace).
bool sameRootAsInitial(int pid)
{
    struct stat own, initial;
    const std::string path = "/proc/" + std::to_string(pid) + "/root";
    if (stat(path.c_str(), &own) != 0 || stat("/proc/1/root", &initial) != 0)
        return false;
    return own.st_dev == initial.st_dev && own.st_ino == initial.st_ino;
}

const std::vector<std::string> &threeModeWhitelist()
{
    static const std::vector<std::string> whitelist{
        "/usr/bin/zusec-scene-daemon",
        "/usr/sbin/tavo-dynamic-uid",
    };
    return whitelist;
}

} // namespace

int32_t validate_name_param(const std::string &value, uint64_t maxLength, const std::string &label)
{
    if (value.empty()) {
        TAVO_ERROR("validate_name_param: %s 为空", label.c_str());
        return -1;
    }
    if (value.size() > maxLength) {
        TAVO_ERROR("validate_name_param: %s 长度(%zu)超过限制(%zu)", label.c_str(), value.size(),
                   static_cast<size_t>(maxLength));
        return -1;
    }
    for (const char c : value) {
        if (!isNameByte(static_cast<unsigned char>(c))) {
            TAVO_ERROR("validate_name_param: %s 包含非法字符（仅允许字母、数字、下划线、连字符）", label.c_str());
            return -1;
        }
    }
    return 0;
}

bool isInitPidNamespace(int pid)
{
    return sameAsInitial(pid, "pid");
}

const char moduleAbsentLine[] = "错误：tavo模块未加载，需要先加载tavo模块。";

bool tavoModulePresent()
{
    // Only the kind of file is asked for, which never changes, so no file
    // system needs to refresh the directory's other attributes for it.
    struct statx stx;
    return statx(AT_FDCWD, moduleDirectory, AT_STATX_DONT_SYNC, STATX_TYPE, &stx) == 0 &&
           (stx.stx_mask & STATX_TYPE) && S_ISDIR(stx.stx_mode);
}

bool is_tavo_module_loaded()
{
    if (tavoModulePresent())
        return true;
    TAVO_ERROR("%s", moduleAbsentLine);
    return false;
}

bool isThreeModeEnabled()
{
    std::string reason;
    return readThreeModeSwitch(reason) == ThreeModeSwitch::On;
}

ThreeModeSwitch readThreeModeSwitch(std::string &reason)
{
    // No switch (a module without role separation, or no module at all) is
    // off; any other failure leaves the mode unknown.
    const UniqueFd fd(open(threeModeSwitch, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR)
            return ThreeModeSwitch::Off;
        reason = std::string("cannot open ") + threeModeSwitch + ": " + strerror(errno);
        return ThreeModeSwitch::Unreadable;
    }
    // Longer than the longest accepted content (EFBIG) is neither 0 nor 1.
    std::string content;
    const int rc = readToLimit(fd.get(), switchReadLimit, content);
    if (rc != 0 && rc != EFBIG) {
        reason = std::string("cannot read ") + threeModeSwitch + ": " + strerror(rc);
        return ThreeModeSwitch::Unreadable;
    }
    for (const char *ending : {"", "\n", "\r\n"}) {
        if (content == std::string("0") + ending)
            return ThreeModeSwitch::Off;
        if (content == std::string("1") + ending)
            return ThreeModeSwitch::On;
    }
    reason = std::string("contents of ") + threeModeSwitch + " are neither 0 nor 1";
    return ThreeModeSwitch::Unreadable;
}

bool isAllowedInThreeMode(uint32_t uid, int32_t pid, const std::string &exePath)
{
    if (uid != 0)
        return false;
    if (!isInitPidNamespace(pid) || !sameAsInitial(pid, "mnt") || !sameRootAsInitial(pid))
        return false;
    for (const std::string &allowed : threeModeWhitelist()) {
        if (exePath == allowed)
            return true;
    }
    return false;
}
