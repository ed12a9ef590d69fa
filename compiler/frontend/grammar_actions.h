// Routines the grammar's actions call, beyond those of the parse state,
// the variables and the rule expansion.
#ifndef TAVO_GRAMMAR_ACTIONS_H
#define TAVO_GRAMMAR_ACTIONS_H

#include <cstdint>
#include <string>

#include "parse_state.h"
#include "rule_expansion.h"
#include "variables.h"

// Condition function calls: the name (registered with the library at
// once), then the arguments in order.
void setConditionFunction(FrontEnd &fe, const std::string &name);
void setQuotedConditionFunction(FrontEnd &fe, const std::string &quoted);
void addConditionNumber(FrontEnd &fe, uint64_t number);
void addConditionString(FrontEnd &fe, const std::string &quoted);
// A "$name" atom of a condition.
int addConditionVariableToken(FrontEnd &fe, const std::string &token);

// Calls of a rule's `do` block, likewise.
void setActionFunction(FrontEnd &fe, const std::string &name);
void setQuotedActionFunction(FrontEnd &fe, const std::string &quoted);
void addActionNumber(FrontEnd &fe, uint64_t number);
void addActionString(FrontEnd &fe, const std::string &quoted);

// Declarations.
void markDynamic(FrontEnd &fe);
void setVariableKind(FrontEnd &fe, uint64_t kind);
// Starts a declaration; refuses a `dynamic` mark before anything but bool.
int declareVariable(FrontEnd &fe, const std::string &name);

void setSectionName(FrontEnd &fe, const std::string &name);
void endSection(FrontEnd &fe);

#endif
