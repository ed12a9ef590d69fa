#include "lint.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <regex>
#include <sys/stat.h>
#include <utility>

#include "code_lines.h"
#include "compared_policy.h"
#include "front_end.h"
#include "json_lines.h"
#include "parse_state.h"

namespace {

const char blanks[] = " \t\r\n";

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Edit distance with adjacent transpositions ("polciy" is one from "policy").
size_t editDistance(const std::string &a, const std::string &b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The policy suffix a name's own suffix is a slip of, or "".
std::string nearMissOf(const std::string &name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return std::string();
    std::string suffix = name.substr(dot + 1);
    for (char &c : suffix)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == "p")
        return ".p";
    const std::string policy = "policy";
    if (editDistance(suffix, policy) <= 2 || (suffix.size() >= 3 && policy.compare(0, suffix.size(), suffix) == 0))
        return ".policy";
    return std::string();
}

bool isRelativePath(const std::string &name)
{
    return !name.empty() && name[0] != '/' && name.find('/') != std::string::npos;
}

// A cheap digest of what tells rules apart most often (a string by its
// length and last bytes, where paths differ); equal digests are then
// compared in full. Every rule is digested, so it must cost next to nothing.
uint64_t roughDigest(const FileRule &rule)
{
    uint64_t d = rule.shared.action * 31u + rule.uids.size() * 7u + rule.permissions.size();
    const auto mix = [&d](uint64_t v) { d = (d ^ v) * 1099511628211ull; };
    const auto mixText = [&mix](const std::string &s) {
        // One load of the last eight bytes; a shorter text byte by byte. A
        // copy of fewer bytes into the word would be read back before its
        // parts could be forwarded: a stall on every rule.
        uint64_t tail = 0;
        if (s.size() >= sizeof tail) {
            memcpy(&tail, s.data() + s.size() - sizeof tail, sizeof tail);
        } else {
            for (const char c : s)
                tail = tail << 8 | static_cast<unsigned char>(c);
        }
        mix(tail);
        mix(s.size());
    };
    mixText(rule.shared.objectType);
    mixText(rule.shared.sectionName);
    if (!rule.shared.subjectNames.empty())
        mixText(rule.shared.subjectNames.front());
    if (!rule.shared.objectNames.empty())
        mixText(rule.shared.objectNames.front());
    if (!rule.permissions.empty())
        mixText(rule.permissions.front());
    if (!rule.uids.empty())
        mix(rule.uids.front());
    mix(rule.shared.conditions.size());
    mix(rule.shared.priority);
    return d;
}

bool sameFileRule(const FileRule &a, const FileRule &b)
{
    return a.uids == b.uids && a.permissions == b.permissions && sameRule(a.shared, b.shared);
}

} // namespace

std::string whyNotCompiled(const std::string &name, bool isDirectory, bool isLink)
{
    if (name == "." || name == "..")
        return std::string();
    const bool policyName = isPolicyFileName(name);
    if (isLink)
        return "not compiled: symbolic links in the policy directory are skipped";
    if (name[0] == '.')
        return policyName ? "not compiled: names beginning with a dot are skipped" : std::string();
    if (name.find("..") != std::string::npos)
        return "not compiled: names containing \"..\" are skipped";
    if (policyName)
        return std::string(); // a directory of such a name fails the compile itself
    if (isDirectory)
        return "not compiled: directories below the policy directory are not read";
    const std::string nearMiss = nearMissOf(name);
    if (!nearMiss.empty())
        return "not compiled: its suffix is a near miss of " + nearMiss + "; only .p and .policy are compiled";
    return "not compiled: only names ending in .p or .policy are compiled";
}

void Linter::warn(const char *kind, const std::string &path, int line, const std::string &message)
{
    ++count_;
    if (line > 0)
        fprintf(stderr, "%s:%d: warning: %s\n", path.c_str(), line, message.c_str());
    else
        fprintf(stderr, "%s: warning: %s\n", path.c_str(), message.c_str());
    if (!json_)
        return;
    std::string out = "{\"warning\":";
    appendJsonString(out, kind);
    out += ",\"file\":";
    appendJsonString(out, path);
    out += ",\"line\":";
    out += line > 0 ? std::to_string(line) : "null";
    out += ",\"message\":";
    appendJsonString(out, message);
    out += "}\n";
    fwrite(out.data(), 1, out.size(), stdout);
}

std::string Linter::pathOf(const std::string &name) const
{
    if (directory_.empty())
        return name;
    return directory_ + (endsWith(directory_, "/") ? "" : "/") + name;
}

void Linter::checkDirectory(const std::string &directory)
{
    DIR *dir = opendir(directory.c_str());
    if (!dir)
        return; // the compile says why
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir))
        names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    setDirectory(directory);
    for (const std::string &name : names) {
        struct stat st;
        const std::string path = pathOf(name);
        if (lstat(path.c_str(), &st) != 0)
            continue;
        const std::string why = whyNotCompiled(name, S_ISDIR(st.st_mode), S_ISLNK(st.st_mode));
        if (!why.empty())
            warn("not-compiled", path, 0, why);
    }
}

void Linter::checkRules(const std::string &name, const std::vector<FileRule> &rules)
{
    const std::string path = pathOf(name);
    // Each rule against the earlier rules of its rough digest, found
    // through a table rather than by sorting: the first equal one in file
    // order is the one it repeats.
    constexpr uint32_t none = UINT32_MAX;
    size_t slots = 16;
    while (slots < 2 * rules.size())
        slots *= 2;
    latestOf_.assign(slots, none);
    digestOf_.resize(rules.size());
    earlier_.resize(rules.size());
    firstOf_.resize(rules.size());
    std::vector<std::pair<size_t, size_t>> repeats; // (repeat, first), in file order
    for (size_t i = 0; i < rules.size(); ++i) {
        const FileRule &rule = rules[i];
        const PolicyNode &shared = rule.shared;
        for (const std::string &subject : shared.subjectNames) {
            if (isRelativePath(subject))
                warn("relative-path", path, rule.firstLine,
                     "subject \"" + subject + "\" is a relative path: it is taken as a name, not a file");
        }
        for (const std::string &object : shared.objectNames) {
            if (isRelativePath(object))
                warn("relative-path", path, rule.firstLine,
                     "object \"" + object + "\" is a relative path: it is taken as a name, not a file");
        }
        const std::vector<std::string> &permissions = rule.permissions;
        for (size_t p = 1; p < permissions.size(); ++p) {
            if (std::find(permissions.begin(), permissions.begin() + static_cast<long>(p), permissions[p]) !=
                    permissions.begin() + static_cast<long>(p) &&
                std::find(permissions.begin() + static_cast<long>(p) + 1, permissions.end(), permissions[p]) ==
                    permissions.end())
                warn("repeated-permission", path, rule.firstLine,
                     "permission \"" + permissions[p] + "\" is named more than once in this rule");
        }
        const uint64_t digest = roughDigest(rule);
        digestOf_[i] = digest;
        size_t slot = static_cast<size_t>((digest * 0x9e3779b97f4a7c15ull) >> 32) & (slots - 1);
        while (latestOf_[slot] != none && digestOf_[latestOf_[slot]] != digest)
            slot = (slot + 1) & (slots - 1);
        earlier_[i] = latestOf_[slot];
        latestOf_[slot] = static_cast<uint32_t>(i);
        // The latest equal rule leads to the first: equal rules share it.
        firstOf_[i] = static_cast<uint32_t>(i);
        for (uint32_t b = earlier_[i]; b != none; b = earlier_[b]) {
            if (sameFileRule(rules[b], rule)) {
                firstOf_[i] = firstOf_[b];
                repeats.emplace_back(i, firstOf_[b]);
                break;
            }
        }
    }
    for (const auto &[repeat, first] : repeats) {
        warn("repeated-rule", path, rules[repeat].firstLine,
             "this rule repeats the one on line " + std::to_string(rules[first].firstLine) +
                 " (same scene, section, settings, operands and permissions): it adds nothing");
    }
}

void Linter::checkCompiledFile(const std::string &name, const std::string &content, const ParseState &state)
{
    // A file of blanks alone is not parsed: the parse state is another file's.
    if (content.find_first_not_of(blanks) == std::string::npos)
        return;
    const std::string path = pathOf(name);
    if (!state.sectionName.empty()) {
        static const std::regex sectionStart("%SECTION[ \t]");
        warn("open-section", path, lineMatching(content, sectionStart, true),
             "section \"" + state.sectionName + "\" is still open at the end of the file (no %ENDSEC)");
    }
    if (!state.namespaceName.empty()) {
        const auto first = scenes_.emplace(state.namespaceName, path);
        if (!first.second) {
            static const std::regex nameDeclaration("(^|[^A-Za-z0-9_])name[ \t]*=");
            const int line = lineMatching(content, nameDeclaration, false);
            warn("shared-scene", path, line > 0 ? line : 1,
                 "scene \"" + state.namespaceName + "\" is also declared by " + first.first->second +
                     ": the rules and sections of both files form one scene");
        }
    }
}

void LintedOutput::addRules(const std::string &fileName, std::vector<FileRule> &rules)
{
    linter_.checkRules(fileName, rules);
    next_.addRules(fileName, rules);
}

int compileLintedPaths(FrontEnd &fe, const std::vector<std::string> &paths, const CompiledHook &onCompiled,
                       Linter &linter, const std::function<void()> &beforeLastVerify, SourceDigests *digests)
{
    const SourceHook onSource = [&linter, &fe](const CompiledSource &source, const std::string &content) {
        linter.checkCompiledFile(source.name, content, fe.state());
    };
    int firstFailure = 0;
    for (const std::string &path : paths) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            linter.checkDirectory(path);
        else
            linter.setDirectory(std::string());
        const int result =
            compileGivenPaths(fe, {path}, onCompiled, onSource, &path == &paths.back() ? beforeLastVerify : nullptr,
                              digests);
        if (firstFailure == 0)
            firstFailure = result;
    }
    return firstFailure;
}
