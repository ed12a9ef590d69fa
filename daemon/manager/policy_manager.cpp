#include "policy_manager.h"

#include <utility>

#include "rule_expansion.h"

namespace {

class LibraryOutput final : public PolicyOutput {
public:
    int clearAllPolicy() override { return policyManager().clearAllPolicy(); }
    int initNamespaceFuncInfo() override { return policyManager().initNamespaceFuncInfo(); }
    // The library takes records, one per uid and permission of each rule;
    // they take the rules' members.
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override
    {
        policyManager().addPolicy(fileName, expandFileNodes(rules, false));
    }
    void setNamespaceInfo(std::string nsName) override { policyManager().setNamespaceInfo(std::move(nsName)); }
    void setNamespaceFuncInfo(std::string nsName, std::string moduleName, std::string funcName) override
    {
        policyManager().setNamespaceFuncInfo(std::move(nsName), std::move(moduleName), std::move(funcName));
    }
    void setUidInfo(std::string userName, uint32_t uid) override
    {
        policyManager().setUidInfo(std::move(userName), uid);
    }
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
