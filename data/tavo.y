/* Grammar of the tavo policy language.
 *
 * Every action is one call into a semantic routine; the routines keep all
 * state in the parse state. Heap texts of tokens are released by the action
 * that receives them, or by the destructors below when the parse ends early. */

%code requires {
#include "token_value.h"
}

%code {
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "grammar_actions.h"
#include "lexer.h"
#include "parser.h"

// Stacks start with 200 entries and double up to 10000.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000

static int tavolex(TokenValue *value);
static void tavoerror(const char *message);

// Hands a token's heap text to a routine, releases it and passes on the
// routine's result (0 for routines that cannot refuse).
template <typename Routine>
static int consume(char *text, Routine routine)
{
    int result = 0;
    const std::string copy(text ? text : "");
    free(text);
    if constexpr (std::is_void_v<decltype(routine(copy))>)
        routine(copy);
    else
        result = routine(copy);
    return result;
}
}

%define api.prefix {tavo}
%define api.pure full
%define api.value.type {TokenValue}
%expect 0

%token NUMBER ACTION TYPE IDENTIFIER DQSTRING SQSTRING VARIABLE STAR DYNAMIC SECTION ENDSEC IF DO COMMENT NE LE GE

%destructor { free($$.text); } IDENTIFIER DQSTRING SQSTRING VARIABLE NE LE GE

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
    : rule_action rule_target object_type '{' permission_list '}' IF '(' condition ')'
        { if (finishRule()) YYABORT; }
    | rule_action rule_target object_type '{' permission_list '}' IF '(' condition ')' DO '{' do_calls '}'
        { if (finishRule()) YYABORT; }
    | rule_action rule_target object_type '{' permission_list '}'
        { if (finishRule()) YYABORT; }
    | rule_action rule_target object_type '{' permission_list '}' DO '{' do_calls '}'
        { if (finishRule()) YYABORT; }
    | var_type var_decl_name '=' value_list
    | dynamic_mark var_type var_decl_name '=' value_list
    | var_assign_name '=' value_list
    | SECTION section_name
    | ENDSEC                    { endSection(); }
    | COMMENT
    ;

rule_action
    : ACTION                    { setAction(static_cast<uint32_t>($1.number)); }
    ;

rule_target
    : uid_operand subject_operand object_operand
    ;

uid_operand
    : uid_number
    | uid_text
    ;

uid_number
    : NUMBER                    { if (addUid($1.number)) YYABORT; }
    | STAR                      { if (addUid(anyId)) YYABORT; }
    ;

uid_text
    : IDENTIFIER                { if (consume($1.text, setUidText)) YYABORT; }
    | DQSTRING                  { if (consume($1.text, setUidText)) YYABORT; }
    | VARIABLE                  { if (consume($1.text, setUidText)) YYABORT; }
    ;

subject_operand
    : subject_any
    | subject_text
    ;

subject_any
    : STAR                      { addSubjectId(anyId); }
    ;

subject_text
    : IDENTIFIER                { if (consume($1.text, setSidText)) YYABORT; }
    | DQSTRING                  { if (consume($1.text, setSidText)) YYABORT; }
    | VARIABLE                  { if (consume($1.text, setSidText)) YYABORT; }
    ;

object_operand
    : object_any
    | object_text
    ;

object_any
    : STAR                      { addObjectId(anyId); }
    ;

object_text
    : IDENTIFIER                { if (consume($1.text, setOidText)) YYABORT; }
    | DQSTRING                  { if (consume($1.text, setOidText)) YYABORT; }
    | VARIABLE                  { if (consume($1.text, setOidText)) YYABORT; }
    ;

object_type
    : IDENTIFIER                { consume($1.text, setObjectType); }
    ;

permission_list
    : permission
    | permission_list ',' permission
    ;

permission
    : IDENTIFIER                { consume($1.text, addPermission); }
    ;

condition
    : '(' condition ')'
    | '!' condition             { commitExpression(ExprNot); }
    | condition '&' condition   { commitExpression(ExprAnd); }
    | condition '|' condition   { commitExpression(ExprOr); }
    | condition '>' condition   { commitExpression(ExprGreater); }
    | condition '<' condition   { commitExpression(ExprLess); }
    | condition '=' condition   { commitExpression(ExprEqual); }
    | condition GE condition    { free($2.text); commitExpression(ExprGreaterEqual); }
    | condition LE condition    { free($2.text); commitExpression(ExprLessEqual); }
    | condition NE condition    { free($2.text); commitExpression(ExprNotEqual); }
    | cond_call '(' cond_args ')' { commitExpression(ExprCall); }
    | cond_call                 { commitExpression(ExprCall); }
    | VARIABLE                  { if (consume($1.text, addConditionVariableToken)) YYABORT; }
    ;

cond_call
    : cond_func_name
    ;

cond_func_name
    : IDENTIFIER                { consume($1.text, setConditionFunction); }
    | SQSTRING                  { consume($1.text, setQuotedConditionFunction); }
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
    : NUMBER                    { addConditionNumber($1.number); }
    ;

cond_str_arg
    : DQSTRING                  { consume($1.text, addConditionString); }
    ;

do_calls
    : do_call
    | do_calls ',' do_call
    ;

do_call
    : do_func '(' do_args ')'   { commitAction(); }
    | do_func                   { commitAction(); }
    ;

do_func
    : do_func_name
    ;

do_func_name
    : IDENTIFIER                { consume($1.text, setActionFunction); }
    | SQSTRING                  { consume($1.text, setQuotedActionFunction); }
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
    : NUMBER                    { addActionNumber($1.number); }
    ;

do_str_arg
    : DQSTRING                  { consume($1.text, addActionString); }
    ;

dynamic_mark
    : DYNAMIC                   { markDynamic(); }
    ;

var_type
    : TYPE                      { setVariableKind($1.number); }
    ;

var_decl_name
    : IDENTIFIER                { if (consume($1.text, declareVariable)) YYABORT; }
    ;

var_assign_name
    : IDENTIFIER                { if (consume($1.text, reopenVariable)) YYABORT; }
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
    : NUMBER                    { if (storeNumberValue($1.number)) YYABORT; }
    ;

text_value
    : IDENTIFIER                { if (consume($1.text, storeNameValue)) YYABORT; }
    | DQSTRING                  { if (consume($1.text, storeTextValue)) YYABORT; }
    ;

reference_value
    : VARIABLE                  { if (consume($1.text, storeReferenceValue)) YYABORT; }
    ;

section_name
    : IDENTIFIER                { consume($1.text, setSectionName); }
    ;

%%

// A lexical error ends the token stream like the end of the input does;
// handing the parser the error token instead makes the file fail even
// where the end of the input would have been accepted.
static int tavolex(TokenValue *value)
{
    const int code = nextToken(value);
    return (code == 0 && lexerFailed()) ? TAVOerror : code;
}

static void tavoerror(const char *message)
{
    reportSyntaxError(message);
}

int parsePolicy()
{
    return tavoparse();
}
