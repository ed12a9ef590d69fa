#include "distinct_lists.h"

namespace tavo_image {

// Adds the staged list unless the same list is already there.
template <typename Record>
uint32_t DistinctLists::commit(std::vector<Record> &staged, ChunkedTable<Record> &table,
                               ChunkedTable<ParamRecord> &params, std::unordered_map<std::string, uint32_t> &seen)
{
    if (staged.empty())
        return count32(table.size());
    key_.assign(reinterpret_cast<const char *>(staged.data()), staged.size() * sizeof(Record));
    key_.append(reinterpret_cast<const char *>(stagedParams_.data()), stagedParams_.size() * sizeof(ParamRecord));
    const auto found = seen.find(key_);
    if (found != seen.end())
        return found->second;
    const uint32_t start = count32(table.size());
    const uint32_t base = count32(params.size());
    for (const ParamRecord &p : stagedParams_)
        params.push_back(p);
    for (Record &r : staged) {
        r.paramStart += base;
        table.push_back(r);
    }
    seen.emplace(key_, start);
    return start;
}

template uint32_t DistinctLists::commit(std::vector<ExprRecord> &, ChunkedTable<ExprRecord> &,
                                        ChunkedTable<ParamRecord> &, std::unordered_map<std::string, uint32_t> &);
template uint32_t DistinctLists::commit(std::vector<CallRecord> &, ChunkedTable<CallRecord> &,
                                        ChunkedTable<ParamRecord> &, std::unordered_map<std::string, uint32_t> &);

} // namespace tavo_image
