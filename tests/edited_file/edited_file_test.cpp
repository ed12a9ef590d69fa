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
        EXPECT_EQ(processPolicyDirectory(run, false), FileUnusable);
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
    EXPECT_EQ(processPolicyFile("/proc/self/status", "status.p", std::string()), FileUnusable);
    EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
              std::vector<std::string>{"###ERROR: 文件status.p在读取过程中被修改，拒绝编译"});
}
