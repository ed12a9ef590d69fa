// The encoder of the policy image: files' records go in as they are added,
// an image comes out at compile time. No PolicyNode is kept: every string is
// interned once and the nodes of one rule share one rule record.
#ifndef TAVO_IMAGE_BUILDER_H
#define TAVO_IMAGE_BUILDER_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "image_format.h"
#include "node_slots.h"
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
    // Bytes of the image, also when they were not kept.
    size_t size = 0;
    Digest digest{};
    size_t nodeCount = 0;
    std::set<std::pair<std::string, std::string>> dynamicVariables; // namespace, variable
};

// Where the large blocks of the tables come from. A program that runs once
// over a whole policy set and exits (tavo-policy-check) maps them itself,
// 2 MiB-aligned and advised for transparent huge pages: one page fault per
// 2 MiB instead of one per 4 KiB where the kernel grants them. A process
// that stays (the daemon, through the library) takes them from the heap:
// there a huge page would hold 2 MiB for a table's partly filled last block
// for as long as the policy is kept.
enum class LargeBlocks { Heap, HugePages };

constexpr size_t largeBlockBytes = size_t{2} << 20;
// A block of largeBlockBytes, or null; freed by freeLargeBlock from the
// same source.
void *allocateLargeBlock(LargeBlocks from);
void freeLargeBlock(void *block, LargeBlocks from);
// Asks for huge pages under the whole pages of a range about to be
// written. Only a hint.
void adviseHugePages(void *data, size_t size);

// An append-only table of records in fixed-size chunks: growing it never
// moves what is in it (a policy set's tables reach tens of MiB). The first
// chunk comes from the heap; the later ones are large blocks.
template <typename T>
class ChunkedTable {
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                  "chunks hold plain records");

    // Largest power of two of records that fits a large block.
    static constexpr size_t shiftFor(size_t bytes)
    {
        size_t shift = 0;
        while ((size_t{2} << shift) * sizeof(T) <= bytes)
            ++shift;
        return shift;
    }

    struct Release {
        bool large;
        LargeBlocks from;
        void operator()(T *p) const
        {
            if (large)
                freeLargeBlock(p, from);
            else
                std::free(p);
        }
    };

public:
    explicit ChunkedTable(LargeBlocks blocks = LargeBlocks::Heap) : blocks_(blocks) {}

    static constexpr size_t chunkShift = shiftFor(largeBlockBytes);
    static constexpr size_t chunkSize = size_t{1} << chunkShift;

    size_t size() const { return size_; }
    T &operator[](size_t i) { return chunks_[i >> chunkShift].get()[i & (chunkSize - 1)]; }
    const T &operator[](size_t i) const { return chunks_[i >> chunkShift].get()[i & (chunkSize - 1)]; }
    void push_back(const T &v)
    {
        if ((size_ >> chunkShift) == chunks_.size())
            addChunk();
        (*this)[size_++] = v;
    }
    void clear()
    {
        std::vector<std::unique_ptr<T, Release>>().swap(chunks_);
        size_ = 0;
    }
    // Calls f(pointer, count) for each run of contiguous records.
    template <typename F>
    void forEachRun(F f) const
    {
        for (size_t at = 0; at < size_; at += chunkSize)
            f(chunks_[at >> chunkShift].get(), std::min(chunkSize, size_ - at));
    }

private:
    void addChunk()
    {
        const bool large = !chunks_.empty();
        void *block = large ? allocateLargeBlock(blocks_) : std::malloc(chunkSize * sizeof(T));
        if (!block)
            throw std::bad_alloc();
        chunks_.emplace_back(static_cast<T *>(block), Release{large, blocks_});
    }

    LargeBlocks blocks_;
    std::vector<std::unique_ptr<T, Release>> chunks_;
    size_t size_ = 0;
};

template <size_t N>
constexpr std::array<uint32_t, N> noStrings()
{
    std::array<uint32_t, N> indexes{};
    for (uint32_t &index : indexes)
        index = noString;
    return indexes;
}

class ImageBuilder {
public:
    explicit ImageBuilder(LargeBlocks blocks = LargeBlocks::Heap)
        : blocks_(blocks), nodes_(blocks), rules_(blocks), nameRefs_(blocks), ids_(blocks), exprs_(blocks),
          calls_(blocks), params_(blocks)
    {
    }
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
    size_t nodeCount() const { return nodes_.size(); }

    // A label kind and name registered for the image's label table (in
    // order of first registration).
    void addLabel(const std::string &kind, const std::string &name);

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

private:
    static uint64_t hashOf(const char *data, size_t size);
    size_t homeSlot(uint64_t tag) const;
    uint32_t probe(const char *data, size_t size, uint64_t hash, size_t &slot) const;
    void grow();
    bool insertLabelKey(uint64_t key);
    bool insertLabel(const PairRecord &label);
    uint32_t intern(const std::string &s) { return intern(s.data(), s.size(), hashOf(s.data(), s.size())); }
    uint32_t intern(const char *data, size_t size, uint64_t hash);
    void flushLabels();
    uint32_t find(const std::string &s) const;
    std::string text(uint32_t index) const;
    uint32_t internCached(const std::string &s, uint32_t &cache);
    uint32_t internName(const std::string &s);
    template <size_t N>
    uint32_t internRecent(std::string_view s, std::array<uint32_t, N> &recent);
    void stageParams(const std::vector<FuncParam> &params);
    template <typename Record>
    uint32_t commitStaged(std::vector<Record> &staged, ChunkedTable<Record> &table,
                          std::unordered_map<std::string, uint32_t> &seen);
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
    int validate(const std::vector<uint32_t> &rules, const Registrations &registrations, std::string &error);
    std::string where(uint32_t rule) const;
    int withinModuleLimits(const std::vector<uint32_t> &original, const ChunkedTable<NodeRecord> &nodes,
                           const ChunkedTable<RuleRecord> &rules, const ChunkedTable<ExprRecord> &exprs,
                           const ChunkedTable<CallRecord> &calls, uint64_t imageBytes, std::string &error) const;

    // String table
    std::vector<uint32_t> stringEnds_;
    std::string stringBytes_;
    static constexpr size_t initialSlots = 1024;
    static constexpr size_t maxSlots = size_t{1} << 32;
    std::vector<uint64_t> slots_;
    uint32_t emptyString_ = noString;
    std::vector<PairRecord> labels_;
    // Labels seen: a name's first kind beside its string (by string index;
    // nearly every name has one kind), any other (kind, name) as one key
    // plus one in an open-addressing table at most half full, where 0 is a
    // free slot.
    std::vector<uint32_t> firstLabelKind_;
    std::vector<uint64_t> labelSlots_;
    size_t labelSlotsUsed_ = 0;
    // Labels registered but not yet interned: they are interned a batch at
    // a time, in order, after fetching the string table slots and strings
    // that their names will meet (a policy set's names are mostly distinct,
    // and each would miss the cache).
    struct QueuedLabel {
        uint32_t kindSize;
        uint32_t nameSize;
        uint64_t hash; // of the name
        size_t text;   // kind, then name, in labelTexts_
    };
    static constexpr size_t labelBatch = 32;
    std::vector<QueuedLabel> queuedLabels_;
    // Names registered as labels since the last file was added, in order,
    // with their texts: the file's subject and object names come back in
    // nearly the same order, so each is first compared with the next few of
    // these (recent texts, in the cache) before the string table is probed.
    struct PendingName {
        uint32_t index;
        uint32_t size;
        size_t text;
    };
    static constexpr size_t labelNameWindow = 4;
    static constexpr size_t maxPendingLabelNames = size_t{1} << 20;
    static constexpr size_t maxLabelTextBytes = size_t{64} << 20;
    std::vector<PendingName> pendingLabelNames_;
    size_t pendingLabelAt_ = 0;
    bool pendingLabelsFull_ = false;
    // Texts of the queued labels and of the pending names.
    std::string labelTexts_;
    // The rule's texts met last, one per text member: most rules in a row
    // share their object type, namespace, section and module.
    static constexpr size_t ruleTextCaches = 8;
    std::array<uint32_t, ruleTextCaches> lastRuleTexts_ = noStrings<ruleTextCaches>();
    // Permissions and label kinds met last, most recent first: a node's
    // permission is nearly always one of the few its rule and the rules near
    // it name, and a label's kind one of the few its rule registers.
    std::array<uint32_t, 8> recentPermissions_ = noStrings<8>();
    std::array<uint32_t, 4> recentLabelKinds_ = noStrings<4>();

    LargeBlocks blocks_;
    std::vector<uint32_t> files_;
    std::vector<uint32_t> fileFirstRule_;
    // The rule added last in the file being encoded (addRule), and a node
    // that carries the own members of each of its nodes in turn.
    const PolicyNode *previousRule_ = nullptr;
    PolicyNode ownMembers_;
    ChunkedTable<NodeRecord> nodes_;
    ChunkedTable<RuleRecord> rules_;
    ChunkedTable<uint32_t> nameRefs_;
    ChunkedTable<IdRecord> ids_;
    ChunkedTable<ExprRecord> exprs_;
    ChunkedTable<CallRecord> calls_;
    ChunkedTable<ParamRecord> params_;
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
