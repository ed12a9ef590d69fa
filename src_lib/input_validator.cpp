#include "input_validator.h"

#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tavo_log.h"

namespace {

const char moduleDirectory[] = "/sys/kernel/security/tavo/";
const char threeModeSwitch[] = "/sys/kernel/security/tavo/paras/zusec_global/admctl";
constexpr size_t namespaceLinkBuffer = 4096;
constexpr int initialProcess = 1;

// ASCII only, whatever the locale: under a Latin-1 locale isalnum() would
// let bytes above 127 through, and such names would reach the kernel.
bool isNameByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::optional<std::string> readPidNamespaceLink(int pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/ns/pid";
    char target[namespaceLinkBuffer];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n < 0)
        return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
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
    const std::optional<std::string> own = readPidNamespaceLink(pid);
    const std::optional<std::string> initial = readPidNamespaceLink(initialProcess);
    return own && initial && *own == *initial;
}

bool is_tavo_module_loaded()
{
    struct stat st;
    if (stat(moduleDirectory, &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    TAVO_ERROR("错误：tavo模块未加载，需要先加载tavo模块。");
    return false;
}

bool isThreeModeEnabled()
{
    std::ifstream in(threeModeSwitch);
    if (!in)
        return false;
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line == "1";
}

bool isAllowedInThreeMode(uint32_t uid, int32_t pid, const std::string &exePath)
{
    if (uid != 0)
        return false;
    if (!isInitPidNamespace(pid))
        return false;
    for (const std::string &allowed : threeModeWhitelist()) {
        if (exePath == allowed)
            return true;
    }
    return false;
}
