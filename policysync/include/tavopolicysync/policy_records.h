// Policy records exchanged between the policy compiler and the policy-sync
// library. The compiler fills them; the library reads and keeps them.
#ifndef TAVOPOLICYSYNC_POLICY_RECORDS_H
#define TAVOPOLICYSYNC_POLICY_RECORDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tavopolicysync/export.h"

// A subject or object identifier. All bits of `id` set means "any".
struct TAVO_ID {
    uint64_t id = 0;
    // Class of the identifier: 0 for plain ids, 1 for capabilities.
    uint64_t kind = 0;
    uint64_t reserved = 0;
};

inline bool operator==(const TAVO_ID &a, const TAVO_ID &b)
{
    return a.id == b.id && a.kind == b.kind && a.reserved == b.reserved;
}

// One argument of a condition or action function call.
struct FuncParam {
    enum : uint32_t { Number = 2, Text = 3 };

    uint64_t number = 0;
    std::string text;
    uint32_t type = 0;
};

// One node of a rule condition, stored in postfix order.
struct ExprNode {
    uint32_t type = 0;
    std::string name;
    uint32_t value = 0;
    std::string varName;
    std::vector<FuncParam> params;
};

// One call of a rule's `do` block.
struct DoFuncNode {
    std::string name;
    std::vector<FuncParam> params;
};

// One compiled rule for one uid and one permission.
struct PolicyNode {
    uint32_t action = 0;
    uint32_t uid = 0;
    bool subjectById = false;
    std::vector<TAVO_ID> sids;
    std::vector<std::string> subjectNames;
    bool objectById = false;
    std::vector<TAVO_ID> oids;
    std::vector<std::string> objectNames;
    std::string objectType;
    std::string permission;
    std::vector<ExprNode> conditions;
    std::vector<DoFuncNode> actions;
    uint32_t flags = 0;
    uint32_t reserved0 = 0;
    uint32_t priority = 0;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    uint32_t reserved3 = 0;
    std::string namespaceName;
    std::string sectionName;
    std::string moduleName;
};

// The compiled content of one policy file.
struct TAVOPOLICYSYNC_EXPORT PolicyDb {
    std::vector<PolicyNode> nodes;

    // Drops every node.
    void clear();
};

#endif
