#include "image_builder.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include <sys/mman.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "image_limits.h"

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

uint32_t count32(size_t n)
{
    return static_cast<uint32_t>(n);
}

uint64_t pairKey(uint32_t a, uint32_t b)
{
    return static_cast<uint64_t>(a) << 32 | b;
}

// Slot of a 64-bit key in a power-of-two table: the high bits of a
// multiplicative hash.
size_t slotOfKey(uint64_t key, size_t slots)
{
    return static_cast<size_t>((key * 0x9e3779b97f4a7c15ull) >> 32) & (slots - 1);
}

// Effect of one condition node on the evaluation stack: operands taken,
// 0 for a node that pushes a value; -1 for an unknown type.
int operandsOf(uint32_t type)
{
    switch (type) {
    case 1: return 1;
    case 2:
    case 3:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10: return 2;
    case 4:
    case 11:
    case 12: return 0;
    default: return -1;
    }
}

// A compact copy of the selected rules and what they reference.
struct Pools {
    explicit Pools(LargeBlocks b) : nodes(b), rules(b), nameRefs(b), ids(b), exprs(b), calls(b), params(b) {}

    ChunkedTable<NodeRecord> nodes;
    ChunkedTable<RuleRecord> rules;
    ChunkedTable<uint32_t> nameRefs;
    ChunkedTable<IdRecord> ids;
    ChunkedTable<ExprRecord> exprs;
    ChunkedTable<CallRecord> calls;
    ChunkedTable<ParamRecord> params;
};

template <typename T>
uint32_t copySlice(const ChunkedTable<T> &from, uint32_t start, uint32_t count, ChunkedTable<T> &to)
{
    const uint32_t at = count32(to.size());
    for (uint32_t i = start; i < start + count; ++i)
        to.push_back(from[i]);
    return at;
}

// Writes the image's bytes in order into `out` (none: writes nothing) and
// hashes those past the digest as they go.
class Writer {
public:
    Writer(std::vector<uint8_t> *out, EVP_MD_CTX *hash) : out_(out), hash_(hash) {}
    void raw(const void *data, size_t size)
    {
        if (size == 0)
            return;
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        if (out_)
            out_->insert(out_->end(), bytes, bytes + size);
        const size_t skip = written_ < digestedFrom ? std::min(size, digestedFrom - written_) : 0;
        if (skip < size && EVP_DigestUpdate(hash_, bytes + skip, size - skip) != 1)
            failed_ = true;
        written_ += size;
    }
    template <typename T>
    void table(const std::vector<T> &v)
    {
        raw(v.data(), v.size() * sizeof(T));
        pad();
    }
    template <typename T>
    void table(const ChunkedTable<T> &t)
    {
        t.forEachRun([this](const T *data, size_t n) { raw(data, n * sizeof(T)); });
        pad();
    }
    void pad()
    {
        static const uint8_t zeros[8] = {};
        raw(zeros, padded8(written_) - written_);
    }
    bool failed() const { return failed_; }

private:
    std::vector<uint8_t> *out_;
    EVP_MD_CTX *hash_;
    size_t written_ = 0;
    bool failed_ = false;
};

struct FreeDigest {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

// 2 MiB of its own, 2 MiB-aligned so that one huge page can back it.
// Recent kernels align such a mapping by themselves; elsewhere twice the
// size is mapped and the aligned middle kept.
void *mapAlignedBlock()
{
    void *p = mmap(nullptr, largeBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (reinterpret_cast<uintptr_t>(p) % largeBlockBytes == 0)
        return p;
    munmap(p, largeBlockBytes);
    const size_t span = 2 * largeBlockBytes;
    p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + largeBlockBytes - 1) & ~(uintptr_t{largeBlockBytes} - 1);
    if (aligned > start)
        munmap(p, aligned - start);
    if (start + span > aligned + largeBlockBytes)
        munmap(reinterpret_cast<void *>(aligned + largeBlockBytes), start + span - aligned - largeBlockBytes);
    return reinterpret_cast<void *>(aligned);
}

} // namespace

void adviseHugePages(void *data, size_t size)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

void *allocateLargeBlock(LargeBlocks from)
{
    if (from == LargeBlocks::Heap)
        return std::malloc(largeBlockBytes);
    void *block = mapAlignedBlock();
    if (block)
        adviseHugePages(block, largeBlockBytes);
    return block;
}

void freeLargeBlock(void *block, LargeBlocks from)
{
    if (from == LargeBlocks::Heap)
        std::free(block);
    else
        munmap(block, largeBlockBytes);
}

uint64_t ImageBuilder::hashOf(const char *data, size_t size)
{
    return std::hash<std::string_view>()(std::string_view(data, size));
}

// Open addressing over the string table itself: a slot holds the upper
// half of the string's hash and its index plus one; 0 is a free slot. A
// string's first slot is taken from that upper half too, so that growing
// the table moves slots without reading and hashing every string again.
size_t ImageBuilder::homeSlot(uint64_t tag) const
{
    return static_cast<size_t>((tag * slots_.size()) >> 32);
}

uint32_t ImageBuilder::probe(const char *data, size_t size, uint64_t hash, size_t &slot) const
{
    const uint64_t tag = hash >> 32;
    for (slot = homeSlot(tag);; slot = (slot + 1) & (slots_.size() - 1)) {
        const uint64_t entry = slots_[slot];
        if (entry == 0)
            return noString;
        if (entry >> 32 != tag)
            continue;
        const uint32_t index = static_cast<uint32_t>(entry) - 1;
        const uint32_t begin = index == 0 ? 0 : stringEnds_[index - 1];
        if (stringEnds_[index] - begin == size && memcmp(stringBytes_.data() + begin, data, size) == 0)
            return index;
    }
}

void ImageBuilder::grow()
{
    // Past 2^32 slots the home slot would need more bits than a tag has;
    // the string indexes run out before such a table fills.
    if (slots_.size() >= maxSlots)
        return;
    std::vector<uint64_t> slots(slots_.empty() ? initialSlots : slots_.size() * 2, 0);
    slots_.swap(slots);
    for (const uint64_t entry : slots) {
        if (entry == 0)
            continue;
        size_t slot = homeSlot(entry >> 32);
        while (slots_[slot] != 0)
            slot = (slot + 1) & (slots_.size() - 1);
        slots_[slot] = entry;
    }
}

uint32_t ImageBuilder::intern(const char *data, size_t size, uint64_t hash)
{
    // Most parameters are numbers, with an empty text.
    if (size == 0 && emptyString_ != noString)
        return emptyString_;
    if (slots_.empty())
        grow();
    size_t slot = 0;
    const uint32_t found = probe(data, size, hash, slot);
    if (found != noString)
        return found;
    const uint32_t index = count32(stringEnds_.size());
    // Room up front instead of a few copies on the way: a policy set's
    // names alone take megabytes.
    if (stringBytes_.capacity() < largeBlockBytes)
        stringBytes_.reserve(largeBlockBytes);
    stringBytes_.append(data, size);
    stringEnds_.push_back(count32(stringBytes_.size()));
    slots_[slot] = (hash >> 32 << 32) | (uint64_t{index} + 1);
    if (size == 0)
        emptyString_ = index;
    // At most half full, so that probes stay short.
    if (stringEnds_.size() * 2 > slots_.size())
        grow();
    return index;
}

uint32_t ImageBuilder::find(const std::string &s) const
{
    if (slots_.empty())
        return noString;
    size_t slot = 0;
    return probe(s.data(), s.size(), hashOf(s.data(), s.size()), slot);
}

// Whether the key was new.
bool ImageBuilder::insertLabelKey(uint64_t key)
{
    if ((labelSlotsUsed_ + 1) * 2 > labelSlots_.size()) {
        std::vector<uint64_t> slots(labelSlots_.empty() ? initialSlots : labelSlots_.size() * 2, 0);
        for (const uint64_t stored : labelSlots_) {
            if (stored == 0)
                continue;
            size_t slot = slotOfKey(stored, slots.size());
            while (slots[slot] != 0)
                slot = (slot + 1) & (slots.size() - 1);
            slots[slot] = stored;
        }
        labelSlots_.swap(slots);
    }
    const uint64_t stored = key + 1;
    for (size_t slot = slotOfKey(stored, labelSlots_.size());; slot = (slot + 1) & (labelSlots_.size() - 1)) {
        if (labelSlots_[slot] == stored)
            return false;
        if (labelSlots_[slot] == 0) {
            labelSlots_[slot] = stored;
            ++labelSlotsUsed_;
            return true;
        }
    }
}

// Whether the label was new.
bool ImageBuilder::insertLabel(const PairRecord &label)
{
    if (firstLabelKind_.size() <= label.second)
        firstLabelKind_.resize(stringEnds_.size(), noString);
    uint32_t &first = firstLabelKind_[label.second];
    if (first == noString) {
        first = label.first;
        return true;
    }
    return first != label.first && insertLabelKey(pairKey(label.first, label.second));
}

void ImageBuilder::addLabel(const std::string &kind, const std::string &name)
{
    queuedLabels_.push_back(QueuedLabel{count32(kind.size()), count32(name.size()), hashOf(name.data(), name.size()),
                                        labelTexts_.size()});
    labelTexts_.append(kind).append(name);
    if (queuedLabels_.size() == labelBatch)
        flushLabels();
}

// Interns the queued labels in order, as addLabel would have one by one,
// having first fetched what each name's probe will read: its first slot,
// then the ends and the bytes of the string found there.
void ImageBuilder::flushLabels()
{
    if (queuedLabels_.empty())
        return;
    if (slots_.empty())
        grow();
    for (const QueuedLabel &q : queuedLabels_)
        __builtin_prefetch(&slots_[homeSlot(q.hash >> 32)]);
    for (const QueuedLabel &q : queuedLabels_) {
        const uint64_t entry = slots_[homeSlot(q.hash >> 32)];
        const uint32_t index = static_cast<uint32_t>(entry) - 1;
        if (entry != 0 && entry >> 32 == q.hash >> 32)
            __builtin_prefetch(&stringEnds_[index == 0 ? 0 : index - 1]);
    }
    for (const QueuedLabel &q : queuedLabels_) {
        const uint64_t entry = slots_[homeSlot(q.hash >> 32)];
        if (entry != 0 && entry >> 32 == q.hash >> 32) {
            const uint32_t index = static_cast<uint32_t>(entry) - 1;
            __builtin_prefetch(stringBytes_.data() + (index == 0 ? 0 : stringEnds_[index - 1]));
        }
    }
    // Texts stay while their names are pending.
    size_t keptTexts = queuedLabels_.front().text;
    for (const QueuedLabel &q : queuedLabels_) {
        const char *text = labelTexts_.data() + q.text;
        const size_t nameText = q.text + q.kindSize;
        const PairRecord label{internRecent(std::string_view(text, q.kindSize), recentLabelKinds_),
                               intern(text + q.kindSize, q.nameSize, q.hash)};
        pendingLabelsFull_ = pendingLabelsFull_ || pendingLabelNames_.size() == maxPendingLabelNames ||
                             nameText + q.nameSize > maxLabelTextBytes;
        if (!pendingLabelsFull_) {
            pendingLabelNames_.push_back(PendingName{label.second, q.nameSize, nameText});
            keptTexts = nameText + q.nameSize;
        }
        if (insertLabel(label))
            labels_.push_back(label);
    }
    queuedLabels_.clear();
    labelTexts_.resize(keptTexts);
}

std::string ImageBuilder::text(uint32_t index) const
{
    if (index == noString)
        return std::string();
    const uint32_t begin = index == 0 ? 0 : stringEnds_[index - 1];
    return stringBytes_.substr(begin, stringEnds_[index] - begin);
}

// Most rules in a row share their object type, namespace, section and
// module: compare with the last one before hashing.
uint32_t ImageBuilder::internCached(const std::string &s, uint32_t &cache)
{
    if (cache != noString) {
        const uint32_t begin = cache == 0 ? 0 : stringEnds_[cache - 1];
        if (stringEnds_[cache] - begin == s.size() && stringBytes_.compare(begin, s.size(), s) == 0)
            return cache;
    }
    cache = intern(s);
    return cache;
}

uint32_t ImageBuilder::internName(const std::string &s)
{
    const size_t end = std::min(pendingLabelNames_.size(), pendingLabelAt_ + labelNameWindow);
    for (size_t at = pendingLabelAt_; at < end; ++at) {
        const PendingName &name = pendingLabelNames_[at];
        if (name.size == s.size() && memcmp(labelTexts_.data() + name.text, s.data(), s.size()) == 0) {
            pendingLabelAt_ = at + 1;
            return name.index;
        }
    }
    return intern(s);
}

template <size_t N>
uint32_t ImageBuilder::internRecent(std::string_view s, std::array<uint32_t, N> &recent)
{
    for (size_t i = 0; i < N; ++i) {
        const uint32_t index = recent[i];
        if (index == noString)
            break;
        const uint32_t begin = index == 0 ? 0 : stringEnds_[index - 1];
        if (stringEnds_[index] - begin == s.size() && memcmp(stringBytes_.data() + begin, s.data(), s.size()) == 0) {
            std::rotate(recent.begin(), recent.begin() + i, recent.begin() + i + 1);
            return index;
        }
    }
    const uint32_t index = intern(s.data(), s.size(), hashOf(s.data(), s.size()));
    std::move_backward(recent.begin(), recent.end() - 1, recent.end());
    recent[0] = index;
    return index;
}

void ImageBuilder::stageParams(const std::vector<FuncParam> &params)
{
    for (const FuncParam &p : params)
        stagedParams_.push_back(ParamRecord{p.type, intern(p.text), p.number});
}

// Adds the staged list (records whose parameter slices count from the
// start of the staged parameters) unless the same list is already there.
template <typename Record>
uint32_t ImageBuilder::commitStaged(std::vector<Record> &staged, ChunkedTable<Record> &table,
                                    std::unordered_map<std::string, uint32_t> &seen)
{
    if (staged.empty())
        return count32(table.size());
    std::string &key = stagedKey_;
    key.assign(reinterpret_cast<const char *>(staged.data()), staged.size() * sizeof(Record));
    key.append(reinterpret_cast<const char *>(stagedParams_.data()), stagedParams_.size() * sizeof(ParamRecord));
    const auto found = seen.find(key);
    if (found != seen.end())
        return found->second;
    const uint32_t start = count32(table.size());
    const uint32_t base = count32(params_.size());
    for (const ParamRecord &p : stagedParams_)
        params_.push_back(p);
    for (Record &r : staged) {
        r.paramStart += base;
        table.push_back(r);
    }
    seen.emplace(key, start);
    return start;
}

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
        slot = internRecent(value, recentPermissions_);
    else if (text < ruleTextCaches)
        slot = internCached(value, lastRuleTexts_[text++]);
    else
        slot = intern(value);
}

void ImageBuilder::encodeMember(const std::vector<TAVO_ID> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &, size_t &)
{
    slot.start = count32(ids_.size());
    slot.count = count32(value.size());
    for (const TAVO_ID &id : value)
        ids_.push_back(IdRecord{id.id, id.kind, id.reserved});
}

void ImageBuilder::encodeMember(const std::vector<std::string> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &, size_t &)
{
    slot.start = count32(nameRefs_.size());
    slot.count = count32(value.size());
    for (const std::string &name : value)
        nameRefs_.push_back(internName(name));
}

// Condition and action lists recur across rules: each distinct one is
// stored once.
void ImageBuilder::encodeMember(const std::vector<ExprNode> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &rule, size_t &)
{
    stagedExprs_.clear();
    stagedParams_.clear();
    for (const ExprNode &e : value) {
        const ExprRecord x{e.type, intern(e.name), e.value, intern(e.varName), count32(stagedParams_.size()),
                           count32(e.params.size())};
        stageParams(e.params);
        if (e.type == 12)
            dynamicValues_.emplace(pairKey(rule.namespaceName, x.varName), e.value);
        stagedExprs_.push_back(x);
    }
    slot.count = count32(stagedExprs_.size());
    slot.start = commitStaged(stagedExprs_, exprs_, seenExprLists_);
}

void ImageBuilder::encodeMember(const std::vector<DoFuncNode> &value, const SliceSlot &slot, NodePart,
                                const RuleRecord &, size_t &)
{
    stagedCalls_.clear();
    stagedParams_.clear();
    for (const DoFuncNode &c : value) {
        stagedCalls_.push_back(CallRecord{intern(c.name), count32(stagedParams_.size()), count32(c.params.size())});
        stageParams(c.params);
    }
    slot.count = count32(stagedCalls_.size());
    slot.start = commitStaged(stagedCalls_, calls_, seenCallLists_);
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
    rules_.push_back(r);
}

// A node of the rule added last.
void ImageBuilder::addNodeRecord(const PolicyNode &node)
{
    NodeRecord own{count32(rules_.size() - 1), 0, 0};
    RuleRecord unused{};
    encodeNode<Pass::Own>(node, unused, own);
    nodes_.push_back(own);
}

void ImageBuilder::startFile(const std::string &fileName)
{
    flushLabels();
    files_.push_back(intern(fileName));
    fileFirstRule_.push_back(count32(rules_.size()));
    previousRule_ = nullptr;
}

void ImageBuilder::endFile()
{
    previousRule_ = nullptr;
    pendingLabelNames_.clear();
    pendingLabelAt_ = 0;
    pendingLabelsFull_ = false;
    labelTexts_.clear();
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
        if (!previous || !sameRule(*previous, node))
            addRuleRecord(node);
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
    // As addFile would: a rule equal to the one before shares its record.
    if (!previousRule_ || !sameRule(*previousRule_, shared))
        addRuleRecord(shared);
    previousRule_ = &shared;
    for (const uint32_t uid : uids) {
        for (const std::string &permission : permissions) {
            ownMembers_.uid = uid;
            ownMembers_.permission = permission;
            addNodeRecord(ownMembers_);
        }
    }
}

bool ImageBuilder::hasNamespace(const std::string &ns) const
{
    const uint32_t index = find(ns);
    if (index == noString)
        return false;
    for (size_t i = 0; i < rules_.size(); ++i) {
        if (rules_[i].namespaceName == index)
            return true;
    }
    return false;
}

bool ImageBuilder::hasSection(const std::string &ns, const std::string &section) const
{
    const uint32_t n = find(ns);
    const uint32_t s = find(section);
    if (n == noString || s == noString || section.empty())
        return false;
    for (size_t i = 0; i < rules_.size(); ++i) {
        if (rules_[i].namespaceName == n && rules_[i].sectionName == s)
            return true;
    }
    return false;
}

std::string ImageBuilder::where(uint32_t rule) const
{
    const uint32_t file = rules_[rule].file;
    return "file " + text(files_[file]) + ", rule " + std::to_string(rule - fileFirstRule_[file] + 1);
}

int ImageBuilder::validate(const std::vector<uint32_t> &rules, const Registrations &registrations, std::string &error)
{
    std::unordered_set<uint32_t> namespaces;
    for (const std::string &ns : registrations.namespaces) {
        const uint32_t index = find(ns);
        if (index != noString)
            namespaces.insert(index);
    }
    std::unordered_set<uint64_t> functions;
    for (const auto &f : registrations.functions) {
        const uint32_t ns = find(std::get<0>(f));
        const uint32_t name = find(std::get<2>(f));
        if (ns != noString && name != noString)
            functions.insert(pairKey(ns, name));
    }
    const auto registered = [&](uint32_t rule, uint32_t name) {
        const RuleRecord &r = rules_[rule];
        if (functions.count(pairKey(r.namespaceName, name)) != 0)
            return true;
        error = where(rule) + ": function " + text(name) +
                " is not registered for namespace " + text(r.namespaceName);
        return false;
    };

    for (const uint32_t index : rules) {
        const RuleRecord &r = rules_[index];
        if (namespaces.count(r.namespaceName) == 0) {
            error = where(index) + ": namespace \"" + text(r.namespaceName) + "\" was never declared";
            return 22;
        }
        int depth = 0;
        for (uint32_t i = r.exprStart; i < r.exprStart + r.exprCount; ++i) {
            const ExprRecord &e = exprs_[i];
            const int operands = operandsOf(e.type);
            if (operands < 0) {
                error = where(index) + ": condition node " + std::to_string(i - r.exprStart + 1) +
                        " has unknown type " + std::to_string(e.type);
                return 22;
            }
            if (depth < operands || (e.type == 12 && text(e.varName).empty())) {
                error = where(index) + ": condition node " + std::to_string(i - r.exprStart + 1) +
                        (depth < operands ? " lacks operands" : " names no variable");
                return 22;
            }
            // The module keeps a dynamic variable as a switch.
            if (e.type == 12 && e.value > 1) {
                error = where(index) + ": dynamic variable " + text(e.varName) + " starts at " +
                        std::to_string(e.value) + ", not 0 or 1";
                return 22;
            }
            depth = depth - operands + 1;
            if (e.type == 4 && !registered(index, e.name))
                return 22;
        }
        if (r.exprCount != 0 && depth != 1) {
            error = where(index) + ": condition leaves " + std::to_string(depth) + " values, expected 1";
            return 22;
        }
        for (uint32_t i = r.callStart; i < r.callStart + r.callCount; ++i) {
            if (!registered(index, calls_[i].name))
                return 22;
        }
    }
    return 0;
}

// The module's limits (image_limits.h), applied to the image about to be
// written: what the module would refuse is refused here, naming the rule
// that weighs most. `original` maps a section image's rules back to ours
// (empty: the same indexes).
int ImageBuilder::withinModuleLimits(const std::vector<uint32_t> &original, const ChunkedTable<NodeRecord> &nodes,
                                     const ChunkedTable<RuleRecord> &rules, const ChunkedTable<ExprRecord> &exprs,
                                     const ChunkedTable<CallRecord> &calls, uint64_t imageBytes,
                                     std::string &error) const
{
    if (imageBytes > maxImageBytes) {
        error = "the image would take " + std::to_string(imageBytes) + " bytes, more than the " +
                std::to_string(maxImageBytes) + " the module takes";
        return 22;
    }
    const RecordCounter counter(
        exprs.size(), [&exprs](size_t i) { return exprs[i].paramCount; }, calls.size(),
        [&calls](size_t i) { return calls[i].paramCount; });
    const uint64_t records = counter.ofNodes(
        nodes.size(), [&nodes](size_t i) { return nodes[i].rule; },
        [&rules](uint32_t r) -> const RuleRecord & { return rules[r]; });
    const uint64_t limit = maxRecordsFor(imageBytes);
    if (records <= limit)
        return 0;
    std::vector<uint64_t> nodesOf(rules.size(), 0);
    for (size_t i = 0; i < nodes.size(); ++i)
        ++nodesOf[nodes[i].rule];
    const auto weight = [&](size_t rule) {
        uint64_t w = 0;
        return __builtin_mul_overflow(nodesOf[rule], counter.perNode(rules[rule]), &w) ? UINT64_MAX : w;
    };
    size_t heaviest = 0;
    for (size_t i = 1; i < rules.size(); ++i) {
        if (weight(i) > weight(heaviest))
            heaviest = i;
    }
    error = "the image of " + std::to_string(imageBytes) + " bytes would expand to " + std::to_string(records) +
            " records in the module, more than the " + std::to_string(limit) + " it takes (" +
            std::to_string(recordsPerImageByte) + " a byte plus " + std::to_string(recordAllowance) +
            "); most from " + where(original.empty() ? count32(heaviest) : original[heaviest]) + ": " +
            std::to_string(nodesOf[heaviest]) + " nodes of " + std::to_string(counter.perNode(rules[heaviest])) +
            " records";
    return 22;
}

int ImageBuilder::build(ImageKind kind, const Registrations &registrations, const std::string &ns,
                        const std::string &section, BuiltImage &out, std::string &error, bool digestOnly)
{
    flushLabels();
    const bool sectionOnly = kind == ImageKind::Section;
    const uint32_t sectionNs = sectionOnly ? intern(ns) : noString;
    const uint32_t sectionId = sectionOnly ? intern(section) : noString;

    std::vector<uint32_t> selected;
    selected.reserve(sectionOnly ? 0 : rules_.size());
    for (uint32_t i = 0; i < rules_.size(); ++i) {
        if (!sectionOnly || (rules_[i].namespaceName == sectionNs && rules_[i].sectionName == sectionId))
            selected.push_back(i);
    }
    const int invalid = validate(selected, registrations, error);
    if (invalid != 0)
        return invalid;

    // A section image carries only its rules, their nodes and copies of the
    // slices they reference; the string table, the files and the
    // library-wide tables (uid names, labels, kmods, devices) stay those of
    // everything added, and the namespace table is the section's namespace.
    Pools section_(blocks_);
    if (sectionOnly) {
        std::vector<uint32_t> newIndex(rules_.size(), noString);
        for (const uint32_t i : selected) {
            RuleRecord r = rules_[i];
            r.sidStart = copySlice(ids_, r.sidStart, r.sidCount, section_.ids);
            r.oidStart = copySlice(ids_, r.oidStart, r.oidCount, section_.ids);
            r.subjectNameStart = copySlice(nameRefs_, r.subjectNameStart, r.subjectNameCount, section_.nameRefs);
            r.objectNameStart = copySlice(nameRefs_, r.objectNameStart, r.objectNameCount, section_.nameRefs);
            r.exprStart = copySlice(exprs_, r.exprStart, r.exprCount, section_.exprs);
            for (uint32_t e = r.exprStart; e < r.exprStart + r.exprCount; ++e) {
                ExprRecord &x = section_.exprs[e];
                x.paramStart = copySlice(params_, x.paramStart, x.paramCount, section_.params);
            }
            r.callStart = copySlice(calls_, r.callStart, r.callCount, section_.calls);
            for (uint32_t c = r.callStart; c < r.callStart + r.callCount; ++c) {
                CallRecord &x = section_.calls[c];
                x.paramStart = copySlice(params_, x.paramStart, x.paramCount, section_.params);
            }
            newIndex[i] = count32(section_.rules.size());
            section_.rules.push_back(r);
        }
        for (size_t i = 0; i < nodes_.size(); ++i) {
            const NodeRecord &n = nodes_[i];
            if (newIndex[n.rule] != noString)
                section_.nodes.push_back(NodeRecord{newIndex[n.rule], n.uid, n.permission});
        }
    }
    const ChunkedTable<NodeRecord> &nodes = sectionOnly ? section_.nodes : nodes_;
    const ChunkedTable<RuleRecord> &rules = sectionOnly ? section_.rules : rules_;

    // Namespace tables, ordered by name.
    std::set<std::string> namespaceNames;
    if (sectionOnly) {
        namespaceNames.insert(ns);
    } else {
        namespaceNames = registrations.namespaces;
        for (const auto &f : registrations.functions)
            namespaceNames.insert(std::get<0>(f));
    }
    std::map<std::string, std::vector<std::pair<std::string, uint32_t>>> dynamicByNamespace;
    for (const auto &entry : dynamicValues_) {
        const std::string nsName = text(static_cast<uint32_t>(entry.first >> 32));
        if (namespaceNames.count(nsName) != 0)
            dynamicByNamespace[nsName].emplace_back(text(static_cast<uint32_t>(entry.first)), entry.second);
    }
    std::vector<NamespaceRecord> namespaceRecords;
    std::vector<PairRecord> dynamicRecords, functionRecords;
    out.dynamicVariables.clear();
    for (const std::string &name : namespaceNames) {
        NamespaceRecord r{intern(name), count32(dynamicRecords.size()), 0, 0, 0};
        auto &dynamic = dynamicByNamespace[name];
        std::sort(dynamic.begin(), dynamic.end());
        for (const auto &v : dynamic) {
            dynamicRecords.push_back(PairRecord{intern(v.first), v.second});
            out.dynamicVariables.emplace(name, v.first);
        }
        r.dynamicCount = count32(dynamic.size());
        r.functionStart = count32(functionRecords.size());
        for (auto it = registrations.functions.lower_bound(std::make_tuple(name, std::string(), std::string()));
             it != registrations.functions.end() && std::get<0>(*it) == name; ++it)
            functionRecords.push_back(PairRecord{intern(std::get<1>(*it)), intern(std::get<2>(*it))});
        r.functionCount = count32(functionRecords.size()) - r.functionStart;
        namespaceRecords.push_back(r);
    }
    std::vector<PairRecord> uidRecords;
    for (const auto &u : registrations.uidNames)
        uidRecords.push_back(PairRecord{intern(u.first), u.second});
    const std::vector<PairRecord> &labelRecords = labels_;
    std::vector<uint32_t> kmodRecords, deviceRecords;
    for (const std::string &k : registrations.kmods)
        kmodRecords.push_back(intern(k));
    for (const std::string &d : registrations.devices)
        deviceRecords.push_back(intern(d));

    HeaderRecord h{};
    h.magic = imageMagic;
    h.version = imageVersion;
    h.kind = static_cast<uint32_t>(kind);
    h.headerSize = sizeof(HeaderRecord);
    h.sectionNamespace = sectionNs;
    h.sectionName = sectionId;
    const size_t counts[TableCount] = {
        stringEnds_.size(),
        stringBytes_.size(),
        files_.size(),
        nodes.size(),
        rules.size(),
        sectionOnly ? section_.nameRefs.size() : nameRefs_.size(),
        sectionOnly ? section_.ids.size() : ids_.size(),
        sectionOnly ? section_.exprs.size() : exprs_.size(),
        sectionOnly ? section_.calls.size() : calls_.size(),
        sectionOnly ? section_.params.size() : params_.size(),
        namespaceRecords.size(),
        dynamicRecords.size(),
        functionRecords.size(),
        uidRecords.size(),
        labelRecords.size(),
        kmodRecords.size(),
        deviceRecords.size(),
    };
    size_t size = sizeof(HeaderRecord);
    for (uint32_t t = 0; t < TableCount; ++t) {
        if (counts[t] > UINT32_MAX) {
            error = "the policy is too large for one image";
            return 22;
        }
        h.counts[t] = count32(counts[t]);
        size += padded8(counts[t] * tableEntrySize[t]);
    }
    h.imageSize = size;
    const int refused = withinModuleLimits(sectionOnly ? selected : std::vector<uint32_t>(), nodes, rules,
                                           sectionOnly ? section_.exprs : exprs_,
                                           sectionOnly ? section_.calls : calls_, size, error);
    if (refused != 0)
        return refused;

    std::vector<uint8_t> bytes;
    if (!digestOnly) {
        bytes.reserve(size);
        if (blocks_ == LargeBlocks::HugePages)
            adviseHugePages(bytes.data(), size);
    }
    const std::unique_ptr<EVP_MD_CTX, FreeDigest> hash(EVP_MD_CTX_new());
    if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1) {
        error = "SHA-256 of the image failed";
        return 22;
    }
    Writer w(digestOnly ? nullptr : &bytes, hash.get());
    w.raw(&h, sizeof h);
    w.table(stringEnds_);
    w.raw(stringBytes_.data(), stringBytes_.size());
    w.pad();
    w.table(files_);
    w.table(nodes);
    w.table(rules);
    w.table(sectionOnly ? section_.nameRefs : nameRefs_);
    w.table(sectionOnly ? section_.ids : ids_);
    w.table(sectionOnly ? section_.exprs : exprs_);
    w.table(sectionOnly ? section_.calls : calls_);
    w.table(sectionOnly ? section_.params : params_);
    w.table(namespaceRecords);
    w.table(dynamicRecords);
    w.table(functionRecords);
    w.table(uidRecords);
    w.table(labelRecords);
    w.table(kmodRecords);
    w.table(deviceRecords);

    unsigned int digestSize = 0;
    if (w.failed() || EVP_DigestFinal_ex(hash.get(), out.digest.data(), &digestSize) != 1 ||
        digestSize != out.digest.size()) {
        error = "SHA-256 of the image failed";
        return 22;
    }
    if (!digestOnly)
        memcpy(bytes.data() + digestOffset, out.digest.data(), out.digest.size());
    out.bytes = std::move(bytes);
    out.size = size;
    out.nodeCount = nodes.size();
    return 0;
}

} // namespace tavo_image
