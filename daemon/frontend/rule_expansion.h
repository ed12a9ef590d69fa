#ifndef TAVO_RULE_EXPANSION_H
#define TAVO_RULE_EXPANSION_H

// Resolves the rule just parsed and appends one policy node per uid and
// permission to the file's records; 0, or 1 after logging.
int finishRule();

#endif
