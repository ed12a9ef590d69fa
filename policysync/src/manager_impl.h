// Inside of the policy-sync library's manager, shared by its source files
// and the test-only inspection (policysync/testing).
#ifndef TAVOPOLICYSYNC_MANAGER_IMPL_H
#define TAVOPOLICYSYNC_MANAGER_IMPL_H

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "compiled_policy.h"
#include "policy_compiler.h"
#include "tavopolicysync/policy_module_manager.h"
#include <tavopolicysync/log.h>

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
    // Memory ran out while policy was added or registered: what was added
    // is gone, and nothing compiles until the next clearAllPolicy.
    bool incomplete = false;

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

// Memory running out inside the library is a result, never an exception
// across its boundary: `body`'s result, or, when it ran out of memory,
// ENOMEM (12) after `undo` (which must not allocate).
template <typename Body, typename Undo>
int answerOutOfMemory(const char *operation, Body &&body, Undo &&undo) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    undo();
    TAVO_ERROR("%s: out of memory", operation);
    return ENOMEM;
}

template <typename Body>
int answerOutOfMemory(const char *operation, Body &&body) noexcept
{
    return answerOutOfMemory(operation, std::forward<Body>(body), [] {});
}

// For what adds policy or registers a fact: a failure may leave the
// compiler half-way through an update, so everything added goes, and the
// next compile fails instead of compiling without it.
template <typename Body>
int addOrDropAll(PolicySyncImpl &d, const char *operation, Body &&body) noexcept
{
    return answerOutOfMemory(operation, std::forward<Body>(body), [&d] {
        d.compiler.clear();
        d.compiled = CompiledPolicy();
        d.incomplete = true;
    });
}

#endif
