// The file server example end to end: every library call in order and the
// four nodes it yields.
#include "support.h"

namespace {

PolicySyncCall call(std::string op, std::vector<std::string> args = {})
{
    return PolicySyncCall{std::move(op), std::move(args)};
}

TEST(WorkedExample, ParsesIntoFourNodesWithLibraryCallsInOrder)
{
    LogCapture log;
    Journal journal;
    ASSERT_EQ(parseText(corpusFile("good/worked_example.p")), 0);
    EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());

    const std::vector<PolicySyncCall> expected = {
        call("setNamespaceInfo", {"fileserver"}),
        call("setNamespaceFuncInfo", {"fileserver", "fileserver", "checkTime"}),
        call("setNamespaceFuncInfo", {"fileserver", "fileserver", "notify"}),
        call("setUidInfo", {"root", "0"}),
        call("setUidInfo", {"alice", "1001"}),
        call("setFileToGetLabelMap", {"subject_file", "/usr/sbin/sshd"}),
        call("setFileToGetLabelMap", {"object_dir", "/home/*/.ssh"}),
    };
    EXPECT_EQ(journal.calls(), expected);

    ASSERT_EQ(nodes().size(), 4u);
    const uint32_t uids[] = {0, 0, 1001, 1001};
    const char *permissions[] = {"read", "search", "read", "search"};
    for (size_t i = 0; i < 4; ++i) {
        const PolicyNode &n = nodes()[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(n.action, 1u);
        EXPECT_EQ(n.uid, uids[i]);
        EXPECT_EQ(n.permission, permissions[i]);
        EXPECT_FALSE(n.subjectById);
        EXPECT_EQ(n.subjectNames, std::vector<std::string>{"/usr/sbin/sshd"});
        EXPECT_FALSE(n.objectById);
        EXPECT_EQ(n.objectNames, std::vector<std::string>{"/home/*/.ssh"});
        EXPECT_EQ(n.objectType, "dir");
        ASSERT_EQ(n.conditions.size(), 3u);
        EXPECT_EQ(n.conditions[0].type, 12u);
        EXPECT_EQ(n.conditions[0].varName, "guard");
        EXPECT_EQ(n.conditions[0].value, 1u);
        EXPECT_EQ(n.conditions[1].type, 4u);
        EXPECT_EQ(n.conditions[1].name, "checkTime");
        ASSERT_EQ(n.conditions[1].params.size(), 2u);
        EXPECT_EQ(n.conditions[1].params[0].type, 3u);
        EXPECT_EQ(n.conditions[1].params[0].text, "08:00");
        EXPECT_EQ(n.conditions[1].params[1].type, 2u);
        EXPECT_EQ(n.conditions[1].params[1].number, 18u);
        EXPECT_EQ(n.conditions[2].type, 2u);
        ASSERT_EQ(n.actions.size(), 1u);
        EXPECT_EQ(n.actions[0].name, "notify");
        ASSERT_EQ(n.actions[0].params.size(), 1u);
        EXPECT_EQ(n.actions[0].params[0].number, 1u);
        EXPECT_EQ(n.flags, 0u);
        EXPECT_EQ(n.priority, 0u);
        EXPECT_EQ(n.namespaceName, "fileserver");
        EXPECT_EQ(n.moduleName, "fileserver");
        EXPECT_EQ(n.sectionName, "ssh");
    }
    // The section closes with the file.
    EXPECT_EQ(testFrontEnd().state().sectionName, "");
}

} // namespace
