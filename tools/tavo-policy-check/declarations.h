// What --in-force adds to the rule-by-rule difference: the declarations
// whose values changed (and the changed rules that use them), and the
// dynamic variables a full delivery would set back.
#ifndef TAVO_DECLARATIONS_H
#define TAVO_DECLARATIONS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "json_document.h"
#include "record_format.h"
#include "sha256.h"

struct ParseState;

// One variable as a file leaves it: its type and its value as text.
struct DeclaredValue {
    std::string type; // "bool", "int", "string", "boolist", "intlist", "strlist"
    std::string value;
    bool dynamic = false;
};

// One policy file's variables once compiled, and its scene.
struct FileVariables {
    std::string scene;
    std::map<std::string, DeclaredValue> variables;
    const std::string *text = nullptr;
};

// By base name.
using PolicyVariables = std::map<std::string, FileVariables>;

// A rule of the candidate that differs from what is in force.
struct ChangedRule {
    std::string file;
    int firstLine = 0;
    std::string text;
};

struct ChangedDeclaration {
    std::string file;
    std::string scene;
    std::string variable;
    int line = 0; // in the candidate; 0 when the variable is gone
    std::optional<DeclaredValue> before;
    std::optional<DeclaredValue> after;
    std::vector<int> rules; // lines of the changed rules that use it
};

struct DynamicReset {
    std::string scene;
    std::string variable;
    uint32_t now = 0;
    std::optional<uint32_t> after; // none: the candidate no longer declares it
};

struct DeclarationReport {
    std::vector<ChangedDeclaration> changed;
    std::vector<DynamicReset> resets;
};

// Takes a file's variables from the parse state right after its compile
// (a later file of the same base name replaces them: a section update's
// files after the delivery's). `text` must outlive `out`.
void takeVariables(const std::string &name, const std::string &text, const ParseState &state, PolicyVariables &out);

DeclarationReport compareDeclarations(const PolicyRecord &record, const PolicyVariables &inForce,
                                      const PolicyVariables &candidate, const std::vector<ChangedRule> &changedRules);

// Text after the rule differences, and the JSON members "declarations"
// and "dynamicResets".
std::string declarationText(const DeclarationReport &report);
void addDeclarationJson(JsonDocument &object, const DeclarationReport &report);

#endif
