#include "variables.h"

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "checks.h"
#include "compile_log.h"
#include "front_end.h"
#include "parse_state.h"
#include "passwd_lookup.h"
#include "recent_registrations.h"

namespace {

template <typename Map>
const typename Map::mapped_type *lookup(const Map &map, const std::string &key)
{
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

bool storeHolds(const ParseState &s, uint32_t kind, const std::string &name)
{
    switch (kind) {
    case KindBool: return s.boolVars.count(name) != 0;
    case KindInt: return s.intVars.count(name) != 0;
    case KindString: return s.stringVars.count(name) != 0;
    case KindBoolList: return s.boolListVars.count(name) != 0;
    case KindIntList: return s.intListVars.count(name) != 0;
    case KindStringList: return s.stringListVars.count(name) != 0;
    default: return false;
    }
}

void eraseFromStore(ParseState &s, uint32_t kind, const std::string &name)
{
    switch (kind) {
    case KindBool: s.boolVars.erase(name); break;
    case KindInt: s.intVars.erase(name); break;
    case KindString: s.stringVars.erase(name); break;
    case KindBoolList: s.boolListVars.erase(name); break;
    case KindIntList: s.intListVars.erase(name); break;
    case KindStringList: s.stringListVars.erase(name); break;
    default: break;
    }
}

// Records the kind of a variable. A redeclaration under another kind drops
// the old value, so that later readers see only the current declaration.
void setKind(ParseState &s, const std::string &name, uint32_t kind)
{
    uint32_t &slot = s.varKinds[name];
    if (slot != KindNone && slot != kind)
        eraseFromStore(s, slot, name);
    slot = kind;
}

void markDynamicIfPending(ParseState &s)
{
    if (s.dynamicFlag) {
        s.dynamicVariables.insert(s.varName);
        s.dynamicFlag = false;
    }
}

// The library files policy under the namespace's name: it must not be
// empty or absolute, and ".." must not stand as a whole component (between
// "/" or "\", or at either end), which "../" and "..\" anywhere cover
// but for a final "..".
bool isIllegalNamespace(const std::string &text)
{
    if (text.empty() || text[0] == '/' || text.find("../") != std::string::npos ||
        text.find("..\\") != std::string::npos)
        return true;
    const size_t last = text.find_last_of("/\\");
    return text.compare(last == std::string::npos ? 0 : last + 1, std::string::npos, "..") == 0;
}

// Refuses a list that would pass maxListElements.
int checkListSize(FrontEnd &fe, const ParseState &s, size_t size)
{
    if (size <= maxListElements)
        return 0;
    COMPILE_ERROR(fe, "####ERROR: 文件%s中列表变量%s的元素超过上限%zu个", s.fileName.c_str(), s.varName.c_str(),
               maxListElements);
    return 1;
}

size_t copyBytes(const std::string &text)
{
    return sizeof text + text.size();
}

template <typename T>
size_t copyBytes(const std::vector<T> &values)
{
    return values.size() * sizeof(T);
}

size_t copyBytes(const std::vector<std::string> &values)
{
    size_t n = 0;
    for (const std::string &v : values)
        n += copyBytes(v);
    return n;
}

// References copy data without the file growing: what they copy in one
// file is bounded by maxCopiedBytes.
int chargeCopy(FrontEnd &fe, ParseState &s, size_t bytes)
{
    if (bytes <= maxCopiedBytes - s.copiedBytes) {
        s.copiedBytes += bytes;
        return 0;
    }
    COMPILE_ERROR(fe, "####ERROR: 文件%s中变量%s的引用复制数据累计超过上限%zu字节", s.fileName.c_str(), s.varName.c_str(),
               maxCopiedBytes);
    return 1;
}

// Appends a referenced list, which is never `target` itself.
template <typename T>
int appendList(FrontEnd &fe, ParseState &s, std::vector<T> &target, const std::vector<T> &values)
{
    if (checkListSize(fe, s, target.size() + values.size()) != 0 || chargeCopy(fe, s, copyBytes(values)) != 0)
        return 1;
    target.insert(target.end(), values.begin(), values.end());
    return 0;
}

template <typename T>
int pushList(FrontEnd &fe, const ParseState &s, std::vector<T> &target, T value)
{
    if (checkListSize(fe, s, target.size() + 1) != 0)
        return 1;
    target.push_back(std::move(value));
    return 0;
}

// Stores a string value; "name" also fixes the file's namespace, once. A
// refused scene name fails the file: a later "name" must not quietly
// stand in for the one the administrator wrote.
int storeString(FrontEnd &fe, ParseState &s, const std::string &name, const std::string &text)
{
    if (name != "name") {
        s.stringVars[name] = text;
        return 0;
    }
    if (!s.namespaceName.empty()) {
        COMPILE_WARN(fe, "####WARN: 一个策略文件只能有一个name，name %s 无效", text.c_str());
        s.stringVars["name"] = text;
        return 0;
    }
    if (isIllegalNamespace(text)) {
        COMPILE_ERROR(fe, "####ERROR: namespace 名称包含非法路径字符: %s", text.c_str());
        return 1;
    }
    s.namespaceName = text;
    fe.output().setNamespaceInfo(text);
    s.stringVars["name"] = text;
    return 0;
}

// Variables hold 64-bit numbers; a value read into a 32-bit field of the
// records is taken as written or refused, never cut to its low bits.
int checkFits32(FrontEnd &fe, const ParseState &s, const std::string &name, uint64_t value)
{
    if (value <= UINT32_MAX)
        return 0;
    COMPILE_ERROR(fe, "####ERROR: 文件%s第%d行的规则所用变量%s的值%llu超出 uint32_t 范围", s.fileName.c_str(), s.ruleLine,
               name.c_str(), static_cast<unsigned long long>(value));
    return 1;
}

int refuseValueForm(FrontEnd &fe, const ParseState &s, const std::string &written)
{
    COMPILE_ERROR(fe, "####ERROR: 变量%s的值%s与其类型%s不符", s.varName.c_str(), written.c_str(),
               kindKeyword(s.varKind));
    return 1;
}

bool takesNumbers(uint32_t kind)
{
    return kind == KindBool || kind == KindInt || kind == KindBoolList || kind == KindIntList;
}

bool takesTexts(uint32_t kind)
{
    return kind == KindString || kind == KindStringList;
}

using CheckFn = int (*)(FrontEnd &, const std::string &);

// An empty text from a variable is refused as a literal "" is.
int checkOperand(FrontEnd &fe, const std::string &text, CheckFn check, const char *role)
{
    if (text.empty()) {
        COMPILE_ERROR(fe, "####ERROR: 规则中的%s为空字符串", role);
        return 1;
    }
    return check(fe, text);
}

// Subject and object operands share one resolution; `role` is "sid" or "oid".
int resolveNameOperand(FrontEnd &fe, std::string &text, CheckFn check, const char *role)
{
    ParseState &s = fe.state();
    if (text.empty() || text[0] != '$') {
        if (check(fe, text) != 0) {
            COMPILE_ERROR(fe, "####ERROR: 对%s %s 处理过程存在错误", role, text.c_str());
            return 1;
        }
        return 0;
    }

    text.erase(0, 1);
    const std::string name = text;
    const uint32_t *kind = lookup(s.varKinds, name);
    if (!kind) {
        COMPILE_ERROR(fe, "####ERROR: 未声明的变量%s不能作为%s", name.c_str(), role);
        return 1;
    }
    switch (*kind) {
    case KindStringList: {
        const std::vector<std::string> *list = lookup(s.stringListVars, name);
        if (!list)
            return 0;
        for (const std::string &element : *list) {
            if (checkOperand(fe, element, check, role) != 0) {
                COMPILE_ERROR(fe, "####ERROR: 对变量%s中的%s %s 处理过程存在错误", name.c_str(), role, element.c_str());
                return 1;
            }
        }
        return 0;
    }
    case KindString: {
        const std::string *value = lookup(s.stringVars, name);
        const std::string element = value ? *value : std::string();
        if (checkOperand(fe, element, check, role) != 0) {
            COMPILE_ERROR(fe, "####ERROR: 对变量%s中的%s %s 处理过程存在错误", name.c_str(), role, element.c_str());
            return 1;
        }
        return 0;
    }
    case KindInt:
    case KindIntList:
        COMPILE_ERROR(fe, "####ERROR: 整型变量%s不能作为%s", name.c_str(), role);
        return 1;
    default:
        COMPILE_ERROR(fe, "####ERROR: 布尔型变量%s不能作为%s", name.c_str(), role);
        return 1;
    }
}

} // namespace

const char *kindKeyword(uint32_t kind)
{
    switch (kind) {
    case KindBool: return "bool";
    case KindInt: return "int";
    case KindString: return "string";
    case KindBoolList: return "boolist";
    case KindIntList: return "intlist";
    case KindStringList: return "strlist";
    default: return "unknown";
    }
}

void beginVariable(FrontEnd &fe, const std::string &name)
{
    ParseState &s = fe.state();
    s.varName = name;
    const uint32_t *prior = lookup(s.varKinds, name);
    s.varPriorKind = prior ? *prior : KindNone;
    // The values given replace the list; its old value stays readable to
    // references to it in the same statement.
    s.priorBoolList.clear();
    s.priorIntList.clear();
    s.priorStringList.clear();
    switch (s.varKind) {
    case KindBoolList: s.priorBoolList.swap(s.boolListVars[name]); break;
    case KindIntList: s.priorIntList.swap(s.intListVars[name]); break;
    case KindStringList: s.priorStringList.swap(s.stringListVars[name]); break;
    default: break;
    }
}

int reopenVariable(FrontEnd &fe, const std::string &name)
{
    ParseState &s = fe.state();
    for (uint32_t kind = KindBool; kind <= KindStringList; ++kind) {
        if (storeHolds(s, kind, name)) {
            s.varKind = kind;
            beginVariable(fe, name);
            return 0;
        }
    }
    COMPILE_ERROR(fe, "####ERROR: 未进行声明的变量名%s", name.c_str());
    return 1;
}

int commitVariableValue(FrontEnd &fe)
{
    ParseState &s = fe.state();
    ++s.variablesVersion;
    setKind(s, s.varName, s.varKind);
    switch (s.varKind) {
    case KindBool:
        s.boolVars[s.varName] = s.varNumber != 0;
        markDynamicIfPending(s);
        return 0;
    case KindInt:
        s.intVars[s.varName] = s.varNumber;
        return 0;
    case KindString:
        return storeString(fe, s, s.varName, withoutQuotes(s.varText));
    case KindBoolList:
        return pushList(fe, s, s.boolListVars[s.varName], s.varNumber != 0);
    case KindIntList:
        return pushList(fe, s, s.intListVars[s.varName], s.varNumber);
    case KindStringList:
        return pushList(fe, s, s.stringListVars[s.varName], withoutQuotes(s.varText));
    default:
        return 0;
    }
}

int assignReference(FrontEnd &fe)
{
    ParseState &s = fe.state();
    ++s.variablesVersion;
    if (s.varText.empty() || s.varText[0] != '$') {
        COMPILE_ERROR(fe, "####ERROR: %s 不是引用变量", s.varText.c_str());
        return 1;
    }
    const std::string ref = s.varText.substr(1);
    // A reference to the variable being assigned sees its value from before
    // the statement; a list declared anew from itself has none.
    const bool self = ref == s.varName;
    const bool selfList = self && s.varKind >= KindBoolList;
    const bool found = selfList ? s.varPriorKind == s.varKind : storeHolds(s, s.varKind, ref);
    if (!found) {
        const bool declared = selfList ? s.varPriorKind != KindNone : s.varKinds.count(ref) != 0;
        if (declared)
            COMPILE_ERROR(fe, "####ERROR: 引用变量%s类型与目标变量类型不匹配", ref.c_str());
        else
            COMPILE_ERROR(fe, "####ERROR: 不存在引用变量%s", ref.c_str());
        return 1;
    }

    int result = 0;
    switch (s.varKind) {
    case KindBool:
        if (chargeCopy(fe, s, sizeof(bool)) != 0)
            return 1;
        s.boolVars[s.varName] = s.boolVars[ref];
        // "dynamic bool x = $y" makes x dynamic; y's own mark is not copied.
        markDynamicIfPending(s);
        break;
    case KindInt:
        if (chargeCopy(fe, s, sizeof(uint64_t)) != 0)
            return 1;
        s.intVars[s.varName] = s.intVars[ref];
        break;
    case KindString: {
        const std::string value = s.stringVars[ref];
        if (chargeCopy(fe, s, copyBytes(value)) != 0 || storeString(fe, s, s.varName, value) != 0)
            return 1;
        break;
    }
    // A reference to the list itself reads its value from before the
    // statement, so source and target are never the same list.
    case KindBoolList:
        result = appendList(fe, s, s.boolListVars[s.varName], self ? s.priorBoolList : s.boolListVars[ref]);
        break;
    case KindIntList:
        result = appendList(fe, s, s.intListVars[s.varName], self ? s.priorIntList : s.intListVars[ref]);
        break;
    case KindStringList:
        result = appendList(fe, s, s.stringListVars[s.varName], self ? s.priorStringList : s.stringListVars[ref]);
        break;
    default:
        break;
    }
    setKind(s, s.varName, s.varKind);
    return result;
}

int storeNumberValue(FrontEnd &fe, uint64_t number)
{
    ParseState &s = fe.state();
    if (!takesNumbers(s.varKind))
        return refuseValueForm(fe, s, std::to_string(number));
    s.varNumber = number;
    return commitVariableValue(fe);
}

int storeNameValue(FrontEnd &fe, const std::string &name)
{
    ParseState &s = fe.state();
    if (!takesTexts(s.varKind))
        return refuseValueForm(fe, s, name);
    // NULL is kept with a fifth letter, which the checks treat as a name.
    s.varText = name == "NULL" ? "NULLL" : name;
    return commitVariableValue(fe);
}

int storeTextValue(FrontEnd &fe, const std::string &quoted)
{
    ParseState &s = fe.state();
    if (!takesTexts(s.varKind))
        return refuseValueForm(fe, s, quoted);
    s.varText = quoted;
    return commitVariableValue(fe);
}

int storeReferenceValue(FrontEnd &fe, const std::string &reference)
{
    fe.state().varText = reference;
    return assignReference(fe);
}

namespace {

// Looks the group attributes up in the variables (logging what is wrong).
int lookUpGroupAttributes(FrontEnd &fe, ParseState &s, GroupAttributes &out)
{
    // Every rule looks these up: the keys are made once.
    static const std::string auditKey = "audit";
    static const std::string interactiveKey = "interactive";
    static const std::string permissiveKey = "permissive";
    static const std::string priorityKey = "priority";
    static const std::string moduleNameKey = "module_name";
    auto flagSetting = [&s](const std::string &name) {
        if (const bool *b = lookup(s.boolVars, name))
            return *b;
        if (const uint64_t *i = lookup(s.intVars, name))
            return *i != 0;
        return false;
    };

    const bool audit = flagSetting(auditKey);
    uint32_t interactive = 0;
    if (const bool *b = lookup(s.boolVars, interactiveKey)) {
        interactive = *b ? 1 : 0;
    } else if (const uint64_t *i = lookup(s.intVars, interactiveKey)) {
        if (checkFits32(fe, s, "interactive", *i) != 0)
            return 1;
        if (*i > 2) {
            COMPILE_ERROR(fe, "####ERROR: 策略文件中弹窗值越界");
            return 1;
        }
        interactive = static_cast<uint32_t>(*i);
    }
    const bool permissive = flagSetting(permissiveKey);
    const uint64_t *priority = lookup(s.intVars, priorityKey);
    if (priority && checkFits32(fe, s, "priority", *priority) != 0)
        return 1;
    const std::string *moduleName = lookup(s.stringVars, moduleNameKey);

    out.flags = (audit ? 2u : 0u) + (permissive ? 4u : 0u) + interactive * 8u;
    out.priority = priority ? static_cast<uint32_t>(*priority) : 0;
    out.moduleName = moduleName;
    return 0;
}

} // namespace

int loadGroupAttributes(FrontEnd &fe)
{
    // The variables change only between rules, and most files set them
    // once at the top: what was looked up holds until a variable is
    // assigned again. A failure is not kept, so every rule reports it.
    ParseState &s = fe.state();
    GroupAttributes &a = s.groupAttributes;
    if (!a.valid || a.variablesVersion != s.variablesVersion) {
        a.valid = false;
        if (lookUpGroupAttributes(fe, s, a) != 0)
            return 1;
        a.variablesVersion = s.variablesVersion;
        a.valid = true;
    }
    PolicyNode &t = s.rule.node;
    t.flags = a.flags;
    t.priority = a.priority;
    t.reserved0 = t.reserved1 = t.reserved2 = t.reserved3 = 0;
    t.namespaceName = s.namespaceName;
    t.sectionName = s.sectionName;
    t.moduleName = a.moduleName ? *a.moduleName : s.namespaceName;
    return 0;
}

int lookupScalarVariable(FrontEnd &fe, const std::string &name, uint64_t &value)
{
    ParseState &s = fe.state();
    const uint32_t *kind = lookup(s.varKinds, name);
    if (!kind) {
        COMPILE_ERROR(fe, "####ERROR: 未找到变量名%s", name.c_str());
        return 1;
    }
    if (*kind == KindBool) {
        value = s.boolVars[name] ? 1 : 0;
        return 0;
    }
    if (*kind == KindInt) {
        value = s.intVars[name];
        return 0;
    }
    COMPILE_ERROR(fe, "####ERROR: 未找到int或者bool类型的变量名%s", name.c_str());
    return 1;
}

int addConditionVariable(FrontEnd &fe, const std::string &name)
{
    ParseState &s = fe.state();
    ConditionVariable &known = s.conditionVariables[nameHash(name) % conditionVariableSlots];
    if (known.valid && known.variablesVersion == s.variablesVersion && known.name == name) {
        if (known.dynamic) {
            s.rule.curExpr.type = ExprDynamicVariable;
            s.rule.curExpr.varName = name;
        } else {
            s.rule.curExpr.type = ExprVariable;
        }
        s.rule.curExpr.value = known.value;
        pushCondition(s.rule);
        return 0;
    }
    if (s.dynamicVariables.count(name) != 0) {
        s.rule.curExpr.type = ExprDynamicVariable;
        s.rule.curExpr.varName = name;
    } else {
        s.rule.curExpr.type = ExprVariable;
    }

    uint64_t value = 0;
    if (lookupScalarVariable(fe, name, value) != 0) {
        COMPILE_ERROR(fe, "####ERROR: 条件表达式中引用的变量 %s 不存在或类型不匹配", name.c_str());
        return 1;
    }
    if (checkFits32(fe, s, name, value) != 0)
        return 1;
    s.rule.curExpr.value = static_cast<uint32_t>(value);
    known.valid = true;
    known.variablesVersion = s.variablesVersion;
    known.name = name;
    known.dynamic = s.rule.curExpr.type == ExprDynamicVariable;
    known.value = s.rule.curExpr.value;
    pushCondition(s.rule);
    return 0;
}

int resolveUserUid(FrontEnd &fe, const std::string &name)
{
    ParseState &s = fe.state();
    if (name.empty()) {
        COMPILE_ERROR(fe, "####ERROR: 规则中的uid为空字符串");
        return 1;
    }
    uint32_t uid = 0;
    if (const uint32_t *cached = lookup(s.uidCache, name)) {
        uid = *cached;
    } else {
        std::optional<uid_t> found;
        if (const int rc = uidOfUser(name.c_str(), found); rc != 0) {
            COMPILE_ERROR(fe, "####ERROR: 获取用户%s的uid出错: %s", name.c_str(), strerror(rc));
            return 1;
        }
        if (found) {
            uid = static_cast<uint32_t>(*found);
        } else {
            uid = unknownUserUid;
            s.unknownUsers.insert(name);
        }
        s.uidCache[name] = uid;
    }
    // Kept as "no one", but a misspelt name must not protect nothing silently.
    // (Only a name without an account has that uid from here.)
    if (uid == unknownUserUid && s.unknownUsers.count(name) != 0)
        COMPILE_WARN(fe, "####WARN: 文件%s第%d行的用户%s没有账户，uid取%u", s.fileName.c_str(), s.ruleLine, name.c_str(),
                  unknownUserUid);
    s.rule.uids.push_back(uid);
    fe.output().setUidInfo(name, uid);
    return 0;
}

int resolveUidText(FrontEnd &fe)
{
    ParseState &s = fe.state();
    if (s.rule.uidText.empty() || s.rule.uidText[0] != '$') {
        if (resolveUserUid(fe, s.rule.uidText) != 0) {
            COMPILE_ERROR(fe, "####ERROR: uid %s 处理过程存在错误", s.rule.uidText.c_str());
            return 1;
        }
        return 0;
    }

    s.rule.uidText.erase(0, 1);
    const std::string name = s.rule.uidText;
    const uint32_t *kind = lookup(s.varKinds, name);
    if (!kind) {
        COMPILE_ERROR(fe, "####ERROR: 未声明的变量%s不能作为uid", name.c_str());
        return 1;
    }
    switch (*kind) {
    case KindIntList: {
        const std::vector<uint64_t> *values = lookup(s.intListVars, name);
        if (!values)
            return 0;
        for (const uint64_t value : *values) {
            if (!isUidNumber(value)) {
                COMPILE_ERROR(fe, "####ERROR: intlist 变量 %s 中的值 %llu 超出 uint32_t 范围", name.c_str(),
                           static_cast<unsigned long long>(value));
                return 1;
            }
            s.rule.uids.push_back(uidOfNumber(value));
        }
        return 0;
    }
    case KindStringList: {
        const std::vector<std::string> *list = lookup(s.stringListVars, name);
        if (!list)
            return 0;
        for (const std::string &user : *list) {
            if (resolveUserUid(fe, user) != 0) {
                COMPILE_ERROR(fe, "####ERROR: 对变量%s中的uid %s 处理过程存在错误", name.c_str(), user.c_str());
                return 1;
            }
        }
        return 0;
    }
    case KindInt: {
        const uint64_t *value = lookup(s.intVars, name);
        const uint64_t uid = value ? *value : 0;
        if (!isUidNumber(uid) && checkFits32(fe, s, name, uid) != 0)
            return 1;
        s.rule.uids.push_back(uidOfNumber(uid));
        return 0;
    }
    case KindString: {
        const std::string *value = lookup(s.stringVars, name);
        const std::string user = value ? *value : std::string();
        if (resolveUserUid(fe, user) != 0) {
            COMPILE_ERROR(fe, "####ERROR: 对变量%s中的uid %s 处理过程存在错误", name.c_str(), user.c_str());
            return 1;
        }
        return 0;
    }
    default:
        COMPILE_ERROR(fe, "####ERROR: 布尔型变量%s不能作为uid", name.c_str());
        return 1;
    }
}

int resolveSidText(FrontEnd &fe)
{
    return resolveNameOperand(fe, fe.state().rule.sidText, checkSubject, "sid");
}

int resolveOidText(FrontEnd &fe)
{
    return resolveNameOperand(fe, fe.state().rule.oidText, checkObject, "oid");
}
