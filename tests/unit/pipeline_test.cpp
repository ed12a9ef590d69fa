// The file pipeline on real files: which directory entries are compiled,
// how each is opened and read, the result codes and log lines, and what
// reaches the library.
#include "support.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "policy_loader.h"

namespace {

using namespace std::string_literals;

// Two nodes (one rule, two permissions).
const std::string goodPolicy = "string name = web\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read, write }\n";
const std::string syntaxError = "string name = web\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read,\n";

// A scratch folder under $TMPDIR, removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pipeline.XXXXXX";
        if (!mkdtemp(&pattern[0]))
            ADD_FAILURE() << "mkdtemp failed";
        root_ = pattern;
    }
    ~ScratchDir()
    {
        nftw(root_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    const std::string &root() const { return root_; }
    std::string path(const std::string &relative) const { return root_ + "/" + relative; }

    void write(const std::string &relative, const std::string &content) const
    {
        std::ofstream out(path(relative), std::ios::binary);
        out << content;
        ASSERT_TRUE(out.good()) << relative;
    }
    void mkdir(const std::string &relative) const { ASSERT_EQ(::mkdir(path(relative).c_str(), 0755), 0); }
    void mkfifo(const std::string &relative) const { ASSERT_EQ(::mkfifo(path(relative).c_str(), 0644), 0); }
    void symlink(const std::string &target, const std::string &relative) const
    {
        ASSERT_EQ(::symlink(target.c_str(), path(relative).c_str()), 0);
    }

private:
    std::string root_;
};

// A run over scratch/<folder>, compiled the way the daemon does.
PolicyDirectoryRun runOver(const ScratchDir &scratch, const std::string &folder, bool stopAtFirstFailure = true)
{
    PolicyDirectoryRun run;
    run.directory = scratch.path(folder);
    run.prefix = canonicalDirectoryPrefix(run.directory);
    run.stopAtFirstFailure = stopAtFirstFailure;
    return run;
}

// Runs `body` on another thread. Should it block on `fifo`, a writer is
// attached and detached so that the blocked open or read returns: the test
// then fails instead of hanging.
int runGuarded(const std::function<int()> &body, const std::string &fifo)
{
    std::future<int> result = std::async(std::launch::async, body);
    if (result.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ADD_FAILURE() << "blocked on " << fifo;
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
    }
    return result.get();
}

// Names handed to addPolicy, in order, with their node counts.
using Added = std::vector<std::vector<std::string>>;
Added added(const Journal &journal)
{
    Added out;
    for (const PolicySyncCall &c : journal.calls({"addPolicy"}))
        out.push_back(c.args);
    return out;
}

std::vector<std::string> filesRead(const LogCapture &log)
{
    std::vector<std::string> out;
    const std::string head = "###INFO: 读取配置文件", tail = "成功";
    for (const std::string &m : log.messages(TAVO_LOG_DEBUG)) {
        if (m.compare(0, head.size(), head) == 0)
            out.push_back(m.substr(head.size(), m.size() - head.size() - tail.size()));
    }
    return out;
}

TEST(PipelineSelection, CompilesOnlyPolicyNamedRegularFilesAndReportsLinksAndBadNames)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.mkdir("policy/other");
    // Everything that must not be compiled holds a syntax error.
    for (const char *name : {"a.P", "a.policy.bak", "policy", ".hidden.p", "a..p", "other/inner.p"})
        scratch.write(std::string("policy/") + name, syntaxError);
    scratch.write("policy/good.p", goodPolicy);
    scratch.write("policy/extra.policy", goodPolicy);
    scratch.symlink("good.p", "policy/link.p");
    scratch.symlink(scratch.path("policy/other"), "policy/dirlink.p");
    scratch.symlink("missing", "policy/dangling.txt");

    LogCapture log;
    Journal journal;
    EXPECT_EQ(compilePolicyDirectory(runOver(scratch, "policy")), DirectoryCompiled);

    EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
    const std::vector<std::string> warnings = {
        "跳过非法文件名: a..p",
        "跳过目录内软链接文件: dangling.txt",
        "跳过目录内软链接文件: dirlink.p",
        "跳过目录内软链接文件: link.p",
    };
    EXPECT_EQ(log.messages(TAVO_LOG_WARNING), warnings);
    EXPECT_EQ(filesRead(log), (std::vector<std::string>{"extra.policy", "good.p"}));
    EXPECT_EQ(added(journal), (Added{{"extra.policy", "2"}, {"good.p", "2"}}));
}

enum class Special { Directory, Fifo, CharDevice };

class PipelineSpecialEntry : public ::testing::TestWithParam<Special> {};

TEST_P(PipelineSpecialEntry, IsRefusedAsNotRegularWithoutBlocking)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.write("policy/a.p", goodPolicy);
    const std::string entry = scratch.path("policy/x.p");
    switch (GetParam()) {
    case Special::Directory: scratch.mkdir("policy/x.p"); break;
    case Special::Fifo: scratch.mkfifo("policy/x.p"); break;
    case Special::CharDevice:
        // The null device: were it opened and read, it would pass as empty.
        if (mknod(entry.c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0)
            GTEST_SKIP() << "cannot create device nodes here";
        break;
    }

    LogCapture log;
    Journal journal;
    const PolicyDirectoryRun run = runOver(scratch, "policy");
    EXPECT_EQ(runGuarded([&] { return compilePolicyDirectory(run); }, entry), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              (std::vector<std::string>{"路径 x.p 不是常规文件", "##ERROR: 处理策略文件 x.p 失败，错误码 -1"}));
    EXPECT_EQ(added(journal), (Added{{"a.p", "2"}}));

    // Named directly, outside any directory walk, it is refused the same way.
    log.clear();
    EXPECT_EQ(runGuarded([&] { return processPolicyFile(entry, "x.p", std::string()); }, entry), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{"路径 x.p 不是常规文件"});
}

INSTANTIATE_TEST_SUITE_P(Kinds, PipelineSpecialEntry,
                         ::testing::Values(Special::Directory, Special::Fifo, Special::CharDevice));

TEST(PipelineLog, EmptyFileIsAcceptedWithItsLinesInOrder)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.write("policy/a.p", "");

    LogCapture log;
    Journal journal;
    EXPECT_EQ(processPolicyDirectory(runOver(scratch, "policy"), false), DirectoryCompiled);

    std::vector<std::pair<int, std::string>> lines;
    for (const LogLine &l : log.lines())
        lines.emplace_back(l.level, l.message);
    const std::vector<std::pair<int, std::string>> expected = {
        {TAVO_LOG_INFO, "##INFO: 策略清除完成"},
        {TAVO_LOG_DEBUG, "###INFO: 读取配置文件a.p成功"},
        {TAVO_LOG_WARNING, "####WARN: 文件a.p为空"},
        {TAVO_LOG_WARNING, "###WARN: 文件a.p中有效策略数为0"},
        {TAVO_LOG_DEBUG, "###INFO: 文件a.p处理完成"},
        {TAVO_LOG_DEBUG, "##INFO: 处理策略文件 a.p 成功"},
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(added(journal).empty());
}

struct FileCase {
    const char *label;
    std::string content; // not written when `missing`
    bool missing;
    int code;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

void PrintTo(const FileCase &c, std::ostream *os)
{
    *os << c.label;
}

class PipelineFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(PipelineFile, ReturnsItsCodeAndHandsOverOnlyFilesWithNodes)
{
    const FileCase &c = GetParam();
    ScratchDir scratch;
    if (!c.missing)
        scratch.write("f.p", c.content);

    LogCapture log;
    Journal journal;
    EXPECT_EQ(processPolicyFile(scratch.path("f.p"), "f.p", canonicalDirectoryPrefix(scratch.root())), c.code);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.errors);
    EXPECT_EQ(log.messages(TAVO_LOG_WARNING), c.warnings);
    if (c.code == FileCompiled)
        EXPECT_EQ(added(journal), (Added{{"f.p", "2"}}));
    else
        EXPECT_TRUE(added(journal).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PipelineFile,
    ::testing::Values(
        FileCase{"compiled", goodPolicy, false, FileCompiled, {}, {}},
        FileCase{"empty", "", false, FileWithoutPolicy, {}, {"####WARN: 文件f.p为空", "###WARN: 文件f.p中有效策略数为0"}},
        FileCase{"declarations_only", "string name = web\nint level = 3\n", false, FileWithoutPolicy, {},
                 {"####ERROR: 文件f.p中没有有效管控数据", "###WARN: 文件f.p中有效策略数为0"}},
        FileCase{"syntax_error", syntaxError, false, FileCompileError,
                 {"####ERROR: syntax error at symbol '' on line 3", "####ERROR: 文件f.p中存在编译错误",
                  "###ERROR: 策略文件f.p解析失败"}, {}},
        // Without the refusal the text would end at the NUL and compile.
        FileCase{"nul_byte", goodPolicy + "\0garbage {"s, false, FileCompileError,
                 {"####ERROR: 文件f.p第3行含有NUL字节，拒绝编译", "###ERROR: 策略文件f.p解析失败"}, {}},
        FileCase{"missing", "", true, FileUnusable, {"无法解析文件 f.p: No such file or directory"}, {}}),
    [](const ::testing::TestParamInfo<FileCase> &info) { return std::string(info.param.label); });

TEST(PipelineDirectory, WithoutAnyPolicyFileReturnsOne)
{
    ScratchDir scratch;
    scratch.mkdir("empty");
    scratch.mkdir("skipped");
    scratch.write("skipped/readme.txt", goodPolicy);
    scratch.write("skipped/.hidden.p", goodPolicy);

    for (const char *folder : {"empty", "skipped"}) {
        SCOPED_TRACE(folder);
        LogCapture log;
        EXPECT_EQ(compilePolicyDirectory(runOver(scratch, folder)), DirectoryWithoutPolicy);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  std::vector<std::string>{"##ERROR: 不存在.p或.policy结尾的策略文件，策略将不会下发"});
    }

    LogCapture log;
    EXPECT_EQ(compilePolicyDirectory(runOver(scratch, "absent")), DirectoryWithoutPolicy);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"##ERROR: 无法打开策略目录 " + scratch.path("absent")});
}

TEST(PipelineDirectory, CompilesInByteOrderOfNames)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    for (const char *name : {"c.p", "b.policy", "B.p", "a.p", "_.p"})
        scratch.write(std::string("policy/") + name, goodPolicy);

    Journal journal;
    EXPECT_EQ(compilePolicyDirectory(runOver(scratch, "policy")), DirectoryCompiled);
    // Byte order, not the locale's: upper case and "_" before lower case.
    EXPECT_EQ(added(journal), (Added{{"B.p", "2"}, {"_.p", "2"}, {"a.p", "2"}, {"b.policy", "2"}, {"c.p", "2"}}));
}

class PipelineFailure : public ::testing::TestWithParam<bool> {};

TEST_P(PipelineFailure, StopsAtTheFirstFailingFileOrReportsEvery)
{
    const bool stop = GetParam();
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.write("policy/1.p", syntaxError);
    scratch.write("policy/2.p", goodPolicy);
    scratch.mkdir("policy/3.p");

    LogCapture log;
    Journal journal;
    EXPECT_EQ(compilePolicyDirectory(runOver(scratch, "policy", stop)), FileCompileError);
    if (stop) {
        EXPECT_EQ(filesRead(log), std::vector<std::string>{"1.p"});
        EXPECT_TRUE(added(journal).empty());
        EXPECT_FALSE(log.contains("路径 3.p 不是常规文件"));
    } else {
        EXPECT_EQ(filesRead(log), (std::vector<std::string>{"1.p", "2.p"}));
        EXPECT_EQ(added(journal), (Added{{"2.p", "2"}}));
        EXPECT_TRUE(log.contains("##ERROR: 处理策略文件 3.p 失败，错误码 -1"));
    }
    EXPECT_TRUE(log.contains("##ERROR: 处理策略文件 1.p 失败，错误码 3"));
}

INSTANTIATE_TEST_SUITE_P(Modes, PipelineFailure, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "StopAtFirst" : "Continue";
                         });

TEST(PipelineContainment, RefusesFilesResolvingOutsideThePrefix)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.mkdir("policy2");
    scratch.write("policy/in.p", goodPolicy);
    scratch.write("policy2/out.p", goodPolicy);
    scratch.write("out.p", goodPolicy);
    scratch.symlink(scratch.path("out.p"), "policy/escape.p");
    scratch.symlink("in.p", "policy/alias.p");
    const std::string prefix = canonicalDirectoryPrefix(scratch.path("policy"));

    const struct {
        std::string path;
        int code;
    } cases[] = {
        {scratch.path("policy/in.p"), FileCompiled},
        {scratch.path("policy/alias.p"), FileCompiled},
        {scratch.path("policy/../out.p"), FileUnusable},
        {scratch.path("policy/escape.p"), FileUnusable},
        // The prefix ends in "/", so a sibling sharing its first bytes is outside.
        {scratch.path("policy2/out.p"), FileUnusable},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture log;
        EXPECT_EQ(processPolicyFile(c.path, "n.p", prefix), c.code);
        const std::vector<std::string> refused = {"文件 n.p 不在允许的策略目录内"};
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.code == FileUnusable ? refused : std::vector<std::string>());
    }
    // Without a prefix (a file named to the checker) nothing is refused.
    EXPECT_EQ(processPolicyFile(scratch.path("policy/escape.p"), "n.p", std::string()), FileCompiled);
}

TEST(PipelineContainment, DirectoryMovedAwayFromItsPrefixIsRefused)
{
    ScratchDir scratch;
    scratch.mkdir("old");
    scratch.mkdir("new");
    scratch.write("new/a.p", goodPolicy);
    scratch.symlink("old", "policy");
    PolicyDirectoryRun run = runOver(scratch, "policy");
    EXPECT_EQ(run.prefix, canonicalDirectoryPrefix(scratch.path("old")));
    EXPECT_EQ(run.prefix.back(), '/');

    // The link now points elsewhere; the prefix computed before stays.
    ASSERT_EQ(unlink(scratch.path("policy").c_str()), 0);
    scratch.symlink("new", "policy");
    LogCapture log;
    Journal journal;
    EXPECT_EQ(compilePolicyDirectory(run), FileUnusable);
    EXPECT_TRUE(log.contains("文件 a.p 不在允许的策略目录内"));
    EXPECT_TRUE(added(journal).empty());
}

TEST(PipelineDirectory, FullRunClearsThePreviousPolicyFirst)
{
    ScratchDir scratch;
    for (const char *folder : {"one", "two"})
        scratch.mkdir(folder);
    scratch.write("one/a.p", goodPolicy);
    scratch.write("two/b.p", goodPolicy);

    for (const bool initFunctions : {false, true}) {
        SCOPED_TRACE(initFunctions);
        Journal journal;
        ASSERT_EQ(processPolicyDirectory(runOver(scratch, "one"), initFunctions), DirectoryCompiled);
        ASSERT_EQ(processPolicyDirectory(runOver(scratch, "two"), initFunctions), DirectoryCompiled);

        std::vector<std::string> once = {"clearAllPolicy", "prepareWork", "addPolicy"};
        if (initFunctions)
            once.insert(once.begin() + 1, "initNamespaceFuncInfo");
        std::vector<std::string> seen, expected = once;
        expected.insert(expected.end(), once.begin(), once.end());
        for (const PolicySyncCall &c : journal.calls({"clearAllPolicy", "initNamespaceFuncInfo", "prepareWork",
                                                       "addPolicy"}))
            seen.push_back(c.op);
        EXPECT_EQ(seen, expected);

        const auto kept = addedPolicy();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].first, "b.p");
    }
}

TEST(PipelineText, BytesThatAreNotUtf8ReachTheRecordsUnchanged)
{
    ScratchDir scratch;
    // A lone byte, an overlong "/", an encoded surrogate and valid text.
    const std::string subject = "/opt/\xff\xfe"s + "app";
    const std::string object = "/srv/\xc0\xaf\xed\xa0\x80/caf\xc3\xa9"s;
    scratch.write("u.p", "# \xfe comment\nstring name = web\nallow 0 \"" + subject + "\" \"" + object +
                             "\" file { read }\n");

    Journal journal;
    ASSERT_EQ(processPolicyFile(scratch.path("u.p"), "u.p", std::string()), FileCompiled);
    const auto kept = addedPolicy();
    ASSERT_EQ(kept.size(), 1u);
    ASSERT_EQ(kept[0].second.size(), 1u);
    const PolicyNode &node = kept[0].second[0];
    EXPECT_EQ(node.subjectNames, std::vector<std::string>{subject});
    EXPECT_EQ(node.objectNames, std::vector<std::string>{object});
}

} // namespace
