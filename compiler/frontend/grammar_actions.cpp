#include "grammar_actions.h"

#include "compile_log.h"
#include "front_end.h"
#include "lexer.h"
#include "parser.h"

namespace {

// Functions belong to the file's module: the string variable module_name
// when the file declares one, else the namespace. Looked up again only
// after a variable was assigned.
void registerFunction(FrontEnd &fe, const std::string &function)
{
    static const std::string moduleVariable = "module_name";
    static const std::string noModule;
    ParseState &s = fe.state();
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
    fe.output().setNamespaceFuncInfo(s.namespaceName, *m.module, function);
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

void setConditionFunction(FrontEnd &fe, const std::string &name)
{
    fe.state().rule.curExpr.name = name;
    registerFunction(fe, name);
}

void setQuotedConditionFunction(FrontEnd &fe, const std::string &quoted)
{
    setConditionFunction(fe, withoutQuotes(quoted));
}

void addConditionNumber(FrontEnd &fe, uint64_t number)
{
    fe.state().rule.curExpr.params.push_back(numberParam(number));
}

void addConditionString(FrontEnd &fe, const std::string &quoted)
{
    fe.state().rule.curExpr.params.push_back(textParam(quoted));
}

int addConditionVariableToken(FrontEnd &fe, const std::string &token)
{
    return addConditionVariable(fe, token.substr(1));
}

void setActionFunction(FrontEnd &fe, const std::string &name)
{
    fe.state().rule.curAction.name = name;
    registerFunction(fe, name);
}

void setQuotedActionFunction(FrontEnd &fe, const std::string &quoted)
{
    setActionFunction(fe, withoutQuotes(quoted));
}

void addActionNumber(FrontEnd &fe, uint64_t number)
{
    fe.state().rule.curAction.params.push_back(numberParam(number));
}

void addActionString(FrontEnd &fe, const std::string &quoted)
{
    fe.state().rule.curAction.params.push_back(textParam(quoted));
}

void markDynamic(FrontEnd &fe)
{
    fe.state().dynamicFlag = true;
}

void setVariableKind(FrontEnd &fe, uint64_t kind)
{
    fe.state().varKind = static_cast<uint32_t>(kind);
}

int declareVariable(FrontEnd &fe, const std::string &name)
{
    ParseState &s = fe.state();
    if (s.dynamicFlag && s.varKind != KindBool) {
        COMPILE_ERROR(fe, "####ERROR: dynamic 只能用于bool类型变量，%s类型变量%s不能声明为dynamic", kindKeyword(s.varKind),
                   name.c_str());
        return 1;
    }
    // A declaration makes a new variable: only its own "dynamic" makes it
    // dynamic, so a condition on it cannot carry another kind's value as a
    // run-time switch.
    ++s.variablesVersion;
    s.dynamicVariables.erase(name);
    beginVariable(fe, name);
    return 0;
}

void setSectionName(FrontEnd &fe, const std::string &name)
{
    fe.state().sectionName = name;
}

void endSection(FrontEnd &fe)
{
    fe.state().sectionName.clear();
}

int reportSyntaxError(FrontEnd &fe, const char *message)
{
    COMPILE_ERROR(fe, "####ERROR: %s at symbol '%s' on line %d", message, fe.scanner().tokenText(),
                  fe.scanner().line());
    return 0;
}
