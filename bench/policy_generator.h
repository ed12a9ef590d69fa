// Deterministic synthetic policy sets for benchmarks: the same options give
// byte-identical files on every host.
#ifndef TAVO_BENCH_POLICY_GENERATOR_H
#define TAVO_BENCH_POLICY_GENERATOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct GeneratorOptions {
    size_t files = 100;
    size_t rulesPerFile = 1000;
    uint64_t seed = 1;
    // Plain rules instead: one uid, two permissions, no condition or do
    // block (plainNodesPerRule nodes each).
    bool plain = false;
};

struct GeneratedPolicy {
    std::string fileName; // e.g. "scene07.p"
    std::string text;
    size_t rules = 0;
};

// Every rule takes its uids from a two-account list and names three
// permissions, so each rule expands to this many policy nodes.
constexpr size_t nodesPerRule = 6;
constexpr size_t plainNodesPerRule = 2;

// A minimal SELinux policy (policy.conf for checkpolicy) with `rules`
// distinct allow rules of two permissions each: the same work for
// checkpolicy as plain rules are for the checker.
std::string selinuxPolicy(size_t rules);

std::vector<GeneratedPolicy> generatePolicies(const GeneratorOptions &options);

// Few rules, long lists: each file holds one rule whose uid operand is a
// list of `uids` numbers and whose subject operand is a list of `subjects`
// paths, the same paths in every file. A file of the defaults is about 253
// KB and expands to 6,001,200 records in the module: one such file makes an
// image the module takes, four make one it refuses (the paths are stored
// once in the image, while each file's nodes name them again).
struct AmplificationOptions {
    size_t files = 4;
    size_t uids = 600;
    size_t subjects = 10000;
};
std::vector<GeneratedPolicy> amplificationSet(const AmplificationOptions &options);

// Writes the files into `directory` (created if missing, parent must exist).
// Refuses a directory that already holds other policy files, which would
// silently join the measured set. On failure returns false with `error` set.
bool writePolicies(const std::string &directory, const std::vector<GeneratedPolicy> &policies, std::string &error);

// A count or seed from the command line: decimal, 0x hex or 0 octal, no sign.
bool parseCount(const char *text, uint64_t &value);

#endif
