// tavo-policy-check --status: what the kernel module holds, as far as this
// host's tools delivered it, and whether the policy directory and the
// stored initial image agree with it.
#ifndef TAVO_STATUS_H
#define TAVO_STATUS_H

#include <string>

enum class ReportFormat { Text, Json, Prometheus };

struct StatusOptions {
    ReportFormat format = ReportFormat::Text;
    // Written atomically to this file instead of standard output.
    std::string output;
    std::string policyDirectory;
};

// The exit status: 0 once the status is written, 74 when the output file
// cannot be.
int runStatus(const StatusOptions &options);

#endif
