// Checks of the subject and object names of a rule: wildcard rules, label
// kind, registration with the policy-sync library.
#ifndef TAVO_CHECKS_H
#define TAVO_CHECKS_H

#include <string>

class FrontEnd;

// 0 when the path's wildcards are of a supported form, 1 after logging.
int checkWildcard(FrontEnd &fe, const std::string &path);
// Checks, registers and records one subject name; 0 or 1 after logging.
int checkSubject(FrontEnd &fe, const std::string &name);
// Checks, registers and records one object name of the rule's object type.
int checkObject(FrontEnd &fe, const std::string &name);

#endif
