#include "image_builder.h"

#include <set>
#include <type_traits>

#include "expr_type.h"
#include "limits_check.h"
#include "rule_validation.h"
#include "section_extraction.h"

namespace tavo_image {

namespace {

constexpr size_t prefetchDistance = 4;

void prefetchLists(const PolicyNode &node)
{
    __builtin_prefetch(node.subjectNames.data());
    __builtin_prefetch(node.objectNames.data());
    __builtin_prefetch(node.conditions.data());
    __builtin_prefetch(node.actions.data());
}

void prefetchStrings(const PolicyNode &node)
{
    for (const std::string &name : node.subjectNames)
        __builtin_prefetch(name.data());
    for (const std::string &name : node.objectNames)
        __builtin_prefetch(name.data());
    for (const ExprNode &e : node.conditions)
        __builtin_prefetch(e.params.data());
    for (const DoFuncNode &c : node.actions)
        __builtin_prefetch(c.params.data());
}

} // namespace

void ImageBuilder::encodeMember(uint32_t value, uint32_t &slot, NodePart, const RuleRecord &, size_t &)
{
    slot = value;
}

void ImageBuilder::encodeMember(bool value, const BitSlot &slot, NodePart, const RuleRecord &, size_t &)
{
    if (value)
        slot.bits |= slot.mask;
}

void ImageBuilder::encodeMember(const std::string &value, uint32_t &slot, NodePart part, const RuleRecord &,
                                size_t &text)
{
    if (part == NodePart::Own)
        slot = strings_.internRecent(value, recentPermissions_);
    else if (text < ruleTextCaches)
        slot = strings_.internCached(value, lastRuleTexts_[text++]);
    else
        slot = strings_.intern(value);
}

void ImageBuilder::encodeMember(const std::vector<TAVO_ID> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &, size_t &)
{
    slot.start = count32(records_.ids.size());
    slot.count = count32(value.size());
    for (const TAVO_ID &id : value)
        records_.ids.push_back(IdRecord{id.id, id.kind, id.reserved});
}

void ImageBuilder::encodeMember(const std::vector<std::string> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &, size_t &)
{
    slot.start = count32(records_.nameRefs.size());
    slot.count = count32(value.size());
    for (const std::string &name : value)
        records_.nameRefs.push_back(labels_.internName(name, strings_));
}

void ImageBuilder::encodeMember(const std::vector<ExprNode> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &rule, size_t &)
{
    lists_.startList();
    for (const ExprNode &e : value) {
        const ExprRecord x{e.type, strings_.intern(e.name), e.value, strings_.intern(e.varName), lists_.stagedParams(),
                           count32(e.params.size())};
        lists_.stageParams(e.params, strings_);
        if (e.type == ExprDynamicVariable)
            dynamicValues_.emplace(pairKey(rule.namespaceName, x.varName), e.value);
        lists_.stage(x);
    }
    slot.count = count32(value.size());
    slot.start = lists_.commitConditions(records_.exprs, records_.params);
}

void ImageBuilder::encodeMember(const std::vector<DoFuncNode> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &, size_t &)
{
    lists_.startList();
    for (const DoFuncNode &c : value) {
        lists_.stage(CallRecord{strings_.intern(c.name), lists_.stagedParams(), count32(c.params.size())});
        lists_.stageParams(c.params, strings_);
    }
    slot.count = count32(value.size());
    slot.start = lists_.commitCalls(records_.calls, records_.params);
}

template <ImageBuilder::Pass P>
void ImageBuilder::encodeNode(const PolicyNode &node, RuleRecord &rule, NodeRecord &own)
{
    size_t text = 0;
    forEachNodeSlot(node, NodeSlots{rule, own}, [&](const auto &member, auto &&slot, auto field) {
        constexpr NodePart part = decltype(field)::part;
        constexpr bool isText = std::is_same<std::decay_t<decltype(member)>, std::string>::value;
        if constexpr ((part == NodePart::Own) == (P == Pass::Own) &&
                      (P == Pass::Own || isText == (P == Pass::RuleTexts)))
            encodeMember(member, slot, part, rule, text);
    });
}

void ImageBuilder::addRuleRecord(const PolicyNode &node)
{
    RuleRecord r{};
    r.file = count32(files_.size() - 1);
    NodeRecord unused{};
    encodeNode<Pass::RuleTexts>(node, r, unused);
    encodeNode<Pass::RuleRest>(node, r, unused);
    records_.rules.push_back(r);
}

void ImageBuilder::addRuleUnlessSame(const PolicyNode *previous, const PolicyNode &rule)
{
    if (!previous || !sameRule(*previous, rule))
        addRuleRecord(rule);
}

// A node of the rule added last.
void ImageBuilder::addNodeRecord(const PolicyNode &node)
{
    NodeRecord own{count32(records_.rules.size() - 1), 0, 0};
    RuleRecord unused{};
    encodeNode<Pass::Own>(node, unused, own);
    records_.nodes.push_back(own);
}

void ImageBuilder::startFile(const std::string &fileName)
{
    labels_.flush(strings_);
    files_.push_back(strings_.intern(fileName));
    fileFirstRule_.push_back(count32(records_.rules.size()));
    previousRule_ = nullptr;
}

void ImageBuilder::endFile()
{
    previousRule_ = nullptr;
    labels_.endFile();
}

void ImageBuilder::addFile(const std::string &fileName, const std::vector<PolicyNode> &nodes)
{
    startFile(fileName);
    const PolicyNode *previous = nullptr;
    const size_t count = nodes.size();
    for (size_t i = 0; i < count; ++i) {
        // The nodes were written while the file was parsed and are out of
        // the cache by now: fetch their lists, then the strings in them,
        // a few nodes ahead of the comparison.
        if (i + 2 * prefetchDistance < count)
            prefetchLists(nodes[i + 2 * prefetchDistance]);
        if (i + prefetchDistance < count)
            prefetchStrings(nodes[i + prefetchDistance]);
        const PolicyNode &node = nodes[i];
        addRuleUnlessSame(previous, node);
        previous = &node;
        addNodeRecord(node);
    }
    endFile();
}

void ImageBuilder::addRule(const PolicyNode &shared, const std::vector<uint32_t> &uids,
                           const std::vector<std::string> &permissions)
{
    if (uids.empty() || permissions.empty())
        return;
    addRuleUnlessSame(previousRule_, shared);
    previousRule_ = &shared;
    // A node's own members are its uid and its permission (as
    // addNodeRecord encodes them): each permission is interned once a
    // rule, in the order the first uid's nodes would intern them.
    rulePermissions_.clear();
    for (const std::string &permission : permissions)
        rulePermissions_.push_back(strings_.internRecent(permission, recentPermissions_));
    const uint32_t rule = count32(records_.rules.size() - 1);
    for (const uint32_t uid : uids) {
        for (const uint32_t permission : rulePermissions_)
            records_.nodes.push_back(NodeRecord{rule, uid, permission});
    }
}

bool ImageBuilder::hasNamespace(const std::string &ns) const
{
    const uint32_t index = strings_.find(ns);
    if (index == noString)
        return false;
    for (size_t i = 0; i < records_.rules.size(); ++i) {
        if (records_.rules[i].namespaceName == index)
            return true;
    }
    return false;
}

bool ImageBuilder::hasSection(const std::string &ns, const std::string &section) const
{
    const uint32_t n = strings_.find(ns);
    const uint32_t s = strings_.find(section);
    if (n == noString || s == noString || section.empty())
        return false;
    for (size_t i = 0; i < records_.rules.size(); ++i) {
        if (records_.rules[i].namespaceName == n && records_.rules[i].sectionName == s)
            return true;
    }
    return false;
}

std::string ImageBuilder::where(uint32_t rule) const
{
    const uint32_t file = records_.rules[rule].file;
    return "file " + strings_.text(files_[file]) + ", rule " + std::to_string(rule - fileFirstRule_[file] + 1);
}

// The rules of the image: all of them, or those of one section.
std::vector<uint32_t> ImageBuilder::selectRules(uint32_t sectionNs, uint32_t sectionId) const
{
    const bool all = sectionNs == noString;
    std::vector<uint32_t> selected;
    selected.reserve(all ? records_.rules.size() : 0);
    for (uint32_t i = 0; i < records_.rules.size(); ++i) {
        const RuleRecord &r = records_.rules[i];
        if (all || (r.namespaceName == sectionNs && r.sectionName == sectionId))
            selected.push_back(i);
    }
    return selected;
}

int ImageBuilder::build(ImageKind kind, const Registrations &registrations, const std::string &ns,
                        const std::string &section, BuiltImage &out, std::string &error, bool digestOnly)
{
    return make(kind, registrations, ns, section, &out, error, digestOnly);
}

int ImageBuilder::buildUnchecked(ImageKind kind, const Registrations &registrations, BuiltImage &out,
                                 std::string &error, bool digestOnly, const std::function<void()> &unchanged)
{
    if (kind == ImageKind::Section) {
        error = "a section image is built whole";
        return 22;
    }
    return make(kind, registrations, std::string(), std::string(), &out, error, digestOnly, &unchanged);
}

int ImageBuilder::validate(const Registrations &registrations, std::string &error) const
{
    const RulePlace whereRule = [this](uint32_t rule) { return where(rule); };
    return validateRules(selectRules(noString, noString), records_, strings_, registrations, whereRule, error);
}

int ImageBuilder::checkLimits(ImageKind kind, const Registrations &registrations, const std::string &ns,
                              const std::string &section, std::string &error)
{
    return make(kind, registrations, ns, section, nullptr, error, true);
}

int ImageBuilder::make(ImageKind kind, const Registrations &registrations, const std::string &ns,
                       const std::string &section, BuiltImage *out, std::string &error, bool digestOnly,
                       const std::function<void()> *unchanged)
{
    labels_.flush(strings_);
    const bool sectionOnly = kind == ImageKind::Section;
    const uint32_t sectionNs = sectionOnly ? strings_.intern(ns) : noString;
    const uint32_t sectionId = sectionOnly ? strings_.intern(section) : noString;
    const std::vector<uint32_t> selected = selectRules(sectionNs, sectionId);
    // The limits alone count what the builder wrote, which holds whatever
    // the rules say: whether the rules hold is the build's to report.
    if (out && !unchanged) {
        const RulePlace whereRule = [this](uint32_t rule) { return where(rule); };
        if (const int invalid = validateRules(selected, records_, strings_, registrations, whereRule, error))
            return invalid;
    }

    RecordTables sectionRecords(blocks_);
    if (sectionOnly)
        extractSection(records_, selected, sectionRecords);
    const RecordTables &records = sectionOnly ? sectionRecords : records_;
    const RegisteredTables registered =
        registeredTables(registrations, sectionOnly ? std::set<std::string>{ns} : registeredNamespaces(registrations),
                         dynamicValues_, strings_);
    // Only read from here on. The rules are checked against what was
    // added, which the strings just interned for the registrations are not.
    if (unchanged)
        (*unchanged)();

    HeaderRecord h{};
    h.magic = imageMagic;
    h.version = imageVersion;
    h.kind = static_cast<uint32_t>(kind);
    h.headerSize = sizeof(HeaderRecord);
    h.sectionNamespace = sectionNs;
    h.sectionName = sectionId;
    const ImageTables tables{strings_, files_, records, registered, labels_.records()};
    if (const int tooLarge = layOut(tables, h, error))
        return tooLarge;
    // A section image's rule i is selected[i] of ours.
    const RulePlace whereInImage = [&](uint32_t rule) { return where(sectionOnly ? selected[rule] : rule); };
    if (const int refused = withinModuleLimits(records, h.imageSize, whereInImage, error))
        return refused;
    if (!out)
        return 0;
    if (const int failed = writeImage(h, tables, digestOnly, blocks_, *out, error))
        return failed;
    out->nodeCount = records.nodes.size();
    return 0;
}

} // namespace tavo_image
