#ifndef TAVO_RULE_EXPANSION_H
#define TAVO_RULE_EXPANSION_H

#include <vector>

#include <tavopolicysync/policy_records.h>

#include "policy_manager.h"

class FrontEnd;
struct ParseState;

// Resolves the rule just parsed and appends it to the file's rules; 0, or
// 1 after logging.
int finishRule(FrontEnd &fe);

// A file's rules expanded into the policyDb of `s`, a front end's state,
// one node per uid and permission of each. Without keepRules the rules give
// their members to the nodes, in exchange for the storage of the nodes' old
// ones, and cannot be expanded again.
PolicyDb &expandFileNodes(ParseState &s, std::vector<FileRule> &rules, bool keepRules);
// The same into `db`, over its last nodes, whose strings and lists the new
// nodes reuse.
PolicyDb &expandFileNodes(PolicyDb &db, std::vector<FileRule> &rules, bool keepRules);

#endif
