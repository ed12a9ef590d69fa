#ifndef TAVO_RULE_EXPANSION_H
#define TAVO_RULE_EXPANSION_H

#include <tavopolicysync/policy_records.h>

// Resolves the rule just parsed and appends it to the file's rules; 0, or
// 1 after logging.
int finishRule();

// The file's rules expanded into policyDb, one node per uid and permission
// of each. Without keepRules the rules give their members to the nodes and
// cannot be expanded again.
PolicyDb &expandFileNodes(bool keepRules);

#endif
