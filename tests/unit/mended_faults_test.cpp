// Inputs that used to be dropped silently, stored wrongly or cut short and
// are now refused or given a sound meaning.
#include "support.h"

#include "policy_loader.h"

namespace {

const std::string header = "string name = t\n";

std::vector<std::string> errors(const LogCapture &log)
{
    return log.messages(TAVO_LOG_ERROR);
}

struct FailureCase {
    const char *text; // after the name declaration
    std::vector<std::string> errors;
};

void expectFailures(const std::vector<FailureCase> &cases)
{
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        EXPECT_EQ(parseText(header + c.text), 1);
        EXPECT_EQ(errors(log), c.errors);
        EXPECT_TRUE(nodes().empty());
    }
}

TEST(MendedFaults, OperandVariablesAreRefusedByKindOrValue)
{
    expectFailures({
        {"allow $missing * * file { read }\n", {"####ERROR: 未声明的变量missing不能作为uid"}},
        {"allow 0 $missing * file { read }\n", {"####ERROR: 未声明的变量missing不能作为sid"}},
        {"allow 0 * $missing file { read }\n", {"####ERROR: 未声明的变量missing不能作为oid"}},
        {"bool b = true\nallow $b * * file { read }\n", {"####ERROR: 布尔型变量b不能作为uid"}},
        {"bool b = true\nallow 0 $b * file { read }\n", {"####ERROR: 布尔型变量b不能作为sid"}},
        {"boolist b = true\nallow 0 * $b file { read }\n", {"####ERROR: 布尔型变量b不能作为oid"}},
        {"int i = 1\nallow 0 $i * file { read }\n", {"####ERROR: 整型变量i不能作为sid"}},
        {"intlist i = 1\nallow 0 $i * file { read }\n", {"####ERROR: 整型变量i不能作为sid"}},
        {"int i = 1\nallow 0 * $i file { read }\n", {"####ERROR: 整型变量i不能作为oid"}},
        {"intlist i = 1\nallow 0 * $i file { read }\n", {"####ERROR: 整型变量i不能作为oid"}},
        // A string or int scalar stands for its one value and fails like it.
        {"string p = \"/usr/*/bin\"\nallow 0 $p * file { read }\n",
         {"####ERROR: 目前不支持除home路径外的通配格式，请检查 /usr/*/bin ", "####ERROR: 主体/usr/*/bin通配检查失败",
          "####ERROR: 对变量p中的sid /usr/*/bin 处理过程存在错误"}},
        {"string d = editor\nallow 0 * $d dir { read }\n",
         {"####ERROR: dir客体类型的editor不是绝对路径", "####ERROR: 对变量d中的oid editor 处理过程存在错误"}},
    });
}

// Variables hold 64-bit numbers; where one goes into a 32-bit field it is
// taken whole or the file fails, naming the rule's line.
TEST(MendedFaults, ValuesBeyond32BitsAreRefusedNotCut)
{
    const auto beyond = [](const char *name, const char *value) {
        return std::string("####ERROR: 文件test.p第3行的规则所用变量") + name + "的值" + value + "超出 uint32_t 范围";
    };
    const std::string groupFailed = "####ERROR: 分组变量参数获取失败";
    expectFailures({
        {"int priority = 4294967301\nallow 0 * * file { read }\n", {beyond("priority", "4294967301"), groupFailed}},
        {"int interactive = 4294967298\nallow 0 * * file { read }\n",
         {beyond("interactive", "4294967298"), groupFailed}},
        {"int lim = 4294967297\nallow 0 * * file { read } if ($lim)\n", {beyond("lim", "4294967297")}},
        {"int u = 4294967296\nallow $u * * file { read }\n", {beyond("u", "4294967296")}},
        // The line is that of the rule that reads the setting.
        {"int priority = 0x100000000\n\nallow 0 * * file { read }\n",
         {"####ERROR: 文件test.p第4行的规则所用变量priority的值4294967296超出 uint32_t 范围", groupFailed}},
    });
}

TEST(MendedFaults, ScalarOperandVariablesStandForTheirValue)
{
    const struct {
        const char *text;
        uint32_t uid;
        std::vector<std::string> subjects;
        std::vector<std::string> objects;
        std::vector<PolicySyncCall> calls;
    } cases[] = {
        {"string who = alice\nallow $who * * file { read }\n", 1001, {}, {}, {{"setUidInfo", {"alice", "1001"}}}},
        {"string who = ghost\nallow $who * * file { read }\n", 4294967294u, {}, {}, {{"setUidInfo", {"ghost", "4294967294"}}}},
        {"int u = 1002\nallow $u * * file { read }\n", 1002, {}, {}, {}},
        {"int u = 4294967295\nallow $u * * file { read }\n", 4294967295u, {}, {}, {}},
        {"int u = 0xFFFFFFFFFFFFFFFF\nallow $u * * file { read }\n", 4294967295u, {}, {}, {}},
        {"string app = \"/usr/bin/app\"\nstring www = \"/var/www/*\"\nallow 0 $app $www file { read }\n",
         0,
         {"/usr/bin/app"},
         {"/var/www/*"},
         {{"setFileToGetLabelMap", {"subject_file", "/usr/bin/app"}},
          {"setFileToGetLabelMap", {"object_recurfile", "/var/www/*"}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Journal journal;
        ASSERT_EQ(parseText(header + c.text), 0);
        EXPECT_TRUE(errors(log).empty());
        ASSERT_EQ(nodes().size(), 1u);
        const PolicyNode &n = nodes()[0];
        EXPECT_EQ(n.uid, c.uid);
        EXPECT_EQ(n.subjectById, c.subjects.empty());
        EXPECT_EQ(n.subjectNames, c.subjects);
        EXPECT_EQ(n.objectById, c.objects.empty());
        EXPECT_EQ(n.objectNames, c.objects);
        EXPECT_EQ(journal.calls({"setUidInfo", "setFileToGetLabelMap"}), c.calls);
    }
}

TEST(MendedFaults, ValueOfTheWrongFormIsRefused)
{
    expectFailures({
        {"string s = 5\n", {"####ERROR: 变量s的值5与其类型string不符"}},
        {"string s = 0x10\n", {"####ERROR: 变量s的值16与其类型string不符"}},
        {"string s = true\n", {"####ERROR: 变量s的值1与其类型string不符"}},
        {"strlist l = a, 7\n", {"####ERROR: 变量l的值7与其类型strlist不符"}},
        {"bool b = yes\n", {"####ERROR: 变量b的值yes与其类型bool不符"}},
        {"int i = \"12\"\n", {"####ERROR: 变量i的值\"12\"与其类型int不符"}},
        {"int i = NULL\n", {"####ERROR: 变量i的值NULL与其类型int不符"}},
        {"boolist b = true, maybe\n", {"####ERROR: 变量b的值maybe与其类型boolist不符"}},
        {"intlist l = 1, \"2\"\n", {"####ERROR: 变量l的值\"2\"与其类型intlist不符"}},
        // Assignments are held to the kind of the declaration.
        {"int i = 1\ni = x\n", {"####ERROR: 变量i的值x与其类型int不符"}},
    });
}

TEST(MendedFaults, DynamicMarkOnlyBeforeBool)
{
    expectFailures({
        {"dynamic int x = 1\n", {"####ERROR: dynamic 只能用于bool类型变量，int类型变量x不能声明为dynamic"}},
        {"dynamic string x = a\n", {"####ERROR: dynamic 只能用于bool类型变量，string类型变量x不能声明为dynamic"}},
        {"dynamic boolist x = true\n",
         {"####ERROR: dynamic 只能用于bool类型变量，boolist类型变量x不能声明为dynamic"}},
        {"dynamic intlist x = 1\n", {"####ERROR: dynamic 只能用于bool类型变量，intlist类型变量x不能声明为dynamic"}},
        {"dynamic strlist x = a\n", {"####ERROR: dynamic 只能用于bool类型变量，strlist类型变量x不能声明为dynamic"}},
    });
}

TEST(MendedFaults, DynamicMarkOnBoolReferenceIsConsumed)
{
    ASSERT_EQ(parseText(header + "bool y = true\ndynamic bool x = $y\nbool z = false\n"
                                 "allow 0 * * file { read } if ($x & $y | $z)\n"),
              0);
    EXPECT_EQ(parseState().dynamicVariables, std::set<std::string>{"x"});
    ASSERT_EQ(nodes().size(), 1u);
    const std::vector<ExprNode> &c = nodes()[0].conditions;
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0].type, 12u);
    EXPECT_EQ(c[0].varName, "x");
    EXPECT_EQ(c[0].value, 1u);
    EXPECT_EQ(c[1].type, 11u);
    EXPECT_EQ(c[3].type, 11u);
    EXPECT_EQ(c[3].value, 0u);
}

TEST(MendedFaults, RedeclarationDropsTheDynamicMark)
{
    const struct {
        const char *text;
        uint32_t type;
        uint32_t value;
    } cases[] = {
        {"dynamic bool x = true\nint x = 7\n", ExprVariable, 7},
        {"dynamic bool x = true\nbool x = true\n", ExprVariable, 1},
        {"dynamic bool x = true\nstring x = a\nbool x = false\n", ExprVariable, 0},
        // An assignment keeps the variable; so does a dynamic redeclaration.
        {"dynamic bool x = true\nx = false\n", ExprDynamicVariable, 0},
        {"dynamic bool x = true\nint x = 7\ndynamic bool x = true\n", ExprDynamicVariable, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        ASSERT_EQ(parseText(header + c.text + "allow 0 * * file { read } if ($x)\n"), 0);
        EXPECT_TRUE(errors(log).empty());
        ASSERT_EQ(nodes().size(), 1u);
        ASSERT_EQ(nodes()[0].conditions.size(), 1u);
        const ExprNode &e = nodes()[0].conditions[0];
        EXPECT_EQ(e.type, c.type);
        EXPECT_EQ(e.value, c.value);
        EXPECT_EQ(e.varName, c.type == ExprDynamicVariable ? "x" : "");
    }
}

TEST(MendedFaults, EmptyQuotedOperandIsRefusedAtOnce)
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
        EXPECT_EQ(errors(log), std::vector<std::string>{c.error});
    }
}

TEST(MendedFaults, RedeclarationUnderAnotherKindDropsTheOldValue)
{
    const struct {
        const char *settings;
        uint32_t flags;
        uint32_t uid;
    } cases[] = {
        {"bool audit = true\nint audit = 0\n", 0, 0},
        {"bool interactive = true\nint interactive = 2\n", 16, 0},
        {"int permissive = 1\nstring permissive = off\n", 0, 0},
        {"strlist users = alice\nstring users = bob\n", 0, 1002},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.settings);
        const std::string uid = c.uid ? "$users" : "0";
        ASSERT_EQ(parseText(header + c.settings + "allow " + uid + " * * file { read }\n"), 0);
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_EQ(nodes()[0].flags, c.flags);
        EXPECT_EQ(nodes()[0].uid, c.uid);
    }

    // A later assignment goes to the current kind.
    ASSERT_EQ(parseText("bool x = true\nstring x = a\nx = b\n"), 0);
    EXPECT_EQ(parseState().stringVars.at("x"), "b");
    EXPECT_EQ(parseState().boolVars.count("x"), 0u);
    EXPECT_EQ(parseState().varKinds.at("x"), 3u);
}

TEST(MendedFaults, NameByReferenceGetsTheNamespaceChecks)
{
    {
        LogCapture log;
        Journal journal;
        ASSERT_EQ(parseText("string src = web\nstring name = $src\nallow 0 * * file { read }\n"), 0);
        EXPECT_EQ(journal.calls({"setNamespaceInfo"}), (std::vector<PolicySyncCall>{{"setNamespaceInfo", {"web"}}}));
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_EQ(nodes()[0].namespaceName, "web");
    }
    {
        LogCapture log;
        Journal journal;
        EXPECT_EQ(parseText("string src = \"../x\"\nstring name = $src\nallow 0 * * file { read }\n"), 1);
        EXPECT_EQ(errors(log), std::vector<std::string>{"####ERROR: namespace 名称包含非法路径字符: ../x"});
        EXPECT_TRUE(journal.calls({"setNamespaceInfo"}).empty());
    }
}

TEST(MendedFaults, NulByteFailsTheFile)
{
    const std::string nul(1, '\0');
    const struct {
        std::string text;
        int line;
    } cases[] = {
        {nul + "string name = t\n", 1},
        {"string name = t\nallow 0 * * file { read }\n" + nul, 3},
        {"string name = t\nallow 0 * * file { read }" + nul + "\nallow 1 * * file { read }\n", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        LogCapture log;
        Journal journal;
        EXPECT_EQ(compilePolicyContent("nul.p", c.text), FileCompileError);
        EXPECT_EQ(errors(log),
                  std::vector<std::string>{"####ERROR: 文件nul.p第" + std::to_string(c.line) + "行含有NUL字节，拒绝编译"});
        EXPECT_TRUE(addedPolicy().empty());
    }
}

TEST(MendedFaults, InvalidUtf8ReachesTheRecordsUnchanged)
{
    Journal journal;
    const std::string subject = "/opt/\xff\xfe";
    const std::string object = "/srv/caf\xc3";
    ASSERT_EQ(compilePolicyContent("bytes.p", "string name = \"w\x80x\"\nallow 0 \"" + subject + "\" \"" + object +
                                                  "\" file { read }\n"),
              FileCompiled);
    const auto added = addedPolicy();
    ASSERT_EQ(added.size(), 1u);
    const PolicyNode &n = added[0].second.at(0);
    EXPECT_EQ(n.subjectNames, std::vector<std::string>{subject});
    EXPECT_EQ(n.objectNames, std::vector<std::string>{object});
    EXPECT_EQ(n.namespaceName, "w\x80x");
}

} // namespace
