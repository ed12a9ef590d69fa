// The encoder of the policy image: files' records go in as they are added,
// an image comes out at compile time. No PolicyNode is kept: every string is
// interned once and the nodes of one rule share one rule record.
#ifndef TAVO_IMAGE_BUILDER_H
#define TAVO_IMAGE_BUILDER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <tavopolicysync/policy_records.h>

#include "distinct_lists.h"
#include "image_format.h"
#include "image_writer.h"
#include "label_table.h"
#include "large_blocks.h"
#include "node_slots.h"
#include "record_tables.h"
#include "registered_tables.h"
#include "string_table.h"

namespace tavo_image {

class ImageBuilder {
public:
    explicit ImageBuilder(LargeBlocks blocks = LargeBlocks::Heap) : blocks_(blocks), records_(blocks) {}
    // Forgets everything added and gives the memory back.
    void clear() { *this = ImageBuilder(blocks_); }
    // Encodes one file's nodes.
    void addFile(const std::string &fileName, const std::vector<PolicyNode> &nodes);
    // Encodes one file rule by rule, to the same image as addFile with the
    // rules' nodes: startFile, then addRule for each rule with the members
    // its nodes share and the uids and permissions whose every pair, uid by
    // uid, is one of its nodes, then endFile. A rule is compared with the one
    // before it in the file, which must stay as it was until then.
    void startFile(const std::string &fileName);
    void addRule(const PolicyNode &shared, const std::vector<uint32_t> &uids,
                 const std::vector<std::string> &permissions);
    void endFile();
    size_t nodeCount() const { return records_.nodes.size(); }

    // A label kind and name registered for the image's label table (in
    // order of first registration).
    void addLabel(const std::string &kind, const std::string &name) { labels_.add(kind, name, strings_); }

    bool hasNamespace(const std::string &ns) const;
    bool hasSection(const std::string &ns, const std::string &section) const;

    // Validates and writes an image of everything added, or with a section
    // kind only of the nodes of `ns`/`section`. 0, or 22 with `error` telling
    // what is wrong and where: a rule that does not hold, or an image the
    // module would not take (image_limits.h). With digestOnly the bytes are
    // hashed as they are made but not kept: out.bytes stays empty. A builder
    // whose blocks are on huge pages asks for them under the image too.
    int build(ImageKind kind, const Registrations &registrations, const std::string &ns, const std::string &section,
              BuiltImage &out, std::string &error, bool digestOnly = false);
    // build() of an image of every rule (not a section kind) in two halves,
    // for a caller with two threads: buildUnchecked() does all but check
    // the rules, and calls `unchanged` once it no longer changes the
    // builder; from then validate() may run on another thread. The image
    // holds only when validate() says 0, whose error comes first, as in
    // build(). Neither catches std::bad_alloc.
    int buildUnchecked(ImageKind kind, const Registrations &registrations, BuiltImage &out, std::string &error,
                       bool digestOnly, const std::function<void()> &unchanged);
    int validate(const Registrations &registrations, std::string &error) const;
    // Whether the module would take the image build() would make: 0, or 22
    // with `error` when its size or its records are beyond the module's
    // limits. Whether the rules hold is not looked at.
    int checkLimits(ImageKind kind, const Registrations &registrations, const std::string &ns,
                    const std::string &section, std::string &error);

private:
    // build() and checkLimits(): with a null `out`, only the limits.
    // With `unchanged`, the rules are not checked (buildUnchecked).
    int make(ImageKind kind, const Registrations &registrations, const std::string &ns, const std::string &section,
             BuiltImage *out, std::string &error, bool digestOnly, const std::function<void()> *unchanged = nullptr);
    // A rule's nodes share its record unless it differs from the one before.
    void addRuleUnlessSame(const PolicyNode *previous, const PolicyNode &rule);
    void addRuleRecord(const PolicyNode &node);
    void addNodeRecord(const PolicyNode &node);
    // Encodes into the records the members of `node` that one pass takes:
    // the rule's texts (first, so that strings keep their order in the
    // table), the rule's other members, or the node's own ones.
    enum class Pass { RuleTexts, RuleRest, Own };
    template <Pass P>
    void encodeNode(const PolicyNode &node, RuleRecord &rule, NodeRecord &own);
    void encodeMember(uint32_t value, uint32_t &slot, NodePart, const RuleRecord &, size_t &);
    void encodeMember(bool value, const BitSlot &slot, NodePart, const RuleRecord &, size_t &);
    void encodeMember(const std::string &value, uint32_t &slot, NodePart part, const RuleRecord &, size_t &text);
    void encodeMember(const std::vector<TAVO_ID> &value, const SliceSlot &slot, NodePart, const RuleRecord &,
                      size_t &);
    void encodeMember(const std::vector<std::string> &value, const SliceSlot &slot, NodePart, const RuleRecord &,
                      size_t &);
    void encodeMember(const std::vector<ExprNode> &value, const SliceSlot &slot, NodePart, const RuleRecord &rule,
                      size_t &);
    void encodeMember(const std::vector<DoFuncNode> &value, const SliceSlot &slot, NodePart, const RuleRecord &,
                      size_t &);
    std::vector<uint32_t> selectRules(uint32_t sectionNs, uint32_t sectionId) const;
    std::string where(uint32_t rule) const;

    LargeBlocks blocks_;
    StringTable strings_;
    LabelTable labels_;
    RecordTables records_;
    DistinctLists lists_;
    std::vector<uint32_t> files_;
    std::vector<uint32_t> fileFirstRule_;
    // The rule added last in the file being encoded (addRule), and the
    // string indexes of its permissions.
    const PolicyNode *previousRule_ = nullptr;
    std::vector<uint32_t> rulePermissions_;
    // The rule's texts met last, one per text member: most rules in a row
    // share their object type, namespace, section and module.
    static constexpr size_t ruleTextCaches = 8;
    std::array<uint32_t, ruleTextCaches> lastRuleTexts_ = noStrings<ruleTextCaches>();
    // Permissions met last, most recent first: a node's permission is nearly
    // always one of the few its rule and the rules near it name.
    std::array<uint32_t, 8> recentPermissions_ = noStrings<8>();
    DynamicValues dynamicValues_;
};

} // namespace tavo_image

#endif
