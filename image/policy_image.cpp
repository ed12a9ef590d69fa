// The one decoder of the policy image. Everything in an image is checked
// before anything is built from it: the image may come from a file or a
// kernel interface and is not trusted.
#include "policy_image.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <openssl/evp.h>

#include "image_format.h"
#include "image_limits.h"
#include "node_slots.h"

namespace tavo_image {

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

const char *const tableNames[TableCount] = {
    "string offsets", "string bytes", "files", "nodes", "rules", "name references", "identifiers", "condition nodes",
    "action calls", "parameters", "namespaces", "dynamic variables", "functions", "uid names", "labels", "kmods",
    "devices",
};

class Image {
public:
    Image(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    // Everything but the records it expands to: layout, digest, references.
    int check(std::string &error);
    // The records the image expands to, counted without building any;
    // 22 when the module would not take that many.
    int countRecords(uint64_t &records, std::string &error) const;

    template <typename T>
    T get(Table t, size_t i) const
    {
        T v;
        memcpy(&v, data_ + offsets_[t] + i * sizeof(T), sizeof(T));
        return v;
    }
    uint32_t count(Table t) const { return header_.counts[t]; }
    const HeaderRecord &header() const { return header_; }
    std::string_view text(uint32_t index) const
    {
        const uint32_t begin = index == 0 ? 0 : get<uint32_t>(StringEnds, index - 1);
        return std::string_view(reinterpret_cast<const char *>(data_ + offsets_[StringBytes] + begin),
                                get<uint32_t>(StringEnds, index) - begin);
    }

private:
    int layout(std::string &error);
    int references(std::string &error);
    bool string(uint32_t index) const { return index < count(StringEnds); }
    bool slice(Table t, uint32_t start, uint32_t n) const
    {
        return static_cast<uint64_t>(start) + n <= count(t);
    }

    const uint8_t *data_;
    size_t size_;
    HeaderRecord header_{};
    size_t offsets_[TableCount] = {};
};

int Image::layout(std::string &error)
{
    if (size_ < sizeof(HeaderRecord)) {
        error = format("image truncated: %zu bytes, the header alone takes %zu", size_, sizeof(HeaderRecord));
        return 22;
    }
    if (size_ > maxImageBytes) {
        error = format("image of %zu bytes, larger than the %" PRIu64 " the module takes", size_, maxImageBytes);
        return 22;
    }
    memcpy(&header_, data_, sizeof header_);
    if (header_.magic != imageMagic) {
        error = format("not a policy image: bad magic number 0x%08" PRIx32, header_.magic);
        return 22;
    }
    if (header_.version != imageVersion) {
        error = format("unsupported image format version %" PRIu32 " (expected %" PRIu32 ")", header_.version,
                       imageVersion);
        return 22;
    }
    if (header_.headerSize != sizeof(HeaderRecord)) {
        error = format("bad header size %" PRIu32, header_.headerSize);
        return 22;
    }
    if (header_.kind < static_cast<uint32_t>(ImageKind::Full) || header_.kind > static_cast<uint32_t>(ImageKind::Section)) {
        error = format("unknown image kind %" PRIu32, header_.kind);
        return 22;
    }
    if (header_.imageSize != size_) {
        error = header_.imageSize > size_
                    ? format("image truncated: %zu of %" PRIu64 " bytes", size_, header_.imageSize)
                    : format("image of %" PRIu64 " bytes followed by %zu more", header_.imageSize,
                             size_ - static_cast<size_t>(header_.imageSize));
        return 22;
    }
    uint64_t offset = sizeof(HeaderRecord);
    for (uint32_t t = 0; t < TableCount; ++t) {
        offsets_[t] = static_cast<size_t>(offset);
        offset += padded8(static_cast<uint64_t>(header_.counts[t]) * tableEntrySize[t]);
        if (offset > size_) {
            error = format("table of %s runs past the end of the image", tableNames[t]);
            return 22;
        }
    }
    if (offset != size_) {
        error = format("image size %zu does not match its tables (%" PRIu64 " bytes)", size_, offset);
        return 22;
    }
    return 0;
}

int Image::references(std::string &error)
{
    const auto bad = [&error](const char *what, uint32_t i) {
        error = format("%s %" PRIu32 " refers outside the image", what, i);
        return 22;
    };
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count(StringEnds); ++i) {
        const uint32_t end = get<uint32_t>(StringEnds, i);
        if (end < previous || end > count(StringBytes))
            return bad("string", i);
        previous = end;
    }
    const bool section = header_.kind == static_cast<uint32_t>(ImageKind::Section);
    if (section ? !string(header_.sectionNamespace) || !string(header_.sectionName)
                : header_.sectionNamespace != noString || header_.sectionName != noString) {
        error = section ? "section image without its namespace and section" : "whole-policy image names a section";
        return 22;
    }
    for (uint32_t i = 0; i < count(Files); ++i) {
        if (!string(get<uint32_t>(Files, i)))
            return bad("file", i);
    }
    for (uint32_t i = 0; i < count(Nodes); ++i) {
        const auto n = get<NodeRecord>(Nodes, i);
        if (n.rule >= count(Rules) || !string(n.permission))
            return bad("node", i);
    }
    for (uint32_t i = 0; i < count(Rules); ++i) {
        const auto r = get<RuleRecord>(Rules, i);
        if (r.file >= count(Files) || (r.bits & ~static_cast<uint32_t>(SubjectById | ObjectById)) != 0 ||
            !string(r.objectType) || !string(r.namespaceName) || !string(r.sectionName) || !string(r.moduleName) ||
            !slice(Ids, r.sidStart, r.sidCount) || !slice(Ids, r.oidStart, r.oidCount) ||
            !slice(NameRefs, r.subjectNameStart, r.subjectNameCount) ||
            !slice(NameRefs, r.objectNameStart, r.objectNameCount) || !slice(Exprs, r.exprStart, r.exprCount) ||
            !slice(Calls, r.callStart, r.callCount))
            return bad("rule", i);
    }
    for (uint32_t i = 0; i < count(NameRefs); ++i) {
        if (!string(get<uint32_t>(NameRefs, i)))
            return bad("name reference", i);
    }
    for (uint32_t i = 0; i < count(Exprs); ++i) {
        const auto e = get<ExprRecord>(Exprs, i);
        if (!string(e.name) || !string(e.varName) || !slice(Params, e.paramStart, e.paramCount))
            return bad("condition node", i);
    }
    for (uint32_t i = 0; i < count(Calls); ++i) {
        const auto c = get<CallRecord>(Calls, i);
        if (!string(c.name) || !slice(Params, c.paramStart, c.paramCount))
            return bad("action call", i);
    }
    for (uint32_t i = 0; i < count(Params); ++i) {
        if (!string(get<ParamRecord>(Params, i).text))
            return bad("parameter", i);
    }
    for (uint32_t i = 0; i < count(Namespaces); ++i) {
        const auto n = get<NamespaceRecord>(Namespaces, i);
        if (!string(n.name) || !slice(DynamicVars, n.dynamicStart, n.dynamicCount) ||
            !slice(Functions, n.functionStart, n.functionCount))
            return bad("namespace", i);
    }
    for (const Table t : {DynamicVars, UidNames}) {
        for (uint32_t i = 0; i < count(t); ++i) {
            if (!string(get<PairRecord>(t, i).first))
                return bad(tableNames[t], i);
        }
    }
    for (const Table t : {Functions, Labels}) {
        for (uint32_t i = 0; i < count(t); ++i) {
            const auto p = get<PairRecord>(t, i);
            if (!string(p.first) || !string(p.second))
                return bad(tableNames[t], i);
        }
    }
    for (const Table t : {Kmods, Devices}) {
        for (uint32_t i = 0; i < count(t); ++i) {
            if (!string(get<uint32_t>(t, i)))
                return bad(tableNames[t], i);
        }
    }
    return 0;
}

int Image::check(std::string &error)
{
    int rc = layout(error);
    if (rc != 0)
        return rc;
    Digest digest{};
    unsigned int digestSize = 0;
    if (EVP_Digest(data_ + digestedFrom, size_ - digestedFrom, digest.data(), &digestSize, EVP_sha256(), nullptr) != 1 ||
        digestSize != digest.size()) {
        error = "SHA-256 of the image failed";
        return 22;
    }
    if (memcmp(digest.data(), header_.digest, digest.size()) != 0) {
        error = "digest mismatch: the image is damaged";
        return 22;
    }
    return references(error);
}

std::vector<FuncParam> paramsOf(const Image &image, uint32_t start, uint32_t n)
{
    std::vector<FuncParam> params(n);
    for (uint32_t i = 0; i < n; ++i) {
        const auto p = image.get<ParamRecord>(Params, start + i);
        params[i].type = p.type;
        params[i].number = p.number;
        params[i].text = image.text(p.text);
    }
    return params;
}

void decodeMember(const Image &, uint32_t &value, uint32_t slot)
{
    value = slot;
}

void decodeMember(const Image &, bool &value, const BitSlot &slot)
{
    value = (slot.bits & slot.mask) != 0;
}

void decodeMember(const Image &image, std::string &value, uint32_t slot)
{
    value = image.text(slot);
}

void decodeMember(const Image &image, std::vector<TAVO_ID> &value, const SliceSlot &slot)
{
    for (uint32_t i = 0; i < slot.count; ++i) {
        const auto x = image.get<IdRecord>(Ids, slot.start + i);
        value.push_back(TAVO_ID{x.id, x.kind, x.reserved});
    }
}

void decodeMember(const Image &image, std::vector<std::string> &value, const SliceSlot &slot)
{
    for (uint32_t i = 0; i < slot.count; ++i)
        value.emplace_back(image.text(image.get<uint32_t>(NameRefs, slot.start + i)));
}

void decodeMember(const Image &image, std::vector<ExprNode> &value, const SliceSlot &slot)
{
    for (uint32_t i = 0; i < slot.count; ++i) {
        const auto x = image.get<ExprRecord>(Exprs, slot.start + i);
        ExprNode e;
        e.type = x.type;
        e.name = image.text(x.name);
        e.value = x.value;
        e.varName = image.text(x.varName);
        e.params = paramsOf(image, x.paramStart, x.paramCount);
        value.push_back(std::move(e));
    }
}

void decodeMember(const Image &image, std::vector<DoFuncNode> &value, const SliceSlot &slot)
{
    for (uint32_t i = 0; i < slot.count; ++i) {
        const auto x = image.get<CallRecord>(Calls, slot.start + i);
        DoFuncNode c;
        c.name = image.text(x.name);
        c.params = paramsOf(image, x.paramStart, x.paramCount);
        value.push_back(std::move(c));
    }
}

// The members of `node` that are its own, or those of its rule, from the
// records.
template <bool Own>
void decodeNode(const Image &image, RuleRecord rule, NodeRecord own, PolicyNode &node)
{
    forEachNodeSlot(node, NodeSlots{rule, own}, [&](auto &member, auto &&slot, auto field) {
        if constexpr ((decltype(field)::part == NodePart::Own) == Own)
            decodeMember(image, member, slot);
    });
}

int Image::countRecords(uint64_t &records, std::string &error) const
{
    const RecordCounter counter(
        count(Exprs), [this](size_t i) { return get<ExprRecord>(Exprs, i).paramCount; }, count(Calls),
        [this](size_t i) { return get<CallRecord>(Calls, i).paramCount; });
    records = counter.ofNodes(
        count(Nodes), [this](size_t i) { return get<NodeRecord>(Nodes, i).rule; },
        [this](uint32_t r) { return get<RuleRecord>(Rules, r); });
    if (records > maxRecordsFor(size_)) {
        error = format("image expands to %" PRIu64 " records, too many for its %zu bytes", records, size_);
        return 22;
    }
    return 0;
}

// The layout checked and the records counted, as the module does before it
// takes an image.
int checkAndCount(Image &image, uint64_t &records, std::string &error)
{
    const int rc = image.check(error);
    return rc != 0 ? rc : image.countRecords(records, error);
}

} // namespace

int checkImage(const uint8_t *data, size_t size, ImageSummary &summary, std::string &error)
{
    Image image(data, size);
    uint64_t records = 0;
    if (const int rc = checkAndCount(image, records, error))
        return rc;
    const HeaderRecord &h = image.header();
    summary.kind = static_cast<ImageKind>(h.kind);
    memcpy(summary.digest.data(), h.digest, summary.digest.size());
    summary.nodeCount = image.count(Nodes);
    summary.records = records;
    return 0;
}

int checkImage(const uint8_t *data, size_t size, std::string &error)
{
    ImageSummary summary;
    return checkImage(data, size, summary, error);
}

int decodeImage(const uint8_t *data, size_t size, DecodedImage &out, std::string &error)
{
    Image image(data, size);
    uint64_t records = 0;
    if (const int rc = checkAndCount(image, records, error))
        return rc;
    const HeaderRecord &h = image.header();

    DecodedImage d;
    d.kind = static_cast<ImageKind>(h.kind);
    d.version = h.version;
    memcpy(d.digest.data(), h.digest, d.digest.size());
    if (d.kind == ImageKind::Section) {
        d.sectionNamespace = image.text(h.sectionNamespace);
        d.sectionName = image.text(h.sectionName);
    }
    for (uint32_t i = 0; i < image.count(Files); ++i)
        d.files.emplace_back(image.text(image.get<uint32_t>(Files, i)));

    std::vector<PolicyNode> rules;
    rules.reserve(image.count(Rules));
    for (uint32_t i = 0; i < image.count(Rules); ++i) {
        rules.emplace_back();
        decodeNode<false>(image, image.get<RuleRecord>(Rules, i), NodeRecord{}, rules.back());
    }
    d.nodes.reserve(image.count(Nodes));
    d.nodeFiles.reserve(image.count(Nodes));
    for (uint32_t i = 0; i < image.count(Nodes); ++i) {
        const auto n = image.get<NodeRecord>(Nodes, i);
        PolicyNode node = rules[n.rule];
        decodeNode<true>(image, RuleRecord{}, n, node);
        d.nodes.push_back(std::move(node));
        d.nodeFiles.push_back(image.get<RuleRecord>(Rules, n.rule).file);
    }

    for (uint32_t i = 0; i < image.count(Namespaces); ++i) {
        const auto n = image.get<NamespaceRecord>(Namespaces, i);
        NamespaceTable t;
        t.name = image.text(n.name);
        for (uint32_t j = 0; j < n.dynamicCount; ++j) {
            const auto p = image.get<PairRecord>(DynamicVars, n.dynamicStart + j);
            t.dynamicVariables.emplace_back(std::string(image.text(p.first)), p.second);
        }
        for (uint32_t j = 0; j < n.functionCount; ++j) {
            const auto p = image.get<PairRecord>(Functions, n.functionStart + j);
            t.functions.emplace_back(std::string(image.text(p.first)), std::string(image.text(p.second)));
        }
        d.namespaces.push_back(std::move(t));
    }
    for (uint32_t i = 0; i < image.count(UidNames); ++i) {
        const auto p = image.get<PairRecord>(UidNames, i);
        d.uidNames.emplace_back(std::string(image.text(p.first)), p.second);
    }
    for (uint32_t i = 0; i < image.count(Labels); ++i) {
        const auto p = image.get<PairRecord>(Labels, i);
        d.labels.emplace_back(std::string(image.text(p.first)), std::string(image.text(p.second)));
    }
    for (uint32_t i = 0; i < image.count(Kmods); ++i)
        d.kmods.emplace_back(image.text(image.get<uint32_t>(Kmods, i)));
    for (uint32_t i = 0; i < image.count(Devices); ++i)
        d.devices.emplace_back(image.text(image.get<uint32_t>(Devices, i)));
    out = std::move(d);
    return 0;
}

std::string digestHex(const Digest &digest)
{
    static const char hex[] = "0123456789abcdef";
    std::string s;
    s.reserve(digest.size() * 2);
    for (const uint8_t b : digest) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

} // namespace tavo_image
