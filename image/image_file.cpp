#include "policy_image.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_replace.h"
#include "unique_fd.h"

namespace tavo_image {

namespace {

constexpr mode_t directoryMode = 0755;
constexpr size_t suffixLength = 6;
constexpr int nameAttempts = 100;
const char temporaryInfix[] = ".tmp-";
const char nameCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string temporaryPrefix(const std::string &base)
{
    return "." + base + temporaryInfix;
}

// "." + base + ".tmp-" + six letters or digits: hidden, and not a name an
// administrator gives a copy of the file, so that removing stale ones never
// takes one.
std::string temporaryName(const std::string &base)
{
    unsigned char random[suffixLength];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // Unique enough for O_EXCL and a retry.
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t mix = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                       static_cast<uint64_t>(getpid());
        for (unsigned char &byte : random) {
            byte = static_cast<unsigned char>(mix);
            mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
        }
    }
    std::string name = temporaryPrefix(base);
    for (const unsigned char byte : random)
        name += nameCharacters[byte % (sizeof nameCharacters - 1)];
    return name;
}

bool isTemporaryName(const std::string &name, const std::string &base)
{
    const std::string prefix = temporaryPrefix(base);
    if (name.size() != prefix.size() + suffixLength || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

// A store locks its temporary before the temporary has a name and keeps the
// lock until the rename: a temporary that can be locked was left by a store
// that died (between its link and its rename, or on a file system without
// unnamed files). Only such regular files of our own user go.
void removeStaleTemporaries(int dir, const std::string &base, std::vector<std::string> &removed)
{
    UniqueFd listed(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listed.valid())
        return;
    const UniqueDir scan(fdopendir(listed.get()));
    if (!scan)
        return;
    listed.release(); // the directory stream owns it now
    const uid_t self = geteuid();
    while (const struct dirent *entry = readdir(scan.get())) {
        const std::string name = entry->d_name;
        struct stat named, held;
        if (!isTemporaryName(name, base) || fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(named.st_mode) || named.st_uid != self)
            continue;
        const UniqueFd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fd.valid() || fstat(fd.get(), &held) != 0 || !sameFile(named, held) ||
            flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, held) &&
            unlinkat(dir, name.c_str(), 0) == 0)
            removed.push_back(name);
    }
}

// The new file's descriptor, locked: unnamed where the file system can make
// one (then a crash while it is written leaves nothing), else under a fresh
// temporary name in `named`. 0 or an errno value.
int createTemporary(int dir, const std::string &base, mode_t mode, UniqueFd &fd, std::string &named)
{
    fd = UniqueFd(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd.valid())
        return flock(fd.get(), LOCK_EX) == 0 ? 0 : errno;
    if (errno != EOPNOTSUPP && errno != EISDIR)
        return errno;
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        const std::string name = temporaryName(base);
        fd = UniqueFd(openat(dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd.valid()) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        if (flock(fd.get(), LOCK_EX) != 0) {
            const int error = errno;
            unlinkat(dir, name.c_str(), 0);
            return error;
        }
        // Another store's cleanup may have taken it before it was locked.
        struct stat held, still;
        if (fstat(fd.get(), &held) == 0 && fstatat(dir, name.c_str(), &still, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(held, still)) {
            named = name;
            return 0;
        }
    }
    fd.reset();
    return EEXIST;
}

// Gives the unnamed file a temporary name beside its final one.
int linkTemporary(int fd, int dir, const std::string &base, std::string &named)
{
    // Through procfs: linking the descriptor itself (AT_EMPTY_PATH) needs
    // CAP_DAC_READ_SEARCH, which the daemon's unit does not keep.
    const std::string byProcfs = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        const std::string name = temporaryName(base);
        int rc = linkat(AT_FDCWD, byProcfs.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW);
        if (rc != 0 && errno == ENOENT)
            rc = linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH);
        if (rc == 0) {
            named = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

} // namespace

StoredFile storeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, mode_t mode,
                               bool createDirectory)
{
    StoredFile result;
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (createDirectory && mkdir(directory.c_str(), directoryMode) != 0 && errno != EEXIST) {
        result.error = errno;
        return result;
    }
    const UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        result.error = errno;
        return result;
    }
    removeStaleTemporaries(dir.get(), base, result.removedTemporaries);

    // The lock on the temporary lasts as long as this descriptor: past the
    // rename.
    UniqueFd fd;
    std::string named;
    int error = createTemporary(dir.get(), base, mode, fd, named);
    if (error == 0 && (fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes.data(), bytes.size()) ||
                       fsync(fd.get()) != 0))
        error = errno;
    if (error == 0 && named.empty())
        error = linkTemporary(fd.get(), dir.get(), base, named);
    if (error == 0 && renameat(dir.get(), named.c_str(), dir.get(), base.c_str()) != 0)
        error = errno;
    if (error != 0) {
        if (!named.empty())
            unlinkat(dir.get(), named.c_str(), 0);
        result.error = error;
        return result;
    }
    // The new file is in place; the rename is durable once the directory is.
    if (fsync(dir.get()) != 0)
        result.directorySync = errno;
    return result;
}

} // namespace tavo_image
