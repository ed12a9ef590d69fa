// The checker's warnings: what compiles, and loads, but the language itself
// makes certain is a mistake. Never about which permission or function
// names exist: those are the module's to say.
#ifndef TAVO_LINT_H
#define TAVO_LINT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "policy_loader.h"
#include "policy_manager.h"

class FrontEnd;

// Collects and prints warnings: "FILE:LINE: warning: TEXT" on standard
// error (without ":LINE" for a directory entry, which has no lines), and
// with --json also one object per warning on standard output,
// {"warning":KIND,"file":...,"line":N|null,"message":TEXT}, beside the
// nodes (which have no "warning" member).
class Linter {
public:
    explicit Linter(bool json) : json_(json) {}

    size_t count() const { return count_; }

    // Entries of a policy directory that a compile does not take.
    void checkDirectory(const std::string &directory);
    // One file's rules, as the front end hands them over.
    void checkRules(const std::string &name, const std::vector<FileRule> &rules);
    // One file once it compiled; reads what the parse state holds at its end.
    void checkCompiledFile(const std::string &name, const std::string &content, const ParseState &state);

    // The directory the files being compiled are named in ("" for a file
    // named on the command line), for the paths the warnings show.
    void setDirectory(const std::string &directory) { directory_ = directory; }

private:
    std::string pathOf(const std::string &name) const;
    void warn(const char *kind, const std::string &path, int line, const std::string &message);

    bool json_;
    size_t count_ = 0;
    std::string directory_;
    // Scene name -> path of the first file that declared it.
    std::map<std::string, std::string> scenes_;
    // checkRules' scratch, kept from file to file: a table of the latest
    // rule of each rough digest, each rule's digest, the rule before it
    // with the same digest, and the first rule equal to it.
    std::vector<uint32_t> latestOf_;
    std::vector<uint64_t> digestOf_;
    std::vector<uint32_t> earlier_;
    std::vector<uint32_t> firstOf_;
};

// Passes everything on to `next`, letting the linter see each file's rules
// first.
class LintedOutput : public PolicyOutput {
public:
    LintedOutput(PolicyOutput &next, Linter &linter) : next_(next), linter_(linter) {}
    int clearAllPolicy() override { return next_.clearAllPolicy(); }
    int initNamespaceFuncInfo() override { return next_.initNamespaceFuncInfo(); }
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override;
    void setNamespaceInfo(std::string nsName) override { next_.setNamespaceInfo(std::move(nsName)); }
    void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                              const std::string &funcName) override
    {
        next_.setNamespaceFuncInfo(nsName, moduleName, funcName);
    }
    void setUidInfo(const std::string &userName, uint32_t uid) override { next_.setUidInfo(userName, uid); }
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override
    {
        next_.setFileToGetLabelMap(kind, name);
    }
    void addToKmodVec(std::string name) override { next_.addToKmodVec(std::move(name)); }
    void addToDeviceVec(std::string name) override { next_.addToDeviceVec(std::move(name)); }

private:
    PolicyOutput &next_;
    Linter &linter_;
};

// compileGivenPaths, with the linter looking at every directory and file.
int compileLintedPaths(FrontEnd &fe, const std::vector<std::string> &paths, const CompiledHook &onCompiled,
                       Linter &linter, const std::function<void()> &beforeLastVerify = {},
                       SourceDigests *digests = nullptr);

// Why a directory entry of this name and kind is not compiled, or "" when
// it is. `isDirectory`, `isLink`: what lstat says of it.
std::string whyNotCompiled(const std::string &name, bool isDirectory, bool isLink);

#endif
