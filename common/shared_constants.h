// Values the daemon and both commands must agree on, defined once.
#ifndef TAVO_SHARED_CONSTANTS_H
#define TAVO_SHARED_CONSTANTS_H

#include <cerrno>
#include <cstdint>

// Longest namespace, section or variable name, in bytes.
constexpr uint64_t nameLengthLimit = 512;

// The policy directory the daemon compiles (and the checker reads by default).
constexpr char policyDirectoryPath[] = "/etc/tavo/policy";

// The account that may act when three-mode is on.
constexpr char securityAdministrator[] = "secadm";

// What a delivery result from the module (a Linux errno value) means, as
// the daemon logs it (Chinese) and the init command prints it (English).
struct KernelResultText {
    const char *chinese;
    const char *english;
};

// Null for a result without a fixed text.
inline const KernelResultText *kernelResultText(int code)
{
    static constexpr KernelResultText io{"内核获取上层策略数据流失败",
                                         "failed to get policy data stream from kernel"};
    static constexpr KernelResultText memory{"系统内存不足", "system out of memory"};
    static constexpr KernelResultText format{
        "策略格式不规范，数据不完整或魔术字校验不通过",
        "policy format invalid, incomplete data or magic number verification failed"};
    static constexpr KernelResultText function{
        "附加函数不存在, 或者存在但是没有注册到框架中",
        "additional function does not exist or not registered in framework"};
    static constexpr KernelResultText module{"tavo_main主模块未加载", "tavo_main module not loaded"};
    static constexpr KernelResultText order{"策略下发顺序错误", "policy delivery order error"};
    static constexpr KernelResultText type{"策略消息类型错误", "policy message type error"};
    switch (code) {
    case EIO: return &io;          // 5
    case ENOMEM: return &memory;   // 12
    case EINVAL: return &format;   // 22
    case ENODATA: return &function; // 61
    case ECOMM: return &module;    // 70
    case EPROTO: return &order;    // 71
    case EBADMSG: return &type;    // 74
    default: return nullptr;
    }
}

#endif
