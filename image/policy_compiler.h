// The compile side of the policy-sync library over our image encoder: the
// facts registered while files are parsed, each file's records, and the
// image of everything added. The stand-in library keeps one per manager;
// tavo-policy-check builds its image with one of its own, so that it needs
// nothing of the library but its public calls.
#ifndef TAVO_POLICY_COMPILER_H
#define TAVO_POLICY_COMPILER_H

#include <cstdint>
#include <array>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "recent_registrations.h"

#include "image_builder.h"

namespace tavo_image {

class PolicyCompiler {
public:
    explicit PolicyCompiler(LargeBlocks blocks = LargeBlocks::Heap) : builder_(blocks) {}
    // Drops everything added and registered.
    void clear();
    // Drops the function registrations only.
    void clearFunctions();
    void addFile(const std::string &fileName, const std::vector<PolicyNode> &nodes);
    // A file rule by rule (ImageBuilder::startFile).
    void startFile(const std::string &fileName) { builder_.startFile(fileName); }
    void addRule(const PolicyNode &shared, const std::vector<uint32_t> &uids,
                 const std::vector<std::string> &permissions)
    {
        builder_.addRule(shared, uids, permissions);
    }
    void endFile() { builder_.endFile(); }

    void setNamespace(std::string ns);
    void setFunction(const std::string &ns, const std::string &module, const std::string &function);
    void setUid(const std::string &userName, uint32_t uid);
    void addLabel(const std::string &kind, const std::string &name);
    void addKmod(std::string name);
    void addDevice(std::string name);

    bool hasNamespace(const std::string &ns) const { return builder_.hasNamespace(ns); }
    bool hasSection(const std::string &ns, const std::string &section) const
    {
        return builder_.hasSection(ns, section);
    }

    // Builds the image of everything added (a section kind: only of
    // `ns`/`section`). 0; 22 with `error` when the policy does not hold;
    // 12 when memory ran out, which drops everything added.
    // With digestOnly, out.bytes stays empty (ImageBuilder::build).
    int compile(ImageKind kind, const std::string &ns, const std::string &section, BuiltImage &out,
                std::string &error, bool digestOnly = false);
    // compile() of an image of every rule in two halves on two threads
    // (ImageBuilder::buildUnchecked). When memory ran out in either, the
    // caller calls dropForMemory() once both ended.
    int buildUnchecked(ImageKind kind, BuiltImage &out, std::string &error, bool digestOnly,
                       const std::function<void()> &unchanged)
    {
        return builder_.buildUnchecked(kind, registrations_, out, error, digestOnly, unchanged);
    }
    int validate(std::string &error) const { return builder_.validate(registrations_, error); }
    // What compile() does when memory runs out: drops everything added,
    // and gives 12 with `error` saying so.
    int dropForMemory(ImageKind kind, BuiltImage &out, std::string &error);
    // Whether the module would take that image (ImageBuilder::checkLimits).
    int checkLimits(ImageKind kind, const std::string &ns, const std::string &section, std::string &error);

private:
    ImageBuilder builder_;
    Registrations registrations_;
    // Lookup in front of the ordered function registrations: the front end
    // registers a function for every call it meets, mostly ones known.
    std::unordered_set<std::string> knownFunctions_;
    std::string keyBuffer_;
    // Checked before the key is even made.
    RecentFunctions recentFunctions_;
    RecentUids recentUids_;
    void forgetRecentFunctions();
};

// What an image is called in log lines ("policy image", ...).
const char *imageKindName(ImageKind kind);
// The log line of a compiled image: kind, nodes, bytes and digest.
std::string compiledImageSummary(ImageKind kind, const BuiltImage &image);

} // namespace tavo_image

#endif
