#include "grammar_actions.h"

#include "compile_log.h"
#include "front_end.h"
#include "lexer.h"
#include "parser.h"

namespace {

// Functions belong to the file's module: the string variable module_name
// when the file declares one, else the namespace. Looked up again only
// after a variable was assigned.
void registerFunction(const std::string &function)
{
    static const std::string moduleVariable = "module_name";
    static const std::string noModule;
    ParseState &s = parseState();
    FunctionModule &m = s.functionModule;
    if (!m.valid || m.variablesVersion != s.variablesVersion) {
        m.module = &s.namespaceName;
        if (s.varKinds.count(moduleVariable) != 0) {
            const auto it = s.stringVars.find(moduleVariable);
            m.module = it == s.stringVars.end() ? &noModule : &it->second;
        }
        m.variablesVersion = s.variablesVersion;
        m.valid = true;
    }
    policyOutput().setNamespaceFuncInfo(s.namespaceName, *m.module, function);
}

FuncParam numberParam(uint64_t number)
{
    FuncParam p;
    p.number = number;
    p.type = FuncParam::Number;
    return p;
}

FuncParam textParam(const std::string &quoted)
{
    FuncParam p;
    p.text = withoutQuotes(quoted);
    p.type = FuncParam::Text;
    return p;
}

} // namespace

void setConditionFunction(const std::string &name)
{
    parseState().rule.curExpr.name = name;
    registerFunction(name);
}

void setQuotedConditionFunction(const std::string &quoted)
{
    setConditionFunction(withoutQuotes(quoted));
}

void addConditionNumber(uint64_t number)
{
    parseState().rule.curExpr.params.push_back(numberParam(number));
}

void addConditionString(const std::string &quoted)
{
    parseState().rule.curExpr.params.push_back(textParam(quoted));
}

int addConditionVariableToken(const std::string &token)
{
    return addConditionVariable(token.substr(1));
}

void setActionFunction(const std::string &name)
{
    parseState().rule.curAction.name = name;
    registerFunction(name);
}

void setQuotedActionFunction(const std::string &quoted)
{
    setActionFunction(withoutQuotes(quoted));
}

void addActionNumber(uint64_t number)
{
    parseState().rule.curAction.params.push_back(numberParam(number));
}

void addActionString(const std::string &quoted)
{
    parseState().rule.curAction.params.push_back(textParam(quoted));
}

void markDynamic()
{
    parseState().dynamicFlag = true;
}

void setVariableKind(uint64_t kind)
{
    parseState().varKind = static_cast<uint32_t>(kind);
}

int declareVariable(const std::string &name)
{
    ParseState &s = parseState();
    if (s.dynamicFlag && s.varKind != KindBool) {
        COMPILE_ERROR("####ERROR: dynamic 只能用于bool类型变量，%s类型变量%s不能声明为dynamic", kindKeyword(s.varKind),
                   name.c_str());
        return 1;
    }
    // A declaration makes a new variable: only its own "dynamic" makes it
    // dynamic, so a condition on it cannot carry another kind's value as a
    // run-time switch.
    s.dynamicVariables.erase(name);
    beginVariable(name);
    return 0;
}

void setSectionName(const std::string &name)
{
    parseState().sectionName = name;
}

void endSection()
{
    parseState().sectionName.clear();
}

int reportSyntaxError(const char *message)
{
    COMPILE_ERROR("####ERROR: %s at symbol '%s' on line %d", message, tokenText(), lineNumber);
    return 0;
}
