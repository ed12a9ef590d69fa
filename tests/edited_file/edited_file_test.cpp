// A policy file edited in place while the pipeline reads it. This program
// alone wraps read(2): once armed, the wrapper edits the file right after the
// first chunk of it has been read, as an editor writing it at that moment
// would.
#include "../unit/support.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "pipelined_output.h"
#include "policy_loader.h"

namespace {

struct PendingEdit {
    dev_t dev = 0;
    ino_t ino = 0;
    std::function<void()> edit;
};
PendingEdit pending;

} // namespace

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    using ReadFn = ssize_t (*)(int, void *, size_t);
    static const ReadFn next = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    const ssize_t n = next(fd, buf, count);
    if (n > 0 && pending.edit) {
        const int saved = errno;
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_dev == pending.dev && st.st_ino == pending.ino) {
            const std::function<void()> edit = std::move(pending.edit);
            pending.edit = nullptr;
            edit();
        }
        errno = saved;
    }
    return n;
}

namespace {

// Two nodes; long enough that reading it takes more than one chunk.
std::string policyText()
{
    std::string text = "string name = web\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read, write }\n";
    while (text.size() < 20000)
        text += "# padding of the file, so that it is read in several chunks\n";
    return text;
}

void writeAt(const std::string &path, const std::string &bytes, off_t offset, int flags = 0)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

struct EditCase {
    const char *label;
    std::function<void(const std::string &path)> edit;
};

} // namespace

TEST(EditedWhileRead, TheFileFailsWithItsNameAndSoDoesTheRun)
{
    const std::string text = policyText();
    const EditCase cases[] = {
        // Truncated, half written, then the rest: the read sees a longer file.
        {"rest appended", [&](const std::string &path) { writeAt(path, "# more\n", 0, O_APPEND); }},
        {"truncated", [](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), 100), 0); }},
        // Same size, new bytes: only the modification time tells.
        {"rewritten in place", [&](const std::string &path) { writeAt(path, std::string(8, '#'), 0); }},
    };
    for (const EditCase &c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        scratch.mkdir("policy");
        scratch.write("policy/a.p", text);
        scratch.write("policy/b.p", text);
        const std::string path = scratch.path("policy/a.p");
        // An old time, so that the edit's own time differs at any clock
        // granularity.
        const struct timespec old[2] = {{946684800, 0}, {946684800, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        pending = PendingEdit{st.st_dev, st.st_ino, [&c, path] { c.edit(path); }};

        Journal journal;
        LogCapture log;
        PolicyDirectoryRun run;
        run.directory = scratch.path("policy");
        run.prefix = canonicalDirectoryPrefix(run.directory);
        EXPECT_EQ(processPolicyDirectory(testFrontEnd(), run, false), FileUnusable);
        EXPECT_FALSE(pending.edit) << "the file was never read";
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  (std::vector<std::string>{"###ERROR: 文件a.p在读取过程中被修改，拒绝编译",
                                            "##ERROR: 处理策略文件 a.p 失败，错误码 -1"}));
        EXPECT_EQ(added(journal), Added{});
        pending = PendingEdit{};
    }
}

TEST(EditedWhileRead, AFileWhoseSizeDoesNotTellWhatItHoldsIsRefused)
{
    // procfs gives size 0 and then reads on.
    LogCapture log;
    EXPECT_EQ(processPolicyFile(testFrontEnd(), "/proc/self/status", "status.p", std::string()), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"###ERROR: 文件status.p在读取过程中被修改，拒绝编译"});
}

namespace {

// Two versions of a file of the same size, each a valid policy.
std::string version(char which)
{
    return "string name = web\nallow 1000 \"/usr/bin/ap" + std::string(1, which) +
           "\" \"/var/www/*\" file { read, write }\n";
}

void restoreTimes(const std::string &path, const struct stat &before)
{
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct LaterChange {
    const char *label;
    std::function<void(const std::string &path)> change;
    bool fails;
    std::vector<std::string> reopenErrors; // logged when the file is opened again
};

} // namespace

// A file changed after it was read, before the run ended: a write that
// overlapped the end of the read looks the same from its size and time.
// So it does when the digests are made on a pipeline's thread.
TEST(ChangedBeforeTheRunEnded, OnlyWhatTheFileHoldsCounts)
{
    const LaterChange cases[] = {
        {"other version, same size, times restored", [](const std::string &path) {
             struct stat st;
             ASSERT_EQ(stat(path.c_str(), &st), 0);
             writeAt(path, version('b'), 0);
             restoreTimes(path, st);
         }, true, {}},
        {"removed", [](const std::string &path) { ASSERT_EQ(unlink(path.c_str()), 0); }, true,
         {"无法解析文件 a.p: No such file or directory"}},
        {"grown", [](const std::string &path) { writeAt(path, "# more\n", 0, O_APPEND); }, true, {}},
        {"same bytes renamed over it", [](const std::string &path) {
             const std::string other = path + ".new";
             writeAt(other, version('a'), 0, O_CREAT);
             ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
         }, false, {}},
        {"touched", [](const std::string &path) { ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0); },
         false, {}},
    };
    for (const LaterChange &c : cases) {
        for (const int mode : {0, 1, 2}) {
            const bool directory = mode != 1;
            const char *const modes[] = {", directory run", ", one file", ", digests aside"};
            SCOPED_TRACE(std::string(c.label) + modes[mode]);
            ScratchDir scratch;
            scratch.mkdir("policy");
            scratch.write("policy/a.p", version('a'));
            scratch.write("policy/b.p", goodPolicy);
            const std::string path = scratch.path("policy/a.p");

            Journal journal;
            LogCapture log;
            std::vector<std::string> errors = c.reopenErrors;
            errors.push_back("###ERROR: 文件a.p在读取过程中被修改，拒绝编译");
            int code;
            if (directory) {
                PolicyDirectoryRun run = runOver(scratch, "policy");
                run.onSource = [&](const CompiledSource &source, const std::string &) {
                    if (source.name == "a.p")
                        c.change(path);
                };
                PipelinedOutput pipeline(testFrontEnd().output());
                PipelinedDigests digests(pipeline);
                if (mode == 2)
                    run.digests = &digests;
                code = processPolicyDirectory(testFrontEnd(), run, false);
                pipeline.finish();
                errors.push_back("##ERROR: 处理策略文件 a.p 失败，错误码 -1");
            } else {
                const CompiledHook change = [&](const std::string &, const PolicyDb &) { c.change(path); };
                code = processPolicyFile(testFrontEnd(), path, "a.p", canonicalDirectoryPrefix(scratch.root()), change);
            }
            EXPECT_EQ(code, c.fails ? FileUnusable : FileCompiled);
            EXPECT_EQ(log.messages(TAVO_LOG_ERROR), c.fails ? errors : std::vector<std::string>{});
            // What was compiled from it is not left for a delivery.
            if (c.fails) {
                EXPECT_EQ(journal.calls().back().op, "clearAllPolicy");
            }
            EXPECT_EQ(addedPolicy().size(), c.fails ? 0u : directory ? 2u : 1u);
        }
    }
}
