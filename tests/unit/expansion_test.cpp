// Rule expansion: one node per uid and permission, what each node carries,
// and what one rule or one file leaves to the next.
#include "support.h"

#include "policy_loader.h"

namespace {

const TAVO_ID any{UINT64_MAX, 0, 0};

std::vector<std::string> errors(const LogCapture &log)
{
    return log.messages(TAVO_LOG_ERROR);
}

TEST(Expansion, WebSettingsFileGivesTwoNodesDifferingOnlyInPermission)
{
    LogCapture log;
    Journal journal;
    ASSERT_EQ(parseText(corpusFile("good/web_group_settings.p")), 0);
    EXPECT_TRUE(errors(log).empty());
    const std::vector<PolicySyncCall> calls = {
        {"setNamespaceInfo", {"web"}},
        {"setFileToGetLabelMap", {"subject_file", "/usr/bin/app"}},
        {"setFileToGetLabelMap", {"object_recurfile", "/var/www/*"}},
    };
    EXPECT_EQ(journal.calls(), calls);

    ASSERT_EQ(nodes().size(), 2u);
    const char *permissions[] = {"read", "write"};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const PolicyNode &n = nodes()[i];
        EXPECT_EQ(n.action, 1u);
        EXPECT_EQ(n.uid, 1000u);
        EXPECT_FALSE(n.subjectById);
        EXPECT_TRUE(n.sids.empty());
        EXPECT_EQ(n.subjectNames, std::vector<std::string>{"/usr/bin/app"});
        EXPECT_FALSE(n.objectById);
        EXPECT_TRUE(n.oids.empty());
        EXPECT_EQ(n.objectNames, std::vector<std::string>{"/var/www/*"});
        EXPECT_EQ(n.objectType, "file");
        EXPECT_EQ(n.permission, permissions[i]);
        EXPECT_TRUE(n.conditions.empty());
        EXPECT_TRUE(n.actions.empty());
        EXPECT_EQ(n.flags, 2u);
        EXPECT_EQ(n.priority, 5u);
        EXPECT_EQ(n.reserved0 + n.reserved1 + n.reserved2 + n.reserved3, 0u);
        EXPECT_EQ(n.namespaceName, "web");
        EXPECT_EQ(n.moduleName, "web");
        EXPECT_EQ(n.sectionName, "");
    }
}

TEST(Expansion, NodesAreUidMajor)
{
    ASSERT_EQ(parseText("string name = t\nintlist ids = 1000, 1001\nallow $ids * * file { read, write }\n"), 0);
    const std::vector<std::pair<uint32_t, std::string>> expected = {
        {1000, "read"}, {1000, "write"}, {1001, "read"}, {1001, "write"}};
    std::vector<std::pair<uint32_t, std::string>> got;
    for (const PolicyNode &n : nodes())
        got.emplace_back(n.uid, n.permission);
    EXPECT_EQ(got, expected);
}

TEST(Expansion, StarOperandsMeanAny)
{
    ASSERT_EQ(parseText("string name = t\ndisallow * * * file { read, write }\n"), 0);
    ASSERT_EQ(nodes().size(), 2u);
    for (const PolicyNode &n : nodes()) {
        EXPECT_EQ(n.action, 2u);
        EXPECT_EQ(n.uid, 4294967295u);
        EXPECT_TRUE(n.subjectById);
        EXPECT_EQ(n.sids, std::vector<TAVO_ID>{any});
        EXPECT_TRUE(n.subjectNames.empty());
        EXPECT_TRUE(n.objectById);
        EXPECT_EQ(n.oids, std::vector<TAVO_ID>{any});
        EXPECT_TRUE(n.objectNames.empty());
    }
    EXPECT_EQ(nodes()[0].permission, "read");
    EXPECT_EQ(nodes()[1].permission, "write");
}

TEST(Expansion, EachRuleStartsFromAnEmptyRuleState)
{
    ASSERT_EQ(parseText("string name = t\nbool g = true\n%SECTION s1\n"
                        "respond alice \"/usr/bin/app\" \"/etc/x\" file { read } if ($g) do { log(1) }\n"
                        "%ENDSEC\n"
                        "allow 5 * socketname socket { send }\n"),
              0);
    ASSERT_EQ(nodes().size(), 2u);
    const PolicyNode &first = nodes()[0];
    EXPECT_EQ(first.action, 16u);
    EXPECT_EQ(first.sectionName, "s1");
    EXPECT_EQ(first.conditions.size(), 1u);
    EXPECT_EQ(first.actions.size(), 1u);

    const PolicyNode &second = nodes()[1];
    EXPECT_EQ(second.action, 1u);
    EXPECT_EQ(second.uid, 5u);
    EXPECT_EQ(second.sectionName, "");
    EXPECT_TRUE(second.subjectById);
    EXPECT_EQ(second.sids, std::vector<TAVO_ID>{any});
    EXPECT_TRUE(second.subjectNames.empty());
    // The socket parent records nothing: the node falls back to ids, empty.
    EXPECT_TRUE(second.objectById);
    EXPECT_TRUE(second.oids.empty());
    EXPECT_TRUE(second.objectNames.empty());
    EXPECT_EQ(second.objectType, "socket");
    EXPECT_EQ(second.permission, "send");
    EXPECT_TRUE(second.conditions.empty());
    EXPECT_TRUE(second.actions.empty());
}

TEST(Expansion, NameMustPrecedeTheFirstRule)
{
    {
        LogCapture log;
        EXPECT_EQ(parseText("allow 0 * * file { read }\nstring name = late\n"), 1);
        EXPECT_EQ(errors(log), std::vector<std::string>{"####ERROR: 策略文件中未设置场景名称（name）"});
        EXPECT_TRUE(nodes().empty());
    }
    {
        // Without a rule, a missing name is not an error.
        LogCapture log;
        EXPECT_EQ(parseText("int x = 1\nbool audit = true\n"), 0);
        EXPECT_TRUE(errors(log).empty());
        EXPECT_TRUE(nodes().empty());
    }
}

TEST(Expansion, FilesInARowShareNothing)
{
    Journal journal;
    LogCapture log;
    ASSERT_EQ(compilePolicyContent(testFrontEnd(), "one.p", "string name = one\nbool audit = true\nint x = 1\n"
                                            "dynamic bool d = true\n"
                                            "%SECTION open\nallow alice * * file { read }\n"),
              FileCompiled);

    EXPECT_EQ(compilePolicyContent(testFrontEnd(), "two.p", "allow alice * * file { read }\n"), FileCompileError);
    EXPECT_TRUE(log.contains("####ERROR: 策略文件中未设置场景名称（name）"));

    log.clear();
    EXPECT_EQ(compilePolicyContent(testFrontEnd(), "three.p", "string name = three\nallow $x * * file { read }\n"),
              FileCompileError);
    EXPECT_EQ(errors(log).front(), "####ERROR: 未声明的变量x不能作为uid");

    EXPECT_EQ(compilePolicyContent(testFrontEnd(), "four.p", "string name = four\nallow bob * * file { read }\n"),
              FileCompiled);
    EXPECT_TRUE(testFrontEnd().state().dynamicVariables.empty());

    const auto added = addedPolicy();
    ASSERT_EQ(added.size(), 2u);
    const PolicyNode &last = added[1].second.at(0);
    EXPECT_EQ(last.namespaceName, "four");
    EXPECT_EQ(last.flags, 0u);
    EXPECT_EQ(last.sectionName, "");
    EXPECT_EQ(last.uid, 1002u);
    EXPECT_EQ(testFrontEnd().state().uidCache, (std::map<std::string, uint32_t>{{"bob", 1002}}));
    EXPECT_EQ(testFrontEnd().state().varKinds, (std::map<std::string, uint32_t>{{"name", 3}}));
}

} // namespace
