// Where each member of PolicyNode lives in the image: a node's own members
// in its NodeRecord, the others in its rule's RuleRecord. The encoder and
// the decoder both walk forEachNodeField through these slots, so a member
// without a slot here does not compile.
#ifndef TAVO_NODE_SLOTS_H
#define TAVO_NODE_SLOTS_H

#include <cstdint>

#include <tavopolicysync/policy_records.h>

#include "image_format.h"

namespace tavo_image {

// One bit of RuleRecord::bits.
struct BitSlot {
    uint32_t &bits;
    uint32_t mask;
};

// A (start, count) slice of a table.
struct SliceSlot {
    uint32_t &start;
    uint32_t &count;
};

struct NodeSlots {
    RuleRecord &rule;
    NodeRecord &node;
};

template <auto Member>
struct Slot;

#define TAVO_NODE_SLOT(member, ...)                                                                                   \
    template <>                                                                                                        \
    struct Slot<&PolicyNode::member> {                                                                                 \
        static decltype(auto) of(const NodeSlots &s) { return (__VA_ARGS__); }                                        \
    }

TAVO_NODE_SLOT(action, s.rule.action);
TAVO_NODE_SLOT(uid, s.node.uid);
TAVO_NODE_SLOT(subjectById, BitSlot{s.rule.bits, SubjectById});
TAVO_NODE_SLOT(sids, SliceSlot{s.rule.sidStart, s.rule.sidCount});
TAVO_NODE_SLOT(subjectNames, SliceSlot{s.rule.subjectNameStart, s.rule.subjectNameCount});
TAVO_NODE_SLOT(objectById, BitSlot{s.rule.bits, ObjectById});
TAVO_NODE_SLOT(oids, SliceSlot{s.rule.oidStart, s.rule.oidCount});
TAVO_NODE_SLOT(objectNames, SliceSlot{s.rule.objectNameStart, s.rule.objectNameCount});
TAVO_NODE_SLOT(objectType, s.rule.objectType);
TAVO_NODE_SLOT(permission, s.node.permission);
TAVO_NODE_SLOT(conditions, SliceSlot{s.rule.exprStart, s.rule.exprCount});
TAVO_NODE_SLOT(actions, SliceSlot{s.rule.callStart, s.rule.callCount});
TAVO_NODE_SLOT(flags, s.rule.flags);
TAVO_NODE_SLOT(reserved0, s.rule.reserved[0]);
TAVO_NODE_SLOT(priority, s.rule.priority);
TAVO_NODE_SLOT(reserved1, s.rule.reserved[1]);
TAVO_NODE_SLOT(reserved2, s.rule.reserved[2]);
TAVO_NODE_SLOT(reserved3, s.rule.reserved[3]);
TAVO_NODE_SLOT(namespaceName, s.rule.namespaceName);
TAVO_NODE_SLOT(sectionName, s.rule.sectionName);
TAVO_NODE_SLOT(moduleName, s.rule.moduleName);

#undef TAVO_NODE_SLOT

// Calls f(member of `node`, its slot, NodeField) for every member.
template <typename Node, typename Fn>
void forEachNodeSlot(Node &node, const NodeSlots &slots, Fn &&f)
{
    forEachNodeField([&](auto field, const char *) {
        f(node.*decltype(field)::member, Slot<decltype(field)::member>::of(slots), field);
    });
}

} // namespace tavo_image

#endif
