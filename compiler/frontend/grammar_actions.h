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
void setConditionFunction(const std::string &name);
void setQuotedConditionFunction(const std::string &quoted);
void addConditionNumber(uint64_t number);
void addConditionString(const std::string &quoted);
// A "$name" atom of a condition.
int addConditionVariableToken(const std::string &token);

// Calls of a rule's `do` block, likewise.
void setActionFunction(const std::string &name);
void setQuotedActionFunction(const std::string &quoted);
void addActionNumber(uint64_t number);
void addActionString(const std::string &quoted);

// Declarations.
void markDynamic();
void setVariableKind(uint64_t kind);
// Starts a declaration; refuses a `dynamic` mark before anything but bool.
int declareVariable(const std::string &name);

void setSectionName(const std::string &name);
void endSection();

#endif
