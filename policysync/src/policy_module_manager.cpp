// Stand-in for the kernel policy-sync library: it encodes what it is given
// into the compiled policy image as the kernel encoder does, so that the
// compiler and the daemon can be built, run and tested without the kernel.
#include "tavopolicysync/policy_module_manager.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "manager_impl.h"
#include "object_classes.h"
#include <tavopolicysync/log.h>

namespace {

constexpr mode_t initFileMode = 0600;

} // namespace

const CompiledPolicy &lastCompiled(PolicyModuleManagerInterface &manager)
{
    return PolicyModuleManagerAccess::of(manager).compiled;
}

namespace {

// Compiles what was added into `compiled`; a failure empties it.
int compileImage(PolicySyncImpl &d, tavo_image::ImageKind kind, const std::string &ns, const std::string &section)
{
    tavo_image::BuiltImage built;
    std::string error;
    const int rc = d.compiler.compile(kind, ns, section, built, error);
    CompiledPolicy &compiled = d.compiled;
    if (rc != 0) {
        TAVO_ERROR("policy compile failed: %s", error.c_str());
        compiled = CompiledPolicy();
        return rc;
    }
    TAVO_INFO("%s", tavo_image::compiledImageSummary(kind, built).c_str());
    compiled.image = std::move(built.bytes);
    compiled.digest = built.digest;
    compiled.nodeCount = built.nodeCount;
    compiled.dynamicVariables = std::move(built.dynamicVariables);
    return 0;
}

} // namespace

void PolicyDb::clear()
{
    // The array is kept: a PolicyDb is reused for every file, and giving a
    // large block back and taking it again for each file costs more than
    // the block.
    nodes.clear();
}

PolicyModuleManagerInterface::PolicyModuleManagerInterface() : d(new Impl) {}

PolicyModuleManagerInterface::~PolicyModuleManagerInterface() = default;

int PolicyModuleManagerInterface::clearAllPolicy()
{
    d->record("clearAllPolicy");
    d->compiler.clear();
    d->compiled = CompiledPolicy();
    return 0;
}

int PolicyModuleManagerInterface::initNamespaceFuncInfo()
{
    d->record("initNamespaceFuncInfo");
    d->compiler.clearFunctions();
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
    d->compiler.addFile(fileName, db.nodes);
    return 0;
}

int PolicyModuleManagerInterface::compileData()
{
    d->record("compileData");
    return compileImage(*d, tavo_image::ImageKind::Full, std::string(), std::string());
}

int PolicyModuleManagerInterface::compileInitData()
{
    d->record("compileInitData");
    const int rc = compileImage(*d, tavo_image::ImageKind::Initial, std::string(), std::string());
    if (rc != 0)
        return rc;
    tavo_image::StoredFile stored;
    try {
        stored = tavo_image::storeFileAtomically(initPolicyPath, d->compiled.image, initFileMode, true);
    } catch (const std::bad_alloc &) {
        stored.error = ENOMEM;
    }
    for (const std::string &name : stored.removedTemporaries)
        TAVO_INFO("removed %s beside %s, left by an interrupted store", name.c_str(), initPolicyPath);
    if (stored.error != 0) {
        TAVO_ERROR("cannot store the initial policy image in %s: %s", initPolicyPath, strerror(stored.error));
        d->compiled = CompiledPolicy();
        return EIO;
    }
    // The image is in place and the next boot delivers it: the answer says
    // so, whatever became of the directory's fsync.
    if (stored.directorySync != 0)
        TAVO_WARN("stored the initial policy image in %s, but its directory could not be synced (%s): a crash "
                  "before the system syncs it may bring back the previous image",
                  initPolicyPath, strerror(stored.directorySync));
    return 0;
}

int PolicyModuleManagerInterface::compileSectionPolicy(std::string nsName, std::string sectionName)
{
    d->record("compileSectionPolicy", nsName, sectionName);
    if (!d->compiler.hasNamespace(nsName)) {
        TAVO_ERROR("section compile: no policy was added for namespace \"%s\"", nsName.c_str());
        return EINVAL;
    }
    if (!d->compiler.hasSection(nsName, sectionName)) {
        TAVO_ERROR("section compile: namespace \"%s\" has no section \"%s\"", nsName.c_str(), sectionName.c_str());
        return EINVAL;
    }
    return compileImage(*d, tavo_image::ImageKind::Section, nsName, sectionName);
}

void PolicyModuleManagerInterface::setNamespaceInfo(std::string nsName)
{
    d->record("setNamespaceInfo", nsName);
    d->compiler.setNamespace(std::move(nsName));
}

void PolicyModuleManagerInterface::setNamespaceFuncInfo(std::string nsName, std::string moduleName,
                                                        std::string funcName)
{
    d->record("setNamespaceFuncInfo", nsName, moduleName, funcName);
    d->compiler.setFunction(std::move(nsName), std::move(moduleName), std::move(funcName));
}

void PolicyModuleManagerInterface::setUidInfo(std::string userName, uint32_t uid)
{
    d->record("setUidInfo", userName, uid);
    d->compiler.setUid(std::move(userName), uid);
}

void PolicyModuleManagerInterface::setFileToGetLabelMap(std::string kind, std::string name)
{
    d->record("setFileToGetLabelMap", kind, name);
    d->compiler.addLabel(kind, name);
}

void PolicyModuleManagerInterface::addToKmodVec(std::string name)
{
    d->record("addToKmodVec", name);
    d->compiler.addKmod(std::move(name));
}

void PolicyModuleManagerInterface::addToDeviceVec(std::string name)
{
    d->record("addToDeviceVec", name);
    d->compiler.addDevice(std::move(name));
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
