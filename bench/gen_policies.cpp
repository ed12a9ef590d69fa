// tavo-gen-policies: writes a deterministic synthetic policy set for
// benchmarks and load tests.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>

#include "policy_generator.h"

namespace {

const char usageText[] =
    "Usage: tavo-gen-policies [--files N] [--rules M] [--seed S] [--plain | --amplify] DIRECTORY\n"
    "Write N policy files of M rules each (default 100 x 1000, seed 1) into DIRECTORY.\n"
    "--plain writes plain rules: one uid, two permissions, no condition or do block.\n"
    "--amplify writes N files (default 4) of one rule of 600 uids and the same\n"
    "10,000 subjects each, which expand in the module far beyond their size.\n"
    "The same options always give the same bytes.\n";

constexpr int exitUsage = 64;

} // namespace

int main(int argc, char **argv)
{
    GeneratorOptions options;
    const struct option longOptions[] = {
        {"files", required_argument, nullptr, 'f'},
        {"rules", required_argument, nullptr, 'r'},
        {"seed", required_argument, nullptr, 's'},
        {"plain", no_argument, nullptr, 'p'},
        {"amplify", no_argument, nullptr, 'a'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool amplify = false;
    bool filesGiven = false;
    int opt;
    while ((opt = getopt_long(argc, argv, "f:r:s:pah", longOptions, nullptr)) != -1) {
        uint64_t value = 0;
        switch (opt) {
        case 'f':
        case 'r':
        case 's':
            if (!parseCount(optarg, value) || (opt != 's' && value == 0)) {
                fprintf(stderr, "tavo-gen-policies: bad value '%s' for -%c\n", optarg, opt);
                return exitUsage;
            }
            if (opt == 'f') {
                options.files = static_cast<size_t>(value);
                filesGiven = true;
            }
            else if (opt == 'r')
                options.rulesPerFile = static_cast<size_t>(value);
            else
                options.seed = value;
            break;
        case 'p': options.plain = true; break;
        case 'a': amplify = true; break;
        case 'h': fputs(usageText, stdout); return 0;
        default: fputs(usageText, stderr); return exitUsage;
        }
    }
    if (optind + 1 != argc) {
        fputs(usageText, stderr);
        return exitUsage;
    }

    const std::string directory = argv[optind];
    AmplificationOptions amplified;
    if (filesGiven)
        amplified.files = options.files;
    const auto policies = amplify ? amplificationSet(amplified) : generatePolicies(options);
    std::string error;
    if (!writePolicies(directory, policies, error)) {
        fprintf(stderr, "tavo-gen-policies: %s\n", error.c_str());
        return 1;
    }
    size_t bytes = 0;
    for (const GeneratedPolicy &p : policies)
        bytes += p.text.size();
    size_t rules = 0;
    for (const GeneratedPolicy &p : policies)
        rules += p.rules;
    const size_t nodes = amplify ? rules * amplified.uids
                                 : rules * (options.plain ? plainNodesPerRule : nodesPerRule);
    printf("wrote %zu files, %zu rules (%zu policy nodes), %zu bytes to %s\n", policies.size(), rules, nodes, bytes,
           directory.c_str());
    return 0;
}
