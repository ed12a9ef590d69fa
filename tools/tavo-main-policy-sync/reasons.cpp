#include "reasons.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "shared_constants.h"

extern char **environ;

namespace {

// Enough for every error of a large broken policy; the rest is cut.
constexpr size_t maxReasonBytes = 64 * 1024;
const char journalCommand[] = "journalctl -t tavo-policyd";

bool isNameByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool endsWith(const std::string &text, const char *end)
{
    const size_t n = strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

// Whether the calling user can read the directory and every file the
// daemon would compile in it; the checker, run as that user, sees the same.
bool mayReadPolicy(const char *directory)
{
    DIR *dir = opendir(directory);
    if (!dir)
        return errno != EACCES && errno != EPERM;
    bool readable = true;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] == '.' || !(endsWith(name, ".p") || endsWith(name, ".policy")))
            continue;
        const int fd = openat(dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        } else if (errno == EACCES || errno == EPERM) {
            readable = false;
            break;
        }
    }
    closedir(dir);
    return readable;
}

// The checker's standard error (at most maxReasonBytes of it), or false
// when it could not be started.
bool runChecker(const char *checker, const char *directory, std::string &out)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    char *const argv[] = {const_cast<char *>(checker), const_cast<char *>("--quiet"), const_cast<char *>(directory),
                          nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, checker, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        // Read to the end all the same, so that the checker is never stuck.
        if (out.size() < maxReasonBytes)
            out.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // A checker that could not be executed (a shell's 127) has said nothing useful.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127 && out.empty());
}

} // namespace

std::string nameProblem(const std::string &value, const char *option, const char *label)
{
    if (value.empty())
        return std::string("缺少") + label + "，请用 " + option + " 给出";
    if (value.size() > nameLengthLimit)
        return std::string(label) + " 长度(" + std::to_string(value.size()) + ")超过限制(" +
               std::to_string(nameLengthLimit) + ")";
    for (const char c : value) {
        if (!isNameByte(static_cast<unsigned char>(c)))
            return std::string(label) + " \"" + value + "\" 包含非法字符（仅允许字母、数字、下划线、连字符）";
    }
    return std::string();
}

void explainCompileFailure(const char *checker, const char *directory)
{
    if (!mayReadPolicy(directory)) {
        fprintf(stderr, "原因: 当前用户无法读取%s中的策略文件；由 root 运行 tavo-policy-check %s 查看，或运行 %s\n",
                directory, directory, journalCommand);
        return;
    }
    std::string out;
    if (access(checker, X_OK) != 0 || !runChecker(checker, directory, out)) {
        fprintf(stderr, "原因: 无法运行 %s；运行 %s 查看\n", checker, journalCommand);
        return;
    }
    // Errors and warnings only: the digests it prints last are no reason.
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.rfind("identity ", 0) == 0 || line.rfind("stand-in image sha256 ", 0) == 0)
            continue;
        lines.push_back(line);
    }
    if (lines.empty()) {
        fprintf(stderr, "原因: tavo-policy-check 在%s中未发现错误；运行 %s 查看\n", directory, journalCommand);
        return;
    }
    fprintf(stderr, "原因 (tavo-policy-check %s):\n", directory);
    for (const std::string &line : lines)
        fprintf(stderr, "%s\n", line.c_str());
    if (out.size() >= maxReasonBytes)
        fprintf(stderr, "（更多内容已省略；运行 tavo-policy-check %s 查看全部）\n", directory);
}
