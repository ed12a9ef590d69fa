// Typed variables of a policy file and the resolution of a rule's uid,
// subject and object operands.
#ifndef TAVO_VARIABLES_H
#define TAVO_VARIABLES_H

#include <cstdint>
#include <string>

class FrontEnd;

// Starts a declaration or assignment of `name` (kind already in varKind);
// a list is emptied so that the values given replace it, its old value kept
// for references to itself.
void beginVariable(FrontEnd &fe, const std::string &name);
// Starts an assignment to a declared variable; 1 if it was never declared.
int reopenVariable(FrontEnd &fe, const std::string &name);
// Stores varNumber or varText into the current variable by its kind; 1 when
// a list would pass maxListElements.
int commitVariableValue(FrontEnd &fe);
// Copies the variable named by varText ("$name") into the current one.
int assignReference(FrontEnd &fe);

// Value routines of declarations and assignments: each refuses a value
// whose form does not fit the variable's kind, then stores it.
int storeNumberValue(FrontEnd &fe, uint64_t number);
int storeNameValue(FrontEnd &fe, const std::string &name);
int storeTextValue(FrontEnd &fe, const std::string &quoted);
int storeReferenceValue(FrontEnd &fe, const std::string &reference);

// Writes the file-wide settings (flags, priority, namespace, section,
// module) into the rule template.
int loadGroupAttributes(FrontEnd &fe);
// Value of a bool or int variable.
int lookupScalarVariable(FrontEnd &fe, const std::string &name, uint64_t &value);
// Appends a condition node for the variable `name` (without "$").
int addConditionVariable(FrontEnd &fe, const std::string &name);

// Resolves a user name to a uid through the password database (cached per
// file) and appends it to the rule's uids.
int resolveUserUid(FrontEnd &fe, const std::string &name);
int resolveUidText(FrontEnd &fe);
int resolveSidText(FrontEnd &fe);
int resolveOidText(FrontEnd &fe);

// Name of a variable kind as the policy language writes it.
const char *kindKeyword(uint32_t kind);

#endif
