// Wire records of the policy image (docs/policy-image.md). All fields are
// little-endian; records have no padding, so a table is the bytes of an
// array of them.
#ifndef TAVO_IMAGE_FORMAT_H
#define TAVO_IMAGE_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace tavo_image {

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the policy image is written in host order, which must be little-endian"
#endif

constexpr uint32_t noString = 0xffffffffu;

// Tables in the order they follow the header, each padded to 8 bytes.
enum Table : uint32_t {
    StringEnds,   // u32 per string: end offset of the string in StringBytes
    StringBytes,  // counted in bytes
    Files,        // u32 string
    Nodes,        // NodeRecord
    Rules,        // RuleRecord
    NameRefs,     // u32 string
    Ids,          // IdRecord
    Exprs,        // ExprRecord
    Calls,        // CallRecord
    Params,       // ParamRecord
    Namespaces,   // NamespaceRecord
    DynamicVars,  // PairRecord: name, initial value
    Functions,    // PairRecord: module, function
    UidNames,     // PairRecord: user name, uid
    Labels,       // PairRecord: kind, name
    Kmods,        // u32 string
    Devices,      // u32 string
    TableCount,
};

struct HeaderRecord {
    uint32_t magic;
    uint32_t version;
    uint8_t digest[32]; // SHA-256 of every byte from `kind` to the end
    uint32_t kind;
    uint32_t headerSize;
    uint64_t imageSize;
    uint32_t sectionNamespace; // string, or noString
    uint32_t sectionName;      // string, or noString
    uint32_t counts[TableCount];
    uint32_t reserved;
};
constexpr size_t digestOffset = 8;
constexpr size_t digestedFrom = 40;

// One node: the rule it shares with the other nodes of its rule, and what
// is its own.
struct NodeRecord {
    uint32_t rule;
    uint32_t uid;
    uint32_t permission; // string
};

enum RuleBits : uint32_t { SubjectById = 1, ObjectById = 2 };

// What the nodes of one rule have in common. Slices are (start, count) into
// their tables.
struct RuleRecord {
    uint32_t file;
    uint32_t action;
    uint32_t flags;
    uint32_t priority;
    uint32_t reserved[4];
    uint32_t bits;
    uint32_t objectType; // strings
    uint32_t namespaceName;
    uint32_t sectionName;
    uint32_t moduleName;
    uint32_t sidStart, sidCount;                 // Ids
    uint32_t subjectNameStart, subjectNameCount; // NameRefs
    uint32_t oidStart, oidCount;                 // Ids
    uint32_t objectNameStart, objectNameCount;   // NameRefs
    uint32_t exprStart, exprCount;               // Exprs, postfix order
    uint32_t callStart, callCount;               // Calls
};

struct IdRecord {
    uint64_t id;
    uint64_t kind;
    uint64_t reserved;
};

struct ExprRecord {
    uint32_t type;
    uint32_t name; // string
    uint32_t value;
    uint32_t varName; // string
    uint32_t paramStart, paramCount;
};

struct CallRecord {
    uint32_t name; // string
    uint32_t paramStart, paramCount;
};

struct ParamRecord {
    uint32_t type;
    uint32_t text; // string
    uint64_t number;
};

struct NamespaceRecord {
    uint32_t name; // string
    uint32_t dynamicStart, dynamicCount;   // DynamicVars
    uint32_t functionStart, functionCount; // Functions
};

struct PairRecord {
    uint32_t first;
    uint32_t second;
};

static_assert(sizeof(HeaderRecord) == 136, "header layout");
static_assert(sizeof(NodeRecord) == 12 && sizeof(RuleRecord) == 100 && sizeof(IdRecord) == 24 &&
                  sizeof(ExprRecord) == 24 && sizeof(CallRecord) == 12 && sizeof(ParamRecord) == 16 &&
                  sizeof(NamespaceRecord) == 20 && sizeof(PairRecord) == 8,
              "record layouts");

// Size of one entry of each table (StringBytes counts bytes).
constexpr size_t tableEntrySize[TableCount] = {
    4, 1, 4, sizeof(NodeRecord), sizeof(RuleRecord), 4, sizeof(IdRecord), sizeof(ExprRecord), sizeof(CallRecord),
    sizeof(ParamRecord), sizeof(NamespaceRecord), sizeof(PairRecord), sizeof(PairRecord), sizeof(PairRecord),
    sizeof(PairRecord), 4, 4,
};

// A count or index of the image: its tables are refused past 2^32 entries.
constexpr uint32_t count32(size_t n)
{
    return static_cast<uint32_t>(n);
}

constexpr size_t padded8(size_t n)
{
    return (n + 7) & ~static_cast<size_t>(7);
}

} // namespace tavo_image

#endif
