/* Grammar of the tavo policy language.
 *
 * Every action is one call into a semantic routine (through call or
 * consume); the routines keep all state in the parse state. Texts of
 * tokens stay in the scanner's buffer until the parse ends. */

%code requires {
#include "token_value.h"

class FrontEnd;
class Scanner;
}

%code {
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "front_end.h"
#include "grammar_actions.h"
#include "lexer.h"
#include "parser.h"

// Stacks start with 200 entries and double up to 10000.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000

static int tavolex(TokenValue *value, Scanner &scanner);
static void tavoerror(FrontEnd &fe, Scanner &scanner, const char *message);

// An exception from a routine (out of memory) must not cross the generated
// parser, which would leak its stacks and the texts on them: the action
// keeps it in the parse state and aborts the parse, and compileText throws
// it again.

// Runs a routine for an action on the run's front end: its result (0 for
// routines that cannot refuse), or 1 after keeping the exception it threw.
template <typename Routine, typename... Args>
static int call(FrontEnd &fe, Routine routine, Args &&...args)
{
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Routine, FrontEnd &, Args...>>) {
            routine(fe, std::forward<Args>(args)...);
            return 0;
        } else {
            return routine(fe, std::forward<Args>(args)...);
        }
    } catch (...) {
        fe.state().pendingFailure = std::current_exception();
        return 1;
    }
}

// Hands a token's text to a routine, in a string kept from token to token
// so that a long text does not cost an allocation each time.
template <typename Routine>
static int consume(FrontEnd &fe, TokenText text, Routine routine)
{
    return call(fe, [&routine, text](FrontEnd &f) {
        std::string &scratch = f.state().tokenText;
        scratch.assign(text.data, text.length);
        return routine(f, scratch);
    });
}
}

%define api.prefix {tavo}
%define api.pure full
%define api.value.type {TokenValue}
%parse-param {FrontEnd &fe} {Scanner &scanner}
%lex-param {Scanner &scanner}
%expect 0

%token NUMBER ACTION TYPE IDENTIFIER DQSTRING SQSTRING VARIABLE STAR DYNAMIC SECTION ENDSEC IF DO COMMENT NE LE GE

%left '|' '&'
%left '>' '<' '=' GE LE NE
%precedence '!'

%start policy

%%

policy
    : statement
    | policy statement
    ;

statement
    : rule_action rule_target object_type '{' permission_list rule_close IF '(' condition condition_close
        { if (call(fe, finishRule)) YYABORT; }
    | rule_action rule_target object_type '{' permission_list rule_close IF '(' condition condition_close DO '{' do_calls rule_close
        { if (call(fe, finishRule)) YYABORT; }
    | rule_action rule_target object_type '{' permission_list rule_close
        { if (call(fe, finishRule)) YYABORT; }
    | rule_action rule_target object_type '{' permission_list rule_close DO '{' do_calls rule_close
        { if (call(fe, finishRule)) YYABORT; }
    | var_type var_decl_name '=' value_list
    | dynamic_mark var_type var_decl_name '=' value_list
    | var_assign_name '=' value_list
    | SECTION section_name
    | ENDSEC                    { if (call(fe, endSection)) YYABORT; }
    | COMMENT
    ;

/* A brace or parenthesis that may end a rule, reduced as soon as it is
 * shifted (before any lookahead is read), so that the scanner's line is its
 * line: the last one that ended the rule is the rule's last line. */
rule_close
    : '}'                       { if (call(fe, markRuleEnd)) YYABORT; }
    ;

condition_close
    : ')'                       { if (call(fe, markRuleEnd)) YYABORT; }
    ;

rule_action
    : ACTION                    { if (call(fe, setAction, static_cast<uint32_t>($1.number))) YYABORT; }
    ;

rule_target
    : uid_operand subject_operand object_operand
    ;

uid_operand
    : uid_number
    | uid_text
    ;

uid_number
    : NUMBER                    { if (call(fe, addUid, $1.number)) YYABORT; }
    | STAR                      { if (call(fe, addUid, uint64_t{anyUid})) YYABORT; }
    ;

uid_text
    : IDENTIFIER                { if (call(fe, setUidText, $1.text)) YYABORT; }
    | DQSTRING                  { if (call(fe, setUidText, $1.text)) YYABORT; }
    | VARIABLE                  { if (call(fe, setUidText, $1.text)) YYABORT; }
    ;

subject_operand
    : subject_any
    | subject_text
    ;

subject_any
    : STAR                      { if (call(fe, addSubjectId, anyId)) YYABORT; }
    ;

subject_text
    : IDENTIFIER                { if (call(fe, setSidText, $1.text)) YYABORT; }
    | DQSTRING                  { if (call(fe, setSidText, $1.text)) YYABORT; }
    | VARIABLE                  { if (call(fe, setSidText, $1.text)) YYABORT; }
    ;

object_operand
    : object_any
    | object_text
    ;

object_any
    : STAR                      { if (call(fe, addObjectId, anyId)) YYABORT; }
    ;

object_text
    : IDENTIFIER                { if (call(fe, setOidText, $1.text)) YYABORT; }
    | DQSTRING                  { if (call(fe, setOidText, $1.text)) YYABORT; }
    | VARIABLE                  { if (call(fe, setOidText, $1.text)) YYABORT; }
    ;

object_type
    : IDENTIFIER                { if (consume(fe, $1.text, setObjectType)) YYABORT; }
    ;

permission_list
    : permission
    | permission_list ',' permission
    ;

permission
    : IDENTIFIER                { if (consume(fe, $1.text, addPermission)) YYABORT; }
    ;

condition
    : '(' condition ')'
    | '!' condition             { if (call(fe, commitExpression, ExprNot)) YYABORT; }
    | condition '&' condition   { if (call(fe, commitExpression, ExprAnd)) YYABORT; }
    | condition '|' condition   { if (call(fe, commitExpression, ExprOr)) YYABORT; }
    | condition '>' condition   { if (call(fe, commitExpression, ExprGreater)) YYABORT; }
    | condition '<' condition   { if (call(fe, commitExpression, ExprLess)) YYABORT; }
    | condition '=' condition   { if (call(fe, commitExpression, ExprEqual)) YYABORT; }
    | condition GE condition    { if (call(fe, commitExpression, ExprGreaterEqual)) YYABORT; }
    | condition LE condition    { if (call(fe, commitExpression, ExprLessEqual)) YYABORT; }
    | condition NE condition    { if (call(fe, commitExpression, ExprNotEqual)) YYABORT; }
    | cond_call '(' cond_args ')' { if (call(fe, commitExpression, ExprCall)) YYABORT; }
    | cond_call                 { if (call(fe, commitExpression, ExprCall)) YYABORT; }
    | VARIABLE                  { if (consume(fe, $1.text, addConditionVariableToken)) YYABORT; }
    ;

cond_call
    : cond_func_name
    ;

cond_func_name
    : IDENTIFIER                { if (consume(fe, $1.text, setConditionFunction)) YYABORT; }
    | SQSTRING                  { if (consume(fe, $1.text, setQuotedConditionFunction)) YYABORT; }
    ;

cond_args
    : cond_arg
    | cond_args ',' cond_arg
    ;

cond_arg
    : cond_num_arg
    | cond_str_arg
    ;

cond_num_arg
    : NUMBER                    { if (call(fe, addConditionNumber, $1.number)) YYABORT; }
    ;

cond_str_arg
    : DQSTRING                  { if (consume(fe, $1.text, addConditionString)) YYABORT; }
    ;

do_calls
    : do_call
    | do_calls ',' do_call
    ;

do_call
    : do_func '(' do_args ')'   { if (call(fe, commitAction)) YYABORT; }
    | do_func                   { if (call(fe, commitAction)) YYABORT; }
    ;

do_func
    : do_func_name
    ;

do_func_name
    : IDENTIFIER                { if (consume(fe, $1.text, setActionFunction)) YYABORT; }
    | SQSTRING                  { if (consume(fe, $1.text, setQuotedActionFunction)) YYABORT; }
    ;

do_args
    : do_arg
    | do_args ',' do_arg
    ;

do_arg
    : do_num_arg
    | do_str_arg
    ;

do_num_arg
    : NUMBER                    { if (call(fe, addActionNumber, $1.number)) YYABORT; }
    ;

do_str_arg
    : DQSTRING                  { if (consume(fe, $1.text, addActionString)) YYABORT; }
    ;

dynamic_mark
    : DYNAMIC                   { if (call(fe, markDynamic)) YYABORT; }
    ;

var_type
    : TYPE                      { if (call(fe, setVariableKind, $1.number)) YYABORT; }
    ;

var_decl_name
    : IDENTIFIER                { if (consume(fe, $1.text, declareVariable)) YYABORT; }
    ;

var_assign_name
    : IDENTIFIER                { if (consume(fe, $1.text, reopenVariable)) YYABORT; }
    ;

value_list
    : value
    | value_list ',' value
    ;

value
    : number_value
    | text_value
    | reference_value
    ;

number_value
    : NUMBER                    { if (call(fe, storeNumberValue, $1.number)) YYABORT; }
    ;

text_value
    : IDENTIFIER                { if (consume(fe, $1.text, storeNameValue)) YYABORT; }
    | DQSTRING                  { if (consume(fe, $1.text, storeTextValue)) YYABORT; }
    ;

reference_value
    : VARIABLE                  { if (consume(fe, $1.text, storeReferenceValue)) YYABORT; }
    ;

section_name
    : IDENTIFIER                { if (consume(fe, $1.text, setSectionName)) YYABORT; }
    ;

%%

// A lexical error ends the token stream like the end of the input does;
// handing the parser the error token instead makes the file fail even
// where the end of the input would have been accepted.
static int tavolex(TokenValue *value, Scanner &scanner)
{
    const int code = scanner.next(value);
    return (code == 0 && scanner.failed()) ? TAVOerror : code;
}

static void tavoerror(FrontEnd &fe, Scanner &, const char *message)
{
    reportSyntaxError(fe, message);
}

int parsePolicy(FrontEnd &fe)
{
    fe.state().pendingFailure = nullptr;
    return tavoparse(fe, fe.scanner());
}

int compileText(FrontEnd &fe, const std::string &fileName, Scanner &input)
{
    startFileState(fe);
    fe.state().fileName = fileName;
    // However the parse ends, the nodes are this file's only and the
    // scanner goes back to its owner.
    struct EndFile {
        FrontEnd &fe;
        ~EndFile()
        {
            endFileNodes(fe);
            fe.setScanner(nullptr);
        }
    };
    const EndFile ending{fe};
    if (!input.ready())
        return 1;
    fe.setScanner(&input);
    const int result = parsePolicy(fe);
    if (fe.state().pendingFailure) {
        const std::exception_ptr failure = fe.state().pendingFailure;
        fe.state().pendingFailure = nullptr;
        std::rethrow_exception(failure);
    }
    return result;
}

int compileText(FrontEnd &fe, const std::string &fileName, const std::string &text)
{
    Scanner input(text, fe.quiet());
    return compileText(fe, fileName, input);
}

int compileText(FrontEnd &fe, const std::string &fileName, std::string &text)
{
    Scanner input(Scanner::InPlace{}, text, fe.quiet());
    return compileText(fe, fileName, input);
}
