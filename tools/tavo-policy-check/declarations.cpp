#include "declarations.h"

#include <functional>
#include <regex>
#include <set>

#include "code_lines.h"
#include "parse_state.h"
#include "policy_identity.h"
#include "report_text.h"

namespace {

const char blanks[] = " \t\r\n";
// Read by every rule of a file: a change of one changes them all.
const std::set<std::string> settings = {"audit", "permissive", "interactive", "priority", "module_name", "name"};

template <typename T>
std::string listText(const std::vector<T> &values, const std::function<std::string(const T &)> &one)
{
    std::string out;
    for (const T &v : values)
        out += (out.empty() ? "" : ", ") + one(v);
    return out;
}

std::string quoted(const std::string &s)
{
    return "\"" + s + "\"";
}

// The variables the parse state holds after a file, each by its last kind.
FileVariables variablesNow(const ParseState &s)
{
    FileVariables file;
    file.scene = s.namespaceName;
    for (const auto &[name, kind] : s.varKinds) {
        DeclaredValue v;
        switch (kind) {
        case KindBool: {
            const auto found = s.boolVars.find(name);
            v.type = "bool";
            v.value = found != s.boolVars.end() && found->second ? "true" : "false";
            v.dynamic = s.dynamicVariables.count(name) != 0;
            break;
        }
        case KindInt: {
            const auto found = s.intVars.find(name);
            v.type = "int";
            v.value = std::to_string(found != s.intVars.end() ? found->second : 0);
            break;
        }
        case KindString: {
            const auto found = s.stringVars.find(name);
            v.type = "string";
            v.value = quoted(found != s.stringVars.end() ? found->second : std::string());
            break;
        }
        case KindBoolList: {
            const auto found = s.boolListVars.find(name);
            v.type = "boolist";
            if (found != s.boolListVars.end()) {
                std::string out;
                for (const bool b : found->second)
                    out += (out.empty() ? "" : ", ") + std::string(b ? "true" : "false");
                v.value = out;
            }
            break;
        }
        case KindIntList: {
            const auto found = s.intListVars.find(name);
            v.type = "intlist";
            if (found != s.intListVars.end())
                v.value = listText<uint64_t>(found->second, [](const uint64_t &n) { return std::to_string(n); });
            break;
        }
        case KindStringList: {
            const auto found = s.stringListVars.find(name);
            v.type = "strlist";
            if (found != s.stringListVars.end())
                v.value = listText<std::string>(found->second, quoted);
            break;
        }
        default: continue;
        }
        file.variables[name] = std::move(v);
    }
    return file;
}

std::string describeValue(const std::optional<DeclaredValue> &v)
{
    if (!v)
        return "(not declared)";
    return std::string(v->dynamic ? "dynamic " : "") + v->type + " = " + v->value;
}

JsonDocument valueJson(const std::optional<DeclaredValue> &v)
{
    if (!v)
        return nullptr;
    JsonDocument out;
    out["type"] = jsonText(v->type);
    out["dynamic"] = v->dynamic;
    out["value"] = jsonText(v->value);
    return out;
}

} // namespace

void takeVariables(const std::string &name, const std::string &text, const ParseState &state, PolicyVariables &out)
{
    FileVariables &file = out[baseName(name)];
    // A file of blanks alone is not parsed: the parse state is another's.
    file = text.find_first_not_of(blanks) == std::string::npos ? FileVariables() : variablesNow(state);
    file.text = &text;
}

DeclarationReport compareDeclarations(const PolicyRecord &record, const PolicyVariables &inForce,
                                      const PolicyVariables &candidate, const std::vector<ChangedRule> &changedRules)
{
    DeclarationReport report;
    std::set<std::string> files;
    for (const auto &f : inForce)
        files.insert(f.first);
    for (const auto &f : candidate)
        files.insert(f.first);
    for (const std::string &file : files) {
        const auto oldFile = inForce.find(file);
        const auto newFile = candidate.find(file);
        // A file that came or went is in the rule difference as a whole.
        if (oldFile == inForce.end() || newFile == candidate.end())
            continue;
        std::set<std::string> names;
        for (const auto &v : oldFile->second.variables)
            names.insert(v.first);
        for (const auto &v : newFile->second.variables)
            names.insert(v.first);
        for (const std::string &name : names) {
            const auto before = oldFile->second.variables.find(name);
            const auto after = newFile->second.variables.find(name);
            ChangedDeclaration c;
            if (before != oldFile->second.variables.end())
                c.before = before->second;
            if (after != newFile->second.variables.end())
                c.after = after->second;
            if (c.before && c.after && c.before->type == c.after->type && c.before->value == c.after->value &&
                c.before->dynamic == c.after->dynamic)
                continue;
            c.file = file;
            c.scene = newFile->second.scene;
            c.variable = name;
            if (c.after && newFile->second.text)
                c.line = lineMatching(*newFile->second.text,
                                      std::regex("(^|[^A-Za-z0-9_$])" + name + "[ \t]*="), true);
            const std::regex use("\\$" + name + "($|[^A-Za-z0-9_])");
            for (const ChangedRule &r : changedRules) {
                if (r.file == file && (settings.count(name) != 0 || std::regex_search(r.text, use)))
                    c.rules.push_back(r.firstLine);
            }
            report.changed.push_back(std::move(c));
        }
    }

    // A full delivery sets every dynamic variable to what its file declares.
    std::map<std::pair<std::string, std::string>, uint32_t> declared;
    for (const auto &f : candidate) {
        for (const auto &[name, v] : f.second.variables) {
            if (v.dynamic)
                declared[{f.second.scene, name}] = v.value == "true" ? 1 : 0;
        }
    }
    for (const DynamicChange &d : record.dynamics) {
        const auto found = declared.find({d.nsName, d.variable});
        DynamicReset r{d.nsName, d.variable, d.value, std::nullopt};
        if (found != declared.end()) {
            if (found->second == d.value)
                continue;
            r.after = found->second;
        }
        report.resets.push_back(r);
    }
    return report;
}

std::string declarationText(const DeclarationReport &report)
{
    std::string out;
    for (const ChangedDeclaration &c : report.changed) {
        out += '\n' + safeText(c.file) + (c.line ? ":" + std::to_string(c.line) : std::string()) +
               ": declaration of " + safeText(c.variable) + " changed\n";
        out += "  in force:  " + safeText(describeValue(c.before)) + "\n";
        out += "  candidate: " + safeText(describeValue(c.after)) + "\n";
        if (!c.rules.empty()) {
            std::string lines;
            for (const int l : c.rules)
                lines += (lines.empty() ? "" : ", ") + std::to_string(l);
            out += "  changes the rules on line(s) " + lines + "\n";
        }
    }
    if (!report.resets.empty()) {
        out += "\na full delivery (tavo-main-policy-sync -a) would set these dynamic variables:\n";
        for (const DynamicReset &r : report.resets)
            out += "  " + safeText(r.scene) + "/" + safeText(r.variable) + ": " + std::to_string(r.now) + " now, " +
                   (r.after ? std::to_string(*r.after) + " after" : std::string("no longer declared")) + "\n";
    }
    return out;
}

void addDeclarationJson(JsonDocument &object, const DeclarationReport &report)
{
    JsonDocument &changed = object["declarations"] = JsonDocument::array();
    for (const ChangedDeclaration &c : report.changed) {
        JsonDocument declaration;
        declaration["file"] = jsonText(c.file);
        declaration["namespace"] = jsonText(c.scene);
        declaration["variable"] = jsonText(c.variable);
        declaration["line"] = c.line ? JsonDocument(c.line) : nullptr;
        declaration["inForce"] = valueJson(c.before);
        declaration["candidate"] = valueJson(c.after);
        declaration["rules"] = c.rules;
        changed.push_back(std::move(declaration));
    }
    JsonDocument &resets = object["dynamicResets"] = JsonDocument::array();
    for (const DynamicReset &r : report.resets) {
        JsonDocument reset;
        reset["namespace"] = jsonText(r.scene);
        reset["variable"] = jsonText(r.variable);
        reset["now"] = r.now;
        reset["after"] = optionalJson(r.after);
        resets.push_back(std::move(reset));
    }
}
