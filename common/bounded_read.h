// Reading a whole file with a bound, for every file a caller or another
// process can fill: policy files, the initial image, the records of what
// is in force.
#ifndef TAVO_BOUNDED_READ_H
#define TAVO_BOUNDED_READ_H

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

constexpr size_t boundedReadChunk = 64 * 1024;

// Appends what `fd` holds up to its end to `out`, but never more than
// `limit` + 1 bytes: a file that grows past the limit while it is read is
// refused (EFBIG), not read until memory runs out. 0, or an errno.
template <typename Bytes>
int readToLimit(int fd, uint64_t limit, Bytes &out)
{
    char chunk[boundedReadChunk];
    for (;;) {
        const uint64_t room = limit + 1 - out.size();
        const ssize_t n = read(fd, chunk, static_cast<size_t>(std::min<uint64_t>(sizeof chunk, room)));
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        out.insert(out.end(), chunk, chunk + n);
        if (out.size() > limit)
            return EFBIG;
    }
}

// Reads the regular file at `path` (no final link followed, nothing that
// could block opened) into `out`. A file over `limit` bytes is refused
// from its size before any read (EFBIG); anything else than a regular file
// is EINVAL. 0, or an errno.
template <typename Bytes>
int readRegularFile(const std::string &path, uint64_t limit, Bytes &out)
{
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    if (static_cast<uint64_t>(st.st_size) > limit)
        return EFBIG;
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    return readToLimit(fd.get(), limit, out);
}

#endif
