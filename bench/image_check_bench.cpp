// What checking a stored policy image costs, as tavo-main-policy-init does
// at early boot: read the file, then either check it without expanding it
// (checkImage, what sendInitPolicy does) or decode it into records
// (decodeImage, what it did before). Run it under /usr/bin/time -v for the
// peak RSS. `make` writes the largest image the module's limits allow.
// `shared` crafts, in memory, images whose rules all share one long
// condition slice, up to the largest the limits allow, and times
// checkImage on them beside the count that walked each rule's slice (the
// way before, quadratic in the image) on the smaller ones.
//
//   tavo-image-check-bench check|decode FILE
//   tavo-image-check-bench make FILE [BYTES [NODES]]
//   tavo-image-check-bench shared [--runs R] [BYTES ...]
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "expr_type.h"
#include "image_format.h"
#include "image_limits.h"
#include "policy_image.h"

using namespace tavo_image;

namespace {

std::vector<uint8_t> readFile(const char *path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

template <typename T>
void put(std::vector<uint8_t> &out, const T &v)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

void pad(std::vector<uint8_t> &out)
{
    out.resize(padded8(out.size()), 0);
}

// A header of a whole-policy image without a section; counts to be set.
HeaderRecord headerOf(ImageKind kind)
{
    HeaderRecord h{};
    h.magic = imageMagic;
    h.version = imageVersion;
    h.kind = static_cast<uint32_t>(kind);
    h.headerSize = sizeof h;
    h.sectionNamespace = h.sectionName = noString;
    return h;
}

// An initial image of about `target` bytes: one rule whose subject-name
// slice fills the image (every reference to one string) and `nodes` nodes
// of it; 127 keep the records just within the limit.
int make(const char *path, uint64_t target, uint32_t nodes)
{
    const char *const strings[] = {"big.p", "file", "web", "", "read", "/usr/bin/s"};
    const uint32_t stringCount = 6;
    std::string bytes;
    std::vector<uint32_t> ends;
    for (const char *s : strings) {
        bytes += s;
        ends.push_back(static_cast<uint32_t>(bytes.size()));
    }
    HeaderRecord h = headerOf(ImageKind::Initial);
    h.counts[StringEnds] = stringCount;
    h.counts[StringBytes] = static_cast<uint32_t>(bytes.size());
    h.counts[Files] = 1;
    h.counts[Nodes] = nodes;
    h.counts[Rules] = 1;
    h.counts[Namespaces] = 1;
    uint64_t fixed = sizeof h;
    for (uint32_t t = 0; t < TableCount; ++t) {
        if (t != NameRefs)
            fixed += padded8(uint64_t{h.counts[t]} * tableEntrySize[t]);
    }
    if (target > maxImageBytes || target < fixed + 8) {
        fprintf(stderr, "size out of range\n");
        return 1;
    }
    const uint64_t refs = (target - fixed) / 4 & ~uint64_t{1};
    h.counts[NameRefs] = static_cast<uint32_t>(refs);
    h.imageSize = fixed + padded8(refs * 4);
    const uint64_t records = nodes * (2 + refs);
    if (records > maxRecordsFor(h.imageSize)) {
        fprintf(stderr, "%" PRIu32 " nodes expand to %" PRIu64 " records, over the limit of %" PRIu64 "\n", nodes,
                records, maxRecordsFor(h.imageSize));
        return 1;
    }

    std::vector<uint8_t> out;
    out.reserve(h.imageSize);
    put(out, h);
    for (const uint32_t e : ends)
        put(out, e);
    pad(out);
    out.insert(out.end(), bytes.begin(), bytes.end());
    pad(out);
    put(out, uint32_t{0});
    pad(out);
    for (uint32_t i = 0; i < nodes; ++i)
        put(out, NodeRecord{0, 1000 + i, 4});
    pad(out);
    RuleRecord r{};
    r.action = 1;
    r.objectType = 1;
    r.namespaceName = 2;
    r.sectionName = r.moduleName = 3;
    r.subjectNameCount = static_cast<uint32_t>(refs);
    r.objectNameStart = 0;
    r.objectNameCount = 1;
    put(out, r);
    pad(out);
    out.resize(out.size() + refs * 4, 0);
    for (uint64_t i = 0; i < refs; ++i) {
        const uint32_t s = 5;
        memcpy(out.data() + out.size() - refs * 4 + i * 4, &s, 4);
    }
    pad(out);
    put(out, NamespaceRecord{2, 0, 0, 0, 0});
    pad(out);
    if (out.size() != h.imageSize) {
        fprintf(stderr, "layout: %zu bytes written, %" PRIu64 " expected\n", out.size(), h.imageSize);
        return 1;
    }
    unsigned int size = 0;
    EVP_Digest(out.data() + digestedFrom, out.size() - digestedFrom, out.data() + digestOffset, &size, EVP_sha256(),
               nullptr);
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(out.data(), 1, out.size(), f) != out.size() || fclose(f) != 0) {
        perror(path);
        return 1;
    }
    printf("%s: %zu bytes, %" PRIu32 " nodes, %" PRIu64 " records (limit %" PRIu64 ")\n", path, out.size(), nodes,
           records, maxRecordsFor(h.imageSize));
    return 0;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A full image of about `target` bytes: half of it rules, half condition
// nodes, every rule's condition the whole of that table ($a & $b & ...),
// and `nodes` nodes spread over the rules: few enough that the image
// expands to fewer records than the module's limit.
std::vector<uint8_t> craftShared(uint64_t target, uint32_t nodes)
{
    const uint64_t body = target - sizeof(HeaderRecord) - 64 - padded8(uint64_t{nodes} * sizeof(NodeRecord));
    const uint32_t rules = static_cast<uint32_t>(body / 2 / sizeof(RuleRecord));
    const uint32_t exprs = static_cast<uint32_t>(body / 2 / sizeof(ExprRecord)) | 1;
    HeaderRecord h = headerOf(ImageKind::Full);
    h.counts[StringEnds] = h.counts[StringBytes] = h.counts[Files] = 1;
    h.counts[Nodes] = nodes;
    h.counts[Rules] = rules;
    h.counts[Exprs] = exprs;
    uint64_t size = sizeof h;
    for (uint32_t t = 0; t < TableCount; ++t)
        size += padded8(uint64_t{h.counts[t]} * tableEntrySize[t]);
    h.imageSize = size;

    std::vector<uint8_t> out;
    out.reserve(size);
    put(out, h);
    put(out, uint32_t{1});
    pad(out);
    out.push_back('a');
    pad(out);
    put(out, uint32_t{0});
    pad(out);
    for (uint32_t i = 0; i < nodes; ++i)
        put(out, NodeRecord{static_cast<uint32_t>(uint64_t{i} * rules / nodes), 1000 + i, 0});
    pad(out);
    RuleRecord r{};
    r.action = 1;
    r.exprCount = exprs;
    for (uint32_t i = 0; i < rules; ++i)
        put(out, r);
    pad(out);
    for (uint32_t i = 0; i < exprs; ++i)
        put(out, ExprRecord{i == 0 || i % 2 == 1 ? ExprVariable : ExprAnd, 0, 1, 0, 0, 0});
    pad(out);
    unsigned int digestSize = 0;
    EVP_Digest(out.data() + digestedFrom, out.size() - digestedFrom, out.data() + digestOffset, &digestSize,
               EVP_sha256(), nullptr);
    return out;
}

// The count as it was: every rule's condition and call slices walked once
// per rule, then the nodes summed by rule.
uint64_t countWalkingEachRule(const std::vector<uint8_t> &image)
{
    HeaderRecord h;
    memcpy(&h, image.data(), sizeof h);
    size_t at[TableCount];
    size_t offset = sizeof h;
    for (uint32_t t = 0; t < TableCount; ++t) {
        at[t] = offset;
        offset += padded8(size_t{h.counts[t]} * tableEntrySize[t]);
    }
    const auto get = [&](Table t, size_t i, auto &record) {
        memcpy(&record, image.data() + at[t] + i * sizeof record, sizeof record);
    };
    std::vector<uint64_t> perNode(h.counts[Rules]);
    for (uint32_t i = 0; i < h.counts[Rules]; ++i) {
        RuleRecord r;
        get(Rules, i, r);
        uint64_t params = 0;
        for (uint32_t e = 0; e < r.exprCount; ++e) {
            ExprRecord x;
            get(Exprs, r.exprStart + e, x);
            params += x.paramCount;
        }
        for (uint32_t c = 0; c < r.callCount; ++c) {
            CallRecord x;
            get(Calls, r.callStart + c, x);
            params += x.paramCount;
        }
        perNode[i] = recordsPerNode(r, params);
    }
    uint64_t records = 0;
    for (uint32_t i = 0; i < h.counts[Nodes]; ++i) {
        NodeRecord n;
        get(Nodes, i, n);
        records += perNode[n.rule];
    }
    return records;
}

int shared(int argc, char **argv)
{
    int runs = 3;
    std::vector<uint64_t> sizes;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, atoi(argv[++i]));
        else
            sizes.push_back(strtoull(argv[i], nullptr, 10));
    }
    // The sizes, a larger one the old way still finishes, and the
    // largest image the module takes.
    if (sizes.empty())
        sizes = {1240000, 2480000, 4960000, 9920000, maxImageBytes};
    // The old way is timed up to this size: it grows with the square.
    constexpr uint64_t oldWayUpTo = 10000000;
    constexpr uint32_t nodes = 1000;
    printf("%14s %9s %9s %16s %12s %14s %8s\n", "image bytes", "rules", "exprs", "records", "check now",
           "walk per rule", "ratio");
    for (const uint64_t size : sizes) {
        if (size > maxImageBytes || size < 4096) {
            fprintf(stderr, "size %" PRIu64 " out of range\n", size);
            return 64;
        }
        const std::vector<uint8_t> image = craftShared(size, nodes);
        HeaderRecord h;
        memcpy(&h, image.data(), sizeof h);
        std::vector<double> now, before;
        ImageSummary summary;
        for (int run = 0; run < runs; ++run) {
            std::string error;
            const auto start = std::chrono::steady_clock::now();
            if (checkImage(image.data(), image.size(), summary, error) != 0) {
                fprintf(stderr, "the crafted image is refused: %s\n", error.c_str());
                return 1;
            }
            now.push_back(secondsSince(start));
            if (size <= oldWayUpTo) {
                const auto walk = std::chrono::steady_clock::now();
                if (countWalkingEachRule(image) != summary.records) {
                    fprintf(stderr, "the two counts differ\n");
                    return 1;
                }
                before.push_back(secondsSince(walk));
            }
        }
        if (before.empty())
            printf("%14zu %9" PRIu32 " %9" PRIu32 " %16" PRIu64 " %10.3f s %14s %8s\n", image.size(), h.counts[Rules],
                   h.counts[Exprs], summary.records, median(now), "-", "-");
        else
            printf("%14zu %9" PRIu32 " %9" PRIu32 " %16" PRIu64 " %10.3f s %12.3f s %7.0fx\n", image.size(),
                   h.counts[Rules], h.counts[Exprs], summary.records, median(now), median(before),
                   median(before) / median(now));
        fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "shared") == 0)
        return shared(argc - 2, argv + 2);
    if (argc >= 3 && strcmp(argv[1], "make") == 0)
        return make(argv[2], argc > 3 ? strtoull(argv[3], nullptr, 10) : maxImageBytes,
                    argc > 4 ? static_cast<uint32_t>(strtoul(argv[4], nullptr, 10)) : 127);
    if (argc != 3 || (strcmp(argv[1], "check") != 0 && strcmp(argv[1], "decode") != 0)) {
        fprintf(stderr, "usage: %s check|decode FILE | make FILE [BYTES [NODES]] | shared [--runs R] [BYTES ...]\n",
                argv[0]);
        return 64;
    }
    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> image = readFile(argv[2]);
    const double reading = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string error;
    int rc = 0;
    size_t nodes = 0;
    if (strcmp(argv[1], "check") == 0) {
        ImageSummary summary;
        rc = checkImage(image.data(), image.size(), summary, error);
        nodes = summary.nodeCount;
    } else {
        DecodedImage decoded;
        rc = decodeImage(image.data(), image.size(), decoded, error);
        nodes = decoded.nodes.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s %s: %zu bytes, %zu nodes, result %d%s%s, %.3f s (%.3f s of it reading)\n", argv[1], argv[2],
           image.size(), nodes, rc, error.empty() ? "" : ": ", error.c_str(), seconds, reading);
    return rc;
}
