// tavo-main-policy-init: delivers the initial policy straight to the tavo
// module through the policy-sync library, without the daemon or the bus,
// optionally below a mount-point prefix (an early-boot root).
#include <getopt.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>

#include <tavopolicysync/policy_module_manager.h>

#include "exit_status.h"
#include "initial_delivery.h"
#include "input_validator.h"
#include "record_store.h"
#include "shared_constants.h"

namespace {

constexpr int statusRefused = 255;
const char programName[] = "tavo-main-policy-init";

const char *const usageLines[] = {
    "用法: tavo-main-policy-init",
    "功能: 下发初始化策略",
    "参数:",
    "    -P, --prefix 目录前缀",
    "    -h, --help    显示帮助信息",
    "举例:",
    "    tavo-main-policy-init",
    "    tavo-main-policy-init -P /sysroot",
};

void printUsage()
{
    for (const char *line : usageLines)
        printf("%s\n", line);
}

// A long option only: -V is the sync command's value.
constexpr int optionVersion = 256;

const char shortOptions[] = "hP:";
const struct option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, optionVersion},
    {"prefix", required_argument, nullptr, 'P'},
    {nullptr, 0, nullptr, 0},
};

// Created only once the prefix has been accepted.
PolicyModuleManagerInterface &policyManager()
{
    static PolicyModuleManagerInterface manager;
    return manager;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!is_tavo_module_loaded()) {
        fputs("Error: the tavo module is not loaded (/sys/kernel/security/tavo/ does not exist)\n", stderr);
        return statusRefused;
    }
    if (getuid() != 0) {
        fputs("Error: this command must be run as root.\n", stderr);
        return statusRefused;
    }
    setlocale(LC_ALL, "");

    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) {
            fprintf(stderr, "Error: argument %d is null pointer\n", i);
            fflush(stderr);
            printUsage();
            return statusRefused;
        }
    }

    std::string prefix;
    int opt;
    while ((opt = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1) {
        switch (opt) {
        case 'h': printUsage(); return 0;
        case optionVersion: printf("%s %s\n", programName, TAVO_VERSION); return 0;
        case 'P': prefix = optarg; break;
        default:
            fputs("Invalid option\n", stderr);
            printUsage();
            return statusRefused;
        }
    }

    const int accepted = validate_mount_point(prefix, "mount point parameter");
    if (accepted != 0) {
        fputs("Kernel sync failed: invalid mount point prefix\n", stderr);
        return exitStatusFor(accepted);
    }

    // What is in force is recorded on the running system's /run, whatever
    // the prefix; a failure to record is logged and changes no status.
    const int result = deliverInitialPolicy(prefix, inForceRecordDirectory,
                                            [&prefix] { return policyManager().sendInitPolicy(prefix); });
    if (result != 0) {
        if (const KernelResultText *text = kernelResultText(result))
            fprintf(stderr, "Kernel sync failed: %s\n", text->english);
        else
            fprintf(stderr, "Kernel sync failed, error code %d, check logs for more details\n", result);
    }
    return exitStatusFor(result);
}
