#include "loaded.h"

#include <cerrno>

#include "front_end.h"
#include "parse_state.h"
#include "policy_loader.h"
#include "record_store.h"
#include "report_text.h"
#include "shared_constants.h"

const char storeInitialImageCommand[] =
    "busctl call com.norda.zupolicy /policymgr com.norda.zupolicy.policymgr compileInitPolicy";

namespace {

// Bit of the rule flags that makes a rule permissive.
constexpr uint32_t permissiveFlag = 4;

// Takes each file's rules and what the compile-side calls say, keeps only
// the permissive counts.
class DeclarationOutput : public RulesOnlyOutput {
public:
    explicit DeclarationOutput(Declarations &out) : out_(out) {}
    int clearAllPolicy() override { return 0; }
    int initNamespaceFuncInfo() override { return 0; }
    void addRules(const std::string &, std::vector<FileRule> &rules) override
    {
        for (const FileRule &r : rules) {
            uint64_t &count = out_.permissiveRules[{r.shared.namespaceName, r.shared.sectionName}];
            if (r.shared.flags & permissiveFlag)
                ++count;
        }
    }

private:
    Declarations &out_;
};

const char blanks[] = " \t\r\n";

void addDynamics(const ParseState &s, Declarations &out)
{
    if (s.namespaceName.empty())
        return;
    for (const std::string &name : s.dynamicVariables) {
        const auto value = s.boolVars.find(name);
        if (value != s.boolVars.end())
            out.dynamics[{s.namespaceName, name}] = value->second ? 1 : 0;
    }
}

bool compileRecorded(const std::vector<RecordSource> &sources, const std::map<Sha256Digest, std::string> &bytes,
                     Declarations &out, std::string &problem)
{
    std::vector<std::pair<std::string, const std::string *>> files;
    for (const RecordSource &s : sources) {
        const auto found = bytes.find(s.blob);
        if (found == bytes.end()) {
            problem = "the recorded source " + s.name + " is missing";
            return false;
        }
        files.emplace_back(s.name, &found->second);
    }
    return collectDeclarations(files, out, problem);
}

std::string joined(const std::set<std::string> &names)
{
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "" : ", ") + safeText(n);
    return out;
}

} // namespace

bool collectDeclarations(const std::vector<std::pair<std::string, const std::string *>> &files,
                         Declarations &out, std::string &problem)
{
    DeclarationOutput output(out);
    FrontEnd frontEnd(output);
    for (const auto &[name, text] : files) {
        const int result = compilePolicyContent(frontEnd, name, *text);
        if (result != FileCompiled && result != FileWithoutPolicy) {
            problem = "the recorded source " + name + " no longer compiles (" + std::to_string(result) + ")";
            return false;
        }
        // A file of blanks alone is not parsed: the parse state is another's.
        if (text->find_first_not_of(blanks) != std::string::npos)
            addDynamics(frontEnd.state(), out);
    }
    return true;
}

LoadedPolicy describeLoaded(const PolicyRecord &record, const char *recordDirectory)
{
    LoadedPolicy loaded;
    std::vector<RuleGroup> groups;
    if (!record.effectiveGroups(groups))
        return loaded;
    std::map<std::string, LoadedScene> scenes;
    for (const RuleGroup &g : groups) {
        LoadedScene &scene = scenes[g.nsName];
        scene.name = g.nsName;
        scene.files.insert(g.file);
        if (!g.section.empty())
            scene.sections.insert(g.section);
        scene.rules += g.rules;
        scene.nodes += g.nodes;
    }

    // The declarations need the sources, which only root and secadm read.
    Declarations declared;
    const RecordStore store(recordDirectory, false);
    PolicyRecord withSources;
    std::map<Sha256Digest, std::string> bytes;
    const int rc = store.readWithSources(withSources, bytes, loaded.problem);
    if (rc == EACCES) {
        loaded.problem = std::string("the recorded policy files are readable by root and ") + securityAdministrator +
                         " only";
    } else if (rc == 0 && withSources.identity() == record.identity() &&
               compileRecorded(withSources.delivery.sources, bytes, declared, loaded.problem)) {
        loaded.declarationsKnown = true;
        // A section update replaces the section's rules, not the declarations.
        for (const RecordedPolicy &update : withSources.sections) {
            Declarations section;
            if (!compileRecorded(update.sources, bytes, section, loaded.problem)) {
                loaded.declarationsKnown = false;
                break;
            }
            const SceneSection key{update.nsName, update.section};
            declared.permissiveRules[key] = section.permissiveRules[key];
        }
    } else if (rc == 0 && loaded.problem.empty()) {
        loaded.problem = "the record changed while it was read";
    }

    for (auto &[name, scene] : scenes) {
        if (loaded.declarationsKnown) {
            uint64_t permissive = 0;
            for (auto it = declared.permissiveRules.lower_bound({name, std::string()});
                 it != declared.permissiveRules.end() && it->first.first == name; ++it)
                permissive += it->second;
            scene.permissiveRules = permissive;
        }
        loaded.scenes.push_back(std::move(scene));
    }

    std::map<SceneSection, LoadedVariable> variables;
    for (const auto &[key, value] : declared.dynamics) {
        LoadedVariable &v = variables[key];
        v.nsName = key.first;
        v.name = key.second;
        v.delivered = value;
        v.current = value;
    }
    for (const DynamicChange &c : record.dynamics) {
        LoadedVariable &v = variables[{c.nsName, c.variable}];
        v.nsName = c.nsName;
        v.name = c.variable;
        v.current = c.value;
        v.changed = c.step;
    }
    for (auto &entry : variables)
        loaded.variables.push_back(std::move(entry.second));
    return loaded;
}

void appendLoadedText(std::string &out, const LoadedPolicy &loaded)
{
    char label[64];
    const auto line = [&out, &label](const std::string &text) {
        out += label;
        out += text;
        out += '\n';
    };
    if (loaded.scenes.empty())
        return;
    snprintf(label, sizeof label, "%-30s", "scenes:");
    line(std::to_string(loaded.scenes.size()) +
         (loaded.declarationsKnown ? "" : " (permissive unknown: " + safeText(loaded.problem) + ")"));
    for (const LoadedScene &s : loaded.scenes) {
        snprintf(label, sizeof label, "  %-28s", safeText(s.name).c_str());
        std::string text = std::to_string(s.rules) + " rules, " + std::to_string(s.nodes) + " nodes";
        if (s.permissiveRules)
            text += *s.permissiveRules == 0        ? ", enforced"
                    : *s.permissiveRules == s.rules ? ", permissive"
                                                    : ", permissive " + std::to_string(*s.permissiveRules) + " of " +
                                                          std::to_string(s.rules) + " rules";
        line(text);
        snprintf(label, sizeof label, "  %-28s", "");
        line("files: " + joined(s.files));
        if (!s.sections.empty())
            line("sections: " + joined(s.sections));
    }
    snprintf(label, sizeof label, "%-30s", "dynamic variables:");
    line(std::to_string(loaded.variables.size()) + (loaded.declarationsKnown ? "" : " changed (declared ones unknown)"));
    for (const LoadedVariable &v : loaded.variables) {
        snprintf(label, sizeof label, "  %-28s", (safeText(v.nsName) + "/" + safeText(v.name)).c_str());
        std::string text = std::to_string(v.current);
        if (v.delivered)
            text += " (delivered " + std::to_string(*v.delivered) + ")";
        if (v.changed)
            text += ", changed: " + describeStep(*v.changed);
        line(text);
    }
}

JsonDocument loadedJson(const LoadedPolicy &loaded)
{
    JsonDocument out;
    out["declarationsKnown"] = loaded.declarationsKnown;
    out["problem"] = jsonText(loaded.problem);
    JsonDocument &scenes = out["scenes"] = JsonDocument::array();
    for (const LoadedScene &s : loaded.scenes) {
        JsonDocument scene;
        scene["name"] = jsonText(s.name);
        scene["files"] = textsJson(s.files);
        scene["sections"] = textsJson(s.sections);
        scene["rules"] = s.rules;
        scene["nodes"] = s.nodes;
        scene["permissiveRules"] = optionalJson(s.permissiveRules);
        scene["permissive"] =
            s.permissiveRules ? JsonDocument(*s.permissiveRules == s.rules && s.rules > 0) : nullptr;
        scenes.push_back(std::move(scene));
    }
    JsonDocument &variables = out["dynamicVariables"] = JsonDocument::array();
    for (const LoadedVariable &v : loaded.variables) {
        JsonDocument variable;
        variable["namespace"] = jsonText(v.nsName);
        variable["variable"] = jsonText(v.name);
        variable["delivered"] = optionalJson(v.delivered);
        variable["current"] = v.current;
        variable["changed"] = v.changed ? stepJson(*v.changed) : nullptr;
        variables.push_back(std::move(variable));
    }
    return out;
}

void appendLoadedPrometheus(std::string &out, const LoadedPolicy &loaded)
{
    if (!loaded.variables.empty()) {
        out += "# HELP tavo_dynamic_variable_value The current value of each dynamic variable in force.\n"
               "# TYPE tavo_dynamic_variable_value gauge\n";
        for (const LoadedVariable &v : loaded.variables)
            out += "tavo_dynamic_variable_value{namespace=\"" + labelValue(v.nsName) + "\",variable=\"" +
                   labelValue(v.name) + "\"} " + std::to_string(v.current) + '\n';
    }
    if (!loaded.scenes.empty()) {
        out += "# HELP tavo_scene_nodes Policy nodes in force per scene.\n# TYPE tavo_scene_nodes gauge\n";
        for (const LoadedScene &s : loaded.scenes)
            out += "tavo_scene_nodes{namespace=\"" + labelValue(s.name) + "\"} " + std::to_string(s.nodes) + '\n';
    }
}
