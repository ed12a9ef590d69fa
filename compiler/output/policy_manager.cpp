#include "policy_manager.h"

#include <utility>

#include "parse_state.h"
#include "rule_expansion.h"

PolicyModuleManagerInterface &policyManager()
{
    static PolicyModuleManagerInterface manager;
    return manager;
}

int LibraryOutput::clearAllPolicy()
{
    return policyManager().clearAllPolicy();
}

int LibraryOutput::initNamespaceFuncInfo()
{
    return policyManager().initNamespaceFuncInfo();
}

void LibraryOutput::addRules(const std::string &fileName, std::vector<FileRule> &rules)
{
    if (expansion_) {
        policyManager().addPolicy(fileName, expandFileNodes(*expansion_, rules, false));
        return;
    }
    PolicyDb &db = expandFileNodes(own_, rules, false);
    policyManager().addPolicy(fileName, db);
    // As the parse state does: a large file's storage is not kept for the next.
    if (db.nodes.capacity() * sizeof(PolicyNode) > maxSpareRecordBytes)
        std::vector<PolicyNode>().swap(db.nodes);
}

void LibraryOutput::setNamespaceInfo(std::string nsName)
{
    policyManager().setNamespaceInfo(std::move(nsName));
}

void LibraryOutput::setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                                         const std::string &funcName)
{
    policyManager().setNamespaceFuncInfo(nsName, moduleName, funcName);
}

void LibraryOutput::setUidInfo(const std::string &userName, uint32_t uid)
{
    policyManager().setUidInfo(userName, uid);
}

void LibraryOutput::setFileToGetLabelMap(const std::string &kind, const std::string &name)
{
    policyManager().setFileToGetLabelMap(kind, name);
}

void LibraryOutput::addToKmodVec(std::string name)
{
    policyManager().addToKmodVec(std::move(name));
}

void LibraryOutput::addToDeviceVec(std::string name)
{
    policyManager().addToDeviceVec(std::move(name));
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

ExpansionGate::ExpansionGate(std::function<bool()> allows) : allows_(std::move(allows)) {}

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
    return false;
}
