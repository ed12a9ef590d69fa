#include "policymgr_service.h"

#include <QByteArray>

#include "dbus_types.h"
#include "delivery_recorder.h"
#include "input_validator.h"
#include "policy_loader.h"
#include "policy_manager.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

constexpr char policyDirectory[] = "/etc/tavo/policy";
constexpr char nsLabel[] = "命名空间名称(ns_name)";
constexpr char secLabel[] = "策略段名称(sec_name)";
constexpr char varLabel[] = "变量名称(var_name)";
constexpr bool dynamicChangeFlag = true;
constexpr char nsRefused[] = "#ERROR: compileSectionPolicy 输入校验失败，ns_name不合法";
constexpr char secRefused[] = "#ERROR: compileSectionPolicy 输入校验失败，sec_name不合法";
constexpr char varNsRefused[] = "#ERROR: modifyDynamicVariable 输入校验失败，ns_name不合法";
constexpr char varRefused[] = "#ERROR: modifyDynamicVariable 输入校验失败，var_name不合法";

// Why a directory run failed, as the operator reads it.
void logDirectoryFailure(int result)
{
    switch (result) {
    case FileCompileError: TAVO_ERROR("#ERROR: 处理策略文件失败，存在语法编译错误"); break;
    case DirectoryClearFailed: TAVO_ERROR("#ERROR: 处理策略文件失败，数据构造错误"); break;
    case DirectoryWithoutPolicy: TAVO_ERROR("#ERROR: 处理策略文件失败，不存在以.p或.policy结尾的有效策略文件"); break;
    default: TAVO_ERROR("#ERROR: 处理策略文件失败，错误信息为 %d \n", result); break;
    }
}

void logSendResult(int rc)
{
    if (rc == 0)
        TAVO_INFO("#INFO: 策略同步成功");
    else if (const KernelResultText *text = kernelResultText(rc))
        TAVO_ERROR("#ERROR: 策略同步失败，%s", text->chinese);
    else
        TAVO_ERROR("#ERROR: 策略同步失败，错误码为 %d, 查看日志获取更多信息\n", rc);
}

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace

ZupolicyPolicymgrService::ZupolicyPolicymgrService() : connection(QDBusConnection::systemBus())
{
    registerPolkitAuthResultType();
    if (!connection.isConnected())
        TAVO_ERROR("Failed to connect to D-Bus system bus");
}

ZupolicyPolicymgrService::~ZupolicyPolicymgrService() = default;

ZupolicyPolicymgrService &ZupolicyPolicymgrService::instance()
{
    static ZupolicyPolicymgrService service;
    return service;
}

int ZupolicyPolicymgrService::processPolicyDirectory(bool initFunctions)
{
    // Resolved once: a directory whose link target moves later is refused.
    static const std::string prefix = canonicalDirectoryPrefix(policyDirectory);
    PolicyDirectoryRun run;
    run.directory = policyDirectory;
    run.prefix = prefix;
    run.stopAtFirstFailure = true;
    run.onSource = deliveryRecorder().startCompile();
    return ::processPolicyDirectory(run, initFunctions);
}

int ZupolicyPolicymgrService::admit(const char *method, bool checkModule, std::initializer_list<NameArgument> names)
{
    const std::string sender = callerSender();
    if (checkModule && !is_tavo_module_loaded()) {
        TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, refused before authorisation: tavo module not loaded", method,
                   sender.c_str());
        return MethodRefusedInput;
    }
    for (const NameArgument &name : names) {
        // UTF-16 units never outnumber UTF-8 bytes, so a long QString is
        // refused without converting it.
        const int limit = static_cast<int>(nameLengthLimit);
        if (name.value.size() <= limit && name.value.toUtf8().size() <= limit)
            continue;
        validate_name_param(utf8(name.value), nameLengthLimit, name.label);
        TAVO_ERROR("%s", name.refusedLine);
        TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, refused before authorisation: %s longer than %zu bytes", method,
                   sender.c_str(), name.label, static_cast<size_t>(nameLengthLimit));
        return MethodRefusedInput;
    }
    if (!checkAuth(sender, method)) {
        TAVO_ERROR("#ERROR: auth failed for sender %s, method %s", sender.c_str(), method);
        return MethodNotAuthorised;
    }
    return MethodSucceeded;
}

int ZupolicyPolicymgrService::compileAll(const char *method, const char *startLine, bool initial)
{
    if (const int refused = admit(method, !initial))
        return refused;
    TAVO_INFO("%s", startLine);
    const int r = processPolicyDirectory(false);
    if (r != 0) {
        logDirectoryFailure(r);
        return r;
    }
    TAVO_INFO("#INFO: 策略文件处理成功");
    const int compiled = initial ? policyManager().compileInitData() : policyManager().compileData();
    if (compiled != 0) {
        TAVO_ERROR("#ERROR: 策略编译失败，数据解析错误");
        return MethodCompileFailed;
    }
    TAVO_INFO("#INFO: 策略文件编译成功");
    return deliveryRecorder().compiled(initial ? DeliveryRecorder::CompileKind::Initial
                                               : DeliveryRecorder::CompileKind::Full,
                                       authorisedUid, MethodSucceeded);
}

int ZupolicyPolicymgrService::compilePolicy()
{
    return compileAll("compilePolicy", "#INFO: 开始全量策略编译", false);
}

int ZupolicyPolicymgrService::compileInitPolicy()
{
    return compileAll("compileInitPolicy", "#INFO: 开始初始化策略编译", true);
}

int ZupolicyPolicymgrService::compileSectionPolicy(const QString &ns_name, const QString &sec_name)
{
    if (const int refused = admit("compileSectionPolicy", true,
                                  {{ns_name, nsLabel, nsRefused}, {sec_name, secLabel, secRefused}}))
        return refused;
    TAVO_INFO("#INFO: 开始增量策略编译");
    const std::string ns = utf8(ns_name);
    const std::string section = utf8(sec_name);
    if (const int invalid = validate_name_param(ns, nameLengthLimit, nsLabel)) {
        TAVO_ERROR("%s", nsRefused);
        return invalid;
    }
    if (const int invalid = validate_name_param(section, nameLengthLimit, secLabel)) {
        TAVO_ERROR("%s", secRefused);
        return invalid;
    }
    const int r = processPolicyDirectory(true);
    if (r != 0) {
        logDirectoryFailure(r);
        return r;
    }
    TAVO_INFO("#INFO: 策略文件处理成功");
    return deliveryRecorder().sectionCompiled(ns, section, authorisedUid,
                                              policyManager().compileSectionPolicy(ns, section));
}

int ZupolicyPolicymgrService::sendPolicy()
{
    if (const int refused = admit("sendPolicy", true))
        return refused;
    TAVO_INFO("#INFO: 开始策略同步");
    const int rc = policyManager().sendPolicy();
    logSendResult(rc);
    return deliveryRecorder().sent(authorisedUid, rc);
}

int ZupolicyPolicymgrService::modifyDynamicVariable(const QString &ns_name, const QString &var_name, int var_value)
{
    if (const int refused = admit("modifyDynamicVariable", true,
                                  {{ns_name, nsLabel, varNsRefused}, {var_name, varLabel, varRefused}}))
        return refused;
    const std::string ns = utf8(ns_name);
    const std::string var = utf8(var_name);
    if (static_cast<uint32_t>(var_value) > 1) {
        TAVO_ERROR("#ERROR: modifyDynamicVariable var_value invalid, must be 0 or 1, received %d", var_value);
        return MethodRefusedInput;
    }
    if (validate_name_param(ns, nameLengthLimit, nsLabel) != 0) {
        TAVO_ERROR("%s", varNsRefused);
        return MethodRefusedInput;
    }
    if (validate_name_param(var, nameLengthLimit, varLabel) != 0) {
        TAVO_ERROR("%s", varRefused);
        return MethodRefusedInput;
    }
    const int rc = policyManager().modifyDynamicVariable(ns, var, static_cast<uint32_t>(var_value), dynamicChangeFlag);
    if (rc != 0)
        TAVO_INFO("#INFO: 修改动态变量[%s:%s] = %d 失败", ns.c_str(), var.c_str(), var_value);
    else
        TAVO_INFO("#INFO: 修改动态变量[%s:%s] = %d 成功", ns.c_str(), var.c_str(), var_value);
    return deliveryRecorder().dynamicChanged(ns, var, static_cast<uint32_t>(var_value), authorisedUid, rc);
}
