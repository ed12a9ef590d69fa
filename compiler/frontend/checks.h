// Checks of the subject and object names of a rule: wildcard rules, label
// kind, registration with the policy-sync library.
#ifndef TAVO_CHECKS_H
#define TAVO_CHECKS_H

#include <string>

// 0 when the path's wildcards are of a supported form, 1 after logging.
int checkWildcard(const std::string &path);
// Checks, registers and records one subject name; 0 or 1 after logging.
int checkSubject(const std::string &name);
// Checks, registers and records one object name of the rule's object type.
int checkObject(const std::string &name);

#endif
