// Stand-in for the kernel policy-sync library: it encodes what it is given
// into the compiled policy image as the kernel encoder does, so that the
// compiler and the daemon can be built, run and tested without the kernel.
#include "tavopolicysync/policy_module_manager.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "manager_impl.h"
#include "object_classes.h"
#include "unique_fd.h"
#include <tavopolicysync/log.h>

namespace {

constexpr mode_t initFileMode = 0600;

// Whether `name` is `base` + "." + six letters or digits: what mkostemp made
// of our own template when a store was cut off before its rename.
bool isOurTemporary(const std::string &name, const std::string &base)
{
    constexpr size_t suffixLength = 6;
    if (name.size() != base.size() + 1 + suffixLength || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '.')
        return false;
    for (size_t i = base.size() + 1; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// A store killed between creating its temporary and the rename leaves the
// temporary behind; enough of them fill the directory and every later store
// fails. Only one store runs at a time (the daemon serves one call at a
// time), so every such file left beside the image is stale.
void removeStaleTemporaries(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string directory = path.substr(0, slash);
    const std::string base = path.substr(slash + 1);
    const UniqueDir dir(opendir(directory.c_str()));
    if (!dir)
        return;
    const uid_t self = geteuid();
    while (const struct dirent *entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat st;
        if (!isOurTemporary(name, base) ||
            fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != self)
            continue;
        if (unlinkat(dirfd(dir.get()), name.c_str(), 0) == 0)
            TAVO_INFO("removed %s/%s, left by an interrupted store (%lld bytes)", directory.c_str(), name.c_str(),
                      static_cast<long long>(st.st_size));
        else
            TAVO_WARN("cannot remove %s/%s, left by an interrupted store: %s", directory.c_str(), name.c_str(),
                      strerror(errno));
    }
}

const char *kindName(tavo_image::ImageKind kind)
{
    switch (kind) {
    case tavo_image::ImageKind::Initial: return "initial policy image";
    case tavo_image::ImageKind::Section: return "section image";
    default: return "policy image";
    }
}

} // namespace

PolicyModuleManagerInterface::Impl &policySyncImpl(PolicyModuleManagerInterface &manager)
{
    return *manager.d;
}

const CompiledPolicy &lastCompiled(PolicyModuleManagerInterface &manager)
{
    return policySyncImpl(manager).compiled;
}

namespace {

void clearAll(PolicyModuleManagerInterface::Impl &d)
{
    d.builder.clear();
    d.registrations = tavo_image::Registrations();
    d.knownFunctions.clear();
    d.compiled = CompiledPolicy();
}

// Compiles what was added into `compiled`; a failure empties it. Running
// out of memory is a result (12): the builder may be left half-way through
// a table, so everything added goes with it.
int compileImage(PolicyModuleManagerInterface::Impl &d, tavo_image::ImageKind kind, const std::string &ns,
                 const std::string &section)
{
    tavo_image::BuiltImage built;
    std::string error;
    int rc = 0;
    try {
        rc = d.builder.build(kind, d.registrations, ns, section, built, error);
    } catch (const std::bad_alloc &) {
        built = tavo_image::BuiltImage();
        clearAll(d);
        TAVO_ERROR("policy compile failed: out of memory while building the %s; all added policy cleared",
                   kindName(kind));
        return ENOMEM;
    }
    CompiledPolicy &compiled = d.compiled;
    if (rc != 0) {
        TAVO_ERROR("policy compile failed: %s", error.c_str());
        compiled = CompiledPolicy();
        return rc;
    }
    compiled.image = std::move(built.bytes);
    compiled.digest = built.digest;
    compiled.nodeCount = built.nodeCount;
    compiled.dynamicVariables = std::move(built.dynamicVariables);
    TAVO_INFO("%s compiled: %zu nodes, %zu bytes, sha256 %s", kindName(kind), compiled.nodeCount,
              compiled.image.size(), tavo_image::digestHex(compiled.digest).c_str());
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
    clearAll(*d);
    return 0;
}

int PolicyModuleManagerInterface::initNamespaceFuncInfo()
{
    d->record("initNamespaceFuncInfo");
    d->registrations.functions.clear();
    d->knownFunctions.clear();
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
    d->builder.addFile(fileName, db.nodes);
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
    removeStaleTemporaries(initPolicyPath);
    int error = 0;
    try {
        error = tavo_image::storeFileAtomically(initPolicyPath, d->compiled.image, initFileMode, true);
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    if (error != 0) {
        TAVO_ERROR("cannot store the initial policy image in %s: %s", initPolicyPath, strerror(error));
        d->compiled = CompiledPolicy();
        return EIO;
    }
    return 0;
}

int PolicyModuleManagerInterface::compileSectionPolicy(std::string nsName, std::string sectionName)
{
    d->record("compileSectionPolicy", nsName, sectionName);
    if (!d->builder.hasNamespace(nsName)) {
        TAVO_ERROR("section compile: no policy was added for namespace \"%s\"", nsName.c_str());
        return EINVAL;
    }
    if (!d->builder.hasSection(nsName, sectionName)) {
        TAVO_ERROR("section compile: namespace \"%s\" has no section \"%s\"", nsName.c_str(), sectionName.c_str());
        return EINVAL;
    }
    return compileImage(*d, tavo_image::ImageKind::Section, nsName, sectionName);
}

void PolicyModuleManagerInterface::setNamespaceInfo(std::string nsName)
{
    d->record("setNamespaceInfo", nsName);
    d->registrations.namespaces.insert(std::move(nsName));
}

void PolicyModuleManagerInterface::setNamespaceFuncInfo(std::string nsName, std::string moduleName,
                                                        std::string funcName)
{
    d->record("setNamespaceFuncInfo", nsName, moduleName, funcName);
    std::string &key = d->keyBuffer;
    key.assign(nsName).append(1, '\0').append(moduleName).append(1, '\0').append(funcName);
    if (d->knownFunctions.insert(key).second)
        d->registrations.functions.emplace(std::move(nsName), std::move(moduleName), std::move(funcName));
}

void PolicyModuleManagerInterface::setUidInfo(std::string userName, uint32_t uid)
{
    d->record("setUidInfo", userName, uid);
    d->registrations.uidNames[std::move(userName)] = uid;
}

void PolicyModuleManagerInterface::setFileToGetLabelMap(std::string kind, std::string name)
{
    d->record("setFileToGetLabelMap", kind, name);
    d->builder.addLabel(kind, name);
}

void PolicyModuleManagerInterface::addToKmodVec(std::string name)
{
    d->record("addToKmodVec", name);
    d->registrations.kmods.insert(std::move(name));
}

void PolicyModuleManagerInterface::addToDeviceVec(std::string name)
{
    d->record("addToDeviceVec", name);
    d->registrations.devices.insert(std::move(name));
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
