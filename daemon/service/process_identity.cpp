#include "process_identity.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

namespace {
// /proc/<pid>/stat: the command (up to 64 bytes, parenthesised, any bytes
// in it) and fifty-odd numbers fit easily.
constexpr size_t statReadLimit = 4096;
constexpr int startTimeField = 22;
} // namespace

uint64_t ticksSinceBoot()
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    const uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
    return static_cast<uint64_t>(now.tv_sec) * hz + static_cast<uint64_t>(now.tv_nsec) * hz / 1000000000u;
}

std::optional<uint64_t> processStartTicks(int32_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return std::nullopt;
    char buffer[statReadLimit];
    ssize_t n;
    do {
        n = read(fd.get(), buffer, sizeof buffer - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return std::nullopt;
    const std::string stat(buffer, static_cast<size_t>(n));
    // The command name may hold anything, spaces and parentheses too.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    // Field 3 follows the command.
    size_t at = close + 1;
    for (int field = 3; field < startTimeField; ++field) {
        at = stat.find(' ', at + 1);
        if (at == std::string::npos)
            return std::nullopt;
    }
    const char *start = stat.c_str() + at + 1;
    char *end = nullptr;
    errno = 0;
    const unsigned long long ticks = std::strtoull(start, &end, 10);
    if (end == start || errno != 0)
        return std::nullopt;
    return static_cast<uint64_t>(ticks);
}

bool runsFile(int32_t pid, const std::string &path)
{
    struct stat executed, listed;
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    if (stat(exe.c_str(), &executed) != 0 || stat(path.c_str(), &listed) != 0)
        return false;
    return executed.st_dev == listed.st_dev && executed.st_ino == listed.st_ino;
}
