// tavo-policy-check --in-force: the difference, rule by rule, between the
// candidate policy and what the record says is in force.
#ifndef TAVO_IN_FORCE_H
#define TAVO_IN_FORCE_H

#include <string>
#include <vector>

struct InForceOptions {
    std::vector<std::string> paths;
    bool json = false;
};

// Exit statuses besides 0 (the same policy) and 1 (they differ).
enum InForceExit : int {
    InForceSame = 0,
    InForceDiffers = 1,
    InForceTrouble = 2,      // the candidate does not compile, the record cannot be used
    InForceNothingKnown = 4, // nothing recorded, or a policy of unknown content in force
    InForceNotAllowed = 77,  // the recorded sources are root's and secadm's only
};

int runInForce(const InForceOptions &options);

#endif
