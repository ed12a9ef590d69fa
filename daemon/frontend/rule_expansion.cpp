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
    const PolicyNode &t = s.rule.node;
    size_t n = sizeof(PolicyNode) + t.namespaceName.size() + t.sectionName.size() + t.moduleName.size() +
               t.objectType.size();
    n += t.sids.size() * sizeof(TAVO_ID) + namesBytes(t.subjectNames);
    n += t.oids.size() * sizeof(TAVO_ID) + namesBytes(t.objectNames);
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
    const size_t bytes = count * sharedNodeBytes(s) + s.rule.uids.size() * namesBytes(s.rule.permissions);
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

// One side (subject or object) of the rule: ids gathered for it win over
// names gathered beside them; with neither, it stays "by id".
void settleSide(bool &byId, std::vector<TAVO_ID> &ids, std::vector<std::string> &names)
{
    if (!ids.empty()) {
        byId = true;
        names.clear();
    } else if (!names.empty()) {
        byId = false;
    }
}

int emitNodes(ParseState &s)
{
    std::vector<PolicyNode> &nodes = s.policyDb.nodes;
    const size_t count = s.rule.uids.size() * s.rule.permissions.size();
    if (count == 0)
        return 0;
    PolicyNode &rule = s.rule.node;
    settleSide(rule.subjectById, rule.sids, rule.subjectNames);
    settleSide(rule.objectById, rule.oids, rule.objectNames);
    if (checkRecordLimits(s, count) != 0)
        return 1;
    if (nodes.capacity() - s.nodeCount < count)
        nodes.reserve(std::max(s.nodeCount + count, 2 * nodes.capacity()));

    // The last node takes the rule's members instead of a copy of them.
    const size_t last = s.nodeCount + count - 1;
    for (const uint32_t uid : s.rule.uids) {
        for (const std::string &permission : s.rule.permissions) {
            PolicyNode &node = nextNodeSlot(s);
            if (s.nodeCount == last)
                assignRuleFields(node, std::move(rule));
            else
                assignRuleFields(node, rule);
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
    if (!s.rule.uidText.empty() && resolveUidText() != 0)
        return 1;
    if (!s.rule.sidText.empty() && resolveSidText() != 0)
        return 1;
    if (!s.rule.oidText.empty() && resolveOidText() != 0)
        return 1;

    if (emitNodes(s) != 0)
        return 1;
    resetRuleState();
    return 0;
}
