// Inside of the policy-sync library's manager, shared by its source files
// and the test-only inspection (policysync/testing).
#ifndef TAVOPOLICYSYNC_MANAGER_IMPL_H
#define TAVOPOLICYSYNC_MANAGER_IMPL_H

#include <string>
#include <utility>
#include <vector>

#include "compiled_policy.h"
#include "policy_compiler.h"
#include "tavopolicysync/policy_module_manager.h"

#ifdef TAVOPOLICYSYNC_JOURNAL
// One call into the manager as the test journal records it: the operation's
// name and its arguments rendered as text.
struct PolicySyncCall {
    std::string op;
    std::vector<std::string> args;
    bool operator==(const PolicySyncCall &o) const { return op == o.op && args == o.args; }
};
#endif

struct PolicyModuleManagerInterface::Impl {
    tavo_image::PolicyCompiler compiler;
    CompiledPolicy compiled;

#ifdef TAVOPOLICYSYNC_JOURNAL
    // Only in the testing build of the library (target
    // tavopolicysynctesting); arguments are only rendered while it records.
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
#else
    template <typename... Args>
    void record(const char *, const Args &...)
    {
    }
#endif
};

// The inside of a manager, for the library's own sources and its testing
// build.
struct PolicyModuleManagerAccess {
    using Impl = PolicyModuleManagerInterface::Impl;
    static Impl &of(PolicyModuleManagerInterface &manager) { return *manager.d; }
};
using PolicySyncImpl = PolicyModuleManagerAccess::Impl;

inline PolicySyncImpl &policySyncImpl(PolicyModuleManagerInterface &manager)
{
    return PolicyModuleManagerAccess::of(manager);
}

#endif
