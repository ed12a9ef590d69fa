// Policies compiled to be compared rule by rule: the candidate files, and
// the sources a record of what is in force keeps. Both go through the same
// front end, as the daemon compiles them.
#ifndef TAVO_COMPARED_POLICY_H
#define TAVO_COMPARED_POLICY_H

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "identity_output.h"
#include "policy_loader.h"
#include "record_format.h"

class FrontEnd;
class PipelinedOutput;
struct ParseState;

// One rule by its canonical form's digest, and where its text is.
struct ComparedRule {
    Sha256Digest digest{};
    std::string nsName;
    std::string section;
    int firstLine = 0;
    int lastLine = 0;
    const std::string *text = nullptr; // the whole file it stands in
};

struct ComparedFile {
    std::vector<ComparedRule> rules;
    const std::string *text = nullptr;
};

struct ComparedPolicy {
    // By base name; files that compiled to no rule are here too.
    std::map<std::string, ComparedFile> files;
    std::vector<RuleGroup> groups;
};

// Compiles the policy files and directories the checker is given, as the
// checker does: a directory like the policy directory, a file whatever its
// name, every one even after a failure. 0 or the first failure's code.
// When the last path is a directory, `beforeLastVerify` (may be empty) is
// its PolicyDirectoryRun::beforeVerify. `digests` (may be null) makes
// every directory's file digests.
int compileGivenPaths(FrontEnd &fe, const std::vector<std::string> &paths, const CompiledHook &onCompiled,
                      const SourceHook &onSource, const std::function<void()> &beforeLastVerify = {},
                      SourceDigests *digests = nullptr);

class PolicyComparer {
public:
    PolicyComparer();
    ~PolicyComparer();

    // Sees each file right after it compiled, while the parse state is
    // still its own, with its text (kept as long as the comparer or the
    // recorded bytes).
    // `state`: the parse state after the file.
    using FileHook = std::function<void(const std::string &name, const std::string &text, const ParseState &state)>;
    void setFileHook(FileHook hook) { fileHook_ = std::move(hook); }

    // Compiles policy files and directories as the checker does. Returns
    // 0 or the first failure's code (as the checker's), with `problem` set
    // for what is not a compile failure the log shows (two files of one
    // name).
    int compilePaths(const std::vector<std::string> &paths, ComparedPolicy &out, std::string &problem);
    // Compiles a recorded policy's sources. 0 or the first failing file's
    // code (then `problem` names it).
    int compileSources(const std::vector<RecordSource> &sources, const std::map<Sha256Digest, std::string> &bytes,
                       ComparedPolicy &out, std::string &problem);

private:
    void start(ComparedPolicy &out);
    // Keeps a compiled file's text, and has `pipelined` point the file's
    // rules at it after they went over.
    const std::string &attachText(PipelinedOutput &pipelined, const std::string &name, const std::string &content);
    // Ends the compile's second thread: `result`, or a failure when the
    // last file's rules (`lastFile`'s, named in `problem`) could not be
    // taken.
    int finishCompile(PipelinedOutput &pipelined, int result, const std::string &lastFile, std::string &problem);

    IdentityOutput output_;
    // From here to duplicate_: the compile's second thread's until it ends.
    ComparedPolicy *current_ = nullptr;
    // The entry of current_ the last rule went to.
    ComparedFile *currentFile_ = nullptr;
    std::string currentFileName_;
    std::string duplicate_;
    std::deque<std::string> texts_;
    FileHook fileHook_;
};

// The policy in force from a record: its delivery, then each section update
// in turn replacing that section's rules.
int compileRecordedPolicy(PolicyComparer &comparer, const PolicyRecord &record,
                          const std::map<Sha256Digest, std::string> &bytes, ComparedPolicy &out, std::string &problem);

#endif
