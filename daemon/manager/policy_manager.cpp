#include "policy_manager.h"

#include <utility>

namespace {

class LibraryOutput final : public PolicyOutput {
public:
    int clearAllPolicy() override { return policyManager().clearAllPolicy(); }
    int initNamespaceFuncInfo() override { return policyManager().initNamespaceFuncInfo(); }
    int addPolicy(std::string fileName, PolicyDb &db) override
    {
        return policyManager().addPolicy(std::move(fileName), db);
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

LibraryOutput libraryOutput;
PolicyOutput *chosenOutput = &libraryOutput;

} // namespace

PolicyModuleManagerInterface &policyManager()
{
    static PolicyModuleManagerInterface manager;
    return manager;
}

PolicyOutput &policyOutput()
{
    return *chosenOutput;
}

void setPolicyOutput(PolicyOutput *output)
{
    chosenOutput = output ? output : &libraryOutput;
}
