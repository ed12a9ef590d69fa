// Variables: how declarations and assignments store values, references,
// the namespace name, the group settings every node carries, condition
// variables and uid resolution; values refused by kind, form or width, the
// dynamic mark, and redeclarations.
#include "support.h"

#include "policy_loader.h"

namespace {

std::vector<std::string> errors(const LogCapture &log)
{
    return log.messages(TAVO_LOG_ERROR);
}

TEST(Variables, DeclarationsAssignmentsAndReferencesStoreValues)
{
    LogCapture log;
    ASSERT_EQ(parseText("int i = 1, 0x10\n"
                        "string s = a, \"b c\"\n"
                        "bool b = true, false\n"
                        "strlist sl = x, \"y z\", NULL, \"NULL\"\n"
                        "boolist bl = true, false, 7\n"
                        "intlist l = 1, 2\nl = 3\n"
                        "boolist c = true, true, false\nbl = $c\n"
                        "intlist m = 9\nintlist n = 8, $m, $l\n"
                        "int x = $i\nstring v = $s\n"),
              0);
    EXPECT_TRUE(errors(log).empty());
    const ParseState &s = testFrontEnd().state();
    // A scalar keeps its last value; a list collects its values in order.
    EXPECT_EQ(s.intVars.at("i"), 16u);
    EXPECT_EQ(s.stringVars.at("s"), "b c");
    EXPECT_FALSE(s.boolVars.at("b"));
    // Bare NULL is kept with a fifth letter; the quoted word is plain text.
    EXPECT_EQ(s.stringListVars.at("sl"), (std::vector<std::string>{"x", "y z", "NULLL", "NULL"}));
    // Assigning to a list replaces it; references append the lists' elements.
    EXPECT_EQ(s.intListVars.at("l"), std::vector<uint64_t>{3});
    EXPECT_EQ(s.boolListVars.at("bl"), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(s.intListVars.at("n"), (std::vector<uint64_t>{8, 9, 3}));
    EXPECT_EQ(s.intVars.at("x"), 16u);
    EXPECT_EQ(s.stringVars.at("v"), "b c");
    EXPECT_EQ(s.varKinds.at("sl"), 6u);
    EXPECT_EQ(s.varKinds.at("bl"), 4u);
    EXPECT_EQ(s.varKinds.at("n"), 5u);
}

TEST(Variables, ReferenceAndAssignmentFailures)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"int b = $missing\n", "####ERROR: 不存在引用变量missing"},
        {"int a = 1\nstring b = $a\n", "####ERROR: 引用变量a类型与目标变量类型不匹配"},
        {"intlist l = 1\nint b = $l\n", "####ERROR: 引用变量l类型与目标变量类型不匹配"},
        {"strlist l = a\nintlist m = 1, $l\n", "####ERROR: 引用变量l类型与目标变量类型不匹配"},
        {"boolist l = $nope\n", "####ERROR: 不存在引用变量nope"},
        {"int a = 1\nx = 1\n", "####ERROR: 未进行声明的变量名x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        EXPECT_EQ(parseText(c.text), 1);
        EXPECT_EQ(errors(log), std::vector<std::string>{c.error});
    }
}

// The declaration creates its list before the reference is read; the
// reference must not find that fresh, empty list.
TEST(Variables, ListReferenceToTheListBeingDeclaredIsRefused)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"strlist l = $l\n", "####ERROR: 不存在引用变量l"},
        {"string users = bob\nstrlist users = $users\n", "####ERROR: 引用变量users类型与目标变量类型不匹配"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        EXPECT_EQ(parseText(c.text), 1);
        EXPECT_EQ(errors(log), std::vector<std::string>{c.error});
    }
}

TEST(Variables, SecondNameWarnsAndKeepsTheNamespace)
{
    LogCapture log;
    Journal journal;
    ASSERT_EQ(parseText("string name = web\nstring name = \"db\"\nallow 0 * * file { read }\n"), 0);
    EXPECT_TRUE(errors(log).empty());
    EXPECT_EQ(log.messages(TAVO_LOG_WARNING),
              std::vector<std::string>{"####WARN: 一个策略文件只能有一个name，name db 无效"});
    EXPECT_EQ(journal.calls({"setNamespaceInfo"}), (std::vector<PolicySyncCall>{{"setNamespaceInfo", {"web"}}}));
    EXPECT_EQ(testFrontEnd().state().stringVars.at("name"), "db");
    ASSERT_EQ(nodes().size(), 1u);
    EXPECT_EQ(nodes()[0].namespaceName, "web");
    EXPECT_EQ(nodes()[0].moduleName, "web");
}

TEST(Variables, IllegalNamespaceFailsTheFile)
{
    const char *illegal[] = {"\"../etc\"", "\"a/../b\"", "\"a..\\b\"", "\"/abs\""};
    // A valid name after the refused one does not stand in for it.
    const char *after[] = {"", "string name = \"web..1\"\n"};
    for (const char *value : illegal) {
        for (const char *rest : after) {
            const std::string text = std::string(value).substr(1, std::string(value).size() - 2);
            SCOPED_TRACE(text + " / " + rest);
            LogCapture log;
            Journal journal;
            EXPECT_EQ(parseText(std::string("string name = ") + value + "\n" + rest + "allow 0 * * file { read }\n"), 1);
            EXPECT_EQ(errors(log), std::vector<std::string>{"####ERROR: namespace 名称包含非法路径字符: " + text});
            EXPECT_TRUE(journal.calls({"setNamespaceInfo"}).empty());
            EXPECT_TRUE(nodes().empty());
        }
    }
}

TEST(Variables, GroupSettingsBecomeNodeAttributes)
{
    const struct {
        const char *settings;
        uint32_t flags;
        uint32_t priority;
        const char *module;
    } cases[] = {
        {"", 0, 0, "t"},
        {"bool audit = true\n", 2, 0, "t"},
        {"int audit = 5\n", 2, 0, "t"},
        {"int audit = 0\n", 0, 0, "t"},
        {"bool permissive = true\n", 4, 0, "t"},
        {"int permissive = 9\n", 4, 0, "t"},
        {"bool interactive = true\n", 8, 0, "t"},
        {"bool interactive = false\n", 0, 0, "t"},
        {"int interactive = 2\n", 16, 0, "t"},
        {"int priority = 0xFFFFFFFF\n", 0, 4294967295u, "t"},
        {"string module_name = mod\n", 0, 0, "mod"},
        {"bool audit = true\nint permissive = 1\nint interactive = 1\nint priority = 7\n", 14, 7, "t"},
        // Settings are plain variables: an assignment changes them too.
        {"bool audit = true\naudit = false\n", 0, 0, "t"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.settings);
        LogCapture log;
        ASSERT_EQ(parseText(header + c.settings + "allow 0 * * file { read }\n"), 0);
        EXPECT_TRUE(errors(log).empty());
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_EQ(nodes()[0].flags, c.flags);
        EXPECT_EQ(nodes()[0].priority, c.priority);
        EXPECT_EQ(nodes()[0].moduleName, c.module);
        EXPECT_EQ(nodes()[0].namespaceName, "t");
    }
}

TEST(Variables, InteractiveAboveTwoFailsTheRule)
{
    LogCapture log;
    EXPECT_EQ(parseText(header + "int interactive = 3\nallow 0 * * file { read }\n"), 1);
    const std::vector<std::string> expected = {"####ERROR: 策略文件中弹窗值越界", "####ERROR: 分组变量参数获取失败"};
    EXPECT_EQ(errors(log), expected);
    EXPECT_TRUE(nodes().empty());
}

TEST(Variables, SettingsAreReadWhenTheRuleEndsConditionsWhenParsed)
{
    ASSERT_EQ(parseText(header + "bool g = true\n"
                                 "allow 0 * * file { read } if ($g)\n"
                                 "bool audit = true\ng = false\nint priority = 3\n"
                                 "allow 0 * * file { read } if ($g)\n"),
              0);
    ASSERT_EQ(nodes().size(), 2u);
    EXPECT_EQ(nodes()[0].flags, 0u);
    EXPECT_EQ(nodes()[0].priority, 0u);
    EXPECT_EQ(nodes()[0].conditions[0].value, 1u);
    EXPECT_EQ(nodes()[1].flags, 2u);
    EXPECT_EQ(nodes()[1].priority, 3u);
    EXPECT_EQ(nodes()[1].conditions[0].value, 0u);
}

// Each rule takes the settings as they are when it ends, however they were
// last changed: assigned, copied from another variable, declared anew
// under another kind.
TEST(Variables, EveryRuleTakesTheSettingsAsLastChanged)
{
    const std::string rule = "allow 0 * * file { read }\n";
    const struct {
        std::string text;
        std::vector<uint32_t> flags;
        std::vector<uint32_t> priorities;
        std::vector<std::string> modules;
    } cases[] = {
        {"bool audit = true\n" + rule + rule + "audit = false\n" + rule, {2, 2, 0}, {0, 0, 0}, {"t", "t", "t"}},
        {"bool a = true\nbool audit = false\n" + rule + "audit = $a\n" + rule, {0, 2}, {0, 0}, {"t", "t"}},
        {"int priority = 3\n" + rule + "bool priority = true\n" + rule, {0, 0}, {3, 0}, {"t", "t"}},
        {"string module_name = m1\n" + rule + "module_name = m2\n" + rule, {0, 0}, {0, 0}, {"m1", "m2"}},
        {"string m = m3\n" + rule + "string module_name = $m\n" + rule, {0, 0}, {0, 0}, {"t", "m3"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(parseText(header + c.text), 0);
        ASSERT_EQ(nodes().size(), c.flags.size());
        for (size_t i = 0; i < c.flags.size(); ++i) {
            EXPECT_EQ(nodes()[i].flags, c.flags[i]) << i;
            EXPECT_EQ(nodes()[i].priority, c.priorities[i]) << i;
            EXPECT_EQ(nodes()[i].moduleName, c.modules[i]) << i;
        }
    }
}

TEST(Variables, ConditionVariablesArePlainOrDynamic)
{
    ASSERT_EQ(parseText(header + "bool a = false\ndynamic bool b = true\nint level = 0xFFFFFFFF\n"
                                 "allow 0 * * file { read } if (!($a | $b) & $level > $b)\n"),
              0);
    ASSERT_EQ(nodes().size(), 1u);
    const std::vector<ExprNode> &c = nodes()[0].conditions;
    const struct {
        uint32_t type;
        uint32_t value;
        const char *varName;
    } expected[] = {{11, 0, ""}, {12, 1, "b"}, {3, 0, ""}, {1, 0, ""}, {11, 4294967295u, ""}, {12, 1, "b"}, {5, 0, ""}, {2, 0, ""}};
    ASSERT_EQ(c.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < c.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c[i].type, expected[i].type);
        EXPECT_EQ(c[i].value, expected[i].value);
        EXPECT_EQ(c[i].varName, expected[i].varName);
    }
}

TEST(Variables, ConditionVariableFailures)
{
    const struct {
        const char *declaration;
        const char *name;
        const char *first;
    } cases[] = {
        {"", "nope", "####ERROR: 未找到变量名nope"},
        {"string s = x\n", "s", "####ERROR: 未找到int或者bool类型的变量名s"},
        {"boolist s = true\n", "s", "####ERROR: 未找到int或者bool类型的变量名s"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_EQ(parseText(header + c.declaration + "allow 0 * * file { read } if ($" + c.name + ")\n"), 1);
        const std::vector<std::string> expected = {
            c.first, std::string("####ERROR: 条件表达式中引用的变量 ") + c.name + " 不存在或类型不匹配"};
        EXPECT_EQ(errors(log), expected);
    }
}

TEST(Variables, UserNamesResolveThroughThePasswordDatabase)
{
    const struct {
        const char *operand;
        const char *user;
        uint32_t uid;
    } cases[] = {
        {"root", "root", 0},     {"alice", "alice", 1001},       {"\"bob\"", "bob", 1002},
        {"secadm", "secadm", 900}, {"nobody", "nobody", 65534}, {"ghost", "ghost", 4294967294u},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.operand);
        Journal journal;
        ASSERT_EQ(parseText(header + "allow " + c.operand + " * * file { read }\n"), 0);
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_EQ(nodes()[0].uid, c.uid);
        EXPECT_EQ(journal.calls({"setUidInfo"}),
                  (std::vector<PolicySyncCall>{{"setUidInfo", {c.user, std::to_string(c.uid)}}}));
    }
}

TEST(Variables, UidCacheStillRegistersEveryUse)
{
    Journal journal;
    ASSERT_EQ(parseText(header + "strlist users = alice, ghost\n"
                                 "allow $users * * file { read }\nallow alice * * file { read }\n"),
              0);
    std::vector<uint32_t> uids;
    for (const PolicyNode &n : nodes())
        uids.push_back(n.uid);
    EXPECT_EQ(uids, (std::vector<uint32_t>{1001, 4294967294u, 1001}));
    const std::vector<PolicySyncCall> expected = {
        {"setUidInfo", {"alice", "1001"}}, {"setUidInfo", {"ghost", "4294967294"}}, {"setUidInfo", {"alice", "1001"}}};
    EXPECT_EQ(journal.calls({"setUidInfo"}), expected);
    const std::map<std::string, uint32_t> cache = {{"alice", 1001}, {"ghost", 4294967294u}};
    EXPECT_EQ(testFrontEnd().state().uidCache, cache);
}

TEST(Variables, NumericUidsAndIntListUids)
{
    const struct {
        const char *text;
        std::vector<uint32_t> uids;
        const char *error;
    } cases[] = {
        {"allow 4294967295 * * file { read }\n", {4294967295u}, nullptr},
        {"allow * * * file { read }\n", {4294967295u}, nullptr},
        {"allow 18446744073709551615 * * file { read }\n", {4294967295u}, nullptr},
        {"allow 4294967296 * * file { read }\n", {}, "####ERROR: UID 值 4294967296 超出 uint32_t 范围"},
        {"allow 18446744073709551614 * * file { read }\n", {}, "####ERROR: UID 值 18446744073709551614 超出 uint32_t 范围"},
        {"intlist ids = 1000, 1001\nallow $ids * * file { read }\n", {1000, 1001}, nullptr},
        {"intlist ids = 0, 4294967295\nallow $ids * * file { read }\n", {0, 4294967295u}, nullptr},
        {"intlist ids = 1000, 4294967296\nallow $ids * * file { read }\n", {},
         "####ERROR: intlist 变量 ids 中的值 4294967296 超出 uint32_t 范围"},
        // All 64 bits set reads as any uid in a list as it does written in
        // the rule; one less is out of range there too.
        {"intlist ids = 1000, 18446744073709551615\nallow $ids * * file { read }\n", {1000, 4294967295u}, nullptr},
        {"intlist ids = 0xFFFFFFFFFFFFFFFF\nallow $ids * * file { read }\n", {4294967295u}, nullptr},
        {"intlist ids = 18446744073709551614\nallow $ids * * file { read }\n", {},
         "####ERROR: intlist 变量 ids 中的值 18446744073709551614 超出 uint32_t 范围"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        const int result = parseText(header + c.text);
        std::vector<uint32_t> uids;
        for (const PolicyNode &n : nodes())
            uids.push_back(n.uid);
        EXPECT_EQ(uids, c.uids);
        if (c.error) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(errors(log), std::vector<std::string>{c.error});
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(errors(log).empty());
        }
    }
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

TEST(Variables, OperandVariablesAreRefusedByKindOrValue)
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
TEST(Variables, ValuesBeyond32BitsAreRefusedNotCut)
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

TEST(Variables, ScalarOperandVariablesStandForTheirValue)
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

TEST(Variables, ValueOfTheWrongFormIsRefused)
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

TEST(Variables, DynamicMarkOnlyBeforeBool)
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

TEST(Variables, DynamicMarkOnBoolReferenceIsConsumed)
{
    ASSERT_EQ(parseText(header + "bool y = true\ndynamic bool x = $y\nbool z = false\n"
                                 "allow 0 * * file { read } if ($x & $y | $z)\n"),
              0);
    EXPECT_EQ(testFrontEnd().state().dynamicVariables, std::set<std::string>{"x"});
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

TEST(Variables, RedeclarationDropsTheDynamicMark)
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
    // A rule reads x after its first declaration too: what it read then
    // must not stand for x later.
    const std::string rule = "allow 0 * * file { read } if ($x)\n";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        const std::string text = c.text;
        const size_t first = text.find('\n') + 1;
        ASSERT_EQ(parseText(header + text.substr(0, first) + rule + text.substr(first) + rule), 0);
        EXPECT_TRUE(errors(log).empty());
        ASSERT_EQ(nodes().size(), 2u);
        ASSERT_EQ(nodes()[1].conditions.size(), 1u);
        const ExprNode &e = nodes()[1].conditions[0];
        EXPECT_EQ(e.type, c.type);
        EXPECT_EQ(e.value, c.value);
        EXPECT_EQ(e.varName, c.type == ExprDynamicVariable ? "x" : "");
    }
}

TEST(Variables, RedeclarationUnderAnotherKindDropsTheOldValue)
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
    EXPECT_EQ(testFrontEnd().state().stringVars.at("x"), "b");
    EXPECT_EQ(testFrontEnd().state().boolVars.count("x"), 0u);
    EXPECT_EQ(testFrontEnd().state().varKinds.at("x"), 3u);
}

TEST(Variables, NameByReferenceGetsTheNamespaceChecks)
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

TEST(Variables, SelfReferenceSeesTheValueFromBeforeTheStatement)
{
    const struct {
        const char *text;
        std::vector<uint32_t> uids;
    } cases[] = {
        {"strlist users = root, alice, bob\nusers = $users, daemon\n", {0, 1001, 1002, 1}},
        {"strlist users = root, alice\nstrlist users = $users, bob\n", {0, 1001, 1002}},
        {"intlist users = 5, 6\nusers = 7, $users, $users\n", {7, 5, 6, 5, 6}},
        {"intlist users = 5\nintlist users = $users\n", {5}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        ASSERT_EQ(parseText(header + c.text + "disallow $users * * file { read }\n"), 0);
        std::vector<uint32_t> uids;
        for (const PolicyNode &n : nodes())
            uids.push_back(n.uid);
        EXPECT_EQ(uids, c.uids);
    }

    ASSERT_EQ(parseText("boolist b = true\nb = $b, false, $b\n"), 0);
    EXPECT_EQ(testFrontEnd().state().boolListVars.at("b"), (std::vector<bool>{true, false, true}));
}

TEST(Variables, EmptyOperandThroughAVariableIsRefused)
{
    const struct {
        const char *text;
        std::vector<std::string> errors;
    } cases[] = {
        {"string s = \"\"\nallow $s * * file { read }\n",
         {"####ERROR: 规则中的uid为空字符串", "####ERROR: 对变量s中的uid  处理过程存在错误"}},
        {"string s = \"\"\nallow 0 $s * file { read }\n",
         {"####ERROR: 规则中的sid为空字符串", "####ERROR: 对变量s中的sid  处理过程存在错误"}},
        {"string s = \"\"\nallow 0 * $s file { read }\n",
         {"####ERROR: 规则中的oid为空字符串", "####ERROR: 对变量s中的oid  处理过程存在错误"}},
        {"strlist l = root, \"\"\nallow $l * * file { read }\n",
         {"####ERROR: 规则中的uid为空字符串", "####ERROR: 对变量l中的uid  处理过程存在错误"}},
        {"strlist l = \"/bin/a\", \"\"\nallow 0 $l * file { read }\n",
         {"####ERROR: 规则中的sid为空字符串", "####ERROR: 对变量l中的sid  处理过程存在错误"}},
        {"strlist l = \"\", \"/srv\"\nallow 0 * $l file { read }\n",
         {"####ERROR: 规则中的oid为空字符串", "####ERROR: 对变量l中的oid  处理过程存在错误"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome o = checkBeforeGoodFile(header + c.text);
        EXPECT_EQ(o.code, FileCompileError);
        EXPECT_EQ(o.errors, compileFailure(c.errors));
        EXPECT_EQ(o.added, (Added{{"b.p", "2"}}));
    }
}

TEST(Variables, NamespaceNamesThatArePathsAreRefused)
{
    const struct {
        const char *name;
        bool refused;
    } cases[] = {
        {"", true},       {"..", true},     {"a/..", true},     {"a\\..", true}, {"../a", true},
        {"a/../b", true}, {"..\\a", true}, {"/abs", true},     {"a..", false},   {"..a", false},
        {"a/..b", false}, {"a\\..b", false}, {"web..1", false}, {"a/b", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = checkBeforeGoodFile(std::string("string name = \"") + c.name +
                                              "\"\nallow 0 * * file { read }\n");
        if (c.refused) {
            EXPECT_EQ(o.code, FileCompileError);
            EXPECT_EQ(o.errors, compileFailure({std::string("####ERROR: namespace 名称包含非法路径字符: ") + c.name}));
            EXPECT_EQ(o.added, (Added{{"b.p", "2"}}));
        } else {
            EXPECT_EQ(o.code, DirectoryCompiled);
            EXPECT_TRUE(o.errors.empty());
        }
    }
}

TEST(Variables, UserWithoutAnAccountIsWarnedAbout)
{
    const Outcome o = checkBeforeGoodFile(header + "\ndisallow roo * * file { read }\nstrlist u = alice, roo\n"
                                                   "allow $u * * file { read }\n");
    EXPECT_EQ(o.code, DirectoryCompiled);
    EXPECT_TRUE(o.errors.empty());
    const std::vector<std::string> warnings = {
        "####WARN: 文件a.p第3行的用户roo没有账户，uid取4294967294",
        "####WARN: 文件a.p第5行的用户roo没有账户，uid取4294967294",
    };
    EXPECT_EQ(o.warnings, warnings);
    EXPECT_EQ(o.added, (Added{{"a.p", "3"}, {"b.p", "2"}}));
}

} // namespace
