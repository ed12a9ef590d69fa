// The encoder of the policy image: files' records go in as they are added,
// an image comes out at compile time. No PolicyNode is kept: every string is
// interned once and the nodes of one rule share one rule record.
#ifndef TAVO_IMAGE_BUILDER_H
#define TAVO_IMAGE_BUILDER_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "image_format.h"
#include "policy_image.h"

namespace tavo_image {

// Compile-side facts registered while files were parsed.
struct Registrations {
    std::set<std::string> namespaces;
    std::set<std::tuple<std::string, std::string, std::string>> functions; // namespace, module, function
    std::map<std::string, uint32_t> uidNames;
    std::set<std::string> kmods;
    std::set<std::string> devices;
};

struct BuiltImage {
    std::vector<uint8_t> bytes;
    Digest digest{};
    size_t nodeCount = 0;
    std::set<std::pair<std::string, std::string>> dynamicVariables; // namespace, variable
};

class ImageBuilder {
public:
    ImageBuilder();

    // Forgets everything added.
    void clear();
    // Encodes one file's nodes.
    void addFile(const std::string &fileName, const std::vector<PolicyNode> &nodes);
    size_t nodeCount() const { return nodes_.size(); }

    // A label kind and name registered for the image's label table (in
    // order of first registration).
    void addLabel(const std::string &kind, const std::string &name);

    bool hasNamespace(const std::string &ns) const;
    bool hasSection(const std::string &ns, const std::string &section) const;

    // Validates and writes an image of everything added, or with a section
    // kind only of the nodes of `ns`/`section`. 0, or 22 with `error` telling
    // what is wrong and where.
    int build(ImageKind kind, const Registrations &registrations, const std::string &ns, const std::string &section,
              BuiltImage &out, std::string &error);

private:
    static uint64_t hashOf(const char *data, size_t size);
    uint32_t probe(const char *data, size_t size, uint64_t hash, size_t &slot) const;
    void grow();
    uint32_t intern(const std::string &s);
    uint32_t find(const std::string &s) const;
    std::string text(uint32_t index) const;
    uint32_t internCached(const std::string &s, uint32_t &cache);
    void stageParams(const std::vector<FuncParam> &params);
    template <typename Record>
    uint32_t commitStaged(std::vector<Record> &staged, std::vector<Record> &table,
                          std::unordered_map<std::string, uint32_t> &seen);
    void addRule(uint32_t file, const PolicyNode &node);
    int validate(const std::vector<uint32_t> &rules, const Registrations &registrations, std::string &error);
    std::string where(uint32_t rule) const;

    // String table
    std::vector<uint32_t> stringEnds_;
    std::string stringBytes_;
    static constexpr size_t initialSlots = 1024;
    std::vector<uint64_t> slots_;
    uint32_t emptyString_ = noString;
    uint32_t lastLabelKind_ = noString;
    std::vector<PairRecord> labels_;
    std::unordered_set<uint64_t> labelKeys_;
    uint32_t lastObjectType_ = noString, lastNamespace_ = noString, lastSection_ = noString, lastModule_ = noString;

    std::vector<uint32_t> files_;
    std::vector<uint32_t> fileFirstRule_;
    std::vector<NodeRecord> nodes_;
    std::vector<RuleRecord> rules_;
    std::vector<uint32_t> nameRefs_;
    std::vector<IdRecord> ids_;
    std::vector<ExprRecord> exprs_;
    std::vector<CallRecord> calls_;
    std::vector<ParamRecord> params_;
    // Distinct condition and action lists (their records and parameters as
    // bytes) -> where they start.
    std::unordered_map<std::string, uint32_t> seenExprLists_;
    std::unordered_map<std::string, uint32_t> seenCallLists_;
    std::vector<ExprRecord> stagedExprs_;
    std::vector<CallRecord> stagedCalls_;
    std::vector<ParamRecord> stagedParams_;
    std::string stagedKey_;

    // (namespace, variable) -> value of the first dynamic variable node seen
    std::unordered_map<uint64_t, uint32_t> dynamicValues_;
};

} // namespace tavo_image

#endif
