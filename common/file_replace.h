// Replacing a small file whole, so that a reader sees the old file or the
// new one and a crash leaves one of them (the records of what is in force,
// the checker's status file).
#ifndef TAVO_FILE_REPLACE_H
#define TAVO_FILE_REPLACE_H

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

// Writes all `size` bytes, going on after a short write or EINTR.
inline bool writeAll(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Puts `size` bytes in a new file made from `temporaryTemplate` (ending in
// "XXXXXX", in the directory of `path`), gives it `mode`, lets `prepare`
// see it, and renames it over `path`; with `durable` the file and then the
// directory are synced, so the rename outlives a crash. 0 or an errno; on
// failure the temporary is removed and `path` is as it was.
inline int replaceFileAtomically(const std::string &path, std::string temporaryTemplate, const void *data,
                                 size_t size, mode_t mode, bool durable,
                                 const std::function<void(int fd)> &prepare = {})
{
    UniqueFd fd(mkostemp(&temporaryTemplate[0], O_CLOEXEC));
    if (!fd.valid())
        return errno;
    int error = 0;
    if (fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), data, size))
        error = errno;
    // Before the sync, so that what `prepare` sets (an ACL) is synced too.
    if (error == 0 && prepare)
        prepare(fd.get());
    if (error == 0 && durable && fsync(fd.get()) != 0)
        error = errno;
    if (error == 0 && fd.close() != 0)
        error = errno;
    if (error == 0 && rename(temporaryTemplate.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporaryTemplate.c_str());
        return error;
    }
    if (!durable)
        return 0;
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return errno;
    return fsync(dir.get()) == 0 ? 0 : errno;
}

#endif
