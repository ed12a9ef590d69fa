#include "policy_image.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_replace.h"

namespace tavo_image {

namespace {

constexpr mode_t directoryMode = 0755;

} // namespace

int storeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, mode_t mode,
                        bool createDirectory)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (createDirectory && mkdir(directory.c_str(), directoryMode) != 0 && errno != EEXIST)
        return errno;
    // Beside the file, named after it: the library recognises what an
    // interrupted store left (removeStaleTemporaries).
    return replaceFileAtomically(path, path + ".XXXXXX", bytes.data(), bytes.size(), mode, true);
}

} // namespace tavo_image
