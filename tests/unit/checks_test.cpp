// Subject and object checks: wildcard forms, the label kind each name gets,
// and the object types the library resolves through their parent class.
#include "support.h"

namespace {

const std::vector<std::string> registrations = {"setFileToGetLabelMap", "getParentClass", "getCapOid",
                                                "addToKmodVec", "addToDeviceVec"};

PolicySyncCall label(const std::string &kind, const std::string &name)
{
    return PolicySyncCall{"setFileToGetLabelMap", {kind, name}};
}

std::string rule(const std::string &uid, const std::string &subject, const std::string &object,
                 const std::string &type)
{
    return "string name = t\nstrlist nothing = NULL\nstrlist caps = CAP_KILL, CAP_NET_RAW\nallow " + uid + " " + subject + " " + object + " " + type +
           " { read }\n";
}

const char partialWildcard[] = "####ERROR: 目前不支持部分通配格式，请检查 ";
const char multipleWildcards[] = "####ERROR: 目前不支持多项通配格式，请检查 ";
const char homeOnlyWildcard[] = "####ERROR: 目前不支持除home路径外的通配格式，请检查 ";

struct WildcardCase {
    const char *path;
    const char *failure; // message prefix, or null when the path passes
    const char *subjectKind;
    const char *fileObjectKind;
};

const WildcardCase wildcardCases[] = {
    {"/usr/lib/*", nullptr, "subject_recurfile", "object_recurfile"},
    {"/home/*/.ssh", nullptr, "subject_file", "object_file"},
    {"/home/*/.ssh/*", nullptr, "subject_recurfile", "object_recurfile"},
    {"/home/*/*", nullptr, "subject_recurfile", "object_recurfile"},
    // The trailing slash adds no segment: the star is last, yet the name
    // does not end in "/*".
    {"/home/*/", nullptr, "subject_file", "object_file"},
    {"/usr/lib/lib\\*.so", nullptr, "subject_file", "object_file"},
    {"/*", nullptr, "subject_recurfile", "object_recurfile"},
    {"/", nullptr, "subject_file", "object_file"},
    {"/usr//bin", nullptr, "subject_file", "object_file"},
    // Wildcard rules are for absolute paths only.
    {"lib*.so", nullptr, "subject_pkg", "object_pkg"},
    {"/usr/*/bin", homeOnlyWildcard, nullptr, nullptr},
    {"/opt/*/*", homeOnlyWildcard, nullptr, nullptr},
    {"/home//*/x", homeOnlyWildcard, nullptr, nullptr},
    {"/home/*/a/*/b", multipleWildcards, nullptr, nullptr},
    {"/usr/lib/*.so", partialWildcard, nullptr, nullptr},
    {"/usr/lib/lib*.so", partialWildcard, nullptr, nullptr},
    {"/home/**", partialWildcard, nullptr, nullptr},
    {"/*/x*/y", partialWildcard, nullptr, nullptr},
};

TEST(Checks, WildcardFormsAsSubjectAndAsFileObject)
{
    for (const WildcardCase &c : wildcardCases) {
        const std::string path = c.path;
        const std::string quoted = "\"" + path + "\"";
        for (const bool asSubject : {true, false}) {
            SCOPED_TRACE(path + (asSubject ? " as subject" : " as object"));
            LogCapture log;
            Journal journal;
            const int result =
                parseText(asSubject ? rule("0", quoted, "*", "file") : rule("0", "*", quoted, "file"));
            if (c.failure) {
                EXPECT_EQ(result, 1);
                const std::vector<std::string> expected = {
                    c.failure + path + " ", (asSubject ? "####ERROR: 主体" : "####ERROR: 客体") + path + "通配检查失败",
                    (asSubject ? "####ERROR: 对sid " : "####ERROR: 对oid ") + path + " 处理过程存在错误"};
                EXPECT_EQ(log.messages(TAVO_LOG_ERROR), expected);
                EXPECT_TRUE(journal.calls(registrations).empty());
                continue;
            }
            ASSERT_EQ(result, 0);
            const char *kind = asSubject ? c.subjectKind : c.fileObjectKind;
            EXPECT_EQ(journal.calls(registrations), std::vector<PolicySyncCall>{label(kind, path)});
            ASSERT_EQ(nodes().size(), 1u);
            EXPECT_EQ(asSubject ? nodes()[0].subjectNames : nodes()[0].objectNames, std::vector<std::string>{path});
        }
    }
}

struct LabelCase {
    const char *type;
    const char *operand; // as written in the rule
    const char *name;    // as registered
    const char *kind;    // null when the check fails
    const char *failure;
};

const LabelCase labelCases[] = {
    {"file", "editor", "editor", "object_pkg", nullptr},
    {"file", "\"/etc/passwd\"", "/etc/passwd", "object_file", nullptr},
    {"dir", "\"/srv\"", "/srv", "object_dir", nullptr},
    {"dir", "\"/srv/*\"", "/srv/*", "object_recurfile", nullptr},
    {"dir", "editor", "editor", nullptr, "####ERROR: dir客体类型的editor不是绝对路径"},
    {"lnkfile", "\"/usr/bin/vi\"", "/usr/bin/vi", "object_lnkfile", nullptr},
    {"lnkfile", "\"/lnk/*\"", "/lnk/*", "object_recurfile", nullptr},
    {"lnkfile", "vi", "vi", nullptr, "####ERROR: lnkfile客体类型的vi不是绝对路径"},
    {"process", "editor", "editor", "subject_pkg", nullptr},
    {"process", "\"/usr/bin/app\"", "/usr/bin/app", "subject_file", nullptr},
    {"process", "\"/opt/*\"", "/opt/*", "subject_recurfile", nullptr},
    // NULL is a package-like object whatever the type, even where a
    // relative name would be refused.
    {"file", "$nothing", "NULLL", "object_pkg", nullptr},
    {"dir", "$nothing", "NULLL", "object_pkg", nullptr},
    {"lnkfile", "$nothing", "NULLL", "object_pkg", nullptr},
    {"process", "$nothing", "NULLL", "object_pkg", nullptr},
};

TEST(Checks, ObjectLabelKindFollowsObjectType)
{
    for (const LabelCase &c : labelCases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.operand);
        LogCapture log;
        Journal journal;
        const int result = parseText(rule("0", "*", c.operand, c.type));
        if (!c.kind) {
            EXPECT_EQ(result, 1);
            const std::vector<std::string> expected = {c.failure,
                                                       std::string("####ERROR: 对oid ") + c.name + " 处理过程存在错误"};
            EXPECT_EQ(log.messages(TAVO_LOG_ERROR), expected);
            continue;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(journal.calls(registrations), std::vector<PolicySyncCall>{label(c.kind, c.name)});
        ASSERT_EQ(nodes().size(), 1u);
        EXPECT_FALSE(nodes()[0].objectById);
        EXPECT_EQ(nodes()[0].objectNames, std::vector<std::string>{c.name});
    }
}

TEST(Checks, SubjectLabelKinds)
{
    LogCapture log;
    Journal journal;
    ASSERT_EQ(parseText("string name = t\nstrlist s = editor, NULL, \"/usr/bin/app\", \"/opt/*\"\n"
                        "allow 0 $s * file { read }\n"),
              0);
    const std::vector<PolicySyncCall> expected = {label("subject_pkg", "editor"), label("subject_pkg", "NULLL"),
                                                  label("subject_file", "/usr/bin/app"),
                                                  label("subject_recurfile", "/opt/*")};
    EXPECT_EQ(journal.calls(registrations), expected);
    ASSERT_EQ(nodes().size(), 1u);
    EXPECT_EQ(nodes()[0].subjectNames, (std::vector<std::string>{"editor", "NULLL", "/usr/bin/app", "/opt/*"}));
}

struct ParentCase {
    const char *type;
    const char *object;
    std::vector<PolicySyncCall> calls; // after getParentClass
    std::vector<std::string> objectNames;
    std::vector<TAVO_ID> oids;
};

TEST(Checks, LibraryTypesActByParentClass)
{
    const ParentCase cases[] = {
        {"kmod", "ext4", {{"addToKmodVec", {"ext4"}}}, {"ext4"}, {}},
        {"device", "sda", {{"addToDeviceVec", {"sda"}}}, {"sda"}, {}},
        {"chrdev", "\"/dev/tty1\"", {{"addToDeviceVec", {"/dev/tty1"}}}, {"/dev/tty1"}, {}},
        {"blkdev", "\"/dev/sda\"", {{"addToDeviceVec", {"/dev/sda"}}}, {"/dev/sda"}, {}},
        {"cap", "CAP_SYS_ADMIN", {{"getCapOid", {"CAP_SYS_ADMIN"}}}, {}, {TAVO_ID{21, 1, 0}}},
        {"capability", "CAP_CHOWN", {{"getCapOid", {"CAP_CHOWN"}}}, {}, {TAVO_ID{0, 1, 0}}},
        // The parent is asked for again for every name.
        {"cap",
         "$caps",
         {{"getCapOid", {"CAP_KILL"}}, {"getParentClass", {"cap"}}, {"getCapOid", {"CAP_NET_RAW"}}},
         {},
         {TAVO_ID{5, 1, 0}, TAVO_ID{13, 1, 0}}},
        // A parent without meaning here leaves no trace in the node.
        {"socket", "tcp", {}, {}, {}},
    };
    for (const ParentCase &c : cases) {
        SCOPED_TRACE(c.type);
        LogCapture log;
        Journal journal;
        ASSERT_EQ(parseText(rule("0", "*", c.object, c.type)), 0);
        std::vector<PolicySyncCall> expected = {{"getParentClass", {c.type}}};
        expected.insert(expected.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(journal.calls(registrations), expected);
        ASSERT_EQ(nodes().size(), 1u);
        const PolicyNode &n = nodes()[0];
        EXPECT_EQ(n.objectById, c.objectNames.empty());
        EXPECT_EQ(n.objectNames, c.objectNames);
        EXPECT_EQ(n.oids, c.oids);
        EXPECT_EQ(n.objectType, c.type);
    }
}

TEST(Checks, LibraryTypeFailures)
{
    const struct {
        const char *type;
        const char *object;
        std::vector<std::string> errors;
    } cases[] = {
        {"widget", "w", {"####ERROR: 获取客体类型widget父类型失败", "####ERROR: 对oid w 处理过程存在错误"}},
        {"cap", "CAP_FLY", {"####ERROR: 获取权能CAP_FLY客体id失败", "####ERROR: 对oid CAP_FLY 处理过程存在错误"}},
        // Capability names are case-sensitive.
        {"cap", "cap_chown", {"####ERROR: 获取权能cap_chown客体id失败", "####ERROR: 对oid cap_chown 处理过程存在错误"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.object);
        LogCapture log;
        EXPECT_EQ(parseText(rule("0", "*", c.object, c.type)), 1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.errors);
    }
}

} // namespace
