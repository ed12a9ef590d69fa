// What the last compile left for delivery: the one place where the compile
// side hands over to the delivery side of the library.
#ifndef TAVOPOLICYSYNC_COMPILED_POLICY_H
#define TAVOPOLICYSYNC_COMPILED_POLICY_H

#include <cstdint>
#include <string>
#include <vector>

#include "policy_image.h"
#include "tavopolicysync/policy_module_manager.h"

// Where compileInitData stores the initial image (below a mount-point prefix
// for sendInitPolicy).
constexpr char initPolicyPath[] = "/var/lib/tavo/init-policy.bin";
// The module's directory in securityfs and the files the library writes.
constexpr char modulePolicyFile[] = "/sys/kernel/security/tavo/policy";
constexpr char moduleDynamicFile[] = "/sys/kernel/security/tavo/dynamic";

struct CompiledPolicy {
    // The image of the last successful compile (full, initial or section);
    // empty when nothing was compiled since clearAllPolicy or the last
    // compile failed.
    std::vector<uint8_t> image;
    tavo_image::Digest digest{};
    size_t nodeCount = 0;
};

// The compile side's result, owned by the manager.
const CompiledPolicy &lastCompiled(PolicyModuleManagerInterface &manager);

#endif
