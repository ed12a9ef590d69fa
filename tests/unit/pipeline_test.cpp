// The file pipeline on real files: which directory entries are compiled,
// how each is opened and read, the result codes and log lines, what
// reaches the library, and the limits on a file's size, memory and bytes.
#include "support.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <ftw.h>
#include <new>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "front_end.h"
#include "pipelined_output.h"
#include "policy_loader.h"

namespace {

using namespace std::string_literals;

const std::string syntaxError = "string name = web\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read,\n";

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
    EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), runOver(scratch, "policy")), DirectoryCompiled);

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
    EXPECT_EQ(runGuarded([&] { return compilePolicyDirectory(testFrontEnd(), run); }, entry), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              (std::vector<std::string>{"路径 x.p 不是常规文件", "##ERROR: 处理策略文件 x.p 失败，错误码 -1"}));
    EXPECT_EQ(added(journal), (Added{{"a.p", "2"}}));

    // Named directly, outside any directory walk, it is refused the same way.
    log.clear();
    EXPECT_EQ(runGuarded([&] { return processPolicyFile(testFrontEnd(), entry, "x.p", std::string()); }, entry),
              FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{"路径 x.p 不是常规文件"});
}

INSTANTIATE_TEST_SUITE_P(Kinds, PipelineSpecialEntry,
                         ::testing::Values(Special::Directory, Special::Fifo, Special::CharDevice));

TEST(PipelineLog, EmptyFileIsAcceptedWithItsLinesInOrder)
{
    // Blanks and line ends alone are what the scanner skips: such a file
    // holds no more than an empty one.
    for (const std::string content : {"", "\n\n", " \t\r\n  \n", "\t"}) {
        SCOPED_TRACE(::testing::PrintToString(content));
        ScratchDir scratch;
        scratch.mkdir("policy");
        scratch.write("policy/a.p", content);

        LogCapture log;
        Journal journal;
        EXPECT_EQ(processPolicyDirectory(testFrontEnd(), runOver(scratch, "policy"), false), DirectoryCompiled);

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
    EXPECT_EQ(processPolicyFile(testFrontEnd(), scratch.path("f.p"), "f.p", canonicalDirectoryPrefix(scratch.root())),
              c.code);
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

TEST(PipelineDirectory, TellsWhatEachCompiledFileHeld)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.p", goodPolicy}, {"b.p", ""},          {"c.p", "string name = web\n"},
        {"d.p", syntaxError}, {"e.p", goodPolicy + "# e\n"},
    };
    for (const auto &[name, content] : files)
        scratch.write("policy/" + name, content);

    // Every file that counted as compiled, with its exact bytes; not d.p.
    std::vector<std::pair<std::string, std::string>> expected = files;
    expected.erase(expected.begin() + 3);
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop);
        PolicyDirectoryRun run = runOver(scratch, "policy", stop);
        std::vector<std::pair<std::string, std::string>> seen;
        run.onSource = [&seen](const CompiledSource &source, const std::string &content) {
            seen.emplace_back(source.name, content);
        };
        std::vector<CompiledSource> sources;
        EXPECT_EQ(processPolicyDirectory(testFrontEnd(), run, false, sources), FileCompileError);
        const size_t count = stop ? 3 : 4;
        const std::vector<std::pair<std::string, std::string>> compiled(expected.begin(), expected.begin() + count);
        EXPECT_EQ(seen, compiled);
        ASSERT_EQ(sources.size(), count);
        for (size_t i = 0; i < count; ++i) {
            const std::string &content = expected[i].second;
            Sha256Digest digest;
            unsigned int size = 0;
            ASSERT_EQ(EVP_Digest(content.data(), content.size(), digest.data(), &size, EVP_sha256(), nullptr), 1);
            EXPECT_EQ(sources[i].name, expected[i].first);
            EXPECT_EQ(sources[i].size, content.size());
            EXPECT_EQ(sources[i].sha256, digest);
        }
    }
}

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
        EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), runOver(scratch, folder)), DirectoryWithoutPolicy);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  std::vector<std::string>{"##ERROR: 不存在.p或.policy结尾的策略文件，策略将不会下发"});
    }

    LogCapture log;
    EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), runOver(scratch, "absent")), DirectoryWithoutPolicy);
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
    EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), runOver(scratch, "policy")), DirectoryCompiled);
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
    EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), runOver(scratch, "policy", stop)), FileCompileError);
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
        EXPECT_EQ(processPolicyFile(testFrontEnd(), c.path, "n.p", prefix), c.code);
        const std::vector<std::string> refused = {"文件 n.p 不在允许的策略目录内"};
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.code == FileUnusable ? refused : std::vector<std::string>());
    }
    // Without a prefix (a file named to the checker) nothing is refused.
    EXPECT_EQ(processPolicyFile(testFrontEnd(), scratch.path("policy/escape.p"), "n.p", std::string()), FileCompiled);
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
    EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), run), FileUnusable);
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
        ASSERT_EQ(processPolicyDirectory(testFrontEnd(), runOver(scratch, "one"), initFunctions), DirectoryCompiled);
        ASSERT_EQ(processPolicyDirectory(testFrontEnd(), runOver(scratch, "two"), initFunctions), DirectoryCompiled);

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
    ASSERT_EQ(processPolicyFile(testFrontEnd(), scratch.path("u.p"), "u.p", std::string()), FileCompiled);
    const auto kept = addedPolicy();
    ASSERT_EQ(kept.size(), 1u);
    ASSERT_EQ(kept[0].second.size(), 1u);
    const PolicyNode &node = kept[0].second[0];
    EXPECT_EQ(node.subjectNames, std::vector<std::string>{subject});
    EXPECT_EQ(node.objectNames, std::vector<std::string>{object});
}

std::string repeated(const std::string &item, size_t count)
{
    std::string out;
    out.reserve(count * (item.size() + 2));
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += ", ";
        out += item;
    }
    return out;
}

struct LimitCase {
    const char *label;
    std::string content;
    int code;
    std::vector<std::string> errors;
    Added added; // besides b.p
};

void expectOutcomes(const std::vector<LimitCase> &cases, size_t sizeLimit = maxPolicyFileSize)
{
    for (const LimitCase &c : cases) {
        SCOPED_TRACE(c.label);
        const Outcome o = checkBeforeGoodFile(c.content, sizeLimit);
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(o.errors, c.errors);
        Added expected = c.added;
        expected.push_back({"b.p", "2"});
        EXPECT_EQ(o.added, expected);
    }
}

// A good policy of exactly `size` bytes (at least 60).
std::string policyOfSize(size_t size)
{
    std::string text = "string name = t\nallow 0 * * file { read }\n#";
    text += std::string(size - text.size() - 1, 'x');
    return text + "\n";
}

TEST(PipelineLimits, FileSizeLimitAtItsBoundaryAndForAGrowingFile)
{
    const size_t limit = 100;
    const std::string tooLarge = "###ERROR: 文件a.p大小超过上限100字节，拒绝读取";
    expectOutcomes({
        {"N-1", policyOfSize(99), 0, {}, {{"a.p", "1"}}},
        {"N", policyOfSize(100), 0, {}, {{"a.p", "1"}}},
        {"N+1", policyOfSize(101), -1, {tooLarge, "##ERROR: 处理策略文件 a.p 失败，错误码 -1"}, {}},
    }, limit);

    // Its size says 0, yet it reads on: only the limit and one byte are read.
    LogCapture log;
    EXPECT_EQ(processPolicyFile(testFrontEnd(), "/proc/self/maps", "maps", std::string(), {}, limit), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"###ERROR: 文件maps大小超过上限100字节，拒绝读取"});

    // A text handed over directly is held to the same limit.
    log.clear();
    EXPECT_EQ(compilePolicyContent(testFrontEnd(), "text.p", policyOfSize(101), {}, limit), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"###ERROR: 文件text.p大小超过上限100字节，拒绝读取"});
}

TEST(PipelineLimits, OutOfMemoryFailsTheFileAndClearsThePolicy)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    for (const char *name : {"a.p", "b.p", "c.p"})
        scratch.write(std::string("policy/") + name, goodPolicy);
    LogCapture log;
    Journal journal;
    PolicyDirectoryRun run = runOver(scratch, "policy", false);
    run.onCompiled = [](const std::string &name, const PolicyDb &) {
        if (name == "b.p")
            throw std::bad_alloc();
    };
    EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), run), FileCompileError);
    const std::vector<std::string> errors = {
        "####ERROR: 编译文件b.p时内存不足，已清除全部策略",
        "###ERROR: 策略文件b.p解析失败",
        "##ERROR: 处理策略文件 b.p 失败，错误码 3",
    };
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), errors);
    // a.p went with the cleared policy; c.p was compiled afresh.
    const auto added = addedPolicy();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].first, "c.p");
    EXPECT_TRUE(testFrontEnd().state().policyDb.nodes.empty());
}

// Out of memory around the files (here in what a caller's hook keeps of a
// source) ends the run as a failure, never as an exception.
TEST(PipelineLimits, OutOfMemoryAroundTheFilesFailsTheRun)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.write("policy/a.p", goodPolicy);
    LogCapture log;
    PolicyDirectoryRun run = runOver(scratch, "policy");
    run.onSource = [](const CompiledSource &, const std::string &) { throw std::bad_alloc(); };
    std::vector<CompiledSource> sources;
    EXPECT_EQ(processPolicyDirectory(testFrontEnd(), run, false, sources), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"##ERROR: 处理策略目录" + run.directory + "时内存不足，已清除全部策略"});
    EXPECT_TRUE(sources.empty());
    EXPECT_TRUE(addedPolicy().empty());
}

// A real allocation failure inside the parser, in a child process whose
// address space is capped: the exception crosses the grammar cleanly.
TEST(PipelineLimits, AllocationFailureInsideTheParserFailsOnlyThatFile)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own allocator cannot run under an address-space cap";
#else
    // 1000 uids x 900 permissions: 900,000 nodes, far more than the cap.
    const std::string big = header + "intlist u = " + repeated("1", 1000) + "\nallow $u * * file { " +
                            repeated("p", 900) + " }\n";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        LogCapture log;
        capAddressSpaceOrExit(size_t{128} << 20);
        if (compilePolicyContent(testFrontEnd(), "big.p", big) != FileCompileError)
            _exit(12);
        if (!log.contains("####ERROR: 编译文件big.p时内存不足，已清除全部策略"))
            _exit(13);
        if (!testFrontEnd().state().policyDb.nodes.empty())
            _exit(14);
        if (compilePolicyContent(testFrontEnd(), "next.p", goodPolicy) != FileCompiled)
            _exit(15);
        _exit(0);
    }
    expectChildExitsCleanly(child);
#endif
}

// Memory that runs out inside the policy-sync library is a result, never an
// exception at its caller: a call answers 12, a registration that could not
// be kept fails the next compile with 12, a log line is replaced, and after
// a clear the library works again.
TEST(PipelineLimits, LibraryAnswersOutOfMemoryInsteadOfThrowing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own allocator cannot run under an address-space cap";
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PolicyModuleManagerInterface &library = policyManager();
        // Made before the cap; each copy inside the library is too large.
        const size_t tooLarge = size_t{64} << 20;
        std::string label(tooLarge, 'x');
        const std::string logged(tooLarge, 'y');
        PolicyDb db;
        db.nodes.emplace_back();
        db.nodes.back().objectType = "file";
        db.nodes.back().permission = "read";
        db.nodes.back().namespaceName = "t";
        db.nodes.back().objectNames = {std::string(tooLarge, 'z')};
        LogCapture log;
        capAddressSpaceOrExit(size_t{8} << 20);

        // Each step frees what it was given, so the largest comes first.
        TAVO_ERROR("%s", logged.c_str());
        if (!log.contains("(a log line was lost: out of memory)"))
            _exit(20);
        if (library.clearAllPolicy() != 0 || library.addPolicy("a.p", db) != ENOMEM)
            _exit(21);
        if (!log.contains("addPolicy: out of memory") || library.compileData() != ENOMEM)
            _exit(22);
        library.clearAllPolicy();
        library.setFileToGetLabelMap("file", std::move(label));
        if (!log.contains("setFileToGetLabelMap: out of memory") || library.compileData() != ENOMEM)
            _exit(23);
        library.clearAllPolicy();
        if (compilePolicyContent(testFrontEnd(), "b.p", goodPolicy) != FileCompiled || library.compileData() != 0)
            _exit(24);
        _exit(0);
    }
    expectChildExitsCleanly(child);
#endif
}

TEST(PipelineLimits, MemoryLimitsAtTheirBoundary)
{
    // 999 references to a list of 1000, then as many literals as needed.
    const std::string base = header + "intlist k = " + repeated("7", 1000) + "\n";
    const auto listOf = [&](size_t n) {
        return base + "intlist b = " + repeated("$k", 999) + ", " + repeated("1", n - 999000) + "\n";
    };
    const std::string listError = "####ERROR: 文件a.p中列表变量b的元素超过上限1000000个";
    std::string doubling = header + "intlist b = 1\n";
    for (int i = 0; i < 25; ++i)
        doubling += "b = $b, $b\n";
    // One rule of 1000 uids x 1001 permissions is refused before any node.
    const std::string tooManyNodes = base + "allow $k * * file { " + repeated("p", 1001) + " }\n";
    const std::string nodeError = "####ERROR: 文件a.p第3行的规则使文件的策略节点超过上限1000000个";
    // Copies of a list of 1,000,000 numbers (8 MB each) until 256 MiB were
    // copied: with the 8 MB that made it, the 33rd copy passes the limit.
    std::string copies = listOf(1000000);
    for (int i = 1; i <= 40; ++i)
        copies += "intlist t" + std::to_string(i) + " = $b\n";
    const std::string copyError = "####ERROR: 文件a.p中变量t33的引用复制数据累计超过上限268435456字节";
    // 600 nodes, each with 1024 subjects of 4 KB: 2.4 GB of records.
    std::string heavy = header + "strlist p = \"/" + std::string(4000, 's') + "\"\n";
    for (int i = 0; i < 10; ++i)
        heavy += "p = $p, $p\n";
    heavy += "allow 0 $p * file { " + repeated("p", 600) + " }\n";
    const std::string bytesError = "####ERROR: 文件a.p第13行的规则使文件的策略数据超过上限1073741824字节";

    expectOutcomes({
        {"list N-1", listOf(999999), DirectoryCompiled, {}, {}},
        {"list N", listOf(1000000), DirectoryCompiled, {}, {}},
        {"list N+1", listOf(1000001), FileCompileError, compileFailure({listError}), {}},
        {"list doubling", doubling, FileCompileError, compileFailure({listError}), {}},
        {"nodes of one rule", tooManyNodes, FileCompileError, compileFailure({nodeError}), {}},
        {"copies by reference", copies, FileCompileError, compileFailure({copyError}), {}},
        {"bytes of the nodes", heavy, FileCompileError, compileFailure({bytesError}), {}},
    });

    // Rules that reach N-1 nodes, then N, then one more.
    LogCapture log;
    EXPECT_EQ(parseText(base + "allow $k * * file { " + repeated("p", 999) + " }\nintlist v = " +
                        repeated("2", 999) + "\nallow $v * * file { q }\nallow 0 * * file { q }\n" +
                        "allow 0 * * file { q }\n"),
              1);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{
                                                "####ERROR: 文件test.p第7行的规则使文件的策略节点超过上限1000000个"});
    EXPECT_EQ(nodes().size(), 1000000u);
    resetParseState(testFrontEnd());
}

TEST(PipelineDirectory, FileWhosePathIsTooLongFailsTheWalk)
{
    ScratchDir scratch;
    // A folder path short enough to open, with a name that makes it too long.
    std::string folder = "policy";
    scratch.mkdir(folder);
    while (scratch.path(folder).size() < 3850) {
        folder += "/" + std::string(200, 'd');
        scratch.mkdir(folder);
    }
    const std::string longName = std::string(250, 'n') + ".p";
    scratch.write(folder + "/z.p", goodPolicy);
    const int dir = open(scratch.path(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    const int fd = openat(dir, longName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    close(dir);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, goodPolicy.data(), goodPolicy.size()), static_cast<ssize_t>(goodPolicy.size()));
    close(fd);

    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop);
        LogCapture log;
        Journal journal;
        EXPECT_EQ(compilePolicyDirectory(testFrontEnd(), runOver(scratch, folder, stop)), FileUnusable);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  (std::vector<std::string>{"路径过长，跳过文件 " + longName,
                                            "##ERROR: 处理策略文件 " + longName + " 失败，错误码 -1"}));
        EXPECT_EQ(added(journal), (stop ? Added{} : Added{{"z.p", "2"}}));
    }
}

TEST(PipelineText, NulByteFailsTheFile)
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
        EXPECT_EQ(compilePolicyContent(testFrontEnd(), "nul.p", c.text), FileCompileError);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  std::vector<std::string>{"####ERROR: 文件nul.p第" + std::to_string(c.line) + "行含有NUL字节，拒绝编译"});
        EXPECT_TRUE(addedPolicy().empty());
    }
}

TEST(PipelineText, InvalidUtf8ReachesTheRecordsUnchanged)
{
    Journal journal;
    const std::string subject = "/opt/\xff\xfe";
    const std::string object = "/srv/caf\xc3";
    ASSERT_EQ(compilePolicyContent(testFrontEnd(), "bytes.p",
                                   "string name = \"w\x80x\"\nallow 0 \"" + subject + "\" \"" + object +
                                       "\" file { read }\n"),
              FileCompiled);
    const auto added = addedPolicy();
    ASSERT_EQ(added.size(), 1u);
    const PolicyNode &n = added[0].second.at(0);
    EXPECT_EQ(n.subjectNames, std::vector<std::string>{subject});
    EXPECT_EQ(n.objectNames, std::vector<std::string>{object});
    EXPECT_EQ(n.namespaceName, "w\x80x");
}

// What reaches an output behind a PipelinedOutput, in order; out of memory
// on the rules of one file.
class RecordingOutput final : public RulesOnlyOutput {
public:
    explicit RecordingOutput(std::string failOn) : failOn_(std::move(failOn)) {}
    std::vector<std::string> calls;

    int clearAllPolicy() override
    {
        calls.push_back("clear");
        return 0;
    }
    int initNamespaceFuncInfo() override { return 0; }
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override
    {
        if (fileName == failOn_)
            throw std::bad_alloc();
        std::string rule = fileName + ":";
        for (const FileRule &r : rules)
            for (const std::string &permission : r.permissions)
                rule += " " + permission;
        calls.push_back(rule);
    }
    void setNamespaceInfo(std::string nsName) override { calls.push_back("scene " + nsName); }
    void setNamespaceFuncInfo(const std::string &ns, const std::string &module, const std::string &function) override
    {
        calls.push_back("function " + ns + "/" + module + "/" + function);
    }
    void setUidInfo(const std::string &userName, uint32_t uid) override
    {
        calls.push_back("uid " + userName + "=" + std::to_string(uid));
    }

private:
    std::string failOn_;
};

// The encoder on a second thread: every call arrives in order with the
// file's rules whole, and the encoder running out of memory on a file
// fails the file after it (whose rules then never go over) or, after the
// last file, the end of the run. A call posted after a file runs after
// its rules, even after they failed; work posted before the files are read
// again, and handed over at once, is skipped once they failed.
TEST(PipelineSecondThread, CallsArriveInOrderAndAFailureFailsTheNextFileOrTheEnd)
{
    const struct {
        std::vector<std::string> files;
        std::string failOn;
        int result;
        std::vector<std::string> calls;
        std::vector<std::string> errors;
        bool endFails;
    } cases[] = {
        {{"a", "b", "c"}, "", FileCompiled,
         {"scene a", "a.p: read write", "after a.p", "scene b", "b.p: read exec", "after b.p", "scene c",
          "c.p: read write", "after c.p", "work", "end"},
         {}, false},
        {{"a", "b", "c", "d"}, "b.p", FileCompileError,
         {"scene a", "a.p: read write", "after a.p", "scene b", "after b.p", "scene c", "clear", "scene d",
          "d.p: read exec", "after d.p", "work", "end"},
         {"####ERROR: 编译文件c.p时内存不足，已清除全部策略", "###ERROR: 策略文件c.p解析失败",
          "##ERROR: 处理策略文件 c.p 失败，错误码 3"},
         false},
        {{"a", "b"}, "b.p", FileCompiled,
         {"scene a", "a.p: read write", "after a.p", "scene b", "after b.p", "end"}, {}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.failOn);
        ScratchDir scratch;
        scratch.mkdir("policy");
        for (size_t i = 0; i < c.files.size(); ++i)
            scratch.write("policy/" + c.files[i] + ".p",
                          "string name = " + c.files[i] + "\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read, " +
                              (i % 2 ? "exec" : "write") + " }\n");
        RecordingOutput recording(c.failOn);
        PipelinedOutput pipelined(recording);
        FrontEnd fe(pipelined);
        LogCapture log;
        PolicyDirectoryRun run = runOver(scratch, "policy", false);
        run.onSource = [&](const CompiledSource &source, const std::string &) {
            pipelined.post([&recording, name = source.name] { recording.calls.push_back("after " + name); });
        };
        run.beforeVerify = [&] {
            pipelined.postWork([&recording] { recording.calls.push_back("work"); });
            pipelined.post([&recording] { recording.calls.push_back("end"); });
            pipelined.flush();
        };
        EXPECT_EQ(compilePolicyDirectory(fe, run), c.result);
        if (c.endFails)
            EXPECT_THROW(pipelined.finish(), std::bad_alloc);
        else
            EXPECT_NO_THROW(pipelined.finish());
        EXPECT_EQ(recording.calls, c.calls);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.errors);
    }
}

// A registration that repeats one handed over lately stays on the
// compiling thread, unless a name took another uid in between or a clear,
// an init or a task came between.
TEST(PipelineSecondThread, RepeatedRegistrationsGoOverOnceUnlessSomethingCameBetween)
{
    RecordingOutput recording("");
    PipelinedOutput pipelined(recording);
    pipelined.setUidInfo("ann", 1);
    pipelined.setUidInfo("ann", 1);
    pipelined.setUidInfo("bob", 2);
    pipelined.setUidInfo("ann", 3);
    pipelined.setUidInfo("ann", 1);
    pipelined.setNamespaceFuncInfo("s", "m", "f");
    pipelined.setNamespaceFuncInfo("s", "m", "f");
    pipelined.setNamespaceFuncInfo("s", "other", "f");
    pipelined.setNamespaceFuncInfo("s", "m", "f");
    pipelined.clearAllPolicy();
    pipelined.setUidInfo("ann", 1);
    pipelined.setNamespaceFuncInfo("s", "m", "f");
    pipelined.initNamespaceFuncInfo();
    pipelined.setNamespaceFuncInfo("s", "m", "f");
    pipelined.post([] {});
    pipelined.setUidInfo("ann", 1);
    pipelined.setUidInfo("ann", 1);
    pipelined.finish();
    EXPECT_EQ(recording.calls,
              (std::vector<std::string>{"uid ann=1", "uid bob=2", "uid ann=3", "uid ann=1", "function s/m/f",
                                        "function s/other/f", "function s/m/f", "clear", "uid ann=1",
                                        "function s/m/f", "function s/m/f", "uid ann=1"}));
}

// The daemon's library on the second thread: the library sees the same
// calls in the same order as when the compiling thread calls it, its
// queries (capabilities, modules) between them, every repeated
// registration included, and the lines and the compiled image are the same.
TEST(PipelineSecondThread, TheLibraryGetsTheSameCallsAsFromTheCompilingThread)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    for (const std::string &name : corpusFiles("good"))
        scratch.write("policy/" + name, corpusFile("good/" + name));
    scratch.write("policy/z.p", goodPolicy + goodPolicy);
    struct Run {
        std::vector<PolicySyncCall> calls;
        std::vector<std::string> lines;
        std::vector<uint8_t> image;
    };
    const auto compile = [&](bool pipelinedRun) {
        Run out;
        LibraryOutput library;
        std::optional<PipelinedOutput> pipelined;
        if (pipelinedRun)
            pipelined.emplace(library, PipelinedOutput::Next::Library);
        FrontEnd fe(pipelinedRun ? static_cast<PolicyOutput &>(*pipelined) : library);
        if (!pipelinedRun)
            library.expandIn(fe.state());
        LogCapture log;
        Journal journal;
        EXPECT_EQ(processPolicyDirectory(fe, runOver(scratch, "policy", false), true), DirectoryCompiled);
        if (pipelined)
            pipelined->finish();
        out.calls = journal.calls();
        out.lines = log.messages();
        EXPECT_EQ(policyManager().compileData(), 0);
        out.image = lastCompiled(policyManager()).image;
        return out;
    };
    const Run direct = compile(false);
    const Run pipelined = compile(true);
    EXPECT_EQ(pipelined.calls, direct.calls);
    EXPECT_EQ(pipelined.lines, direct.lines);
    EXPECT_EQ(pipelined.image, direct.image);
    EXPECT_FALSE(direct.image.empty());
    size_t queries = 0;
    for (const PolicySyncCall &c : direct.calls)
        queries += c.op == "getParentClass";
    EXPECT_GT(queries, 0u);
}

} // namespace
