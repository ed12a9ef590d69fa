// tavo-main-policy-sync: asks the policy daemon to compile and deliver
// policy, compile one section, deliver, or change a dynamic variable.
#include <getopt.h>
#include <unistd.h>

#include <clocale>
#include <optional>
#include <cstdio>
#include <cstring>
#include <array>
#include <initializer_list>
#include <string>

#include "exit_status.h"
#include "input_validator.h"
#include "passwd_lookup.h"
#include "reasons.h"
#include "shared_constants.h"
#include "tavointerpreter.h"

namespace {

constexpr int statusRefused = 255;
const char programName[] = "tavo-main-policy-sync";
constexpr int statusBadName = 1;
// The daemon's answer to a caller it does not authorise.
constexpr int resultNotAuthorised = -100;

const char *const usageLines[] = {
    "用法: tavo-main-policy-sync <opreation> [-n] <namespace> [-s] <section>",
    "功能: 主策略下发",
    "参数:",
    "    -h, --help    显示帮助信息",
    "    -a, --all    全量下发",
    "    -p, --patial 部分下发",
    "    -l, --load 策略同步",
    "    -d, --dynamicvar   变量更新",
    "    -n, --namespace    命名空间",
    "    -s, --section    程序段",
    "    -v, --variable  变量名",
    "    -V, --varvalue  变量值",
    "    opreation,       包含-h、-a、-p、-d",
    "举例:",
    "    tavo-main-policy-sync -a",
    "    tavo-main-policy-sync -p -n defaultpolicy -s filectl",
    "    tavo-main-policy-sync -d -n defaultpolicy -v fileflag -V true",
};

void printUsage()
{
    for (const char *line : usageLines)
        printf("%s\n", line);
}

enum class Operation { None, All, Partial, DynamicVar, Load };

// A long option only: -V is the sync command's value.
constexpr int optionVersion = 256;

const char shortOptions[] = "hapdlin:s:v:V:P:";
const struct option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, optionVersion},
    {"all", no_argument, nullptr, 'a'},
    {"partial", no_argument, nullptr, 'p'},
    {"dynamicvar", no_argument, nullptr, 'd'},
    {"load", no_argument, nullptr, 'l'},
    {"init", no_argument, nullptr, 'i'},
    {"namespace", required_argument, nullptr, 'n'},
    {"section", required_argument, nullptr, 's'},
    {"variable", required_argument, nullptr, 'v'},
    {"varvalue", required_argument, nullptr, 'V'},
    {"prefix", required_argument, nullptr, 'P'},
    {nullptr, 0, nullptr, 0},
};

// Root in default mode; in three-mode only the security administrator. A
// switch in an unknown state lets nobody act, as the daemon refuses
// everyone then. Says why on refusal.
bool userMayAct()
{
    const uid_t uid = getuid();
    std::string problem;
    bool allowed = false;
    switch (readThreeModeSwitch(problem)) {
    case ThreeModeSwitch::On: {
        allowed = userNameOf(uid) == std::optional<std::string>(securityAdministrator);
        break;
    }
    case ThreeModeSwitch::Off: allowed = uid == 0; break;
    case ThreeModeSwitch::Unreadable:
        fprintf(stderr, "错误: 三权开关状态未知，任何用户都无权执行此命令: %s\n", problem.c_str());
        return false;
    }
    if (!allowed)
        fputs("错误: 当前用户无权执行此命令。在三权开启时需要 secadm 用户，在默认模式下需要 root 用户。\n", stderr);
    return allowed;
}

// Says on standard error which name is refused (the log says it too).
bool namesRefused(std::initializer_list<std::array<const char *, 3>> names, const std::string &operations)
{
    for (const auto &[value, option, label] : names) {
        const std::string problem = nameProblem(value, option, label);
        if (!problem.empty()) {
            fprintf(stderr, "错误: %s%s\n", problem.c_str(), operations.c_str());
            return true;
        }
    }
    return false;
}

int dynamicValue(const std::string &text)
{
    if (text == "true")
        return 1;
    if (text == "false")
        return 0;
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!is_tavo_module_loaded()) {
        setlocale(LC_ALL, "");
        fputs("错误: tavo模块未加载（/sys/kernel/security/tavo/ 不存在），需要先加载tavo模块\n", stderr);
        return statusRefused;
    }
    setlocale(LC_ALL, "");

    if (argc < 2) {
        printUsage();
        return statusRefused;
    }
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) {
            fprintf(stderr, "错误: 参数 %d 为空指针\n", i);
            fflush(stderr);
            printUsage();
            return statusRefused;
        }
    }
    if (!userMayAct())
        return statusRefused;

    Operation operation = Operation::None;
    // The operations given, when more than one: the last one is done.
    std::string operations;
    int operationCount = 0;
    std::string nsName, section, variable, value, prefix;
    int opt;
    while ((opt = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1) {
        if (opt == 'a' || opt == 'p' || opt == 'd' || opt == 'l') {
            operations += std::string(operations.empty() ? "" : " ") + "-" + static_cast<char>(opt);
            ++operationCount;
        }
        switch (opt) {
        case 'h': printUsage(); return 0;
        case optionVersion: printf("%s %s\n", programName, TAVO_VERSION); return 0;
        case 'a': operation = Operation::All; break;
        case 'p': operation = Operation::Partial; break;
        case 'd': operation = Operation::DynamicVar; break;
        case 'l': operation = Operation::Load; break;
        case 'n': nsName = optarg; break;
        case 's': section = optarg; break;
        case 'v': variable = optarg; break;
        case 'V': value = optarg; break;
        case 'P': prefix = optarg; break; // accepted; no operation uses it
        default: // '?', and -i which is recognised but not offered
            fputs("无效的参数\n", stderr);
            printUsage();
            return statusRefused;
        }
    }

    const std::string several =
        operationCount > 1 ? "（给出了多个操作 " + operations + "，只做最后一个）" : std::string();
    int result = 0;
    bool compileFailed = false;
    switch (operation) {
    case Operation::None:
        fputs("命令格式不正确\n", stderr);
        printUsage();
        return statusRefused;
    case Operation::All:
        result = compilePolicy();
        compileFailed = result != 0;
        if (result == 0)
            result = sendPolicy();
        break;
    case Operation::Load:
        result = sendPolicy();
        break;
    case Operation::Partial:
        if (validate_name_param(nsName, nameLengthLimit, "命名空间名称(namespace)") != 0 ||
            validate_name_param(section, nameLengthLimit, "策略段名称(section)") != 0) {
            namesRefused({{{nsName.c_str(), "-n", "命名空间名称(namespace)"}},
                          {{section.c_str(), "-s", "策略段名称(section)"}}},
                         several);
            return statusBadName;
        }
        result = compileSectionPolicy(nsName.c_str(), section.c_str());
        compileFailed = result != 0;
        break;
    case Operation::DynamicVar: {
        if (validate_name_param(nsName, nameLengthLimit, "命名空间名称(namespace)") != 0 ||
            validate_name_param(variable, nameLengthLimit, "变量名称(variable)") != 0) {
            namesRefused({{{nsName.c_str(), "-n", "命名空间名称(namespace)"}},
                          {{variable.c_str(), "-v", "变量名称(variable)"}}},
                         several);
            return statusBadName;
        }
        const int newValue = dynamicValue(value);
        if (newValue < 0) {
            fprintf(stderr, "变量值(varvalue) 必须为 \"true\" 或 \"false\"，当前值为 \"%s\"\n", value.c_str());
            return statusBadName;
        }
        result = modifyDynamicVariable(nsName.c_str(), variable.c_str(), newValue);
        break;
    }
    }

    if (result != 0) {
        printf("失败，查看日志获取更多信息!\n");
        // A refusal says nothing of the files.
        if (compileFailed && result != resultNotAuthorised) {
            fflush(stdout);
            explainCompileFailure(TAVO_POLICY_CHECK_PATH, policyDirectoryPath);
        }
        return exitStatusFor(result);
    }
    printf("成功!\n");
    return 0;
}
