// Variables: how declarations and assignments store values, references,
// the namespace name, the group settings every node carries, condition
// variables and uid resolution.
#include "support.h"

namespace {

const std::string header = "string name = t\n";

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
    const ParseState &s = parseState();
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
    EXPECT_EQ(parseState().stringVars.at("name"), "db");
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
    EXPECT_EQ(parseState().uidCache, cache);
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

} // namespace
