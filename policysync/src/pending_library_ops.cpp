// TEMPORARY: minimal definitions of the delivery-side calls that the init
// command links against, until the library's own delivery code lands; this
// file is dropped then.
#include "tavopolicysync/policy_module_manager.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tavopolicysync/log.h"

namespace {
const char initImage[] = "/var/lib/tavo/init-policy.bin";
const char policyFile[] = "/sys/kernel/security/tavo/policy";
} // namespace

int validate_mount_point(const std::string &value, const std::string &label)
{
    if (value.empty())
        return 0;
    struct stat st;
    if (value[0] != '/' || stat(value.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        writeLog("pending_library_ops.cpp", __LINE__, TAVO_LOG_ERROR, "%s is not a directory: %s", label.c_str(),
                 value.c_str());
        return -1;
    }
    return 0;
}

int PolicyModuleManagerInterface::sendInitPolicy(std::string prefix)
{
    std::ifstream in(prefix + initImage, std::ios::binary);
    if (!in)
        return ENOENT;
    const std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int fd = open(policyFile, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = 0;
    if (write(fd, image.data(), image.size()) < 0)
        result = errno;
    if (close(fd) != 0 && result == 0)
        result = errno;
    return result;
}
