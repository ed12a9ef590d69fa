#include "policy_manager.h"

#include <utility>

#include "front_end.h"
#include "rule_expansion.h"

namespace {

thread_local ExpansionGate *currentGate = nullptr;

class LibraryOutput final : public PolicyOutput {
public:
    int clearAllPolicy() override { return policyManager().clearAllPolicy(); }
    int initNamespaceFuncInfo() override { return policyManager().initNamespaceFuncInfo(); }
    // The library takes records, one per uid and permission of each rule;
    // they take the rules' members.
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override
    {
        if (currentGate && !currentGate->admits(rules))
            return;
        policyManager().addPolicy(fileName, expandFileNodes(rules, false));
    }
    void setNamespaceInfo(std::string nsName) override { policyManager().setNamespaceInfo(std::move(nsName)); }
    void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                              const std::string &funcName) override
    {
        policyManager().setNamespaceFuncInfo(nsName, moduleName, funcName);
    }
    void setUidInfo(const std::string &userName, uint32_t uid) override { policyManager().setUidInfo(userName, uid); }
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override
    {
        policyManager().setFileToGetLabelMap(kind, name);
    }
    void addToKmodVec(std::string name) override { policyManager().addToKmodVec(std::move(name)); }
    void addToDeviceVec(std::string name) override { policyManager().addToDeviceVec(std::move(name)); }
};

} // namespace

PolicyModuleManagerInterface &policyManager()
{
    static PolicyModuleManagerInterface manager;
    return manager;
}

PolicyOutput &libraryOutput()
{
    static LibraryOutput output;
    return output;
}

uint64_t expandedRecords(const std::vector<FileRule> &rules)
{
    uint64_t total = 0;
    for (const FileRule &rule : rules) {
        const PolicyNode &n = rule.shared;
        uint64_t each = 1 + n.sids.size() + n.subjectNames.size() + n.oids.size() + n.objectNames.size() +
                        n.conditions.size() + n.actions.size();
        for (const ExprNode &e : n.conditions)
            each += e.params.size();
        for (const DoFuncNode &call : n.actions)
            each += call.params.size();
        // Far from overflowing: at most maxFileNodes nodes a file, and
        // maxListElements elements a list.
        total += each * rule.uids.size() * rule.permissions.size();
    }
    return total;
}

ExpansionGate::ExpansionGate(std::function<bool()> allows) : allows_(std::move(allows)), previous_(currentGate)
{
    currentGate = this;
}

ExpansionGate::~ExpansionGate()
{
    currentGate = previous_;
}

bool expansionRefused()
{
    return currentGate && currentGate->refused_;
}

bool ExpansionGate::admits(const std::vector<FileRule> &rules)
{
    if (refused_)
        return false;
    if (asked_ || expandedRecords(rules) <= largeExpansionRecords)
        return true;
    asked_ = true;
    if (allows_())
        return true;
    refused_ = true;
    // Files before this one went to the library already.
    policyOutput().clearAllPolicy();
    return false;
}
