// The record tables of an image: those the builder encodes files into, and
// the compact copy of them that a section image carries.
#ifndef TAVO_RECORD_TABLES_H
#define TAVO_RECORD_TABLES_H

#include <cstdint>
#include <functional>
#include <string>

#include "chunked_table.h"
#include "image_format.h"

namespace tavo_image {

struct RecordTables {
    explicit RecordTables(LargeBlocks b) : nodes(b), rules(b), nameRefs(b), ids(b), exprs(b), calls(b), params(b) {}

    ChunkedTable<NodeRecord> nodes;
    ChunkedTable<RuleRecord> rules;
    ChunkedTable<uint32_t> nameRefs;
    ChunkedTable<IdRecord> ids;
    ChunkedTable<ExprRecord> exprs;
    ChunkedTable<CallRecord> calls;
    ChunkedTable<ParamRecord> params;
};

// Where rule i of an image's records comes from, for messages ("file F,
// rule N").
using RulePlace = std::function<std::string(uint32_t rule)>;

} // namespace tavo_image

#endif
