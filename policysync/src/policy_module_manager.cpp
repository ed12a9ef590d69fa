// Stand-in for the kernel policy-sync library: it keeps everything it is
// given, so that the compiler and the daemon can be built, run and tested
// without the kernel side.
#include "tavopolicysync/policy_module_manager.h"

#include "object_classes.h"
#include "tavopolicysync/standin.h"

#include <utility>

struct PolicyModuleManagerInterface::Impl {
    PolicySyncState state;
    bool journalOn = false;
    std::vector<PolicySyncCall> journal;

    void record(const char *op, std::vector<std::string> args = {})
    {
        if (journalOn)
            journal.push_back(PolicySyncCall{op, std::move(args)});
    }
};

PolicyModuleManagerInterface::Impl &policySyncImpl(PolicyModuleManagerInterface &manager)
{
    return *manager.d;
}

void PolicyDb::clear()
{
    // Release the storage too: a PolicyDb is reused for every file.
    std::vector<PolicyNode>().swap(nodes);
}

PolicyModuleManagerInterface::PolicyModuleManagerInterface() : d(new Impl) {}

PolicyModuleManagerInterface::~PolicyModuleManagerInterface() = default;

int PolicyModuleManagerInterface::clearAllPolicy()
{
    d->record("clearAllPolicy");
    d->state = PolicySyncState();
    return 0;
}

int PolicyModuleManagerInterface::initNamespaceFuncInfo()
{
    d->record("initNamespaceFuncInfo");
    d->state.functions.clear();
    return 0;
}

int PolicyModuleManagerInterface::prepareWork()
{
    d->record("prepareWork");
    return 0;
}

int PolicyModuleManagerInterface::addPolicy(std::string fileName, PolicyDb &db)
{
    d->record("addPolicy", {fileName, std::to_string(db.nodes.size())});
    PolicyDb kept;
    kept.nodes = std::move(db.nodes);
    db.nodes.clear();
    d->state.added.emplace_back(std::move(fileName), std::move(kept));
    return 0;
}

void PolicyModuleManagerInterface::setNamespaceInfo(std::string nsName)
{
    d->record("setNamespaceInfo", {nsName});
    d->state.namespaces.insert(std::move(nsName));
}

void PolicyModuleManagerInterface::setNamespaceFuncInfo(std::string nsName, std::string moduleName,
                                                        std::string funcName)
{
    d->record("setNamespaceFuncInfo", {nsName, moduleName, funcName});
    d->state.functions.emplace(std::move(nsName), std::move(moduleName), std::move(funcName));
}

void PolicyModuleManagerInterface::setUidInfo(std::string userName, uint32_t uid)
{
    d->record("setUidInfo", {userName, std::to_string(uid)});
    d->state.uids[std::move(userName)] = uid;
}

void PolicyModuleManagerInterface::setFileToGetLabelMap(std::string kind, std::string name)
{
    d->record("setFileToGetLabelMap", {kind, name});
    d->state.labels.emplace(std::move(kind), std::move(name));
}

void PolicyModuleManagerInterface::addToKmodVec(std::string name)
{
    d->record("addToKmodVec", {name});
    d->state.kmods.insert(std::move(name));
}

void PolicyModuleManagerInterface::addToDeviceVec(std::string name)
{
    d->record("addToDeviceVec", {name});
    d->state.devices.insert(std::move(name));
}

int PolicyModuleManagerInterface::getParentClass(std::string type, std::string &parent)
{
    d->record("getParentClass", {type});
    const char *found = tavo_policysync::parentClassOf(type);
    if (!found)
        return 1;
    parent = found;
    return 0;
}

int PolicyModuleManagerInterface::getCapOid(std::string name, TAVO_ID &oid)
{
    d->record("getCapOid", {name});
    uint64_t number = 0;
    if (!tavo_policysync::capabilityNumber(name, number))
        return 1;
    oid.id = number;
    oid.kind = 1;
    oid.reserved = 0;
    return 0;
}

const PolicySyncState &policySyncState(PolicyModuleManagerInterface &manager)
{
    return policySyncImpl(manager).state;
}

void setPolicySyncJournal(PolicyModuleManagerInterface &manager, bool on)
{
    auto &impl = policySyncImpl(manager);
    impl.journalOn = on;
    if (!on)
        impl.journal.clear();
}

const std::vector<PolicySyncCall> &policySyncJournal(PolicyModuleManagerInterface &manager)
{
    return policySyncImpl(manager).journal;
}
