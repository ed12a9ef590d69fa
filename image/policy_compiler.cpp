#include "policy_compiler.h"

#include <cerrno>
#include <new>
#include <utility>

namespace tavo_image {

void PolicyCompiler::clear()
{
    builder_.clear();
    registrations_ = Registrations();
    knownFunctions_.clear();
    forgetRecentFunctions();
}

void PolicyCompiler::clearFunctions()
{
    registrations_.functions.clear();
    knownFunctions_.clear();
    forgetRecentFunctions();
}

void PolicyCompiler::forgetRecentFunctions()
{
    recentFunctions_.forget();
    recentUids_.forget();
}

void PolicyCompiler::addFile(const std::string &fileName, const std::vector<PolicyNode> &nodes)
{
    builder_.addFile(fileName, nodes);
}

void PolicyCompiler::setNamespace(std::string ns)
{
    registrations_.namespaces.insert(std::move(ns));
}

void PolicyCompiler::setFunction(const std::string &ns, const std::string &module, const std::string &function)
{
    if (recentFunctions_.contains(ns, module, function))
        return;
    std::string &key = keyBuffer_;
    key.assign(ns).append(1, '\0').append(module).append(1, '\0').append(function);
    if (knownFunctions_.insert(key).second)
        registrations_.functions.emplace(ns, module, function);
    // Remembered only once registered.
    recentFunctions_.remember(ns, module, function);
}

void PolicyCompiler::setUid(const std::string &userName, uint32_t uid)
{
    // The same name with the same uid again changes nothing.
    if (recentUids_.contains(userName, uid))
        return;
    registrations_.uidNames[userName] = uid;
    recentUids_.remember(userName, uid);
}

void PolicyCompiler::addLabel(const std::string &kind, const std::string &name)
{
    builder_.addLabel(kind, name);
}

void PolicyCompiler::addKmod(std::string name)
{
    registrations_.kmods.insert(std::move(name));
}

void PolicyCompiler::addDevice(std::string name)
{
    registrations_.devices.insert(std::move(name));
}

int PolicyCompiler::compile(ImageKind kind, const std::string &ns, const std::string &section, BuiltImage &out,
                            std::string &error, bool digestOnly)
{
    // The builder may be left half-way through a table, so everything added
    // goes with it.
    try {
        return builder_.build(kind, registrations_, ns, section, out, error, digestOnly);
    } catch (const std::bad_alloc &) {
        return dropForMemory(kind, out, error);
    }
}

int PolicyCompiler::dropForMemory(ImageKind kind, BuiltImage &out, std::string &error)
{
    out = BuiltImage();
    clear();
    error = std::string("out of memory while building the ") + imageKindName(kind) + "; all added policy cleared";
    return ENOMEM;
}

int PolicyCompiler::checkLimits(ImageKind kind, const std::string &ns, const std::string &section,
                                std::string &error)
{
    return builder_.checkLimits(kind, registrations_, ns, section, error);
}

const char *imageKindName(ImageKind kind)
{
    switch (kind) {
    case ImageKind::Initial: return "initial policy image";
    case ImageKind::Section: return "section image";
    default: return "policy image";
    }
}

std::string compiledImageSummary(ImageKind kind, const BuiltImage &image)
{
    return std::string(imageKindName(kind)) + " compiled: " + std::to_string(image.nodeCount) + " nodes, " +
           std::to_string(image.size) + " bytes, sha256 " + digestHex(image.digest);
}

} // namespace tavo_image
