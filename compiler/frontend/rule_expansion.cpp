#include "rule_expansion.h"

#include <algorithm>
#include <utility>

#include "compile_log.h"
#include "parse_state.h"
#include "variables.h"

namespace {

int settleNamespace(FrontEnd &fe, ParseState &s)
{
    if (!s.namespaceName.empty())
        return 0;
    const auto it = s.stringVars.find("name");
    if (it == s.stringVars.end()) {
        COMPILE_ERROR(fe, "####ERROR: 策略文件中未设置场景名称（name）");
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
int checkRecordLimits(FrontEnd &fe, ParseState &s, size_t count)
{
    if (count > maxFileNodes - s.nodeCount) {
        COMPILE_ERROR(fe, "####ERROR: 文件%s第%d行的规则使文件的策略节点超过上限%zu个", s.fileName.c_str(), s.ruleLine,
                   maxFileNodes);
        return 1;
    }
    // Both factors are bounded (nodes by the check above, bytes by the
    // file size and the list limits), so the products cannot overflow.
    const size_t bytes = count * sharedNodeBytes(s) + s.rule.uids.size() * namesBytes(s.rule.permissions);
    if (bytes > maxFileRecordBytes - s.recordBytes) {
        COMPILE_ERROR(fe, "####ERROR: 文件%s第%d行的规则使文件的策略数据超过上限%zu字节", s.fileName.c_str(), s.ruleLine,
                   maxFileRecordBytes);
        return 1;
    }
    s.recordBytes += bytes;
    return 0;
}

// Where the file's next rule goes: over a rule of the last file when one
// is left, so that it reuses that rule's lists.
FileRule &nextRuleSlot(ParseState &s)
{
    std::vector<FileRule> &rules = s.fileRules;
    if (s.ruleCount == rules.size())
        rules.emplace_back();
    return rules[s.ruleCount];
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

// The slot takes the rule's members and the rule the slot's old ones, which
// the rule's reset empties and the next rule fills again in their storage.
void exchangeRuleFields(PolicyNode &slot, PolicyNode &rule)
{
    forEachNodeField([&](auto field, const char *) {
        if constexpr (decltype(field)::part != NodePart::Own) {
            using std::swap;
            swap(slot.*field.member, rule.*field.member);
        }
    });
}

int emitRule(FrontEnd &fe, ParseState &s)
{
    settleRuleLists(s.rule);
    const size_t count = s.rule.uids.size() * s.rule.permissions.size();
    if (count == 0)
        return 0;
    PolicyNode &rule = s.rule.node;
    settleSide(rule.subjectById, rule.sids, rule.subjectNames);
    settleSide(rule.objectById, rule.oids, rule.objectNames);
    if (checkRecordLimits(fe, s, count) != 0)
        return 1;
    // The slot and the rule state exchange members, lists of uids and
    // permissions too: the next rule fills the slot's old storage.
    FileRule &slot = nextRuleSlot(s);
    exchangeRuleFields(slot.shared, rule);
    slot.uids.swap(s.rule.uids);
    slot.permissions.swap(s.rule.permissions);
    slot.firstLine = s.ruleLine;
    slot.lastLine = s.ruleEndLine;
    ++s.ruleCount;
    s.nodeCount += count;
    return 0;
}

} // namespace

int finishRule(FrontEnd &fe)
{
    ParseState &s = fe.state();
    if (settleNamespace(fe, s) != 0)
        return 1;
    if (loadGroupAttributes(fe) != 0) {
        COMPILE_ERROR(fe, "####ERROR: 分组变量参数获取失败");
        return 1;
    }
    if (!s.rule.uidText.empty() && resolveUidText(fe) != 0)
        return 1;
    if (!s.rule.sidText.empty() && resolveSidText(fe) != 0)
        return 1;
    if (!s.rule.oidText.empty() && resolveOidText(fe) != 0)
        return 1;

    if (emitRule(fe, s) != 0)
        return 1;
    resetRuleState(fe);
    return 0;
}

PolicyDb &expandFileNodes(ParseState &s, std::vector<FileRule> &rules, bool keepRules)
{
    // Over the last file's nodes, reusing their strings and lists.
    if (s.policyDb.nodes.empty())
        s.policyDb.nodes.swap(s.spareNodes);
    return expandFileNodes(s.policyDb, rules, keepRules);
}

PolicyDb &expandFileNodes(PolicyDb &db, std::vector<FileRule> &rules, bool keepRules)
{
    std::vector<PolicyNode> &nodes = db.nodes;
    size_t count = 0;
    for (const FileRule &rule : rules)
        count += rule.uids.size() * rule.permissions.size();
    nodes.resize(count);
    size_t at = 0;
    for (FileRule &rule : rules) {
        // Unless the rules are kept, the last node takes the rule's members
        // instead of a copy of them, and the rule the node's old ones: the
        // next file's rule in this slot fills that storage again, where a
        // move would free it here and allocate it anew while parsing.
        const size_t last = at + rule.uids.size() * rule.permissions.size() - 1;
        for (const uint32_t uid : rule.uids) {
            for (const std::string &permission : rule.permissions) {
                PolicyNode &node = nodes[at];
                if (at == last && !keepRules)
                    exchangeRuleFields(node, rule.shared);
                else
                    assignRuleFields(node, rule.shared);
                node.uid = uid;
                node.permission = permission;
                ++at;
            }
        }
    }
    return db;
}
