// The compiler's parse state and the routines that collect a
// rule into it while the grammar runs.
#ifndef TAVO_PARSE_STATE_H
#define TAVO_PARSE_STATE_H

#include <cstdint>
#include <cstddef>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <tavopolicysync/policy_records.h>

#include "expr_type.h"
#include "policy_manager.h"
#include "token_value.h"

class FrontEnd;

// Variable kinds, the codes of the type keywords.
enum VariableKind : uint32_t {
    KindNone = 0,
    KindBool = 1,
    KindInt = 2,
    KindString = 3,
    KindBoolList = 4,
    KindIntList = 5,
    KindStringList = 6,
};

// "Any uid / subject / object" as the grammar passes it for "*".
constexpr uint64_t anyId = UINT64_MAX;
// The uid of "*" and of a user name without an account.
constexpr uint32_t anyUid = 4294967295u;
constexpr uint32_t unknownUserUid = 4294967294u;

// A number read as a uid, written in the rule or held by an int or an int
// list: it fits 32 bits, or has all 64 bits set and stands for any uid as
// "*" does. Every uid operand reads numbers so.
constexpr bool isUidNumber(uint64_t value)
{
    return value <= UINT32_MAX || value == anyId;
}
constexpr uint32_t uidOfNumber(uint64_t value)
{
    return value == anyId ? anyUid : static_cast<uint32_t>(value);
}

// Limits that keep a small file from asking for unbounded memory: the
// elements of one list variable; the data that references copy from one
// variable to another in one file; the policy nodes of one file and the
// bytes they hold (texts and entries counted, allocator overhead not).
constexpr size_t maxListElements = 1000000;
constexpr size_t maxCopiedBytes = size_t{256} << 20;
constexpr size_t maxFileNodes = 1000000;
constexpr size_t maxFileRecordBytes = size_t{1} << 30;
// A file whose nodes held more than this gives their storage back instead
// of keeping it for the next file's nodes.
constexpr size_t maxSpareRecordBytes = size_t{64} << 20;

// What a rule starts from: subjects and objects "by id" until a name is seen.
inline PolicyNode ruleDefaults()
{
    PolicyNode node;
    node.subjectById = true;
    node.objectById = true;
    return node;
}

// What one rule collects while it is parsed; a rule starts from a fresh one.
struct RuleState {
    // The members every node of the rule shares; subjects and objects as
    // gathered, ids and names side by side until the rule is finished.
    // Its lists of names, conditions and calls keep their elements from
    // rule to rule, each filled again in place up to its count below, so
    // that a rule costs no allocation for what the last one in this
    // storage had; settleRuleLists() cuts them to the counts.
    PolicyNode node = ruleDefaults();
    size_t subjectNamesUsed = 0;
    size_t objectNamesUsed = 0;
    size_t conditionsUsed = 0;
    size_t actionsUsed = 0;
    // Elements cut from those lists, with their storage, for a later rule
    // that needs more than its lists kept.
    std::vector<std::string> spareNames;
    std::vector<ExprNode> spareConditions;
    std::vector<DoFuncNode> spareActions;
    ExprNode curExpr;
    DoFuncNode curAction;
    std::vector<std::string> permissions;
    std::string uidText;
    std::string sidText;
    std::string oidText;
    std::vector<uint32_t> uids;
};

// A rule's attributes from the file's variables (audit, interactive,
// permissive, priority, module_name), as last looked up.
struct GroupAttributes {
    bool valid = false;
    // ParseState::variablesVersion when they were looked up.
    uint64_t variablesVersion = 0;
    uint32_t flags = 0;
    uint32_t priority = 0;
    // In stringVars; null: none.
    const std::string *moduleName = nullptr;
};

// The module a called function belongs to, as last looked up.
struct FunctionModule {
    bool valid = false;
    uint64_t variablesVersion = 0;
    // namespaceName or a value in stringVars.
    const std::string *module = nullptr;
};

// A scalar variable a condition named, as last looked up: whether it is
// dynamic and its value.
struct ConditionVariable {
    bool valid = false;
    uint64_t variablesVersion = 0;
    std::string name;
    bool dynamic = false;
    uint32_t value = 0;
};
constexpr size_t conditionVariableSlots = 16;

// Every member starts at its reset value: a fresh ParseState is the state
// before a file.
struct ParseState {
    // Name of the file being compiled, for messages.
    std::string fileName;
    RuleState rule;
    // Line of the current rule's action keyword, and of the last token
    // seen so far that may end it.
    int ruleLine = 0;
    int ruleEndLine = 0;
    // Bytes copied by references so far, and bytes of the nodes emitted.
    size_t copiedBytes = 0;
    size_t recordBytes = 0;
    std::string varName;
    uint32_t varKind = KindNone;
    // Kind the variable being declared had before this statement.
    uint32_t varPriorKind = KindNone;
    uint64_t varNumber = 0;
    std::string varText;
    // A list's value before the statement that assigns it, for references
    // to itself ("l = $l, x").
    std::vector<bool> priorBoolList;
    std::vector<uint64_t> priorIntList;
    std::vector<std::string> priorStringList;
    bool dynamicFlag = false;
    std::set<std::string> dynamicVariables;
    std::string namespaceName;
    std::string sectionName;
    std::map<std::string, uint32_t> varKinds;
    std::map<std::string, bool> boolVars;
    std::map<std::string, uint64_t> intVars;
    std::map<std::string, std::string> stringVars;
    std::map<std::string, std::vector<bool>> boolListVars;
    std::map<std::string, std::vector<uint64_t>> intListVars;
    std::map<std::string, std::vector<std::string>> stringListVars;
    // Counts the assignments to the variables above: whatever changes
    // varKinds, dynamicVariables, boolVars, intVars or stringVars counts
    // one first.
    uint64_t variablesVersion = 0;
    GroupAttributes groupAttributes;
    FunctionModule functionModule;
    // By a cheap hash of the name: a file's conditions name a few
    // variables over and over.
    ConditionVariable conditionVariables[conditionVariableSlots];
    std::map<std::string, uint32_t> uidCache;
    // Names in uidCache that have no account.
    std::set<std::string> unknownUsers;
    // This file's rules, the first ruleCount of fileRules; beyond them, the
    // last file's rules, whose strings and lists the next rules reuse.
    std::vector<FileRule> fileRules;
    size_t ruleCount = 0;
    // Nodes the file's rules expand to.
    size_t nodeCount = 0;
    // The rules expanded into nodes, for a library that takes nodes
    // (expandFileNodes); between files, their storage for the next file's.
    PolicyDb policyDb;
    std::vector<PolicyNode> spareNodes;
    // What a routine threw while the parser ran (see compileText).
    std::exception_ptr pendingFailure;
    // A token's text for the routine it goes to, kept from token to token
    // so that a long text does not cost an allocation each time.
    std::string tokenText;
};

// Resets the parse state and gives back all its storage.
void resetParseState(FrontEnd &fe);
// Resets the parse state before a file; the last file's rules and nodes
// are kept as storage for the new file's (see recycleFileNodes).
void startFileState(FrontEnd &fe);
// Drops the last file's rules left over beyond this file's: fileRules then
// holds exactly this file's rules.
void endFileNodes(FrontEnd &fe);
// Empties the file's records once the library has them, keeping their
// storage for the next file's unless they were large.
void recycleFileNodes(FrontEnd &fe);
// Resets what one rule collects, keeping variables, namespace and section.
void resetRuleState(FrontEnd &fe);
// The rule's next subject or object name, over an element it kept.
void addSubjectName(RuleState &rule, const std::string &name);
void addObjectName(RuleState &rule, const std::string &name);
// Cuts the rule's lists to what this rule filled: before anything reads
// them as the rule's.
void settleRuleLists(RuleState &rule);

void setAction(FrontEnd &fe, uint32_t code);
// The closing brace or parenthesis just read may end the rule.
void markRuleEnd(FrontEnd &fe);
void setObjectType(FrontEnd &fe, const std::string &text);
void addPermission(FrontEnd &fe, const std::string &text);
// Appends a uid; a value beyond 32 bits is refused, except all 64 bits set,
// which stands for any uid as "*" does.
int addUid(FrontEnd &fe, uint64_t value);
void addSubjectId(FrontEnd &fe, uint64_t value);
void addObjectId(FrontEnd &fe, uint64_t value);
// A quoted text ("..." or '...', as scanned) without its quotes; other
// texts (names, "$" references) as they are.
std::string withoutQuotes(const std::string &text);

// Store an operand as scanned, without its double quotes. An empty quoted
// operand is refused: it would silently yield no uid, subject or object.
int setUidText(FrontEnd &fe, TokenText text);
int setSidText(FrontEnd &fe, TokenText text);
int setOidText(FrontEnd &fe, TokenText text);
void commitExpression(FrontEnd &fe, uint32_t type);
// Appends the expression built so far to the rule's conditions.
void pushCondition(RuleState &rule);
void commitAction(FrontEnd &fe);

#endif
