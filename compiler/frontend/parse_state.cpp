#include "parse_state.h"

#include <type_traits>

#include "compile_log.h"
#include "lexer.h"

namespace {

bool isQuoted(const std::string &text)
{
    return !text.empty() && (text[0] == '"' || text[0] == '\'');
}

int storeOperand(FrontEnd &fe, std::string &slot, TokenText token, const char *emptyMessage)
{
    // In place, from the token's own text: the slot keeps its storage from
    // rule to rule.
    const char *text = token.data;
    const size_t size = token.length;
    if (size > 0 && (text[0] == '"' || text[0] == '\''))
        slot.assign(text + 1, size >= 2 ? size - 2 : 0);
    else
        slot.assign(text, size);
    if (slot.empty()) {
        COMPILE_ERROR(fe, "%s", emptyMessage);
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

template <typename T>
constexpr bool isReusedList = std::is_same_v<T, std::vector<std::string>> || std::is_same_v<T, std::vector<ExprNode>> ||
                              std::is_same_v<T, std::vector<DoFuncNode>>;

// The list's next element: one it kept, a spare one, or a new one.
template <typename T>
T &nextElement(std::vector<T> &list, size_t &used, std::vector<T> &spare)
{
    if (used == list.size()) {
        if (spare.empty()) {
            list.emplace_back();
        } else {
            list.push_back(std::move(spare.back()));
            spare.pop_back();
        }
    }
    return list[used++];
}

template <typename T>
void cutTo(std::vector<T> &list, size_t used, std::vector<T> &spare)
{
    while (list.size() > used) {
        spare.push_back(std::move(list.back()));
        list.pop_back();
    }
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

void resetRuleState(FrontEnd &fe)
{
    // In place, member by member: a fresh state assigned over the old one
    // would build and tear down every member of the rule, set or not.
    RuleState &rule = fe.state().rule;
    PolicyNode &node = rule.node;
    forEachNodeField([&node](auto field, const char *) {
        using T = std::remove_reference_t<decltype(node.*field.member)>;
        // Kept for the next rule to fill (see RuleState).
        if constexpr (!isReusedList<T>)
            empty(node.*field.member);
    });
    rule.subjectNamesUsed = 0;
    rule.objectNamesUsed = 0;
    rule.conditionsUsed = 0;
    rule.actionsUsed = 0;
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

void resetParseState(FrontEnd &fe)
{
    // A fresh state also releases the storage of the last file's records.
    fe.state() = ParseState();
}

void recycleFileNodes(FrontEnd &fe)
{
    ParseState &s = fe.state();
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

void startFileState(FrontEnd &fe)
{
    recycleFileNodes(fe);
    ParseState &s = fe.state();
    std::vector<FileRule> rules = std::move(s.fileRules);
    std::vector<PolicyNode> spare = std::move(s.spareNodes);
    s = ParseState();
    s.fileRules = std::move(rules);
    s.spareNodes = std::move(spare);
}

void endFileNodes(FrontEnd &fe)
{
    ParseState &s = fe.state();
    std::vector<FileRule> &rules = s.fileRules;
    if (s.ruleCount < rules.size())
        rules.erase(rules.begin() + static_cast<std::ptrdiff_t>(s.ruleCount), rules.end());
}

void setAction(FrontEnd &fe, uint32_t code)
{
    ParseState &s = fe.state();
    s.rule.node.action = code;
    s.ruleLine = fe.scanner().line();
    s.ruleEndLine = s.ruleLine;
}

void markRuleEnd(FrontEnd &fe)
{
    fe.state().ruleEndLine = fe.scanner().line();
}

void setObjectType(FrontEnd &fe, const std::string &text)
{
    fe.state().rule.node.objectType = text;
}

void addPermission(FrontEnd &fe, const std::string &text)
{
    fe.state().rule.permissions.push_back(text);
}

int addUid(FrontEnd &fe, uint64_t value)
{
    if (!isUidNumber(value)) {
        COMPILE_ERROR(fe, "####ERROR: UID 值 %llu 超出 uint32_t 范围", static_cast<unsigned long long>(value));
        return 1;
    }
    fe.state().rule.uids.push_back(uidOfNumber(value));
    return 0;
}

void addSubjectId(FrontEnd &fe, uint64_t value)
{
    fe.state().rule.node.sids.push_back(TAVO_ID{value, 0, 0});
}

void addObjectId(FrontEnd &fe, uint64_t value)
{
    fe.state().rule.node.oids.push_back(TAVO_ID{value, 0, 0});
}

int setUidText(FrontEnd &fe, TokenText text)
{
    return storeOperand(fe, fe.state().rule.uidText, text, "####ERROR: 规则中的uid为空字符串");
}

int setSidText(FrontEnd &fe, TokenText text)
{
    return storeOperand(fe, fe.state().rule.sidText, text, "####ERROR: 规则中的sid为空字符串");
}

int setOidText(FrontEnd &fe, TokenText text)
{
    return storeOperand(fe, fe.state().rule.oidText, text, "####ERROR: 规则中的oid为空字符串");
}

void commitExpression(FrontEnd &fe, uint32_t type)
{
    RuleState &rule = fe.state().rule;
    rule.curExpr.type = type;
    pushCondition(rule);
}

void pushCondition(RuleState &rule)
{
    ExprNode &e = nextElement(rule.node.conditions, rule.conditionsUsed, rule.spareConditions);
    ExprNode &built = rule.curExpr;
    e.type = built.type;
    e.name.assign(built.name);
    e.value = built.value;
    e.varName.assign(built.varName);
    // The kept element's list goes to the next expression.
    e.params.swap(built.params);
    emptyExpression(built);
}

void commitAction(FrontEnd &fe)
{
    RuleState &rule = fe.state().rule;
    DoFuncNode &a = nextElement(rule.node.actions, rule.actionsUsed, rule.spareActions);
    a.name.assign(rule.curAction.name);
    a.params.swap(rule.curAction.params);
    rule.curAction.name.clear();
    rule.curAction.params.clear();
}

void addSubjectName(RuleState &rule, const std::string &name)
{
    nextElement(rule.node.subjectNames, rule.subjectNamesUsed, rule.spareNames).assign(name);
}

void addObjectName(RuleState &rule, const std::string &name)
{
    nextElement(rule.node.objectNames, rule.objectNamesUsed, rule.spareNames).assign(name);
}

void settleRuleLists(RuleState &rule)
{
    cutTo(rule.node.subjectNames, rule.subjectNamesUsed, rule.spareNames);
    cutTo(rule.node.objectNames, rule.objectNamesUsed, rule.spareNames);
    cutTo(rule.node.conditions, rule.conditionsUsed, rule.spareConditions);
    cutTo(rule.node.actions, rule.actionsUsed, rule.spareActions);
}
