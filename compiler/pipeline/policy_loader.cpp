#include "policy_loader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bounded_read.h"
#include "compile_log.h"
#include "front_end.h"
#include "parse_state.h"
#include "parser.h"
#include "policy_manager.h"
#include "rule_expansion.h"
#include "unique_fd.h"

namespace {

constexpr size_t maxPathLength = 4095;
// What the scanner skips between tokens (tavo.l).
const char skippedBlanks[] = " \t\r\n";

bool endsWith(const std::string &text, const char *suffix)
{
    const size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::string realPath(const std::string &path, int &error)
{
    char *resolved = realpath(path.c_str(), nullptr);
    if (!resolved) {
        error = errno;
        return std::string();
    }
    std::string result(resolved);
    free(resolved);
    return result;
}

// Opens a regular file for reading without following a final link and
// without opening anything else: a FIFO would block and a device node's
// open may act on the device, so the object is looked at before it is
// opened for reading, and checked again once it is.
UniqueFd openRegularFile(FrontEnd &fe, const std::string &path, const std::string &name, struct stat &after)
{
    const UniqueFd probe(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!probe.valid()) {
        COMPILE_ERROR(fe, "无法打开文件 %s: %s", name.c_str(), strerror(errno));
        return UniqueFd();
    }
    struct stat before;
    if (fstat(probe.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
        COMPILE_ERROR(fe, "路径 %s 不是常规文件", name.c_str());
        return UniqueFd();
    }

    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        COMPILE_ERROR(fe, "无法打开文件 %s: %s", name.c_str(), strerror(errno));
        return UniqueFd();
    }
    if (fstat(fd.get(), &after) != 0 || !S_ISREG(after.st_mode) || after.st_dev != before.st_dev ||
        after.st_ino != before.st_ino) {
        COMPILE_ERROR(fe, "路径 %s 不是常规文件", name.c_str());
        return UniqueFd();
    }
    return fd;
}

// Resolves `path`, keeps it inside `prefix` (unless empty) and opens it.
UniqueFd openPolicyFile(FrontEnd &fe, const std::string &path, const std::string &name, const std::string &prefix,
                        struct stat &st)
{
    int error = 0;
    const std::string resolved = realPath(path, error);
    if (resolved.empty()) {
        COMPILE_ERROR(fe, "无法解析文件 %s: %s", name.c_str(), strerror(error));
        return UniqueFd();
    }
    if (resolved.compare(0, prefix.size(), prefix) != 0) {
        COMPILE_ERROR(fe, "文件 %s 不在允许的策略目录内", name.c_str());
        return UniqueFd();
    }
    return openRegularFile(fe, resolved, name, st);
}

// A file edited in place while it was read (truncated, half written, then
// the rest) reads as a shorter or mixed text that may still compile: what
// was read must be what the file held from its open to the end of reading.
bool changedWhileRead(int fd, const struct stat &atOpen, size_t bytesRead)
{
    struct stat atEnd;
    if (fstat(fd, &atEnd) != 0)
        return true;
    return atEnd.st_size != atOpen.st_size || static_cast<unsigned long long>(atOpen.st_size) != bytesRead ||
           atEnd.st_mtim.tv_sec != atOpen.st_mtim.tv_sec || atEnd.st_mtim.tv_nsec != atOpen.st_mtim.tv_nsec;
}

void logTooLarge(FrontEnd &fe, const std::string &name, size_t fileSizeLimit)
{
    COMPILE_ERROR(fe, "###ERROR: 文件%s大小超过上限%zu字节，拒绝读取", name.c_str(), fileSizeLimit);
}

// Memory ran out while one file was read or compiled: that file fails, and
// since the library may hold part of its records, the library's policy is
// dropped with it. Memory is given back before anything is logged.
int failForMemory(FrontEnd &fe, const char *message, const std::string &name, int code)
{
    resetParseState(fe);
    fe.output().clearAllPolicy();
    COMPILE_ERROR(fe, message, name.c_str());
    return code;
}

int lineOfOffset(const std::string &content, size_t offset)
{
    return 1 + static_cast<int>(std::count(content.begin(), content.begin() + static_cast<long>(offset), '\n'));
}

// Names in byte order, so that every host compiles (and reports) the same.
bool listDirectory(DIR *dir, std::vector<std::string> &names)
{
    errno = 0;
    while (const struct dirent *entry = readdir(dir))
        names.emplace_back(entry->d_name);
    if (errno != 0)
        return false;
    std::sort(names.begin(), names.end());
    return true;
}

// Whether the file at `path` still holds exactly the bytes compiled from it.
bool stillHolds(FrontEnd &fe, const std::string &path, const std::string &prefix, const CompiledSource &source)
{
    struct stat st;
    const UniqueFd file = openPolicyFile(fe, path, source.name, prefix, st);
    if (!file.valid() || static_cast<uint64_t>(st.st_size) != source.size)
        return false;
    // Hashed as it comes: a file is not held twice.
    Sha256 hash;
    char chunk[boundedReadChunk];
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = read(file.get(), chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            COMPILE_ERROR(fe, "读取文件 %s 失败", source.name.c_str());
            return false;
        }
        total += static_cast<uint64_t>(n);
        if (total > source.size)
            return false;
        hash.update(chunk, static_cast<size_t>(n));
    }
    return total == source.size && hash.final() == source.sha256;
}

// A write that overlaps the end of a read leaves the size and the
// modification time as they were at the open, yet what was read may be a
// mix of two versions, and a restored time hides any write: only the
// content tells. A file that no longer holds what was compiled fails the
// run, and the library's policy, compiled partly from it, goes.
// `tickets` number the digests `run.digests` makes, one per source.
int verifySources(FrontEnd &fe, const PolicyDirectoryRun &run, std::vector<CompiledSource> &sources,
                  const std::vector<size_t> &tickets)
{
    int result = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
        CompiledSource &source = sources[i];
        // Asked file by file: the last file's is not waited for before the first is read.
        if (run.digests)
            source.sha256 = run.digests->digestOf(tickets[i]);
        if (stillHolds(fe, run.directory + "/" + source.name, run.prefix, source))
            continue;
        COMPILE_ERROR(fe, "###ERROR: 文件%s在读取过程中被修改，拒绝编译", source.name.c_str());
        COMPILE_ERROR(fe, "##ERROR: 处理策略文件 %s 失败，错误码 %d", source.name.c_str(), FileUnusable);
        result = FileUnusable;
        if (run.stopAtFirstFailure)
            break;
    }
    if (result != 0)
        fe.output().clearAllPolicy();
    return result;
}

// Resolves, opens, reads and compiles one file. For a file that counted
// as compiled, `source` tells what was read, and `onSource` has seen it;
// with `digests`, its bytes went there, and `ticket` asks for their digest.
int readAndCompile(FrontEnd &fe, const std::string &path, const std::string &name, const std::string &prefix,
                   const CompiledHook &onCompiled, const SourceHook &onSource, size_t fileSizeLimit,
                   CompiledSource &source, ExpansionGate *gate = nullptr, SourceDigests *digests = nullptr,
                   size_t *ticket = nullptr)
{
    struct stat st;
    const UniqueFd file = openPolicyFile(fe, path, name, prefix, st);
    if (!file.valid())
        return FileUnusable;
    const int fd = file.get();
    // Refused from its size before any read; the scanner could not take
    // more than 2 GiB anyway.
    if (static_cast<unsigned long long>(st.st_size) > fileSizeLimit) {
        logTooLarge(fe, name, fileSizeLimit);
        return FileUnusable;
    }
    std::string content;
    try {
        // With room for the scanner's two end bytes: it scans the text in place.
        content.reserve(static_cast<size_t>(st.st_size) + 2);
        const int read = readToLimit(fd, fileSizeLimit, content);
        if (read == EFBIG) {
            logTooLarge(fe, name, fileSizeLimit);
            return FileUnusable;
        }
        if (read != 0) {
            COMPILE_ERROR(fe, "读取文件 %s 失败", name.c_str());
            return FileUnusable;
        }
    } catch (const std::bad_alloc &) {
        content = std::string();
        return failForMemory(fe, "###ERROR: 读取文件%s时内存不足，已清除全部策略", name, FileUnusable);
    }
    if (changedWhileRead(fd, st, content.size())) {
        COMPILE_ERROR(fe, "###ERROR: 文件%s在读取过程中被修改，拒绝编译", name.c_str());
        return FileUnusable;
    }
    source.name = name;
    source.size = content.size();
    try {
        if (!digests)
            source.sha256 = Sha256::of(content);
    } catch (const std::bad_alloc &) {
        content = std::string();
        return failForMemory(fe, "###ERROR: 读取文件%s时内存不足，已清除全部策略", name, FileUnusable);
    }
    COMPILE_DEBUG(fe, "###INFO: 读取配置文件%s成功", name.c_str());

    const int result = compilePolicyContent(fe, name, content, onCompiled, fileSizeLimit, gate);
    if (result == FileWithoutPolicy)
        COMPILE_WARN(fe, "###WARN: 文件%s中有效策略数为0", name.c_str());
    else if (result == FileCompileError)
        COMPILE_ERROR(fe, "###ERROR: 策略文件%s解析失败", name.c_str());
    COMPILE_DEBUG(fe, "###INFO: 文件%s处理完成", name.c_str());
    if (result == FileCompiled || result == FileWithoutPolicy) {
        if (onSource)
            onSource(source, content);
        if (digests)
            *ticket = digests->digest(std::move(content));
    }
    return result;
}

} // namespace

std::string canonicalDirectoryPrefix(const std::string &directory)
{
    int error = 0;
    std::string prefix = realPath(directory, error);
    if (prefix.empty())
        prefix = directory;
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';
    return prefix;
}

bool isPolicyFileName(const std::string &name)
{
    return endsWith(name, ".p") || endsWith(name, ".policy");
}

namespace {

// `Text` is std::string, scanned in place, or const std::string, copied for
// the scanner.
template <typename Text>
int compileContent(FrontEnd &fe, const std::string &name, Text &content, const CompiledHook &onCompiled,
                   size_t fileSizeLimit, ExpansionGate *gate)
{
    if (content.empty()) {
        COMPILE_WARN(fe, "####WARN: 文件%s为空", name.c_str());
        return FileWithoutPolicy;
    }
    if (content.size() > fileSizeLimit) {
        logTooLarge(fe, name, fileSizeLimit);
        return FileUnusable;
    }
    // The grammar wants one statement at least; blanks and line ends, all
    // the scanner skips, hold no more than an empty file.
    if (content.find_first_not_of(skippedBlanks) == std::string::npos) {
        COMPILE_WARN(fe, "####WARN: 文件%s为空", name.c_str());
        return FileWithoutPolicy;
    }
    // The scanner reads a NUL-terminated text: a NUL byte would silently
    // end the file early.
    const size_t nul = content.find('\0');
    if (nul != std::string::npos) {
        COMPILE_ERROR(fe, "####ERROR: 文件%s第%d行含有NUL字节，拒绝编译", name.c_str(), lineOfOffset(content, nul));
        return FileCompileError;
    }

    try {
        if (compileText(fe, name, content) != 0) {
            COMPILE_ERROR(fe, "####ERROR: 文件%s中存在编译错误", name.c_str());
            return FileCompileError;
        }
        ParseState &s = fe.state();
        if (s.nodeCount == 0) {
            COMPILE_WARN(fe, "####ERROR: 文件%s中没有有效管控数据", name.c_str());
            return FileWithoutPolicy;
        }
        COMPILE_DEBUG(fe, "####INFO: 构造文件%s中的数据", name.c_str());
        if (onCompiled)
            onCompiled(name, expandFileNodes(s, s.fileRules, true));
        if (gate && !gate->admits(s.fileRules))
            // Files before this one went to the output already.
            fe.output().clearAllPolicy();
        else
            fe.output().addRules(name, s.fileRules);
        recycleFileNodes(fe);
        COMPILE_DEBUG(fe, "####INFO: 文件%s中的数据构造完成", name.c_str());
        return FileCompiled;
    } catch (const std::bad_alloc &) {
        return failForMemory(fe, "####ERROR: 编译文件%s时内存不足，已清除全部策略", name, FileCompileError);
    } catch (const std::length_error &) {
        return failForMemory(fe, "####ERROR: 编译文件%s时内存不足，已清除全部策略", name, FileCompileError);
    }
}

} // namespace

int compilePolicyContent(FrontEnd &fe, const std::string &name, std::string &content,
                         const CompiledHook &onCompiled, size_t fileSizeLimit, ExpansionGate *gate)
{
    return compileContent(fe, name, content, onCompiled, fileSizeLimit, gate);
}

int compilePolicyContent(FrontEnd &fe, const std::string &name, const std::string &content,
                         const CompiledHook &onCompiled, size_t fileSizeLimit, ExpansionGate *gate)
{
    return compileContent(fe, name, content, onCompiled, fileSizeLimit, gate);
}

int processPolicyFile(FrontEnd &fe, const std::string &path, const std::string &name, const std::string &prefix,
                      const CompiledHook &onCompiled, size_t fileSizeLimit, const SourceHook &onSource)
{
    CompiledSource source;
    const int result = readAndCompile(fe, path, name, prefix, onCompiled, onSource, fileSizeLimit, source);
    if (result != FileCompiled && result != FileWithoutPolicy)
        return result;
    bool holds;
    try {
        holds = stillHolds(fe, path, prefix, source);
    } catch (const std::bad_alloc &) {
        return failForMemory(fe, "###ERROR: 读取文件%s时内存不足，已清除全部策略", name, FileUnusable);
    }
    if (!holds) {
        COMPILE_ERROR(fe, "###ERROR: 文件%s在读取过程中被修改，拒绝编译", name.c_str());
        fe.output().clearAllPolicy();
        return FileUnusable;
    }
    return result;
}

namespace {

int compileDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, std::vector<CompiledSource> &sources)
{
    const UniqueDir dir(opendir(run.directory.c_str()));
    if (!dir) {
        COMPILE_ERROR(fe, "##ERROR: 无法打开策略目录 %s", run.directory.c_str());
        return DirectoryWithoutPolicy;
    }
    if (!run.readAhead)
        fe.output().beforeLibraryQuery();
    const int prepared = run.readAhead ? 0 : policyManager().prepareWork();
    if (prepared < 0)
        return prepared;

    std::vector<std::string> names;
    if (!listDirectory(dir.get(), names)) {
        COMPILE_ERROR(fe, "##ERROR: 无法打开策略目录 %s", run.directory.c_str());
        return DirectoryWithoutPolicy;
    }

    int firstFailure = 0;
    std::vector<size_t> tickets;
    for (const std::string &name : names) {
        if (name[0] == '.')
            continue;
        if (name.find('/') != std::string::npos || name.find("..") != std::string::npos) {
            COMPILE_WARN(fe, "跳过非法文件名: %s", name.c_str());
            continue;
        }
        // Every link is reported, whatever its name.
        struct stat st;
        if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            COMPILE_WARN(fe, "跳过目录内软链接文件: %s", name.c_str());
            continue;
        }
        if (!isPolicyFileName(name))
            continue;
        // A policy file that cannot even be named is a failure, not a
        // silent gap in the policy.
        const std::string path = run.directory + "/" + name;
        int result;
        CompiledSource source;
        size_t ticket = 0;
        if (path.size() > maxPathLength) {
            COMPILE_ERROR(fe, "路径过长，跳过文件 %s", name.c_str());
            result = FileUnusable;
        } else {
            result = readAndCompile(fe, path, name, run.prefix, run.onCompiled, run.onSource, run.fileSizeLimit, source,
                                    run.gate, run.digests, &ticket);
        }
        // Refused ahead: nothing of the run is compiled, so nothing more is read.
        if (run.gate && run.gate->refused())
            return DirectoryOverModuleLimits;
        if (result == FileCompiled || result == FileWithoutPolicy) {
            COMPILE_DEBUG(fe, "##INFO: 处理策略文件 %s 成功", name.c_str());
            sources.push_back(std::move(source));
            if (run.digests)
                tickets.push_back(ticket);
            continue;
        }
        COMPILE_ERROR(fe, "##ERROR: 处理策略文件 %s 失败，错误码 %d", name.c_str(), result);
        if (run.stopAtFirstFailure)
            return result;
        if (firstFailure == 0)
            firstFailure = result;
    }

    if (run.beforeVerify)
        run.beforeVerify();
    const int changed = verifySources(fe, run, sources, tickets);
    if (firstFailure != 0)
        return firstFailure;
    if (changed != 0)
        return changed;
    if (!sources.empty())
        return DirectoryCompiled;
    COMPILE_ERROR(fe, "##ERROR: 不存在.p或.policy结尾的策略文件，策略将不会下发");
    return DirectoryWithoutPolicy;
}

} // namespace

int compilePolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, std::vector<CompiledSource> &sources)
{
    sources.clear();
    // Each file's read and compile answer for their own memory; this is
    // for the walk around them (names, paths, the list of sources).
    try {
        return compileDirectory(fe, run, sources);
    } catch (const std::bad_alloc &) {
        sources = std::vector<CompiledSource>();
        resetParseState(fe);
        fe.output().clearAllPolicy();
        COMPILE_ERROR(fe, "##ERROR: 处理策略目录%s时内存不足，已清除全部策略", run.directory.c_str());
        return FileUnusable;
    }
}

int compilePolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run)
{
    std::vector<CompiledSource> sources;
    return compilePolicyDirectory(fe, run, sources);
}

int processPolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, bool initFunctions,
                           std::vector<CompiledSource> &sources)
{
    sources.clear();
    if (fe.output().clearAllPolicy() != 0) {
        COMPILE_ERROR(fe, "##ERROR: 策略清除失败");
        return DirectoryClearFailed;
    }
    COMPILE_INFO(fe, "##INFO: 策略清除完成");
    if (initFunctions)
        fe.output().initNamespaceFuncInfo();
    return compilePolicyDirectory(fe, run, sources);
}

int processPolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, bool initFunctions)
{
    std::vector<CompiledSource> sources;
    return processPolicyDirectory(fe, run, initFunctions, sources);
}
