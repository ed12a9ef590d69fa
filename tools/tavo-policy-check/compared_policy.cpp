#include "compared_policy.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <sys/stat.h>

#include "front_end.h"
#include "pipelined_output.h"

namespace {

bool isDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool succeeded(int result)
{
    return result == FileCompiled || result == FileWithoutPolicy;
}

// Hands a compile's rules to the comparer's pipeline, and nothing else:
// the identity output it ends in takes the rules only, so the library's
// tables the parse fills on the way need not cross to the second thread.
class RulesOnward final : public RulesOnlyOutput {
public:
    explicit RulesOnward(PolicyOutput &next) : next_(next) {}
    // Whose rules went over last.
    std::string lastFile;

    int clearAllPolicy() override { return next_.clearAllPolicy(); }
    int initNamespaceFuncInfo() override { return next_.initNamespaceFuncInfo(); }
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override
    {
        lastFile = fileName;
        next_.addRules(fileName, rules);
    }

private:
    PolicyOutput &next_;
};

} // namespace

int compileGivenPaths(FrontEnd &fe, const std::vector<std::string> &paths, const CompiledHook &onCompiled,
                      const SourceHook &onSource, const std::function<void()> &beforeLastVerify,
                      SourceDigests *digests)
{
    int firstFailure = 0;
    for (const std::string &path : paths) {
        int result;
        if (isDirectory(path)) {
            PolicyDirectoryRun run;
            run.directory = path;
            run.prefix = canonicalDirectoryPrefix(path);
            run.stopAtFirstFailure = false;
            run.onCompiled = onCompiled;
            run.onSource = onSource;
            run.digests = digests;
            if (&path == &paths.back())
                run.beforeVerify = beforeLastVerify;
            result = compilePolicyDirectory(fe, run);
        } else {
            // A file named on the command line is taken whatever its name.
            result = processPolicyFile(fe, path, path, std::string(), onCompiled, maxPolicyFileSize, onSource);
        }
        if (!succeeded(result) && firstFailure == 0)
            firstFailure = result;
    }
    return firstFailure;
}

PolicyComparer::PolicyComparer()
{
    output_.builder().setRuleHook([this](const std::string &file, const FileRule &rule, std::string_view bytes) {
        ComparedRule r;
        r.digest = Sha256::of(bytes.data(), bytes.size());
        r.nsName = rule.shared.namespaceName;
        r.section = rule.shared.sectionName;
        r.firstLine = rule.firstLine;
        r.lastLine = rule.lastLine;
        // A file's rules come together: its entry is looked up once.
        if (!currentFile_ || currentFileName_ != file) {
            currentFile_ = &current_->files[file];
            currentFileName_ = file;
        }
        currentFile_->rules.push_back(std::move(r));
    });
}

PolicyComparer::~PolicyComparer() = default;

void PolicyComparer::start(ComparedPolicy &out)
{
    out = ComparedPolicy();
    current_ = &out;
    currentFile_ = nullptr;
    duplicate_.clear();
    output_.clearAllPolicy();
}

const std::string &PolicyComparer::attachText(PipelinedOutput &pipelined, const std::string &name,
                                              const std::string &content)
{
    texts_.push_back(content);
    const std::string *text = &texts_.back();
    // The file's entry and rules are the second thread's until the end:
    // its rules are there once this runs after them.
    pipelined.post([this, file = baseName(name), text] {
        auto found = current_->files.find(file);
        if (found == current_->files.end())
            found = current_->files.emplace(file, ComparedFile()).first;
        ComparedFile &compared = found->second;
        if (compared.text) {
            duplicate_ = file;
            return;
        }
        compared.text = text;
        for (ComparedRule &r : compared.rules)
            r.text = text;
    });
    return *text;
}

int PolicyComparer::finishCompile(PipelinedOutput &pipelined, int result, const std::string &lastFile,
                                  std::string &problem)
{
    try {
        pipelined.finish();
        return result;
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    // Only the last file's rules can fail here: an earlier file's failed
    // the file after it.
    if (result != 0)
        return result;
    problem = "out of memory while comparing the rules" + (lastFile.empty() ? std::string() : " of " + lastFile);
    return FileCompileError;
}

int PolicyComparer::compilePaths(const std::vector<std::string> &paths, ComparedPolicy &out, std::string &problem)
{
    start(out);
    PipelinedOutput pipelined(output_);
    RulesOnward rules(pipelined);
    FrontEnd frontEnd(rules);
    const SourceHook attach = [this, &frontEnd, &pipelined](const CompiledSource &source, const std::string &content) {
        const std::string &kept = attachText(pipelined, source.name, content);
        if (fileHook_)
            fileHook_(source.name, kept, frontEnd.state());
    };
    int firstFailure = compileGivenPaths(frontEnd, paths, {}, attach);
    firstFailure = finishCompile(pipelined, firstFailure, rules.lastFile, problem);
    out.groups = output_.identity().groups();
    if (firstFailure == 0 && !duplicate_.empty()) {
        problem = "two candidate files are named " + duplicate_;
        return FileUnusable;
    }
    return firstFailure;
}

int PolicyComparer::compileSources(const std::vector<RecordSource> &sources,
                                   const std::map<Sha256Digest, std::string> &bytes, ComparedPolicy &out,
                                   std::string &problem)
{
    start(out);
    PipelinedOutput pipelined(output_);
    RulesOnward rules(pipelined);
    FrontEnd frontEnd(rules);
    for (const RecordSource &s : sources) {
        const auto found = bytes.find(s.blob);
        if (found == bytes.end()) {
            problem = "the recorded source " + s.name + " is missing";
            return finishCompile(pipelined, FileUnusable, rules.lastFile, problem);
        }
        const int result = compilePolicyContent(frontEnd, s.name, found->second);
        if (!succeeded(result)) {
            problem = "the recorded source " + s.name + " no longer compiles (" + std::to_string(result) + ")";
            return finishCompile(pipelined, result, rules.lastFile, problem);
        }
        if (fileHook_)
            fileHook_(s.name, found->second, frontEnd.state());
        attachText(pipelined, s.name, found->second);
    }
    const std::string last = rules.lastFile.empty() ? std::string() : "the recorded source " + rules.lastFile;
    if (const int rc = finishCompile(pipelined, 0, last, problem))
        return rc;
    out.groups = output_.identity().groups();
    return 0;
}

int compileRecordedPolicy(PolicyComparer &comparer, const PolicyRecord &record,
                          const std::map<Sha256Digest, std::string> &bytes, ComparedPolicy &out, std::string &problem)
{
    if (const int rc = comparer.compileSources(record.delivery.sources, bytes, out, problem))
        return rc;
    for (const RecordedPolicy &update : record.sections) {
        ComparedPolicy delivered;
        if (const int rc = comparer.compileSources(update.sources, bytes, delivered, problem))
            return rc;
        const auto inSection = [&update](const ComparedRule &r) {
            return r.nsName == update.nsName && r.section == update.section;
        };
        for (auto &entry : out.files) {
            std::vector<ComparedRule> &rules = entry.second.rules;
            rules.erase(std::remove_if(rules.begin(), rules.end(), inSection), rules.end());
        }
        for (const auto &entry : delivered.files) {
            for (const ComparedRule &r : entry.second.rules) {
                if (inSection(r))
                    out.files[entry.first].rules.push_back(r);
            }
        }
        applySectionUpdate(out.groups, update.nsName, update.section, delivered.groups);
    }
    return 0;
}
