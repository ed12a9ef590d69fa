// Condition and action lists recur across rules: each distinct one (its
// records and their parameters, as bytes) is stored once, and every rule
// that has it refers to the same slice.
#ifndef TAVO_DISTINCT_LISTS_H
#define TAVO_DISTINCT_LISTS_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <tavopolicysync/policy_records.h>

#include "chunked_table.h"
#include "image_format.h"
#include "string_table.h"

namespace tavo_image {

class DistinctLists {
public:
    // A list is staged record by record, each record's parameters staged
    // just before it (its paramStart counts from the list's first
    // parameter), then committed to its table: the start of its slice.
    void startList()
    {
        stagedExprs_.clear();
        stagedCalls_.clear();
        stagedParams_.clear();
    }
    uint32_t stagedParams() const { return count32(stagedParams_.size()); }
    void stageParams(const std::vector<FuncParam> &params, StringTable &strings)
    {
        for (const FuncParam &p : params)
            stagedParams_.push_back(ParamRecord{p.type, strings.intern(p.text), p.number});
    }
    void stage(const ExprRecord &e) { stagedExprs_.push_back(e); }
    void stage(const CallRecord &c) { stagedCalls_.push_back(c); }
    uint32_t commitConditions(ChunkedTable<ExprRecord> &exprs, ChunkedTable<ParamRecord> &params)
    {
        return commit(stagedExprs_, exprs, params, seenExprLists_);
    }
    uint32_t commitCalls(ChunkedTable<CallRecord> &calls, ChunkedTable<ParamRecord> &params)
    {
        return commit(stagedCalls_, calls, params, seenCallLists_);
    }

private:
    template <typename Record>
    uint32_t commit(std::vector<Record> &staged, ChunkedTable<Record> &table, ChunkedTable<ParamRecord> &params,
                    std::unordered_map<std::string, uint32_t> &seen);

    // Distinct lists -> where they start.
    std::unordered_map<std::string, uint32_t> seenExprLists_;
    std::unordered_map<std::string, uint32_t> seenCallLists_;
    std::vector<ExprRecord> stagedExprs_;
    std::vector<CallRecord> stagedCalls_;
    std::vector<ParamRecord> stagedParams_;
    std::string key_;
};

} // namespace tavo_image

#endif
