// Name validation, and the checks that read the host: securityfs, pid
// namespaces and mount points. The HostChecks tests mount over
// /sys/kernel/security and /proc, so they run only as init of their own pid
// and mount namespaces inside the sandbox (ctest's host_checks).
#include "support.h"

#include "input_validator.h"

#include <cctype>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <csignal>
#include <sched.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tavopolicysync/policy_module_manager.h>

namespace fs = std::filesystem;

namespace {

const std::string label = "命名空间名称(ns_name)";
const std::string illegal = "validate_name_param: " + label + " 包含非法字符（仅允许字母、数字、下划线、连字符）";
constexpr uint64_t nameLimit = 512;
constexpr int invalid = 22;

fs::path scratchDir(const char *name)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    return mkdtemp(&path[0]) ? fs::path(path) : fs::path();
}

TEST(NameParam, AcceptsOnlyAsciiNamesWithinTheLimit)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {std::string(512, 'a'), {}},
        {std::string(513, 'a'), {"validate_name_param: " + label + " 长度(513)超过限制(512)"}},
        {"defaultpolicy", {}}, {"file_ctl-2", {}}, {"A", {}},
        {"", {"validate_name_param: " + label + " 为空"}},
        {"a b", {illegal}}, {"a.b", {illegal}}, {"a/b", {illegal}}, {"策略", {illegal}},
    };
    for (const auto &[name, errors] : cases) {
        SCOPED_TRACE(name.substr(0, 16) + " (" + std::to_string(name.size()) + " bytes)");
        LogCapture log;
        EXPECT_EQ(validate_name_param(name, nameLimit, label), errors.empty() ? 0 : -1);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), errors);
        EXPECT_EQ(log.lines().size(), errors.size());
    }
}

TEST(NameParam, StaysAsciiUnderALatin1Locale)
{
    const fs::path dir = scratchDir("locale");
    ASSERT_FALSE(dir.empty());
    const std::string make = "localedef -i en_US -f ISO-8859-1 " + (dir / "en_US.ISO-8859-1").string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    setenv("LOCPATH", dir.c_str(), 1);
    const std::string previous = setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(setlocale(LC_CTYPE, "en_US.ISO-8859-1"), nullptr);
    EXPECT_TRUE(isalnum(0xE9)) << "this locale takes é for a letter";
    LogCapture log;
    EXPECT_EQ(validate_name_param("caf\xe9", nameLimit, label), -1);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{illegal});
    setlocale(LC_CTYPE, previous.c_str());
    unsetenv("LOCPATH");
    fs::remove_all(dir);
}

// A child that blocks until the object goes, in this pid namespace or as
// init of a new one; pid() is its pid as seen from here.
class Waiter {
public:
    explicit Waiter(bool ownNamespace)
    {
        int release[2];
        if (pipe(release) != 0)
            return;
        // clone with fork's semantics: the child runs on a copy of this stack.
        pid_ = static_cast<pid_t>(
            syscall(SYS_clone, SIGCHLD | (ownNamespace ? CLONE_NEWPID : 0), nullptr, nullptr, nullptr, nullptr));
        if (pid_ == 0) {
            char byte;
            close(release[1]);
            _exit(static_cast<int>(read(release[0], &byte, 1)));
        }
        close(release[0]);
        release_ = release[1];
    }
    ~Waiter()
    {
        close(release_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

const char securityDir[] = "/sys/kernel/security";
const fs::path moduleDir = "/sys/kernel/security/tavo";

class HostChecks : public ::testing::Test {
protected:
    static bool ownNamespaces() { return getpid() == 1 && std::getenv("TAVO_SANDBOX"); }
    static void SetUpTestSuite()
    {
        if (ownNamespaces()) {
            ASSERT_EQ(mount("tavo-test", securityDir, "tmpfs", 0, "mode=0755"), 0);
        }
    }
    static void TearDownTestSuite()
    {
        if (ownNamespaces())
            umount(securityDir);
    }
    void SetUp() override
    {
        struct statfs sfs;
        if (!ownNamespaces() || statfs(securityDir, &sfs) != 0 || sfs.f_type != TMPFS_MAGIC)
            GTEST_SKIP() << "needs its own pid and mount namespaces";
        fs::remove_all(moduleDir);
    }
};

TEST_F(HostChecks, ModuleIsLoadedOnlyWithItsDirectory)
{
    const std::vector<std::string> notLoaded = {"错误：tavo模块未加载，需要先加载tavo模块。"};
    for (const char *kind : {"missing", "file", "directory"}) {
        SCOPED_TRACE(kind);
        fs::remove_all(moduleDir);
        if (kind == std::string("file"))
            std::ofstream(moduleDir) << "1\n";
        else if (kind == std::string("directory"))
            fs::create_directory(moduleDir);
        LogCapture log;
        const bool loaded = is_tavo_module_loaded();
        EXPECT_EQ(loaded, kind == std::string("directory"));
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), loaded ? std::vector<std::string>{} : notLoaded);
        EXPECT_EQ(log.lines().size(), loaded ? 0u : 1u);
    }
}

TEST_F(HostChecks, ThreeModeSwitchIsOnOffAbsentOrUnknown)
{
    const fs::path switchFile = moduleDir / "paras/zusec_global/admctl";
    const std::string path = switchFile.string();
    const std::string neither = "contents of " + path + " are neither 0 nor 1";
    using S = ThreeModeSwitch;
    struct Case {
        std::string label;
        std::function<void()> make;
        S state;
        std::string reason;
    };
    const auto holding = [&](const std::string &content) {
        return [&, content] {
            fs::create_directories(switchFile.parent_path());
            std::ofstream(switchFile, std::ios::binary) << content;
        };
    };
    std::vector<Case> cases = {
        {"no module", [] {}, S::Off, ""},
        {"module without the switch", [] { fs::create_directories(moduleDir / "paras/zusec_global"); }, S::Off, ""},
        {"paras is a file", [] {
             fs::create_directories(moduleDir);
             std::ofstream(moduleDir / "paras") << "1\n";
         }, S::Off, ""},
        {"switch is a directory", [&] { fs::create_directories(switchFile); }, S::Unreadable,
         "cannot read " + path + ": Is a directory"},
    };
    for (const char *on : {"1", "1\n", "1\r\n"})
        cases.push_back({on, holding(on), S::On, ""});
    for (const char *off : {"0", "0\n", "0\r\n"})
        cases.push_back({off, holding(off), S::Off, ""});
    for (const char *unknown : {"", "\n", "on", " 1", "1 \n", "01", "11", "2", "1\r", "1\n\n", "1\n0\n", "0\n1\n"})
        cases.push_back({unknown, holding(unknown), S::Unreadable, neither});

    for (const Case &c : cases) {
        SCOPED_TRACE("\"" + c.label + "\"");
        fs::remove_all(moduleDir);
        c.make();
        LogCapture log;
        std::string reason;
        EXPECT_EQ(readThreeModeSwitch(reason), c.state);
        EXPECT_EQ(reason, c.reason);
        // The exported answer: on, or not.
        EXPECT_EQ(isThreeModeEnabled(), c.state == S::On);
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST_F(HostChecks, OnlyWhitelistedRootOfTheInitialPidNamespaceActsInThreeMode)
{
    const Waiter sibling(false), foreign(true);
    ASSERT_GT(sibling.pid(), 1);
    ASSERT_GT(foreign.pid(), 1);
    const std::string daemon = "/usr/bin/zusec-scene-daemon";
    for (const auto &[pid, initial] : std::vector<std::pair<int, bool>>{
             {1, true}, {sibling.pid(), true}, {foreign.pid(), false}, {INT_MAX, false}, {0, false}, {-5, false}}) {
        EXPECT_EQ(isInitPidNamespace(pid), initial) << pid;
    }
    struct Case { uint32_t uid; int pid; std::string exe; bool allowed; };
    const std::vector<Case> cases = {
        {0, sibling.pid(), daemon, true},
        {0, sibling.pid(), "/usr/sbin/tavo-dynamic-uid", true},
        {1000, sibling.pid(), daemon, false},
        {0, foreign.pid(), daemon, false},
        {0, INT_MAX, daemon, false},
        {0, sibling.pid(), daemon + "/", false},
        {0, sibling.pid(), "/usr/bin/../bin/zusec-scene-daemon", false},
        {0, sibling.pid(), "/usr/bin/zusec-scene", false},
    };
    LogCapture log;
    for (const Case &c : cases)
        EXPECT_EQ(isAllowedInThreeMode(c.uid, c.pid, c.exe), c.allowed) << c.uid << " " << c.pid << " " << c.exe;
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(HostChecks, MountPointPrefix)
{
    const fs::path base = scratchDir("mounts");
    ASSERT_FALSE(base.empty());
    const std::string plain = base / "plain", tmpfs = base / "tmpfs", self = base / "self", spaced = base / "a b";
    for (const std::string &dir : {plain, tmpfs, self, spaced})
        fs::create_directory(dir);
    std::ofstream(base / "file") << "x";
    ASSERT_EQ(mount("tavo-test", tmpfs.c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(mount("tavo-test", spaced.c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(mount(self.c_str(), self.c_str(), nullptr, MS_BIND, nullptr), 0);

    std::string longest;
    while (longest.size() < 4094)
        longest += "/a";
    struct Case { std::string value; int result; int withoutProc; const char *reason; };
    const std::vector<Case> cases = {
        {"", 0, 0, nullptr},
        {"/", 0, 0, nullptr},
        {tmpfs, 0, 0, nullptr},
        {tmpfs + "/", 0, 0, nullptr},
        {spaced, 0, 0, nullptr},
        // bound onto itself: same device as its parent, known only to the mount table
        {self, 0, invalid, "not a mount point"},
        {plain, invalid, invalid, "not a mount point"},
        {base / "file", invalid, invalid, "not a directory"},
        {longest + "/", invalid, invalid, "does not exist"},
        {longest + "/a", invalid, invalid, "longer than 4095 bytes"},
        {"sysroot", invalid, invalid, "not an absolute path"},
        {plain + "/../tmpfs", invalid, invalid, "contains a \"..\" component"},
        {tmpfs + std::string(1, '\0') + "/../..", invalid, invalid, "contains a NUL byte"},
    };
    auto check = [&](bool procMounted) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.value.substr(0, 80) + (procMounted ? "" : " without /proc"));
            const int expected = procMounted ? c.result : c.withoutProc;
            LogCapture log;
            EXPECT_EQ(validate_mount_point(c.value, "mount point parameter"), expected);
            const std::string line = "validate_mount_point: mount point parameter \"" + std::string(c.value.c_str())
                + "\": " + (c.reason ? c.reason : "");
            const auto lines = expected ? std::vector<std::string>{line} : std::vector<std::string>{};
            EXPECT_EQ(log.messages(TAVO_LOG_ERROR), lines);
            EXPECT_EQ(log.lines().size(), lines.size());
        }
    };
    check(true);
    // Early in boot there is no /proc yet.
    ASSERT_EQ(mount("tavo-test", "/proc", "tmpfs", 0, nullptr), 0);
    check(false);
    EXPECT_EQ(umount("/proc"), 0);

    for (const std::string &dir : {tmpfs, spaced, self})
        umount(dir.c_str());
    fs::remove_all(base);
}

} // namespace
