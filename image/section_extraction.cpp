#include "section_extraction.h"

namespace tavo_image {

namespace {

template <typename T>
uint32_t copySlice(const ChunkedTable<T> &from, uint32_t start, uint32_t count, ChunkedTable<T> &to)
{
    const uint32_t at = count32(to.size());
    for (uint32_t i = start; i < start + count; ++i)
        to.push_back(from[i]);
    return at;
}

} // namespace

void extractSection(const RecordTables &all, const std::vector<uint32_t> &selected, RecordTables &section)
{
    std::vector<uint32_t> newIndex(all.rules.size(), noString);
    for (const uint32_t i : selected) {
        RuleRecord r = all.rules[i];
        r.sidStart = copySlice(all.ids, r.sidStart, r.sidCount, section.ids);
        r.oidStart = copySlice(all.ids, r.oidStart, r.oidCount, section.ids);
        r.subjectNameStart = copySlice(all.nameRefs, r.subjectNameStart, r.subjectNameCount, section.nameRefs);
        r.objectNameStart = copySlice(all.nameRefs, r.objectNameStart, r.objectNameCount, section.nameRefs);
        r.exprStart = copySlice(all.exprs, r.exprStart, r.exprCount, section.exprs);
        for (uint32_t e = r.exprStart; e < r.exprStart + r.exprCount; ++e) {
            ExprRecord &x = section.exprs[e];
            x.paramStart = copySlice(all.params, x.paramStart, x.paramCount, section.params);
        }
        r.callStart = copySlice(all.calls, r.callStart, r.callCount, section.calls);
        for (uint32_t c = r.callStart; c < r.callStart + r.callCount; ++c) {
            CallRecord &x = section.calls[c];
            x.paramStart = copySlice(all.params, x.paramStart, x.paramCount, section.params);
        }
        newIndex[i] = count32(section.rules.size());
        section.rules.push_back(r);
    }
    for (size_t i = 0; i < all.nodes.size(); ++i) {
        const NodeRecord &n = all.nodes[i];
        if (newIndex[n.rule] != noString)
            section.nodes.push_back(NodeRecord{newIndex[n.rule], n.uid, n.permission});
    }
}

} // namespace tavo_image
