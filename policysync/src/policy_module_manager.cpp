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

    // Arguments are only rendered while the journal is on: the front end
    // calls in here for every rule.
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
    d->record("addPolicy", fileName, db.nodes.size());
    PolicyDb kept;
    kept.nodes = std::move(db.nodes);
    db.nodes.clear();
    d->state.added.emplace_back(std::move(fileName), std::move(kept));
    return 0;
}

void PolicyModuleManagerInterface::setNamespaceInfo(std::string nsName)
{
    d->record("setNamespaceInfo", nsName);
    d->state.namespaces.insert(std::move(nsName));
}

void PolicyModuleManagerInterface::setNamespaceFuncInfo(std::string nsName, std::string moduleName,
                                                        std::string funcName)
{
    d->record("setNamespaceFuncInfo", nsName, moduleName, funcName);
    std::tuple<std::string, std::string, std::string> key(std::move(nsName), std::move(moduleName),
                                                          std::move(funcName));
    if (d->state.functions.find(key) == d->state.functions.end())
        d->state.functions.insert(std::move(key));
}

void PolicyModuleManagerInterface::setUidInfo(std::string userName, uint32_t uid)
{
    d->record("setUidInfo", userName, uid);
    d->state.uids[std::move(userName)] = uid;
}

void PolicyModuleManagerInterface::setFileToGetLabelMap(std::string kind, std::string name)
{
    d->record("setFileToGetLabelMap", kind, name);
    std::pair<std::string, std::string> key(std::move(kind), std::move(name));
    if (d->state.labels.find(key) == d->state.labels.end())
        d->state.labels.insert(std::move(key));
}

void PolicyModuleManagerInterface::addToKmodVec(std::string name)
{
    d->record("addToKmodVec", name);
    d->state.kmods.insert(std::move(name));
}

void PolicyModuleManagerInterface::addToDeviceVec(std::string name)
{
    d->record("addToDeviceVec", name);
    d->state.devices.insert(std::move(name));
}

int PolicyModuleManagerInterface::getParentClass(std::string type, std::string &parent)
{
    d->record("getParentClass", type);
    const char *found = tavo_policysync::parentClassOf(type);
    if (!found)
        return 1;
    parent = found;
    return 0;
}

int PolicyModuleManagerInterface::getCapOid(std::string name, TAVO_ID &oid)
{
    d->record("getCapOid", name);
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
