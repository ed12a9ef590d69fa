// What is loaded, scene by scene, and the dynamic variables (switches) with
// their values: the part of the status an administrator asks first.
#ifndef TAVO_LOADED_H
#define TAVO_LOADED_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "json_document.h"
#include "record_format.h"

struct LoadedScene {
    std::string name;
    std::set<std::string> files;
    std::set<std::string> sections; // named ones
    uint64_t rules = 0;
    uint64_t nodes = 0;
    // How many of its rules are permissive; unknown without the sources.
    std::optional<uint64_t> permissiveRules;
};

struct LoadedVariable {
    std::string nsName;
    std::string name;
    // As the delivered files declare it; unknown without the sources.
    std::optional<uint32_t> delivered;
    uint32_t current = 0;
    // Changed since the delivery (the record's last change).
    std::optional<RecordStep> changed;
};

struct LoadedPolicy {
    std::vector<LoadedScene> scenes;
    std::vector<LoadedVariable> variables;
    // Whether the declarations (permissive, every dynamic variable) are
    // known; `problem` says why not.
    bool declarationsKnown = false;
    std::string problem;
};

using SceneSection = std::pair<std::string, std::string>;

// The declarations a set of policy files makes, as compiled now.
struct Declarations {
    // (scene, variable) -> declared value of each dynamic variable.
    std::map<SceneSection, uint32_t> dynamics;
    // (scene, section) -> its permissive rules.
    std::map<SceneSection, uint64_t> permissiveRules;
};

// Compiles `files` (name -> bytes, in order) with the checker's front end
// and collects what they declare. False (with `problem`) when one does not
// compile.
bool collectDeclarations(const std::vector<std::pair<std::string, const std::string *>> &files,
                         Declarations &out, std::string &problem);

// What the record says is loaded, with the declarations from the sources it
// keeps when the caller may read them.
LoadedPolicy describeLoaded(const PolicyRecord &record, const char *recordDirectory);

// Text lines (after the status's own), JSON member "loaded", and gauges.
void appendLoadedText(std::string &out, const LoadedPolicy &loaded);
JsonDocument loadedJson(const LoadedPolicy &loaded);
void appendLoadedPrometheus(std::string &out, const LoadedPolicy &loaded);

// The command that stores the initial image of the policy directory.
extern const char storeInitialImageCommand[];

#endif
