// Selecting, reading and compiling policy files: the one path by which both
// the daemon and the checker turn files into the library's policy.
#ifndef TAVO_POLICY_LOADER_H
#define TAVO_POLICY_LOADER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <tavopolicysync/policy_records.h>

#include "sha256.h"

class ExpansionGate;
class FrontEnd;

// Results of one file.
enum FileResult : int {
    FileCompiled = 0,      // records handed to the library
    FileWithoutPolicy = 2, // empty, or no policy node; counts as success
    FileCompileError = 3,
    FileUnusable = -1, // unresolvable, outside the directory, unreadable, too large, not a regular file,
                       // or changed while it was read or before the run ended
};

// Results of a directory run besides a failing file's code and a negative
// code of the library's prepareWork.
enum DirectoryResult : int {
    DirectoryCompiled = 0,
    DirectoryWithoutPolicy = 1, // cannot be opened, or no policy file in it
    DirectoryClearFailed = 4,
    // The daemon's expansion gate refused the run (policy_manager.h): the
    // module would not take it, and the library holds nothing of it.
    DirectoryOverModuleLimits = 6,
};

// Largest policy file read, in bytes, unless a run sets a lower limit. A
// larger file is refused from its size before any read, and one that grows
// past it while it is read is refused too (FileUnusable).
constexpr size_t maxPolicyFileSize = size_t{256} << 20;

// Sees a file's records after they compiled and before the library takes them.
using CompiledHook = std::function<void(const std::string &name, const PolicyDb &db)>;

// A file as it was read and compiled.
struct CompiledSource {
    std::string name;
    uint64_t size = 0;
    Sha256Digest sha256{};
};

// Sees each file that counted as compiled (codes 0 and 2), with its exact
// bytes, once, right after its compile. The bytes are the hook's to keep
// (move) unless the run has `digests`, which take them after the hook: the
// run does not read them again.
using SourceHook = std::function<void(const CompiledSource &source, std::string &content)>;

// Digests the files of a run in place of the loader, for a caller with a
// thread to spare: the loader then hands each compiled file's bytes over
// after its compile, instead of digesting them before it on the compiling
// thread, and asks for the digest when it reads the file again.
class SourceDigests {
public:
    virtual ~SourceDigests() = default;
    // Takes a compiled file's bytes; the number returned asks for the digest.
    virtual size_t digest(std::string &&content) = 0;
    // Waits until the digest numbered `n` is made. One that could not be
    // made is all zeros: the file then no longer holds what was compiled.
    virtual Sha256Digest digestOf(size_t n) = 0;
};

struct PolicyDirectoryRun {
    std::string directory;
    // Canonical directory with a trailing "/"; files that resolve elsewhere
    // are refused. See canonicalDirectoryPrefix.
    std::string prefix;
    // The daemon stops at the first failing file; a checker may go on and
    // report every one.
    bool stopAtFirstFailure = true;
    CompiledHook onCompiled;
    SourceHook onSource;
    size_t fileSizeLimit = maxPolicyFileSize;
    // A pass that only reads ahead of a run (read_ahead.h): the library is
    // not asked to prepare.
    bool readAhead = false;
    // Asked before a file goes to the output (may be null): once it
    // refused, the run ends.
    ExpansionGate *gate = nullptr;
    // Called once the last file went to the output, before the files are
    // read again (may be empty): a caller may start on what follows the
    // run meanwhile, and drop it when the run fails.
    std::function<void()> beforeVerify;
    // Makes the files' digests (may be null). `onSource` then sees a source
    // whose digest is not made yet (all zeros), and so does a run that
    // ends before the files are read again.
    SourceDigests *digests = nullptr;
};

// The canonical form of `directory` plus "/", or `directory` itself plus
// "/" when it cannot be resolved.
std::string canonicalDirectoryPrefix(const std::string &directory);

// Whether a directory entry name is a policy file name (".p", ".policy").
bool isPolicyFileName(const std::string &name);

// Compiles one file's text and hands its records to the library. A text
// over the size limit is refused (FileUnusable). When memory runs out, the
// file fails (FileCompileError) and the library's policy is cleared. A
// file `gate` (may be null) refuses does not go to the output, whose policy
// is cleared. A text the caller lets change is scanned in place (see
// Scanner::InPlace) and holds the same bytes again on return; a const one is
// copied for the scanner.
int compilePolicyContent(FrontEnd &fe, const std::string &name, std::string &content,
                         const CompiledHook &onCompiled = {}, size_t fileSizeLimit = maxPolicyFileSize,
                         ExpansionGate *gate = nullptr);
int compilePolicyContent(FrontEnd &fe, const std::string &name, const std::string &content,
                         const CompiledHook &onCompiled = {}, size_t fileSizeLimit = maxPolicyFileSize,
                         ExpansionGate *gate = nullptr);

// Resolves, opens safely, reads and compiles one file. `name` is used in
// every message; an empty `prefix` disables the containment check. When
// memory runs out while the file is read, it fails (FileUnusable) and the
// library's policy is cleared. So does a file that no longer holds what was
// compiled once the compile is done.
int processPolicyFile(FrontEnd &fe, const std::string &path, const std::string &name, const std::string &prefix,
                      const CompiledHook &onCompiled = {}, size_t fileSizeLimit = maxPolicyFileSize,
                      const SourceHook &onSource = {});

// Compiles the policy files of one directory, in byte order of their names.
// After the last file every compiled file is read again: one that no longer
// holds exactly what was compiled (a write overlapped its read, and the
// compile may have seen a mix of two versions) fails the run with
// FileUnusable, and the library's policy is cleared. `sources` gets the
// files that counted as compiled, in that order (complete when the run
// succeeded).
int compilePolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, std::vector<CompiledSource> &sources);
int compilePolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run);

// A full run: clears the library's policy (and with `initFunctions` its
// function registrations), then compiles the directory.
int processPolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, bool initFunctions,
                           std::vector<CompiledSource> &sources);
int processPolicyDirectory(FrontEnd &fe, const PolicyDirectoryRun &run, bool initFunctions);

#endif
