// tavo-policy-check: compiles policy files exactly as the policy daemon
// does, without D-Bus and without touching the kernel, so that a policy can
// be validated before anything loads it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <tavopolicysync/log.h>

#include "exit_status.h"
#include "huge_pages.h"
#include "image_output.h"
#include "json_lines.h"
#include "policy_compiler.h"
#include "policy_loader.h"
#include "policy_manager.h"

namespace {

const char programName[] = "tavo-policy-check";
const char defaultPolicyDirectory[] = "/etc/tavo/policy";
constexpr int exitUsage = 64;
constexpr size_t jsonFlushBytes = 64 * 1024;
constexpr int exitCompileFailed = 5;
constexpr int exitImageNotWritten = 74;
constexpr mode_t imageFileMode = 0644;

const char usageText[] =
    "Usage: tavo-policy-check [--json] [--quiet] [--image FILE] [PATH ...]\n"
    "Compile tavo policy files as the policy daemon does, without loading them.\n"
    "\n"
    "  PATH          a policy file, or a directory whose .p and .policy files are\n"
    "                compiled in byte order of their names (default: /etc/tavo/policy)\n"
    "  --json        print every policy node as one JSON object per line\n"
    "  --quiet       log only errors and warnings\n"
    "  --image FILE  write the compiled policy image to FILE (replaced atomically)\n"
    "  -h, --help    show this text and exit\n"
    "\n"
    "Log lines go to standard error. Every file is checked; when all compiled,\n"
    "the policy-sync library compiles them into one policy image and the last\n"
    "line is \"sha256 DIGEST\" of that image. The exit status is 0 on success,\n"
    "else the code of the first failure: 3 compile errors, 255 a file that\n"
    "cannot be resolved, opened or read, 1 no policy file, 5 the library refused\n"
    "the policy, 74 the image could not be written.\n";

bool isDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool succeeded(int result)
{
    return result == FileCompiled || result == FileWithoutPolicy;
}

// The policy-sync library holds every record until the process ends; on a
// large policy set freeing them one by one takes longer than the compile,
// so the kernel takes them back in one go. Sanitizer builds exit normally,
// so their leak check still runs.
[[noreturn]] void finish(int status)
{
#ifdef TAVO_SANITIZED_HEAP
    exit(status);
#else
    fflush(stderr);
    _exit(status);
#endif
}

// Compiles everything added into one image, as the library does after the
// files, and reports the image's digest last.
int compileImage(tavo_image::PolicyCompiler &compiler, const std::string &imagePath)
{
    constexpr tavo_image::ImageKind kind = tavo_image::ImageKind::Full;
    tavo_image::BuiltImage built;
    std::string error;
    // Without --image only the digest is needed: the bytes are hashed as
    // they are made, never held.
    if (compiler.compile(kind, std::string(), std::string(), built, error, imagePath.empty()) != 0) {
        TAVO_ERROR("policy compile failed: %s", error.c_str());
        return exitCompileFailed;
    }
    TAVO_INFO("%s", tavo_image::compiledImageSummary(kind, built).c_str());
    if (!imagePath.empty()) {
        if (tavo_image::checkImage(built.bytes.data(), built.bytes.size(), error) != 0) {
            fprintf(stderr, "%s: the compiled image does not decode: %s\n", programName, error.c_str());
            return exitCompileFailed;
        }
        const tavo_image::StoredFile stored =
            tavo_image::storeFileAtomically(imagePath, built.bytes, imageFileMode, false);
        if (stored.error != 0) {
            fprintf(stderr, "%s: cannot write %s: %s\n", programName, imagePath.c_str(), strerror(stored.error));
            return exitImageNotWritten;
        }
        if (stored.directorySync != 0)
            fprintf(stderr, "%s: warning: %s is written, but its directory could not be synced (%s): a crash may "
                    "bring back the previous file\n", programName, imagePath.c_str(), strerror(stored.directorySync));
    }
    fprintf(stderr, "sha256 %s\n", tavo_image::digestHex(built.digest).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool json = false;
    bool quiet = false;
    const struct option options[] = {
        {"json", no_argument, nullptr, 'j'},
        {"quiet", no_argument, nullptr, 'q'},
        {"image", required_argument, nullptr, 'i'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::string imagePath;
    int opt;
    while ((opt = getopt_long(argc, argv, "jqi:h", options, nullptr)) != -1) {
        switch (opt) {
        case 'j': json = true; break;
        case 'q': quiet = true; break;
        case 'i': imagePath = optarg; break;
        case 'h': fputs(usageText, stdout); return 0;
        default: fputs(usageText, stderr); return exitUsage;
        }
    }

    setLogToStderr(programName, quiet ? TAVO_LOG_WARNING : TAVO_LOG_DEBUG);
    if (!quiet)
        enableDebugLog();

    static ImageOutput output;
    output.afterFile = adviseHeapGrowth;
    setPolicyOutput(&output);
    backHeapByHugePages();

    std::vector<std::string> paths(argv + optind, argv + argc);
    if (paths.empty())
        paths.emplace_back(defaultPolicyDirectory);

    // Written as it is made, a few nodes at a time: a file's whole output
    // is never held at once.
    std::string out;
    CompiledHook printNodes;
    if (json) {
        printNodes = [&out](const std::string &name, const PolicyDb &db) {
            out.clear();
            for (const PolicyNode &node : db.nodes) {
                appendNodeJson(out, name, node);
                if (out.size() >= jsonFlushBytes) {
                    fwrite(out.data(), 1, out.size(), stdout);
                    out.clear();
                }
            }
            fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        };
    }

    int firstFailure = 0;
    for (const std::string &path : paths) {
        int result;
        if (isDirectory(path)) {
            PolicyDirectoryRun run;
            run.directory = path;
            run.prefix = canonicalDirectoryPrefix(path);
            run.stopAtFirstFailure = false;
            run.onCompiled = printNodes;
            result = compilePolicyDirectory(run);
        } else {
            // A file named on the command line is taken whatever its name.
            result = processPolicyFile(path, path, std::string(), printNodes);
        }
        if (!succeeded(result) && firstFailure == 0)
            firstFailure = result;
    }

    if (firstFailure == 0)
        firstFailure = compileImage(output.compiler, imagePath);

    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror(programName);
        if (firstFailure == 0)
            firstFailure = -1;
    }
    finish(exitStatusFor(firstFailure));
}
