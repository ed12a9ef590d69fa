// Hostile and broken input: each kind fails its own file with a clear
// message, never the process, and the files after it are still checked.
#include "support.h"

#include <fcntl.h>
#include <new>
#include <sys/resource.h>
#include <sys/wait.h>

#include "policy_loader.h"

namespace {

const std::string header = "string name = t\n";
const std::string goodPolicy = "string name = web\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read, write }\n";

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

// The trailing lines of a file that failed to compile, as a walk logs them.
std::vector<std::string> compileFailure(std::vector<std::string> first, const std::string &name = "a.p")
{
    first.push_back("####ERROR: 文件" + name + "中存在编译错误");
    first.push_back("###ERROR: 策略文件" + name + "解析失败");
    first.push_back("##ERROR: 处理策略文件 " + name + " 失败，错误码 3");
    return first;
}

struct Outcome {
    int code;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    Added added;
};

// The file a.p, then a good b.p, walked as the checker walks (every file).
Outcome checkBeforeGoodFile(const std::string &content, const CompiledHook &onCompiled = {},
                            size_t sizeLimit = maxPolicyFileSize)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.write("policy/a.p", content);
    scratch.write("policy/b.p", goodPolicy);
    LogCapture log;
    Journal journal;
    PolicyDirectoryRun run;
    run.directory = scratch.path("policy");
    run.prefix = canonicalDirectoryPrefix(run.directory);
    run.stopAtFirstFailure = false;
    run.onCompiled = onCompiled;
    run.fileSizeLimit = sizeLimit;
    const int code = compilePolicyDirectory(run);
    return Outcome{code, log.messages(TAVO_LOG_ERROR), log.messages(TAVO_LOG_WARNING), added(journal)};
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
        const Outcome o = checkBeforeGoodFile(c.content, {}, sizeLimit);
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

TEST(HostileInput, FileSizeLimitAtItsBoundaryAndForAGrowingFile)
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
    EXPECT_EQ(processPolicyFile("/proc/self/maps", "maps", std::string(), {}, limit), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"###ERROR: 文件maps大小超过上限100字节，拒绝读取"});

    // A text handed over directly is held to the same limit.
    log.clear();
    EXPECT_EQ(compilePolicyContent("text.p", policyOfSize(101), {}, limit), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"###ERROR: 文件text.p大小超过上限100字节，拒绝读取"});
}

TEST(HostileInput, OutOfMemoryFailsTheFileAndClearsThePolicy)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    for (const char *name : {"a.p", "b.p", "c.p"})
        scratch.write(std::string("policy/") + name, goodPolicy);
    LogCapture log;
    Journal journal;
    PolicyDirectoryRun run;
    run.directory = scratch.path("policy");
    run.prefix = canonicalDirectoryPrefix(run.directory);
    run.stopAtFirstFailure = false;
    run.onCompiled = [](const std::string &name, const PolicyDb &) {
        if (name == "b.p")
            throw std::bad_alloc();
    };
    EXPECT_EQ(compilePolicyDirectory(run), FileCompileError);
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
    EXPECT_TRUE(parseState().policyDb.nodes.empty());
}

// A real allocation failure inside the parser, in a child process whose
// address space is capped: the exception crosses the grammar cleanly.
TEST(HostileInput, AllocationFailureInsideTheParserFailsOnlyThatFile)
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
        struct rlimit cap;
        getrlimit(RLIMIT_AS, &cap);
        FILE *status = fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (!status || fscanf(status, "%lu", &pages) != 1)
            _exit(10);
        fclose(status);
        cap.rlim_cur = pages * sysconf(_SC_PAGESIZE) + (size_t{128} << 20);
        if (setrlimit(RLIMIT_AS, &cap) != 0)
            _exit(11);
        if (compilePolicyContent("big.p", big) != FileCompileError)
            _exit(12);
        if (!log.contains("####ERROR: 编译文件big.p时内存不足，已清除全部策略"))
            _exit(13);
        if (!parseState().policyDb.nodes.empty())
            _exit(14);
        if (compilePolicyContent("next.p", goodPolicy) != FileCompiled)
            _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(HostileInput, MemoryLimitsAtTheirBoundary)
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
    resetParseState();
}

TEST(HostileInput, SelfReferenceSeesTheValueFromBeforeTheStatement)
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
    EXPECT_EQ(parseState().boolListVars.at("b"), (std::vector<bool>{true, false, true}));
}

TEST(HostileInput, EmptyOperandThroughAVariableIsRefused)
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

TEST(HostileInput, NamespaceNamesThatArePathsAreRefused)
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

TEST(HostileInput, UserWithoutAnAccountIsWarnedAbout)
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

TEST(HostileInput, FileWhosePathIsTooLongFailsTheWalk)
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
        PolicyDirectoryRun run;
        run.directory = scratch.path(folder);
        run.prefix = canonicalDirectoryPrefix(run.directory);
        run.stopAtFirstFailure = stop;
        EXPECT_EQ(compilePolicyDirectory(run), FileUnusable);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  (std::vector<std::string>{"路径过长，跳过文件 " + longName,
                                            "##ERROR: 处理策略文件 " + longName + " 失败，错误码 -1"}));
        EXPECT_EQ(added(journal), (stop ? Added{} : Added{{"z.p", "2"}}));
    }
}

TEST(HostileInput, LogLinesEscapeControlBytesAndAreCapped)
{
    const std::string longNumber(50 * 1000 * 1000, '9');
    const struct {
        const char *label;
        std::string text;
        std::string logged;
    } cases[] = {
        {"line feed", "a.p\n##INFO: 处理策略文件 b.p 成功", "a.p\\x0a##INFO: 处理策略文件 b.p 成功"},
        {"escape and return", "x\x1b[2K\ry", "x\\x1b[2K\\x0dy"},
        {"tab, delete, NUL-free C0", "\t\x7f\x01\x1f", "\\x09\\x7f\\x01\\x1f"},
        {"final line feed stays", "done\n", "done\n"},
        {"inner and final line feed", "a\nb\n", "a\\x0ab\n"},
        {"text kept as it is", "caf\xc3\xa9 中文 \xf0\x9f\x98\x80 \xef\xbf\xbf /srv/\\x",
         "caf\xc3\xa9 中文 \xf0\x9f\x98\x80 \xef\xbf\xbf /srv/\\x"},
        {"C1 controls: CSI, NEL", "a\xc2\x9b" "2Kb\xc2\x85" "c\xc2\x80\xc2\x9f\xc2\xa0",
         "a\\xc2\\x9b2Kb\\xc2\\x85c\\xc2\\x80\\xc2\\x9f\xc2\xa0"},
        {"line and paragraph separators", "a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9"},
        {"bidi overrides and isolates", "\xe2\x80\xaagnp.\xe2\x80\xae" "exe\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xa7\xe2\x81\xaa",
         "\\xe2\\x80\\xaagnp.\\xe2\\x80\\xaeexe\\xe2\\x81\\xa6\\xe2\\x81\\xa9\xe2\x80\xa7\xe2\x81\xaa"},
        {"bytes that are not UTF-8", "\xff\x80" "a\xc3(\xe4\xb8\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80\xe4\xb8",
         "\\xff\\x80a\\xc3(\\xe4\\xb8\\xed\\xa0\\x80\\xc0\\xaf\\xf4\\x90\\x80\\x80\\xe4\\xb8"},
        {"long line cut", longNumber, std::string(8189, '9') + "..."},
        {"cut before a split escape", std::string(8187, 'a') + "\x01" + std::string(10, 'a'),
         std::string(8187, 'a') + "..."},
        {"cut before a split character", std::string(8188, 'a') + "中" + std::string(10, 'a'),
         std::string(8188, 'a') + "..."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture log;
        EXPECT_EQ(writeLog("x.cpp", 1, TAVO_LOG_ERROR, "%s", c.text.c_str()), static_cast<int>(c.logged.size()));
        EXPECT_EQ(log.messages(), std::vector<std::string>{c.logged});
    }
}

} // namespace
