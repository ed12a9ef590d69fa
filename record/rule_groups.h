// The groups a policy's identity is made of, and how a section update
// changes them: the part of the identity that needs no compiler, shared by
// the daemon, the checker and the init command.
#ifndef TAVO_RULE_GROUPS_H
#define TAVO_RULE_GROUPS_H

#include <cstdint>
#include <string>
#include <vector>

#include "sha256.h"

// The rules of one file that stand in one section of one namespace (the
// empty section: outside every section), in the file's order: what a
// section update replaces. The digest is of their canonical form
// (docs/policy-identity.md).
struct RuleGroup {
    std::string file; // base name
    std::string nsName;
    std::string section;
    Sha256Digest digest{};
    uint64_t rules = 0;
    uint64_t nodes = 0;
};

// Orders groups by file, namespace, section (then digest), byte by byte.
bool groupBefore(const RuleGroup &a, const RuleGroup &b);

// The identity of a policy made of `groups`, in any order.
Sha256Digest policyIdentity(std::vector<RuleGroup> groups);

// `groups` after a section update of (nsName, section) that delivered
// `delivered`: every group of that section goes, the delivered ones come.
void applySectionUpdate(std::vector<RuleGroup> &groups, const std::string &nsName, const std::string &section,
                        const std::vector<RuleGroup> &delivered);

#endif
