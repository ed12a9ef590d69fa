// Check of the directory prefix under which the init policy is delivered
// (an early-boot root such as "/sysroot"): the prefix must be the top of a
// mounted tree, named plainly enough that it cannot climb out of itself.
//
// What counts as a mount point: "/" (a directory that is its own parent);
// otherwise, where /proc/self/mountinfo and the descriptor's path under
// /proc can be read, exactly the directories that the mount table lists;
// where they cannot (early in boot, before /proc is mounted), a directory
// whose device differs from its parent's.
#include "manager_impl.h"
#include "tavopolicysync/log.h"
#include "tavopolicysync/policy_module_manager.h"
#include "unique_fd.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr int invalidPrefix = EINVAL;
constexpr size_t pathLimit = PATH_MAX; // with the terminating NUL
const char mountTable[] = "/proc/self/mountinfo";

int refuse(const std::string &label, const std::string &value, const std::string &reason)
{
    const char *file = std::strrchr(__FILE__, '/');
    writeLog(file ? file + 1 : __FILE__, __LINE__, TAVO_LOG_ERROR, "validate_mount_point: %s \"%s\": %s",
             label.c_str(), value.c_str(), reason.c_str());
    return invalidPrefix;
}

bool hasParentComponent(const std::string &path)
{
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// The mount table writes space, tab, newline and backslash as \ooo.
std::string unescapeMountPath(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3'
            && field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Whether the directory open as `fd` is listed as a mount point in the mount
// table; nothing when the table or the directory's path cannot be read
// (no /proc yet, early in boot).
std::optional<bool> listedAsMountPoint(int fd)
{
    std::ifstream table(mountTable);
    if (!table)
        return std::nullopt;
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n < 0 || static_cast<size_t>(n) == sizeof target)
        return std::nullopt;
    const std::string path(target, static_cast<size_t>(n));

    std::string line;
    while (std::getline(table, line)) {
        // mount id, parent id, major:minor, root within the file system, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        if ((fields >> id >> parent >> device >> root >> mountPoint) && unescapeMountPath(mountPoint) == path)
            return true;
    }
    if (table.bad())
        return std::nullopt;
    return false;
}

int checkMountPoint(const std::string &value, const std::string &label)
{
    if (value.empty())
        return 0;
    if (value.find('\0') != std::string::npos)
        return refuse(label, value, "contains a NUL byte");
    if (value.size() >= pathLimit)
        return refuse(label, value, "longer than " + std::to_string(pathLimit - 1) + " bytes");
    if (value.front() != '/')
        return refuse(label, value, "not an absolute path");
    if (hasParentComponent(value))
        return refuse(label, value, "contains a \"..\" component");

    // Open first and ask everything of what was opened.
    const UniqueFd dir(open(value.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        const int error = errno;
        if (error == ENOENT)
            return refuse(label, value, "does not exist");
        if (error == ENOTDIR)
            return refuse(label, value, "not a directory");
        return refuse(label, value, std::error_code(error, std::generic_category()).message());
    }
    struct stat self, parent;
    if (fstat(dir.get(), &self) != 0 || fstatat(dir.get(), "..", &parent, 0) != 0)
        return refuse(label, value, std::error_code(errno, std::generic_category()).message());

    // The root is its own parent.
    if (self.st_dev == parent.st_dev && self.st_ino == parent.st_ino)
        return 0;
    // The mount table also knows a directory bound onto itself, which keeps
    // its parent's device, and does not take a btrfs subvolume, which has a
    // device of its own, for a mount.
    const std::optional<bool> listed = listedAsMountPoint(dir.get());
    const bool mountPoint = listed ? *listed : self.st_dev != parent.st_dev;
    if (!mountPoint)
        return refuse(label, value, "not a mount point");
    return 0;
}

} // namespace

int validate_mount_point(const std::string &value, const std::string &label)
{
    return answerOutOfMemory("validate_mount_point", [&] { return checkMountPoint(value, label); });
}
