// What the tavo module takes of an image beyond its format: the one
// definition that the library's compile, its check of a stored image and
// the simulated module all apply (docs/kernel-interface.md).
#ifndef TAVO_IMAGE_LIMITS_H
#define TAVO_IMAGE_LIMITS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image_format.h"

namespace tavo_image {

// Largest image the module takes, header included.
constexpr uint64_t maxImageBytes = uint64_t{256} << 20;

// The module keeps one record per node and per element its rule holds for
// it (identifier, name, condition node, call, parameter): nodes share their
// rule in the image, not in the module. An image may expand to at most
// this many records per byte, plus a fixed allowance for small images.
constexpr uint64_t recordsPerImageByte = 32;
constexpr uint64_t recordAllowance = uint64_t{1} << 16;

constexpr uint64_t maxRecordsFor(uint64_t imageBytes)
{
    return recordsPerImageByte * imageBytes + recordAllowance;
}

// Records one node of rule `r` expands to; `params` counts the parameters
// of the rule's condition nodes and calls.
constexpr uint64_t recordsPerNode(const RuleRecord &r, uint64_t params)
{
    return 1 + uint64_t{r.sidCount} + r.subjectNameCount + r.oidCount + r.objectNameCount + r.exprCount +
           r.callCount + params;
}

// Counts what an image's nodes expand to in the module: the one count that
// the library's compile and the check of an image both make. Many rules may
// share one long condition or call slice, so the parameters are summed once
// from the start of their tables and a rule's share is two differences:
// time and memory in proportion to the tables, whatever they expand to.
class RecordCounter {
public:
    // exprParams(i), callParams(i): the parameter count of condition node i
    // and of call i.
    template <typename ExprParams, typename CallParams>
    RecordCounter(size_t exprs, ExprParams exprParams, size_t calls, CallParams callParams)
        : exprSums_(sums(exprs, exprParams)), callSums_(sums(calls, callParams))
    {
    }

    // Records one node of `r` expands to; its slices lie inside the tables.
    uint64_t perNode(const RuleRecord &r) const
    {
        const uint64_t params = exprSums_[uint64_t{r.exprStart} + r.exprCount] - exprSums_[r.exprStart] +
                                callSums_[uint64_t{r.callStart} + r.callCount] - callSums_[r.callStart];
        return recordsPerNode(r, params);
    }

    // Records `nodes` nodes expand to, node i being of rule ruleOf(i) and
    // rule j being ruleAt(j). A rule's slices lie inside the tables, so one
    // node's term stays far below 2^64; the sum saturates at UINT64_MAX (a
    // hostile image may point every node at a rule whose conditions all
    // share one huge parameter list).
    template <typename RuleOf, typename RuleAt>
    uint64_t ofNodes(size_t nodes, RuleOf ruleOf, RuleAt ruleAt) const
    {
        uint64_t records = 0;
        uint64_t each = 0;
        uint32_t rule = 0;
        for (size_t i = 0; i < nodes; ++i) {
            // A rule's nodes mostly follow each other: each run weighs its
            // rule once.
            const uint32_t r = ruleOf(i);
            if (i == 0 || r != rule) {
                rule = r;
                each = perNode(ruleAt(r));
            }
            if (__builtin_add_overflow(records, each, &records))
                return UINT64_MAX;
        }
        return records;
    }

private:
    template <typename Params>
    static std::vector<uint64_t> sums(size_t n, Params params)
    {
        std::vector<uint64_t> s(n + 1, 0);
        for (size_t i = 0; i < n; ++i)
            s[i + 1] = s[i] + params(i);
        return s;
    }

    // Parameters of the first i entries, for i from 0 to the table's size.
    std::vector<uint64_t> exprSums_;
    std::vector<uint64_t> callSums_;
};

} // namespace tavo_image

#endif
