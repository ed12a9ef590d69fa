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
    CompiledPolicy &compiled = d.compiled;
    compiled = CompiledPolicy();
    if (d.incomplete) {
        TAVO_ERROR("policy compile failed: memory ran out while policy was added, and all added policy was "
                   "dropped; clear and add it again");
        return ENOMEM;
    }
    tavo_image::BuiltImage built;
    std::string error;
    const int rc = d.compiler.compile(kind, ns, section, built, error);
    if (rc != 0) {
        TAVO_ERROR("policy compile failed: %s", error.c_str());
        return rc;
    }
    TAVO_INFO("%s", tavo_image::compiledImageSummary(kind, built).c_str());
    compiled.image = std::move(built.bytes);
    compiled.digest = built.digest;
    compiled.nodeCount = built.nodeCount;
    return 0;
}

// A compile that ran out of memory leaves nothing compiled.
template <typename Body>
int compileOrClear(PolicySyncImpl &d, const char *operation, Body &&body) noexcept
{
    return answerOutOfMemory(operation, std::forward<Body>(body), [&d] { d.compiled = CompiledPolicy(); });
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
    Impl &impl = *d;
    return answerOutOfMemory("clearAllPolicy", [&impl] {
        impl.record("clearAllPolicy");
        impl.compiler.clear();
        impl.compiled = CompiledPolicy();
        impl.incomplete = false;
        return 0;
    });
}

int PolicyModuleManagerInterface::initNamespaceFuncInfo()
{
    Impl &impl = *d;
    return answerOutOfMemory("initNamespaceFuncInfo", [&impl] {
        impl.record("initNamespaceFuncInfo");
        impl.compiler.clearFunctions();
        return 0;
    });
}

int PolicyModuleManagerInterface::prepareWork()
{
    Impl &impl = *d;
    return answerOutOfMemory("prepareWork", [&impl] {
        impl.record("prepareWork");
        return 0;
    });
}

int PolicyModuleManagerInterface::addPolicy(std::string fileName, PolicyDb &db)
{
    Impl &impl = *d;
    return addOrDropAll(impl, "addPolicy", [&] {
        impl.record("addPolicy", fileName, db.nodes.size());
        impl.compiler.addFile(fileName, db.nodes);
        return 0;
    });
}

int PolicyModuleManagerInterface::compileData()
{
    Impl &impl = *d;
    return compileOrClear(impl, "compileData", [&impl] {
        impl.record("compileData");
        return compileImage(impl, tavo_image::ImageKind::Full, std::string(), std::string());
    });
}

namespace {

int storeInitialImage(PolicySyncImpl &d)
{
    tavo_image::StoredFile stored;
    try {
        stored = tavo_image::storeFileAtomically(initPolicyPath, d.compiled.image, initFileMode, true);
    } catch (const std::bad_alloc &) {
        stored.error = ENOMEM;
    }
    for (const std::string &name : stored.removedTemporaries)
        TAVO_INFO("removed %s beside %s, left by an interrupted store", name.c_str(), initPolicyPath);
    if (stored.error != 0) {
        TAVO_ERROR("cannot store the initial policy image in %s: %s", initPolicyPath, strerror(stored.error));
        d.compiled = CompiledPolicy();
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

} // namespace

int PolicyModuleManagerInterface::compileInitData()
{
    Impl &impl = *d;
    return compileOrClear(impl, "compileInitData", [&impl] {
        impl.record("compileInitData");
        const int rc = compileImage(impl, tavo_image::ImageKind::Initial, std::string(), std::string());
        return rc != 0 ? rc : storeInitialImage(impl);
    });
}

int PolicyModuleManagerInterface::compileSectionPolicy(std::string nsName, std::string sectionName)
{
    Impl &impl = *d;
    return compileOrClear(impl, "compileSectionPolicy", [&] {
        impl.record("compileSectionPolicy", nsName, sectionName);
        if (!impl.compiler.hasNamespace(nsName)) {
            TAVO_ERROR("section compile: no policy was added for namespace \"%s\"", nsName.c_str());
            return EINVAL;
        }
        if (!impl.compiler.hasSection(nsName, sectionName)) {
            TAVO_ERROR("section compile: namespace \"%s\" has no section \"%s\"", nsName.c_str(),
                       sectionName.c_str());
            return EINVAL;
        }
        return compileImage(impl, tavo_image::ImageKind::Section, nsName, sectionName);
    });
}

void PolicyModuleManagerInterface::setNamespaceInfo(std::string nsName)
{
    Impl &impl = *d;
    addOrDropAll(impl, "setNamespaceInfo", [&] {
        impl.record("setNamespaceInfo", nsName);
        impl.compiler.setNamespace(std::move(nsName));
        return 0;
    });
}

void PolicyModuleManagerInterface::setNamespaceFuncInfo(std::string nsName, std::string moduleName,
                                                        std::string funcName)
{
    Impl &impl = *d;
    addOrDropAll(impl, "setNamespaceFuncInfo", [&] {
        impl.record("setNamespaceFuncInfo", nsName, moduleName, funcName);
        impl.compiler.setFunction(std::move(nsName), std::move(moduleName), std::move(funcName));
        return 0;
    });
}

void PolicyModuleManagerInterface::setUidInfo(std::string userName, uint32_t uid)
{
    Impl &impl = *d;
    addOrDropAll(impl, "setUidInfo", [&] {
        impl.record("setUidInfo", userName, uid);
        impl.compiler.setUid(std::move(userName), uid);
        return 0;
    });
}

void PolicyModuleManagerInterface::setFileToGetLabelMap(std::string kind, std::string name)
{
    Impl &impl = *d;
    addOrDropAll(impl, "setFileToGetLabelMap", [&] {
        impl.record("setFileToGetLabelMap", kind, name);
        impl.compiler.addLabel(kind, name);
        return 0;
    });
}

void PolicyModuleManagerInterface::addToKmodVec(std::string name)
{
    Impl &impl = *d;
    addOrDropAll(impl, "addToKmodVec", [&] {
        impl.record("addToKmodVec", name);
        impl.compiler.addKmod(std::move(name));
        return 0;
    });
}

void PolicyModuleManagerInterface::addToDeviceVec(std::string name)
{
    Impl &impl = *d;
    addOrDropAll(impl, "addToDeviceVec", [&] {
        impl.record("addToDeviceVec", name);
        impl.compiler.addDevice(std::move(name));
        return 0;
    });
}

int PolicyModuleManagerInterface::getParentClass(std::string type, std::string &parent)
{
    Impl &impl = *d;
    return answerOutOfMemory("getParentClass", [&] {
        impl.record("getParentClass", type);
        const char *found = tavo_policysync::parentClassOf(type);
        if (!found)
            return 1;
        parent = found;
        return 0;
    });
}

int PolicyModuleManagerInterface::getCapOid(std::string name, TAVO_ID &oid)
{
    Impl &impl = *d;
    return answerOutOfMemory("getCapOid", [&] {
        impl.record("getCapOid", name);
        uint64_t number = 0;
        if (!tavo_policysync::capabilityNumber(name, number))
            return 1;
        oid.id = number;
        oid.kind = 1;
        oid.reserved = 0;
        return 0;
    });
}
