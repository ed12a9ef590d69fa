// Inspection of the stand-in policy-sync library: what it was given. Only
// tests and tools that know they run on the stand-in include this header.
#ifndef TAVOPOLICYSYNC_STANDIN_H
#define TAVOPOLICYSYNC_STANDIN_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tavopolicysync/export.h"
#include "tavopolicysync/policy_module_manager.h"

// One call into the manager as the journal records it: the operation's name
// and its arguments rendered as text.
struct PolicySyncCall {
    std::string op;
    std::vector<std::string> args;
    bool operator==(const PolicySyncCall &o) const { return op == o.op && args == o.args; }
};

struct LabelKeyHash {
    size_t operator()(const std::pair<std::string, std::string> &key) const
    {
        const size_t h = std::hash<std::string>()(key.first);
        return h ^ (std::hash<std::string>()(key.second) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
    }
};

struct PolicySyncState {
    std::set<std::string> namespaces;
    std::set<std::tuple<std::string, std::string, std::string>> functions;
    std::map<std::string, uint32_t> uids;
    // (kind, name); asked for once per subject and object of every rule
    std::unordered_set<std::pair<std::string, std::string>, LabelKeyHash> labels;
    std::set<std::string> kmods;
    std::set<std::string> devices;
    std::vector<std::pair<std::string, PolicyDb>> added; // in addPolicy order
};

TAVOPOLICYSYNC_EXPORT const PolicySyncState &policySyncState(PolicyModuleManagerInterface &manager);

// Starts (or with `on` false stops and empties) recording every call.
TAVOPOLICYSYNC_EXPORT void setPolicySyncJournal(PolicyModuleManagerInterface &manager, bool on);
TAVOPOLICYSYNC_EXPORT const std::vector<PolicySyncCall> &policySyncJournal(PolicyModuleManagerInterface &manager);

#endif
