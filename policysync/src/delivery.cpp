// Delivery to the tavo kernel module: the last compiled image, the initial
// image stored on disk, and changes of dynamic variables. The module's
// answers are Linux errno values and are passed on unchanged; see
// docs/kernel-interface.md.
#include "compiled_policy.h"
#include "manager_impl.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bounded_read.h"
#include "image_limits.h"
#include "unique_fd.h"
#include <tavopolicysync/log.h>

namespace {

// Results of our own, in the module's own terms.
constexpr int resultUnreadable = EIO;     // 5: the data stream could not be obtained
constexpr int resultInvalid = EINVAL;     // 22: bad format or unusable name
constexpr int resultOutOfOrder = EPROTO;  // 71: nothing compiled to deliver

// One request to a module file: open, one write(2), close(2). The module
// answers through write(2) or, for what it can only judge once it holds
// everything, through close(2); the first errno wins. A short write
// without an errno means the module did not take the whole stream.
int writeToModule(const char *path, const void *data, size_t size)
{
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.valid()) {
        const int error = errno;
        TAVO_ERROR("cannot open %s: %s", path, strerror(error));
        return error;
    }
    int result = 0;
    bool shortWrite = false;
    const ssize_t written = write(fd.get(), data, size);
    if (written < 0)
        result = errno;
    else if (static_cast<size_t>(written) != size)
        shortWrite = true;
    if (fd.close() != 0 && result == 0)
        result = errno;
    if (result == 0 && shortWrite) {
        TAVO_ERROR("%s took %zd of %zu bytes", path, written, size);
        result = resultUnreadable;
    }
    return result;
}

// Names travel as lines: a line feed or NUL would change what the module
// reads.
bool usableName(const std::string &name)
{
    return !name.empty() && name.find('\n') == std::string::npos && name.find('\0') == std::string::npos;
}

int sendInitImage(const std::string &prefix)
{
    const std::string path = prefix + initPolicyPath;
    std::vector<uint8_t> image;
    if (path.find('\0') != std::string::npos) {
        TAVO_ERROR("sendInitPolicy: the prefix holds a NUL byte");
        return resultUnreadable;
    }
    const int read = readRegularFile(path, tavo_image::maxImageBytes, image);
    if (read == EFBIG) {
        TAVO_ERROR("sendInitPolicy: %s is larger than any policy image (%" PRIu64 " bytes at most); not read",
                   path.c_str(), tavo_image::maxImageBytes);
        return resultInvalid;
    }
    if (read != 0) {
        TAVO_ERROR("sendInitPolicy: cannot read %s: %s", path.c_str(), strerror(read));
        return resultUnreadable;
    }
    // Checked without decoding: memory and time in proportion to the file.
    tavo_image::ImageSummary summary;
    std::string problem;
    if (tavo_image::checkImage(image.data(), image.size(), summary, problem) != 0) {
        TAVO_ERROR("sendInitPolicy: %s is damaged: %s", path.c_str(), problem.c_str());
        return resultInvalid;
    }
    if (summary.kind != tavo_image::ImageKind::Initial) {
        TAVO_ERROR("sendInitPolicy: %s is not an initial policy image", path.c_str());
        return resultInvalid;
    }
    const std::string digest = tavo_image::digestHex(summary.digest);
    const int rc = writeToModule(modulePolicyFile, image.data(), image.size());
    if (rc != 0) {
        TAVO_ERROR("sendInitPolicy: the module refused initial image %s from %s: error %d (%s)", digest.c_str(),
                   path.c_str(), rc, strerror(rc));
        return rc;
    }
    TAVO_INFO("sendInitPolicy: delivered initial image %s from %s (%zu nodes)", digest.c_str(), path.c_str(),
              summary.nodeCount);
    return 0;
}

int sendCompiledImage(const CompiledPolicy &compiled)
{
    // An empty image is a failed or missing compile: delivering anything
    // now could replace the policy in force with a stale or broken one.
    if (compiled.image.empty()) {
        TAVO_ERROR("sendPolicy: no successful compile since the last clear; nothing delivered");
        return resultOutOfOrder;
    }
    const std::string digest = tavo_image::digestHex(compiled.digest);
    const int rc = writeToModule(modulePolicyFile, compiled.image.data(), compiled.image.size());
    if (rc != 0) {
        TAVO_ERROR("sendPolicy: the module refused image %s (%zu bytes, %zu nodes): error %d (%s)", digest.c_str(),
                   compiled.image.size(), compiled.nodeCount, rc, strerror(rc));
        return rc;
    }
    TAVO_INFO("sendPolicy: delivered image %s (%zu bytes, %zu nodes)", digest.c_str(), compiled.image.size(),
              compiled.nodeCount);
    return 0;
}

int changeDynamicVariable(const std::string &nsName, const std::string &varName, uint32_t value)
{
    if (!usableName(nsName) || !usableName(varName)) {
        TAVO_ERROR("modifyDynamicVariable: namespace or variable name is empty or holds a line feed or NUL");
        return resultInvalid;
    }
    // The module judges the variable: it holds the policy in force, which
    // outlives this process and every compile since (22 unknown, 71 none).
    const std::string request = nsName + '\n' + varName + '\n' + std::to_string(value) + '\n';
    const int rc = writeToModule(moduleDynamicFile, request.data(), request.size());
    if (rc != 0) {
        TAVO_ERROR("modifyDynamicVariable: the module refused %s:%s = %u: error %d (%s)", nsName.c_str(),
                   varName.c_str(), value, rc, strerror(rc));
        return rc;
    }
    TAVO_INFO("modifyDynamicVariable: %s:%s = %u", nsName.c_str(), varName.c_str(), value);
    return 0;
}

} // namespace

int PolicyModuleManagerInterface::sendPolicy()
{
    Impl &impl = *d;
    return answerOutOfMemory("sendPolicy", [this, &impl] {
        impl.record("sendPolicy");
        return sendCompiledImage(lastCompiled(*this));
    });
}

int PolicyModuleManagerInterface::sendInitPolicy(std::string prefix)
{
    // Early boot may be short of memory: running out is a result, never an
    // abort of the command.
    Impl &impl = *d;
    return answerOutOfMemory("sendInitPolicy", [&] {
        impl.record("sendInitPolicy", prefix);
        return sendInitImage(prefix);
    });
}

int PolicyModuleManagerInterface::modifyDynamicVariable(std::string nsName, std::string varName, uint32_t value,
                                                        bool flag)
{
    // Every change takes effect in the module at once; the daemon always
    // passes true and there is no deferred mode to select.
    (void)flag;
    Impl &impl = *d;
    return answerOutOfMemory("modifyDynamicVariable", [&] {
        impl.record("modifyDynamicVariable", nsName, varName, value);
        return changeDynamicVariable(nsName, varName, value);
    });
}
