#include "in_force.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <unistd.h>

#include "compared_policy.h"
#include "declarations.h"
#include "record_store.h"
#include "report_text.h"
#include "shared_constants.h"

namespace {

const char programName[] = "tavo-policy-check";

// One rule that is in one policy and not the other.
struct Change {
    const ComparedRule *rule = nullptr;
    bool added = false;
    std::string file;
    std::string movedWith; // the other file, for a rule moved between files
};

struct FileDifference {
    std::string name;
    std::string renamedFrom;
    bool reordered = false;
    std::vector<Change> changes;
};

struct Difference {
    std::vector<FileDifference> files;
    size_t removed = 0;
    size_t added = 0;
    size_t moved = 0;
};

using DigestCount = std::map<Sha256Digest, size_t>;

DigestCount countRules(const ComparedFile *file)
{
    DigestCount count;
    if (file) {
        for (const ComparedRule &r : file->rules)
            ++count[r.digest];
    }
    return count;
}

// The rules of `from` beyond as many of each as `other` has: the later
// ones, so that a rule written twice loses its second copy.
std::vector<const ComparedRule *> beyond(const ComparedFile *from, const DigestCount &other)
{
    std::vector<const ComparedRule *> out;
    if (!from)
        return out;
    DigestCount seen;
    for (auto it = from->rules.rbegin(); it != from->rules.rend(); ++it) {
        const auto found = other.find(it->digest);
        const size_t keep = found == other.end() ? 0 : found->second;
        if (++seen[it->digest] > keep)
            out.push_back(&*it);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

bool sameRules(const ComparedFile *a, const ComparedFile *b)
{
    return a && b && a->rules.size() == b->rules.size() &&
           std::equal(a->rules.begin(), a->rules.end(), b->rules.begin(),
                      [](const ComparedRule &x, const ComparedRule &y) { return x.digest == y.digest; });
}

std::vector<Sha256Digest> sortedDigests(const ComparedFile &file)
{
    std::vector<Sha256Digest> d;
    for (const ComparedRule &r : file.rules)
        d.push_back(r.digest);
    std::sort(d.begin(), d.end());
    return d;
}

std::vector<RuleGroup> groupsOf(const std::vector<RuleGroup> &groups, const std::string &file)
{
    std::vector<RuleGroup> out;
    for (const RuleGroup &g : groups) {
        if (g.file == file)
            out.push_back(g);
    }
    std::sort(out.begin(), out.end(), groupBefore);
    return out;
}

bool sameGroups(const std::vector<RuleGroup> &a, const std::vector<RuleGroup> &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const RuleGroup &x, const RuleGroup &y) {
               return x.nsName == y.nsName && x.section == y.section && x.digest == y.digest;
           });
}

int lineOf(const Change &c)
{
    return c.rule->firstLine;
}

Difference compare(const ComparedPolicy &inForce, const ComparedPolicy &candidate)
{
    std::set<std::string> names;
    for (const auto &f : inForce.files)
        names.insert(f.first);
    for (const auto &f : candidate.files)
        names.insert(f.first);
    const auto fileIn = [](const ComparedPolicy &p, const std::string &name) -> const ComparedFile * {
        const auto found = p.files.find(name);
        return found == p.files.end() ? nullptr : &found->second;
    };

    // A file gone and another come with the same rules is a rename.
    std::map<std::string, std::string> renamedTo;
    std::map<std::string, std::string> renamedFrom;
    std::map<std::string, std::vector<Sha256Digest>> come;
    for (const auto &f : candidate.files) {
        if (!fileIn(inForce, f.first) && !f.second.rules.empty())
            come[f.first] = sortedDigests(f.second);
    }
    for (const auto &f : inForce.files) {
        if (f.second.rules.empty() || fileIn(candidate, f.first))
            continue;
        const std::vector<Sha256Digest> rules = sortedDigests(f.second);
        for (auto it = come.begin(); it != come.end(); ++it) {
            if (it->second != rules)
                continue;
            renamedTo[f.first] = it->first;
            renamedFrom[it->first] = f.first;
            come.erase(it);
            break;
        }
    }

    Difference diff;
    std::map<std::string, FileDifference> byName;
    for (const std::string &name : names) {
        if (renamedTo.count(name))
            continue;
        const ComparedFile *old = fileIn(inForce, name);
        const ComparedFile *now = fileIn(candidate, name);
        FileDifference fd;
        fd.name = name;
        if (renamedFrom.count(name)) {
            fd.renamedFrom = renamedFrom[name];
            old = fileIn(inForce, fd.renamedFrom);
        }
        // Most files are as they were: the same rules in the same order
        // leave nothing beyond either side, found without counting.
        if (!sameRules(old, now)) {
            for (const ComparedRule *r : beyond(old, countRules(now)))
                fd.changes.push_back(Change{r, false, name, std::string()});
            for (const ComparedRule *r : beyond(now, countRules(old)))
                fd.changes.push_back(Change{r, true, name, std::string()});
        }
        if (fd.changes.empty() && fd.renamedFrom.empty())
            fd.reordered = !sameGroups(groupsOf(inForce.groups, name), groupsOf(candidate.groups, name));
        if (!fd.changes.empty() || fd.reordered || !fd.renamedFrom.empty())
            byName[name] = std::move(fd);
    }

    // A rule gone from one file and come to another, the same, moved.
    std::map<Sha256Digest, std::vector<Change *>> comeTo;
    for (auto &entry : byName) {
        for (Change &c : entry.second.changes) {
            if (c.added)
                comeTo[c.rule->digest].push_back(&c);
        }
    }
    for (auto &entry : byName) {
        for (Change &c : entry.second.changes) {
            if (c.added)
                continue;
            std::vector<Change *> &candidates = comeTo[c.rule->digest];
            const auto elsewhere = std::find_if(candidates.begin(), candidates.end(),
                                                [&c](const Change *o) { return o->file != c.file; });
            if (elsewhere == candidates.end())
                continue;
            c.movedWith = (*elsewhere)->file;
            (*elsewhere)->movedWith = c.file;
            candidates.erase(elsewhere);
            ++diff.moved;
        }
    }

    for (auto &entry : byName) {
        FileDifference &fd = entry.second;
        std::stable_sort(fd.changes.begin(), fd.changes.end(), [](const Change &a, const Change &b) {
            return lineOf(a) != lineOf(b) ? lineOf(a) < lineOf(b) : !a.added && b.added;
        });
        for (const Change &c : fd.changes)
            ++(c.added ? diff.added : diff.removed);
        diff.files.push_back(std::move(fd));
    }
    return diff;
}

// The lines a rule stands on in its file; where each line of a file starts
// is found once per file.
std::vector<std::string> ruleLines(const ComparedRule &rule)
{
    static std::map<const std::string *, std::vector<size_t>> lineStarts;
    std::vector<std::string> lines;
    if (!rule.text)
        return lines;
    const std::string &text = *rule.text;
    std::vector<size_t> &starts = lineStarts[rule.text];
    if (starts.empty()) {
        starts.push_back(0);
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
            starts.push_back(at + 1);
    }
    for (int line = rule.firstLine; line <= rule.lastLine; ++line) {
        if (line < 1 || static_cast<size_t>(line) > starts.size())
            break;
        const size_t start = starts[static_cast<size_t>(line) - 1];
        const size_t end = static_cast<size_t>(line) < starts.size() ? starts[static_cast<size_t>(line)] - 1
                                                                       : text.size();
        std::string l = text.substr(start, end - start);
        while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t'))
            l.pop_back();
        lines.push_back(std::move(l));
    }
    return lines;
}

std::string describeInForce(const PolicyRecord &record)
{
    if (record.changing)
        return "a change began and its outcome was not recorded: " + describePendingChange(*record.changing) +
               ", " + describeStep(record.delivery.delivered);
    if (!record.delivery.delivered.present())
        return std::string(kindName(record.delivery.kind)) + " policy";
    return std::string(kindName(record.delivery.kind)) + " policy, " + describeStep(record.delivery.delivered);
}

// The rules the candidate has that the policy in force has not.
std::vector<ChangedRule> addedRules(const Difference &diff)
{
    std::vector<ChangedRule> out;
    for (const FileDifference &fd : diff.files) {
        for (const Change &c : fd.changes) {
            if (!c.added)
                continue;
            std::string text;
            for (const std::string &l : ruleLines(*c.rule))
                text += (text.empty() ? "" : "\n") + l;
            out.push_back(ChangedRule{fd.name, c.rule->firstLine, text});
        }
    }
    return out;
}

void printText(const PolicyRecord &record, const Sha256Digest &recorded, const Sha256Digest &candidate,
               const std::vector<std::string> &paths, const std::vector<std::string> &drift, const Difference &diff,
               const DeclarationReport &declarations)
{
    std::string out = "in force:  " + digestToHex(recorded) + " (" + describeInForce(record) + ")\n";
    for (const RecordedPolicy &u : record.sections)
        out += "           section update in force: " + safeText(u.nsName) + "/" + safeText(u.section) + " (" +
               describeStep(u.delivered) + ")\n";
    std::string where;
    for (const std::string &p : paths)
        where += (where.empty() ? "" : " ") + safeText(p);
    out += "candidate: " + digestToHex(candidate) + " (" + where + ")\n";
    for (const std::string &g : drift)
        out += "note: the recorded " + safeText(g) +
               " compiles today to other rules than were delivered (user accounts or the library's tables "
               "changed since); shown as compiled today\n";
    for (const FileDifference &fd : diff.files) {
        out += '\n';
        if (!fd.renamedFrom.empty())
            out += safeText(fd.renamedFrom) + " -> " + safeText(fd.name) +
                   (fd.changes.empty() ? ": renamed, the same rules\n" : ": renamed\n");
        else if (fd.reordered)
            out += safeText(fd.name) + ": the same rules in another order\n";
        else
            out += safeText(fd.name) + '\n';
        for (const Change &c : fd.changes) {
            const std::vector<std::string> lines = ruleLines(*c.rule);
            const char mark = c.added ? '+' : '-';
            for (size_t i = 0; i < lines.size(); ++i) {
                char number[32];
                snprintf(number, sizeof number, "%c %d: ", i == 0 ? mark : ' ', c.rule->firstLine + static_cast<int>(i));
                out += number + safeText(lines[i]);
                if (i == 0 && !c.movedWith.empty())
                    out += std::string(c.added ? "  (moved from " : "  (moved to ") + safeText(c.movedWith) + ")";
                out += '\n';
            }
        }
    }
    out += declarationText(declarations);
    out += '\n';
    if (recorded == candidate) {
        out += "the candidate is the policy in force\n";
    } else {
        size_t renamed = 0, reordered = 0;
        for (const FileDifference &fd : diff.files) {
            renamed += !fd.renamedFrom.empty();
            reordered += fd.reordered;
        }
        out += std::to_string(diff.removed) + " rule(s) removed, " + std::to_string(diff.added) + " added (" +
               std::to_string(diff.moved) + " moved between files), " + std::to_string(renamed) +
               " file(s) renamed, " + std::to_string(reordered) + " reordered\n";
    }
    fwrite(out.data(), 1, out.size(), stdout);
}

JsonDocument changeJson(const Change &c)
{
    JsonDocument out;
    out["line"] = c.rule->firstLine;
    out["lastLine"] = c.rule->lastLine;
    out["namespace"] = jsonText(c.rule->nsName);
    out["section"] = jsonText(c.rule->section);
    std::string text;
    for (const std::string &l : ruleLines(*c.rule))
        text += (text.empty() ? "" : "\n") + l;
    out["text"] = jsonText(text);
    out[c.added ? "movedFrom" : "movedTo"] = c.movedWith.empty() ? nullptr : jsonText(c.movedWith);
    return out;
}

void printJson(const PolicyRecord &record, const Sha256Digest &recorded, const Sha256Digest &candidate,
               const std::vector<std::string> &paths, const std::vector<std::string> &drift, const Difference &diff,
               const DeclarationReport &declarations)
{
    JsonDocument out;
    out["same"] = recorded == candidate;
    JsonDocument &inForce = out["inForce"];
    inForce["identity"] = digestToHex(recorded);
    inForce["kind"] = kindName(record.delivery.kind);
    inForce["delivered"] = stepJson(record.delivery.delivered);
    inForce["sectionUpdates"] = sectionUpdatesJson(record.sections);
    JsonDocument &candidateJson = out["candidate"];
    candidateJson["identity"] = digestToHex(candidate);
    candidateJson["paths"] = textsJson(paths);
    out["recompiledDiffers"] = textsJson(drift);
    JsonDocument &files = out["files"] = JsonDocument::array();
    for (const FileDifference &fd : diff.files) {
        JsonDocument file;
        file["file"] = jsonText(fd.name);
        file["renamedFrom"] = fd.renamedFrom.empty() ? nullptr : jsonText(fd.renamedFrom);
        file["reordered"] = fd.reordered;
        for (const bool added : {false, true}) {
            JsonDocument &changes = file[added ? "added" : "removed"] = JsonDocument::array();
            for (const Change &c : fd.changes)
                if (c.added == added)
                    changes.push_back(changeJson(c));
        }
        files.push_back(std::move(file));
    }
    addDeclarationJson(out, declarations);
    const std::string text = dumpJson(out);
    fwrite(text.data(), 1, text.size(), stdout);
}

// Groups whose recorded digest today's compile of the same sources does not
// give again ("file (namespace/section)").
std::vector<std::string> driftedGroups(const PolicyRecord &record, const std::vector<RuleGroup> &recompiled)
{
    std::vector<RuleGroup> recorded;
    record.effectiveGroups(recorded);
    std::sort(recorded.begin(), recorded.end(), groupBefore);
    std::vector<RuleGroup> today = recompiled;
    std::sort(today.begin(), today.end(), groupBefore);
    std::vector<RuleGroup> differing;
    std::set_symmetric_difference(recorded.begin(), recorded.end(), today.begin(), today.end(),
                                  std::back_inserter(differing), groupBefore);
    std::set<std::string> names;
    for (const RuleGroup &g : differing)
        names.insert(g.file + " (" + g.nsName + "/" + g.section + ")");
    return std::vector<std::string>(names.begin(), names.end());
}

int complain(int status, const std::string &message)
{
    fprintf(stderr, "%s: %s\n", programName, safeText(message).c_str());
    return status;
}

} // namespace

int runInForce(const InForceOptions &options)
{
    const RecordStore store(inForceRecordDirectory, false);
    PolicyRecord record;
    std::map<Sha256Digest, std::string> bytes;
    std::string problem;
    switch (store.readWithSources(record, bytes, problem)) {
    case 0: break;
    case ENOENT:
        return complain(InForceNothingKnown, std::string("nothing is recorded as in force in ") +
                                                 inForceRecordDirectory +
                                                 " (no delivery through tavo-policyd or tavo-main-policy-init "
                                                 "since boot, or one whose record could not be written)");
    case EACCES:
        return complain(InForceNotAllowed, std::string("the policy sources in ") + inForceRecordDirectory +
                                               " are readable by root and " + securityAdministrator +
                                               " only (" + problem + "); tavo-policy-check --status shows what "
                                                                     "is in force");
    default: return complain(InForceTrouble, std::string("cannot use ") + inForceRecordDirectory + ": " + problem);
    }
    const std::optional<Sha256Digest> recorded = record.identity();
    if (!recorded)
        return complain(InForceNothingKnown, "the record does not know the policy in force (" +
                                                 describeInForce(record) + ")");

    PolicyComparer comparer;
    // The declarations are read while each file compiles for the compare.
    PolicyVariables inForceVariables, candidateVariables;
    PolicyVariables *variables = &inForceVariables;
    comparer.setFileHook([&variables](const std::string &name, const std::string &text, const ParseState &state) {
        takeVariables(name, text, state, *variables);
    });
    ComparedPolicy inForce;
    if (compileRecordedPolicy(comparer, record, bytes, inForce, problem) != 0)
        return complain(InForceTrouble, problem);
    const std::vector<std::string> drift = driftedGroups(record, inForce.groups);

    ComparedPolicy candidate;
    problem.clear();
    variables = &candidateVariables;
    if (const int rc = comparer.compilePaths(options.paths, candidate, problem))
        return complain(InForceTrouble, "the candidate policy does not compile (" + std::to_string(rc) + ")" +
                                            (problem.empty() ? std::string() : ": " + problem) +
                                            "; it could not be delivered");
    const Sha256Digest candidateIdentity = policyIdentity(candidate.groups);

    const Difference diff = compare(inForce, candidate);
    const DeclarationReport declarations =
        compareDeclarations(record, inForceVariables, candidateVariables, addedRules(diff));
    if (options.json)
        printJson(record, *recorded, candidateIdentity, options.paths, drift, diff, declarations);
    else
        printText(record, *recorded, candidateIdentity, options.paths, drift, diff, declarations);
    if (fflush(stdout) != 0)
        return complain(InForceTrouble, "cannot write the report");
    return *recorded == candidateIdentity ? InForceSame : InForceDiffers;
}
