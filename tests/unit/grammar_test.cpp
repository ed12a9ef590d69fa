// The grammar: condition precedence and postfix order, syntax errors and
// their message, refusals by routines, the moment actions run, and the
// parser's stack limit.
#include "support.h"

#include "lexer.h"
#include "parser.h"

namespace {

const std::string ns = "string name = ns\n";
const std::string rule = "allow * * * file { read }";

std::string syntaxError(const std::string &symbol, int line)
{
    return "####ERROR: syntax error at symbol '" + symbol + "' on line " + std::to_string(line);
}

// A condition as text in stored order: calls by name, dynamic variables
// as "$name", operators by their spelling.
std::vector<std::string> stored(const std::vector<ExprNode> &conditions)
{
    static const std::map<uint32_t, std::string> ops = {
        {1, "!"}, {2, "&"}, {3, "|"}, {5, ">"}, {6, "<"}, {7, "="}, {8, "<="}, {9, ">="}, {10, "!="}};
    std::vector<std::string> out;
    for (const ExprNode &e : conditions) {
        if (e.type == ExprCall)
            out.push_back(e.name);
        else if (e.type == ExprDynamicVariable)
            out.push_back("$" + e.varName);
        else if (e.type == ExprVariable)
            out.push_back("=" + std::to_string(e.value));
        else
            out.push_back(ops.count(e.type) ? ops.at(e.type) : "?" + std::to_string(e.type));
    }
    return out;
}

TEST(Grammar, ConditionsAreStoredInPostfixOrder)
{
    const struct {
        const char *condition;
        std::vector<std::string> expected;
    } cases[] = {
        {"f1 | f2 & !f3", {"f1", "f2", "|", "f3", "!", "&"}},
        {"a | b & c", {"a", "b", "|", "c", "&"}},
        {"a & b | c", {"a", "b", "&", "c", "|"}},
        {"!a = b", {"a", "!", "b", "="}},
        {"a = b = c", {"a", "b", "=", "c", "="}},
        {"a | b = c", {"a", "b", "c", "=", "|"}},
        {"a > b & c < d", {"a", "b", ">", "c", "d", "<", "&"}},
        {"a >= b", {"a", "b", ">="}},
        {"a <= b", {"a", "b", "<="}},
        {"a != b", {"a", "b", "!="}},
        {"!(a | b)", {"a", "b", "|", "!"}},
        {"!!((a))", {"a", "!", "!"}},
        {"$on & !$dyn", {"=1", "$dyn", "!", "&"}},
        {"'quoted name'(1) | x", {"quoted name", "x", "|"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.condition);
        LogCapture log;
        const std::string text =
            ns + "bool on = true\ndynamic bool dyn = false\n" + rule + " if (" + c.condition + ")";
        ASSERT_EQ(parseText(text), 0);
        EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_EQ(stored(nodes()[0].conditions), c.expected);
    }
}

TEST(Grammar, FunctionArgumentsAndTrueAsNumber)
{
    LogCapture log;
    ASSERT_EQ(parseText(ns + rule + " if (f(1, \"x y\", 0x10, true) & 'g h') do { a(\"s\", 7), b }\n" +
                        "allow true * * file { write }"),
              0);
    EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
    ASSERT_EQ(nodes().size(), 2u);

    const std::vector<ExprNode> &cond = nodes()[0].conditions;
    ASSERT_EQ(stored(cond), (std::vector<std::string>{"f", "g h", "&"}));
    ASSERT_EQ(cond[0].params.size(), 4u);
    const uint32_t types[] = {2, 3, 2, 2};
    const uint64_t numbers[] = {1, 0, 16, 1};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cond[0].params[i].type, types[i]);
        if (types[i] == 2) {
            EXPECT_EQ(cond[0].params[i].number, numbers[i]);
        }
    }
    EXPECT_EQ(cond[0].params[1].text, "x y");
    EXPECT_TRUE(cond[1].params.empty());

    const std::vector<DoFuncNode> &acts = nodes()[0].actions;
    ASSERT_EQ(acts.size(), 2u);
    EXPECT_EQ(acts[0].name, "a");
    ASSERT_EQ(acts[0].params.size(), 2u);
    EXPECT_EQ(acts[0].params[0].type, 3u);
    EXPECT_EQ(acts[0].params[0].text, "s");
    EXPECT_EQ(acts[0].params[1].type, 2u);
    EXPECT_EQ(acts[0].params[1].number, 7u);
    EXPECT_EQ(acts[1].name, "b");
    EXPECT_TRUE(acts[1].params.empty());

    EXPECT_EQ(nodes()[1].uid, 1u);
    EXPECT_TRUE(nodes()[1].conditions.empty());
}

TEST(Grammar, SyntaxErrorsNameTheTokenAndLine)
{
    const struct {
        std::string text;
        std::string symbol;
        int line;
    } cases[] = {
        {"", "", 1},
        {" \t\n\n", "", 3},
        {ns + "allow * * * file { read,", "", 2},
        {ns + rule + " if (a", "", 2},
        {ns + "allow * * * file { }", "}", 2},
        {ns + rule + " do { }", "}", 2},
        {ns + rule + " if ()", ")", 2},
        {ns + rule + " if (f())", ")", 2},
        {ns + rule + " do { g() }", ")", 2},
        {ns + rule + " if (true)", "true", 2},
        {ns + rule + " if (false|a)", "false", 2},
        {ns + rule + " if (1)", "1", 2},
        {ns + rule + " if (f($x))", "$x", 2},
        {ns + rule + " if (f(y))", "y", 2},
        {ns + rule + " do { g($x) }", "$x", 2},
        {ns + rule + " do { g('s') }", "'s'", 2},
        {ns + rule + " if (a != )", ")", 2},
        {ns + rule + " if (!= a)", "!=", 2},
        {ns + "allow * * * file { # c\nread }", "# c", 2},
        {ns + rule + " if (a\n# c\n)", "# c", 3},
        {ns + "\x80", "\\x80", 2}, // the log shows a byte that is not UTF-8 escaped
        {ns + "string s = x;", ";", 2},
        {ns + "%SECTION\nx", "%", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        EXPECT_EQ(parseText(c.text), 1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{syntaxError(c.symbol, c.line)});
    }
}

TEST(Grammar, AcceptedFiles)
{
    const struct {
        std::string text;
        size_t nodes;
    } cases[] = {
        {"# only\n#comments\n", 0},
        {ns + rule + " # trailing\n# more", 1},
        {ns + rule + " " + rule + " string s = x allow * * * file { write, exec }", 4},
        {"string name = ns allow\t*\n*\n* file\n{\nread\n}", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        EXPECT_EQ(parseText(c.text), 0);
        EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
        EXPECT_EQ(nodes().size(), c.nodes);
    }
}

// A routine's refusal ends the parse with its own message only, and no
// later action runs: the scanner's line shows how far it got.
TEST(Grammar, RefusalsEndTheParseAtOnce)
{
    const struct {
        std::string text;
        std::vector<std::string> errors;
        int line;
    } cases[] = {
        {"undeclared\n=\n5", {"####ERROR: 未进行声明的变量名undeclared"}, 1},
        {"allow\n* * * file { read }", {"####ERROR: 未进行声明的变量名allow"}, 1},
        {ns + "allow 4294967296\n* * file { read }", {"####ERROR: UID 值 4294967296 超出 uint32_t 范围"}, 2},
        {ns + rule + " if ($nope\n| a)",
         {"####ERROR: 未找到变量名nope", "####ERROR: 条件表达式中引用的变量 nope 不存在或类型不匹配"},
         2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Scanner input(c.text);
        EXPECT_EQ(compileText(testFrontEnd(), testFileName, input), 1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.errors);
        EXPECT_EQ(input.line(), c.line);
        EXPECT_TRUE(nodes().empty());
    }
    EXPECT_EQ(parseText("undeclared = 5"), 1);
    EXPECT_TRUE(testFrontEnd().state().varKinds.empty());
    EXPECT_EQ(testFrontEnd().state().varNumber, 0u);
}

// A lexical error fails the file even where the input could have ended,
// and the parser adds no message of its own.
TEST(Grammar, LexicalErrorFailsTheFileWithTheLexerMessageOnly)
{
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {ns + rule + "\n18446744073709551616", "####ERROR: 数字超出范围: 18446744073709551616"},
        {ns + rule + "\n\"" + std::string(4095, 's') + "\"", "####ERROR: 字符串过长"},
        {ns + "int big = 18446744073709551616", "####ERROR: 数字超出范围: 18446744073709551616"},
        {ns + "allow $" + std::string(257, 'v') + " * * file { read }", "####ERROR: 变量名过长"},
        {std::string(257, 'i'), "####ERROR: 变量名过长"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        LogCapture log;
        EXPECT_EQ(parseText(c.text), 1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{c.message});
    }
}

// A rule without a do block completes only once the next token is seen;
// a do block's closing brace completes it at once. A missing namespace
// makes finishRule fail, so the scanner's line shows when it ran.
TEST(Grammar, RuleCompletesAfterItsLookahead)
{
    const struct {
        std::string text;
        int line;
    } cases[] = {
        {rule + "\n\n\nx = 1", 4},
        {rule + "\n\n", 3},
        {rule + " if (a)\n\nx", 3},
        {rule + " do { g }\n\n\nx = 1", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Scanner input(c.text);
        EXPECT_EQ(compileText(testFrontEnd(), testFileName, input), 1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  std::vector<std::string>{"####ERROR: 策略文件中未设置场景名称（name）"});
        EXPECT_EQ(input.line(), c.line);
    }
}

TEST(Grammar, SectionsApplyToTheRulesBeforeTheirEnd)
{
    LogCapture log;
    ASSERT_EQ(parseText("%ENDSEC\n" + ns + rule + "\n%SECTION a\n" + rule + "\n%ENDSEC\n" + rule +
                        "\n%SECTION b\n%SECTION c\n" + rule),
              0);
    EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
    std::vector<std::string> sections;
    for (const PolicyNode &n : nodes())
        sections.push_back(n.sectionName);
    EXPECT_EQ(sections, (std::vector<std::string>{"", "a", "", "c"}));
}

TEST(Grammar, FunctionsAreRegisteredAsSoonAsTheirNameIsRead)
{
    using Calls = std::vector<std::vector<std::string>>;
    const struct {
        std::string text;
        int result;
        Calls expected;
    } cases[] = {
        {ns + rule + " if (f) do { g }", 0, {{"ns", "ns", "f"}, {"ns", "ns", "g"}}},
        {ns + "string module_name = mod\n" + rule + " if (f(1)) do { 'g h'(\"x\") }", 0,
         {{"ns", "mod", "f"}, {"ns", "mod", "g h"}}},
        {ns + rule + " if (f(y))", 1, {{"ns", "ns", "f"}}},
        {ns + rule + " do { g(\"a\", $x) }", 1, {{"ns", "ns", "g"}}},
        // The module as it is when the call is read, however it changed.
        {ns + rule + " if (f)\nstring module_name = m1\n" + rule + " if (f)\nmodule_name = m2\n" + rule +
             " if (f)\nstrlist module_name = m3\n" + rule + " if (f)\n",
         0, {{"ns", "ns", "f"}, {"ns", "m1", "f"}, {"ns", "m2", "f"}, {"ns", "", "f"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Journal journal;
        EXPECT_EQ(parseText(c.text), c.result);
        Calls registered;
        for (const PolicySyncCall &call : journal.calls({"setNamespaceFuncInfo"}))
            registered.push_back(call.args);
        EXPECT_EQ(registered, c.expected);
    }
}

TEST(Grammar, NullValueIsStoredWithAFifthLetter)
{
    LogCapture log;
    ASSERT_EQ(parseText(ns + "string s = NULL\nstrlist l = NULL, \"NULL\", Null\nstring q = \"NULL\""), 0);
    const ParseState &s = testFrontEnd().state();
    EXPECT_EQ(s.stringVars.at("s"), "NULLL");
    EXPECT_EQ(s.stringListVars.at("l"), (std::vector<std::string>{"NULLL", "NULL", "Null"}));
    EXPECT_EQ(s.varText, "\"NULL\"");
    EXPECT_EQ(s.stringVars.at("q"), "NULL");
}

TEST(Grammar, NestingBeyondTheStackLimitIsMemoryExhausted)
{
    auto nested = [](size_t depth) {
        return ns + rule + " if (" + std::string(depth, '(') + "a" + std::string(depth, ')') + ")";
    };
    {
        LogCapture log;
        EXPECT_EQ(parseText(nested(9000)), 0);
        EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_EQ(stored(nodes()[0].conditions), std::vector<std::string>{"a"});
    }
    LogCapture log;
    EXPECT_EQ(parseText(nested(10000)), 2);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{"####ERROR: memory exhausted at symbol '(' on line 2"});
}

TEST(Grammar, EmptyQuotedOperandIsRefusedAtOnce)
{
    // No name is declared: the refusal comes before the rule is finished.
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"allow \"\" * * file { read }\n", "####ERROR: 规则中的uid为空字符串"},
        {"allow 0 \"\" * file { read }\n", "####ERROR: 规则中的sid为空字符串"},
        {"allow 0 * \"\" file { read }\n", "####ERROR: 规则中的oid为空字符串"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        EXPECT_EQ(parseText(c.text), 1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{c.error});
    }
}

} // namespace
