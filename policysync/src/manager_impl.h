// Inside of the policy-sync library's manager, shared by its source files
// and the test-only inspection (policysync/testing).
#ifndef TAVOPOLICYSYNC_MANAGER_IMPL_H
#define TAVOPOLICYSYNC_MANAGER_IMPL_H

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "compiled_policy.h"
#include "image_builder.h"
#include "tavopolicysync/policy_module_manager.h"

// One call into the manager as the test journal records it: the operation's
// name and its arguments rendered as text.
struct PolicySyncCall {
    std::string op;
    std::vector<std::string> args;
    bool operator==(const PolicySyncCall &o) const { return op == o.op && args == o.args; }
};

struct PolicyModuleManagerInterface::Impl {
    tavo_image::ImageBuilder builder;
    tavo_image::Registrations registrations;
    // Lookup in front of the ordered function registrations: the front end
    // registers a function for every call it meets, mostly ones known.
    std::unordered_set<std::string> knownFunctions;
    std::string keyBuffer;
    CompiledPolicy compiled;

    // Test facility; arguments are only rendered while it records.
    bool journalOn = false;
    std::vector<PolicySyncCall> journal;

    template <typename... Args>
    void record(const char *op, const Args &...args)
    {
        if (journalOn)
            journal.push_back(PolicySyncCall{op, std::vector<std::string>{text(args)...}});
    }
    static std::string text(const std::string &s) { return s; }
    static std::string text(size_t n) { return std::to_string(n); }
    static std::string text(uint32_t n) { return std::to_string(n); }
};

PolicyModuleManagerInterface::Impl &policySyncImpl(PolicyModuleManagerInterface &manager);

#endif
