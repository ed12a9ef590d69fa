#include "parse_state.h"

#include <type_traits>

#include "compile_log.h"
#include "lexer.h"

namespace {

bool isQuoted(const std::string &text)
{
    return !text.empty() && (text[0] == '"' || text[0] == '\'');
}

int storeOperand(std::string &slot, const std::string &text, const char *emptyMessage)
{
    // In place: the slot keeps its storage from rule to rule.
    if (isQuoted(text))
        slot.assign(text, 1, text.size() >= 2 ? text.size() - 2 : 0);
    else
        slot.assign(text);
    if (slot.empty()) {
        COMPILE_ERROR("%s", emptyMessage);
        return 1;
    }
    return 0;
}

// Gives a member its reset value: a number zero, a text or list emptied
// with its storage kept.
template <typename T>
void empty(T &member)
{
    if constexpr (std::is_arithmetic_v<T>)
        member = T();
    else
        member.clear();
}

void emptyExpression(ExprNode &e)
{
    e.type = 0;
    e.name.clear();
    e.value = 0;
    e.varName.clear();
    e.params.clear();
}

} // namespace

std::string withoutQuotes(const std::string &text)
{
    if (isQuoted(text))
        return text.size() >= 2 ? text.substr(1, text.size() - 2) : std::string();
    return text;
}

void resetRuleState()
{
    // In place, member by member: a fresh state assigned over the old one
    // would build and tear down every member of the rule, set or not.
    RuleState &rule = parseState().rule;
    PolicyNode &node = rule.node;
    forEachNodeField([&node](auto field, const char *) { empty(node.*field.member); });
    // As ruleDefaults() has them.
    node.subjectById = true;
    node.objectById = true;
    emptyExpression(rule.curExpr);
    rule.curAction.name.clear();
    rule.curAction.params.clear();
    rule.permissions.clear();
    rule.uidText.clear();
    rule.sidText.clear();
    rule.oidText.clear();
    rule.uids.clear();
}

void resetParseState()
{
    // A fresh state also releases the storage of the last file's records.
    parseState() = ParseState();
}

void recycleFileNodes()
{
    ParseState &s = parseState();
    s.ruleCount = 0;
    s.nodeCount = 0;
    std::vector<PolicyNode> &nodes = s.policyDb.nodes;
    if (s.recordBytes > maxSpareRecordBytes) {
        std::vector<FileRule>().swap(s.fileRules);
        std::vector<PolicyNode>().swap(s.spareNodes);
        std::vector<PolicyNode>().swap(nodes);
        return;
    }
    if (!nodes.empty()) {
        s.spareNodes = std::move(nodes);
        nodes = std::vector<PolicyNode>();
    }
}

void startFileState()
{
    recycleFileNodes();
    ParseState &s = parseState();
    std::vector<FileRule> rules = std::move(s.fileRules);
    std::vector<PolicyNode> spare = std::move(s.spareNodes);
    s = ParseState();
    s.fileRules = std::move(rules);
    s.spareNodes = std::move(spare);
}

void endFileNodes()
{
    ParseState &s = parseState();
    std::vector<FileRule> &rules = s.fileRules;
    if (s.ruleCount < rules.size())
        rules.erase(rules.begin() + static_cast<std::ptrdiff_t>(s.ruleCount), rules.end());
}

void setAction(uint32_t code)
{
    ParseState &s = parseState();
    s.rule.node.action = code;
    s.ruleLine = lineNumber;
    s.ruleEndLine = lineNumber;
}

void markRuleEnd()
{
    parseState().ruleEndLine = lineNumber;
}

void setObjectType(const std::string &text)
{
    parseState().rule.node.objectType = text;
}

void addPermission(const std::string &text)
{
    parseState().rule.permissions.push_back(text);
}

int addUid(uint64_t value)
{
    if (!isUidNumber(value)) {
        COMPILE_ERROR("####ERROR: UID 值 %llu 超出 uint32_t 范围", static_cast<unsigned long long>(value));
        return 1;
    }
    parseState().rule.uids.push_back(uidOfNumber(value));
    return 0;
}

void addSubjectId(uint64_t value)
{
    parseState().rule.node.sids.push_back(TAVO_ID{value, 0, 0});
}

void addObjectId(uint64_t value)
{
    parseState().rule.node.oids.push_back(TAVO_ID{value, 0, 0});
}

int setUidText(const std::string &text)
{
    return storeOperand(parseState().rule.uidText, text, "####ERROR: 规则中的uid为空字符串");
}

int setSidText(const std::string &text)
{
    return storeOperand(parseState().rule.sidText, text, "####ERROR: 规则中的sid为空字符串");
}

int setOidText(const std::string &text)
{
    return storeOperand(parseState().rule.oidText, text, "####ERROR: 规则中的oid为空字符串");
}

void commitExpression(uint32_t type)
{
    ParseState &s = parseState();
    s.rule.curExpr.type = type;
    s.rule.node.conditions.push_back(std::move(s.rule.curExpr));
    s.rule.curExpr = ExprNode();
}

void commitAction()
{
    ParseState &s = parseState();
    s.rule.node.actions.push_back(std::move(s.rule.curAction));
    s.rule.curAction = DoFuncNode();
}
