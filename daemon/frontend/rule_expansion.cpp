#include "rule_expansion.h"

#include <algorithm>

#include "parse_state.h"
#include <tavopolicysync/log.h>
#include "variables.h"

namespace {

int settleNamespace(ParseState &s)
{
    if (!s.namespaceName.empty())
        return 0;
    const auto it = s.stringVars.find("name");
    if (it == s.stringVars.end()) {
        TAVO_ERROR("####ERROR: 策略文件中未设置场景名称（name）");
        return 1;
    }
    s.namespaceName = it->second;
    return 0;
}

size_t textBytes(const std::string &text)
{
    return sizeof text + text.size();
}

size_t paramBytes(const std::vector<FuncParam> &params)
{
    size_t n = 0;
    for (const FuncParam &p : params)
        n += sizeof p + p.text.size();
    return n;
}

size_t namesBytes(const std::vector<std::string> &names)
{
    size_t n = 0;
    for (const std::string &name : names)
        n += textBytes(name);
    return n;
}

// Bytes that every node of the rule holds, permission text aside: the
// subjects, objects, conditions and calls are copied into each one.
size_t sharedNodeBytes(const ParseState &s)
{
    const PolicyNode &t = s.ruleTemplate;
    size_t n = sizeof(PolicyNode) + t.namespaceName.size() + t.sectionName.size() + t.moduleName.size() +
               s.objectType.size();
    n += s.sids.empty() ? namesBytes(s.subjectNames) : s.sids.size() * sizeof(TAVO_ID);
    n += s.oids.empty() ? namesBytes(s.objectNames) : s.oids.size() * sizeof(TAVO_ID);
    for (const ExprNode &e : t.conditions)
        n += sizeof e + e.name.size() + e.varName.size() + paramBytes(e.params);
    for (const DoFuncNode &a : t.actions)
        n += sizeof a + a.name.size() + paramBytes(a.params);
    return n;
}

// Refuses a rule whose nodes would take the file past its node or byte limit.
int checkRecordLimits(ParseState &s, size_t count)
{
    if (count > maxFileNodes - s.nodeCount) {
        TAVO_ERROR("####ERROR: 文件%s第%d行的规则使文件的策略节点超过上限%zu个", s.fileName.c_str(), s.ruleLine,
                   maxFileNodes);
        return 1;
    }
    // Both factors are bounded (nodes by the check above, bytes by the
    // file size and the list limits), so the products cannot overflow.
    const size_t bytes = count * sharedNodeBytes(s) + s.uids.size() * namesBytes(s.permissions);
    if (bytes > maxFileRecordBytes - s.recordBytes) {
        TAVO_ERROR("####ERROR: 文件%s第%d行的规则使文件的策略数据超过上限%zu字节", s.fileName.c_str(), s.ruleLine,
                   maxFileRecordBytes);
        return 1;
    }
    s.recordBytes += bytes;
    return 0;
}

// Where the file's next node goes: over a node of the last file when one
// is left, so that copying the rule into it reuses its strings and lists
// instead of taking fresh heap blocks.
PolicyNode &nextNodeSlot(ParseState &s)
{
    std::vector<PolicyNode> &nodes = s.policyDb.nodes;
    if (s.nodeCount == nodes.size())
        nodes.emplace_back();
    return nodes[s.nodeCount];
}

// One side (subject or object) of a node: ids gathered for the rule win
// over names gathered beside them; with neither, the template's stand.
void assignSide(bool &byId, std::vector<TAVO_ID> &ids, std::vector<std::string> &names, bool templateById,
                const std::vector<TAVO_ID> &templateIds, const std::vector<std::string> &templateNames,
                const std::vector<TAVO_ID> &ruleIds, const std::vector<std::string> &ruleNames)
{
    if (!ruleIds.empty()) {
        byId = true;
        ids = ruleIds;
        names = templateNames;
    } else if (!ruleNames.empty()) {
        byId = false;
        ids = templateIds;
        names = ruleNames;
    } else {
        byId = templateById;
        ids = templateIds;
        names = templateNames;
    }
}

// Copies what every node of the rule shares, member by member, so that
// each member reuses the slot's storage.
void assignRule(PolicyNode &node, const ParseState &s)
{
    const PolicyNode &t = s.ruleTemplate;
    node.action = t.action;
    assignSide(node.subjectById, node.sids, node.subjectNames, t.subjectById, t.sids, t.subjectNames, s.sids,
               s.subjectNames);
    assignSide(node.objectById, node.oids, node.objectNames, t.objectById, t.oids, t.objectNames, s.oids,
               s.objectNames);
    node.objectType = s.objectType;
    node.conditions = t.conditions;
    node.actions = t.actions;
    node.flags = t.flags;
    node.reserved0 = t.reserved0;
    node.priority = t.priority;
    node.reserved1 = t.reserved1;
    node.reserved2 = t.reserved2;
    node.reserved3 = t.reserved3;
    node.namespaceName = t.namespaceName;
    node.sectionName = t.sectionName;
    node.moduleName = t.moduleName;
}

int emitNodes(ParseState &s)
{
    std::vector<PolicyNode> &nodes = s.policyDb.nodes;
    const size_t count = s.uids.size() * s.permissions.size();
    if (count == 0)
        return 0;
    if (checkRecordLimits(s, count) != 0)
        return 1;
    if (nodes.capacity() - s.nodeCount < count)
        nodes.reserve(std::max(s.nodeCount + count, 2 * nodes.capacity()));

    for (const uint32_t uid : s.uids) {
        for (const std::string &permission : s.permissions) {
            PolicyNode &node = nextNodeSlot(s);
            assignRule(node, s);
            node.uid = uid;
            node.permission = permission;
            ++s.nodeCount;
        }
    }
    return 0;
}

} // namespace

int finishRule()
{
    ParseState &s = parseState();
    if (settleNamespace(s) != 0)
        return 1;
    if (loadGroupAttributes() != 0) {
        TAVO_ERROR("####ERROR: 分组变量参数获取失败");
        return 1;
    }
    if (!s.uidText.empty() && resolveUidText() != 0)
        return 1;
    if (!s.sidText.empty() && resolveSidText() != 0)
        return 1;
    if (!s.oidText.empty() && resolveOidText() != 0)
        return 1;

    if (emitNodes(s) != 0)
        return 1;
    resetRuleState();
    return 0;
}
