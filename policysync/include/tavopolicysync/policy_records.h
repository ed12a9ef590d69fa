// Policy records exchanged between the policy compiler and the policy-sync
// library. The compiler fills them; the library reads and keeps them.
#ifndef TAVOPOLICYSYNC_POLICY_RECORDS_H
#define TAVOPOLICYSYNC_POLICY_RECORDS_H

#include <cstdint>
#include <string>
#include <utility>
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

// Whose a member of PolicyNode is: the node's own (each node of a rule has
// its uid and permission), shared by every node of the rule, or reserved
// (carried, always zero, not shown).
enum class NodePart { Own, Rule, Reserved };

// A member of PolicyNode and its part as a type, so that a visitor can
// tell the members apart at compile time.
template <auto Member, NodePart Part>
struct NodeField {
    static constexpr auto member = Member;
    static constexpr NodePart part = Part;
};

// The one list of PolicyNode's members, in declaration order: calls
// f(NodeField<member, part>{}, name) for each. Rule expansion, the image
// encoder and decoder, the comparison of nodes and the JSON lines all walk
// it, so that a member added here reaches each of them (or fails to compile
// where it has no place yet).
template <typename Fn>
void forEachNodeField(Fn &&f)
{
    f(NodeField<&PolicyNode::action, NodePart::Rule>{}, "action");
    f(NodeField<&PolicyNode::uid, NodePart::Own>{}, "uid");
    f(NodeField<&PolicyNode::subjectById, NodePart::Rule>{}, "subjectById");
    f(NodeField<&PolicyNode::sids, NodePart::Rule>{}, "sids");
    f(NodeField<&PolicyNode::subjectNames, NodePart::Rule>{}, "subjectNames");
    f(NodeField<&PolicyNode::objectById, NodePart::Rule>{}, "objectById");
    f(NodeField<&PolicyNode::oids, NodePart::Rule>{}, "oids");
    f(NodeField<&PolicyNode::objectNames, NodePart::Rule>{}, "objectNames");
    f(NodeField<&PolicyNode::objectType, NodePart::Rule>{}, "objectType");
    f(NodeField<&PolicyNode::permission, NodePart::Own>{}, "permission");
    f(NodeField<&PolicyNode::conditions, NodePart::Rule>{}, "conditions");
    f(NodeField<&PolicyNode::actions, NodePart::Rule>{}, "actions");
    f(NodeField<&PolicyNode::flags, NodePart::Rule>{}, "flags");
    f(NodeField<&PolicyNode::reserved0, NodePart::Reserved>{}, "reserved0");
    f(NodeField<&PolicyNode::priority, NodePart::Rule>{}, "priority");
    f(NodeField<&PolicyNode::reserved1, NodePart::Reserved>{}, "reserved1");
    f(NodeField<&PolicyNode::reserved2, NodePart::Reserved>{}, "reserved2");
    f(NodeField<&PolicyNode::reserved3, NodePart::Reserved>{}, "reserved3");
    f(NodeField<&PolicyNode::namespaceName, NodePart::Rule>{}, "namespaceName");
    f(NodeField<&PolicyNode::sectionName, NodePart::Rule>{}, "sectionName");
    f(NodeField<&PolicyNode::moduleName, NodePart::Rule>{}, "moduleName");
}

inline bool operator==(const FuncParam &a, const FuncParam &b)
{
    return a.type == b.type && a.number == b.number && a.text == b.text;
}

inline bool operator==(const ExprNode &a, const ExprNode &b)
{
    return a.type == b.type && a.value == b.value && a.name == b.name && a.varName == b.varName &&
           a.params == b.params;
}

inline bool operator==(const DoFuncNode &a, const DoFuncNode &b)
{
    return a.name == b.name && a.params == b.params;
}

// Whether two nodes differ at most in their own members, as the nodes of
// one rule do.
inline bool sameRule(const PolicyNode &a, const PolicyNode &b)
{
    bool same = true;
    forEachNodeField([&](auto field, const char *) {
        if constexpr (decltype(field)::part != NodePart::Own)
            same = same && a.*field.member == b.*field.member;
    });
    return same;
}

// Gives `node` every member of `rule` but its own ones (moved from an
// rvalue).
template <typename Rule>
void assignRuleFields(PolicyNode &node, Rule &&rule)
{
    forEachNodeField([&](auto field, const char *) {
        if constexpr (decltype(field)::part != NodePart::Own)
            node.*field.member = std::forward<Rule>(rule).*field.member;
    });
}

// The compiled content of one policy file.
struct TAVOPOLICYSYNC_EXPORT PolicyDb {
    std::vector<PolicyNode> nodes;

    // Drops every node.
    void clear();
};

#endif
