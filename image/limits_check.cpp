#include "limits_check.h"

#include <vector>

#include "image_limits.h"

namespace tavo_image {

int withinModuleLimits(const RecordTables &records, uint64_t imageBytes, const RulePlace &where, std::string &error)
{
    if (imageBytes > maxImageBytes) {
        error = "the image would take " + std::to_string(imageBytes) + " bytes, more than the " +
                std::to_string(maxImageBytes) + " the module takes";
        return 22;
    }
    const ChunkedTable<NodeRecord> &nodes = records.nodes;
    const ChunkedTable<RuleRecord> &rules = records.rules;
    const ChunkedTable<ExprRecord> &exprs = records.exprs;
    const ChunkedTable<CallRecord> &calls = records.calls;
    const RecordCounter counter(
        exprs.size(), [&exprs](size_t i) { return exprs[i].paramCount; }, calls.size(),
        [&calls](size_t i) { return calls[i].paramCount; });
    const uint64_t count = counter.ofNodes(
        nodes.size(), [&nodes](size_t i) { return nodes[i].rule; },
        [&rules](uint32_t r) -> const RuleRecord & { return rules[r]; });
    const uint64_t limit = maxRecordsFor(imageBytes);
    if (count <= limit)
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
    error = "the image of " + std::to_string(imageBytes) + " bytes would expand to " + std::to_string(count) +
            " records in the module, more than the " + std::to_string(limit) + " it takes (" +
            std::to_string(recordsPerImageByte) + " a byte plus " + std::to_string(recordAllowance) +
            "); most from " + where(count32(heaviest)) + ": " + std::to_string(nodesOf[heaviest]) + " nodes of " +
            std::to_string(counter.perNode(rules[heaviest])) + " records";
    return 22;
}

} // namespace tavo_image
