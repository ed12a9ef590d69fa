#include "policy_image.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

namespace tavo_image {

namespace {

constexpr mode_t directoryMode = 0755;

bool writeAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int storeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, mode_t mode,
                        bool createDirectory)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (createDirectory && mkdir(directory.c_str(), directoryMode) != 0 && errno != EEXIST)
        return errno;
    std::string temporary = path + ".XXXXXX";
    UniqueFd fd(mkostemp(&temporary[0], O_CLOEXEC));
    if (!fd.valid())
        return errno;
    int error = 0;
    if (fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes.data(), bytes.size()) || fsync(fd.get()) != 0)
        error = errno;
    if (error == 0 && fd.close() != 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    // The rename is durable once the directory is.
    const UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return errno;
    return fsync(dir.get()) == 0 ? 0 : errno;
}

} // namespace tavo_image
