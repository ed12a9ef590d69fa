// tavo-policy-check: compiles policy files exactly as the policy daemon
// does, without D-Bus and without touching the kernel, so that a policy can
// be validated before anything loads it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <getopt.h>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <tavopolicysync/log.h>

#include "compared_policy.h"
#include "exit_status.h"
#include "front_end.h"
#include "halved_compile.h"
#include "huge_pages.h"
#include "identity_output.h"
#include "image_output.h"
#include "in_force.h"
#include "json_lines.h"
#include "lint.h"
#include "misuse.h"
#include "pipelined_output.h"
#include "policy_compiler.h"
#include "policy_loader.h"
#include "policy_manager.h"
#include "shared_constants.h"
#include "status.h"

namespace {

const char programName[] = "tavo-policy-check";
constexpr int exitUsage = 64;
constexpr size_t jsonFlushBytes = 64 * 1024;
constexpr int exitCompileFailed = 5;
constexpr int exitImageNotWritten = 74;
// --strict: everything compiled, but with warnings.
constexpr int exitWarnings = 6;
constexpr mode_t imageFileMode = 0644;
// Long options without a short one.
enum : int { optionInForce = 256, optionStatus, optionPrometheus, optionOutput, optionStrict, optionVersion };

const char usageText[] =
    "Usage: tavo-policy-check [--json] [--quiet] [--strict] [--image FILE] [PATH ...]\n"
    "       tavo-policy-check --in-force [--json] [PATH ...]\n"
    "       tavo-policy-check --status [--json | --prometheus] [--output FILE]\n"
    "Compile tavo policy files as the policy daemon does, without loading them;\n"
    "compare them with the policy in force; show what is in force.\n"
    "\n"
    "  PATH          a policy file, or a directory whose .p and .policy files are\n"
    "                compiled in byte order of their names (default: /etc/tavo/policy)\n"
    "  --json        print every policy node as one JSON object per line (with\n"
    "                --in-force or --status: the report as one JSON object)\n"
    "  --quiet       log only errors and warnings\n"
    "  --strict      exit with status 6 when every file compiled but with warnings\n"
    "  --image FILE  write the compiled policy image to FILE (replaced atomically)\n"
    "  --in-force    print, rule by rule, how PATH differs from the policy in force\n"
    "  --status      print what is in force, and whether the policy directory and\n"
    "                the stored initial image hold it\n"
    "  --prometheus  the status in the Prometheus text format\n"
    "  --output FILE write the status to FILE (replaced atomically)\n"
    "  -h, --help    show this text and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Log lines go to standard error, and so do warnings, as FILE:LINE: warning:\n"
    "TEXT (with --json also as objects with a \"warning\" member on standard\n"
    "output). Every file is checked; when all compiled,\n"
    "they are compiled into one policy image by the stand-in policy-sync\n"
    "library's own image code, and the last two lines are \"identity DIGEST\",\n"
    "the policy identity, and \"stand-in image sha256 DIGEST\", the digest of that\n"
    "image. The exit status is 0 on success, else the code of the first failure:\n"
    "3 compile errors, 255 a file that cannot be resolved, opened or read, 1 no\n"
    "policy file, 5 the image code refused the policy, 74 the image could not be\n"
    "written, 6 warnings with --strict. --in-force exits 0 when PATH is the\n"
    "policy in force, 1 when it differs, 2 when either cannot be compiled, 4 when\n"
    "nothing is known to be in force, 77 when the recorded sources may not be read.\n";

// The policy-sync library holds every record until the process ends; on a
// large policy set freeing them one by one takes longer than the compile,
// so the kernel takes them back in one go. Sanitizer builds exit normally,
// so their leak check still runs.
[[noreturn]] void finish(int status)
{
#ifdef TAVO_SANITIZED_HEAP
    exit(status);
#else
    fflush(stdout);
    fflush(stderr);
    _exit(status);
#endif
}

constexpr tavo_image::ImageKind imageKind = tavo_image::ImageKind::Full;

// Reports the image, writes it with --image, and reports its digest last.
int reportImage(int result, const tavo_image::BuiltImage &built, const std::string &compileError,
                const std::string &imagePath, const Sha256Digest &identity)
{
    std::string error;
    if (result != 0) {
        TAVO_ERROR("policy compile failed: %s", compileError.c_str());
        return exitCompileFailed;
    }
    TAVO_INFO("%s", tavo_image::compiledImageSummary(imageKind, built).c_str());
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
    fprintf(stderr, "identity %s\nstand-in image sha256 %s\n", digestToHex(identity).c_str(),
            tavo_image::digestHex(built.digest).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool json = false;
    bool quiet = false;
    bool inForce = false;
    bool status = false;
    bool prometheus = false;
    bool strict = false;
    std::string statusFile;
    const struct option options[] = {
        {"json", no_argument, nullptr, 'j'},
        {"quiet", no_argument, nullptr, 'q'},
        {"image", required_argument, nullptr, 'i'},
        {"in-force", no_argument, nullptr, optionInForce},
        {"status", no_argument, nullptr, optionStatus},
        {"prometheus", no_argument, nullptr, optionPrometheus},
        {"output", required_argument, nullptr, optionOutput},
        {"strict", no_argument, nullptr, optionStrict},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optionVersion},
        {nullptr, 0, nullptr, 0},
    };
    std::string imagePath;
    int opt;
    while ((opt = getopt_long(argc, argv, "jqi:h", options, nullptr)) != -1) {
        switch (opt) {
        case 'j': json = true; break;
        case 'q': quiet = true; break;
        case 'i': imagePath = optarg; break;
        case optionInForce: inForce = true; break;
        case optionStatus: status = true; break;
        case optionPrometheus: prometheus = true; break;
        case optionOutput: statusFile = optarg; break;
        case optionStrict: strict = true; break;
        case 'h': fputs(usageText, stdout); return 0;
        case optionVersion: printf("%s %s\n", programName, TAVO_VERSION); return 0;
        default: fprintf(stderr, "Try '%s --help' for more information.\n", programName); return exitUsage;
        }
    }
    std::vector<std::string> paths(argv + optind, argv + argc);
    const std::string wrong = misuse(inForce, status, !imagePath.empty(), json, prometheus, !statusFile.empty(),
                                     strict, !paths.empty());
    if (!wrong.empty()) {
        fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName, wrong.c_str(), programName);
        return exitUsage;
    }
    if (paths.empty())
        paths.emplace_back(policyDirectoryPath);

    if (status || inForce) {
        // What the reports compile logs its errors (and, for a comparison
        // an administrator reads, its warnings) only.
        setLogToStderr(programName, status ? TAVO_LOG_ERROR : TAVO_LOG_WARNING);
        if (status) {
            StatusOptions o;
            o.format = prometheus ? ReportFormat::Prometheus : json ? ReportFormat::Json : ReportFormat::Text;
            o.output = statusFile;
            o.policyDirectory = policyDirectoryPath;
            finish(runStatus(o));
        }
        InForceOptions o;
        o.paths = paths;
        o.json = json;
        finish(runInForce(o));
    }

    setLogToStderr(programName, quiet ? TAVO_LOG_WARNING : TAVO_LOG_DEBUG);
    if (!quiet)
        enableDebugLog();

    static ImageOutput output{tavo_image::LargeBlocks::HugePages};
    // Each file's identity and encoding are done on a second core while
    // the next file is read and parsed; the linter, which writes lines,
    // stays on this thread.
    static IdentityOutput identity(&output, IdentityOutput::Hashing::Inline);
    static PipelinedOutput pipelined(identity);
    pipelined.afterFile = adviseHeapGrowth;
    // So are the digests that prove, at the end, that no file changed.
    static PipelinedDigests digests(pipelined);
    static Linter linter(json);
    static LintedOutput linted(pipelined, linter);
    static FrontEnd frontEnd(linted);
    backHeapByHugePages();

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

    // The image is built on the second core once the last file is encoded,
    // while this thread reads every file again to verify it, then checks
    // the image's rules; it is only reported when the run succeeded.
    // Without --image only the digest is needed: the bytes are hashed as
    // they are made, never held.
    static tavo_image::HalvedCompile image(imageKind);
    static bool imageStarted = false;
    const bool digestOnly = imagePath.empty();
    const std::function<void()> startImage = [digestOnly] {
        pipelined.postWork([digestOnly] { image.build(output.compiler, digestOnly); });
        pipelined.post([] { image.end(); });
        pipelined.flush();
        imageStarted = true;
    };
    int firstFailure = compileLintedPaths(frontEnd, paths, printNodes, linter, startImage, &digests);
    if (firstFailure == 0 && imageStarted)
        image.validateBeside(output.compiler);
    // Only the last file's encoding can fail here: an earlier one's failed
    // the file compiled after it.
    const auto outOfMemory = [&firstFailure] {
        TAVO_ERROR("policy compile failed: %s", "out of memory");
        if (firstFailure == 0)
            firstFailure = FileCompileError;
    };
    try {
        pipelined.finish();
    } catch (const std::bad_alloc &) {
        outOfMemory();
    } catch (const std::length_error &) {
        outOfMemory();
    }

    const Sha256Digest policy = identity.identity().identity();
    identity.endFiles();
    if (firstFailure == 0) {
        tavo_image::BuiltImage built;
        std::string error;
        const int result = image.result(output.compiler, digestOnly, built, error);
        firstFailure = reportImage(result, built, error, imagePath, policy);
    }

    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror(programName);
        if (firstFailure == 0)
            firstFailure = -1;
    }
    if (strict && firstFailure == 0 && linter.count() > 0)
        finish(exitWarnings);
    finish(exitStatusFor(firstFailure));
}
