// The library's store of the initial image (compileInitData), in the
// private /var/lib/tavo of tests/harness/simkernel-run. This program alone
// wraps fsync(2), to fail the directory's, and openat(2), to refuse unnamed
// files as a file system without them does.
#include "support.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "compiled_policy.h"

namespace {

int failDirectorySync = 0;  // errno for fsync(2) of a directory, 0: pass
bool refuseUnnamed = false; // openat(2) with O_TMPFILE fails with EOPNOTSUPP
int unnamedRefused = 0;

} // namespace

extern "C" int fsync(int fd)
{
    struct stat st;
    if (failDirectorySync != 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = failDirectorySync;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int openat(int dir, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if (refuseUnnamed && (flags & O_TMPFILE) == O_TMPFILE) {
        ++unnamedRefused;
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

namespace {

const std::string directory = "/var/lib/tavo";
const std::string temporary = ".init-policy.bin.tmp-";

std::vector<std::string> removals(const LogCapture &log)
{
    std::vector<std::string> lines;
    for (const std::string &line : log.messages(TAVO_LOG_INFO)) {
        if (line.compare(0, 8, "removed ") == 0)
            lines.push_back(line);
    }
    return lines;
}

std::set<std::string> entries()
{
    const std::vector<std::string> names = entriesOf(directory);
    return std::set<std::string>(names.begin(), names.end());
}

void clearDirectory()
{
    for (const std::string &name : entries())
        ASSERT_EQ(std::system(("rm -rf '" + directory + "/" + name + "'").c_str()), 0);
}

// Compiles a small policy, as the daemon does before compileInitData.
void compileSomething()
{
    ASSERT_EQ(policyManager().clearAllPolicy(), 0);
    ASSERT_EQ(compilePolicyContent(testFrontEnd(), "a.p", goodPolicy), FileCompiled);
}

std::string storedImage()
{
    const std::vector<uint8_t> &image = lastCompiled(policyManager()).image;
    return std::string(image.begin(), image.end());
}

} // namespace

// After the rename the new image is in place and the next boot delivers
// it: a failing fsync of the directory is a warning, not a failure.
TEST(InitialImageStore, DirectorySyncFailingAfterTheRenameStillStores)
{
    clearDirectory();
    compileSomething();
    writeFile(directory + "/init-policy.bin", "old");
    LogCapture log;
    failDirectorySync = EIO;
    const int rc = policyManager().compileInitData();
    failDirectorySync = 0;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{});
    EXPECT_EQ(log.messages(TAVO_LOG_WARNING),
              std::vector<std::string>{"stored the initial policy image in /var/lib/tavo/init-policy.bin, but its "
                                       "directory could not be synced (Input/output error): a crash before the "
                                       "system syncs it may bring back the previous image"});
    EXPECT_FALSE(storedImage().empty());
    EXPECT_EQ(readFile(directory + "/init-policy.bin"), storedImage());
    EXPECT_EQ(entries(), std::set<std::string>{"init-policy.bin"});
}

// Temporaries of stores that died go; a live store's, an administrator's
// copies and anything not ours stay, with unnamed files and without.
TEST(InitialImageStore, RemovesOnlyTemporariesNoLiveStoreHolds)
{
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary" : "named temporary");
        clearDirectory();
        compileSomething();
        const std::string dead = temporary + "Dead01", live = temporary + "Live01";
        const std::set<std::string> kept = {
            live,                          // held by a store writing it now
            "init-policy.bin.backup",      // an administrator's copy
            "init-policy.bin.Tmp001",      // the same
            temporary + "Long001",         // not ours: one letter too many
            ".other.bin.tmp-Dead02",       // another file's
            temporary + "Dir001",          // a directory
            temporary + "Lnk001",          // a link
            temporary + "Other1",          // another user's
        };
        for (const std::string &name : {dead, live, std::string("init-policy.bin.backup"),
                                        std::string("init-policy.bin.Tmp001"), temporary + "Long001",
                                        std::string(".other.bin.tmp-Dead02"), temporary + "Other1"})
            writeFile(directory + "/" + name, "x");
        ASSERT_EQ(mkdir((directory + "/" + temporary + "Dir001").c_str(), 0700), 0);
        ASSERT_EQ(symlink("init-policy.bin.backup", (directory + "/" + temporary + "Lnk001").c_str()), 0);
        ASSERT_EQ(chown((directory + "/" + temporary + "Other1").c_str(), 1000, 1000), 0);
        const int writer = open((directory + "/" + live).c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(flock(writer, LOCK_EX), 0);

        LogCapture log;
        refuseUnnamed = !unnamed;
        unnamedRefused = 0;
        const int rc = policyManager().compileInitData();
        refuseUnnamed = false;
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(unnamedRefused, unnamed ? 0 : 1);
        std::set<std::string> expected = kept;
        expected.insert("init-policy.bin");
        EXPECT_EQ(entries(), expected);
        EXPECT_EQ(readFile(directory + "/init-policy.bin"), storedImage());
        EXPECT_EQ(removals(log),
                  std::vector<std::string>{"removed " + dead +
                                           " beside /var/lib/tavo/init-policy.bin, left by an interrupted store"});
        // The live store still finishes.
        EXPECT_EQ(rename((directory + "/" + live).c_str(), (directory + "/init-policy.bin").c_str()), 0);
        close(writer);
    }
}

// A small directory filled up by stores that died: without their removal
// the store would fail with 5.
TEST(InitialImageStore, StaleTemporariesAreRemovedBeforeTheStore)
{
    clearDirectory();
    ASSERT_EQ(mount("tavo-small", directory.c_str(), "tmpfs", 0, "size=256k,mode=0755"), 0);
    compileSomething();
    size_t stale = 0;
    for (int i = 0; i < 1000; ++i) {
        char name[32];
        snprintf(name, sizeof name, "S%05d", i);
        const std::string path = directory + "/" + temporary + name;
        std::ofstream out(path, std::ios::binary);
        out << std::string(64 * 1024, 'x');
        out.close();
        if (!out.good())
            break;
        ++stale;
    }
    EXPECT_GT(stale, 1u);
    LogCapture log;
    EXPECT_EQ(policyManager().compileInitData(), 0);
    EXPECT_EQ(entries(), std::set<std::string>{"init-policy.bin"});
    EXPECT_EQ(readFile(directory + "/init-policy.bin"), storedImage());
    EXPECT_GE(removals(log).size(), stale);
    ASSERT_EQ(umount(directory.c_str()), 0);
}
