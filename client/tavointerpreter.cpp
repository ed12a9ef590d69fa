#include "tavointerpreter.h"

#include <cstdio>
#include <string>

#include <QtDBus/QDBusError>
#include <QtDBus/QDBusReply>

#include "dbus_interface.h"
#include "input_validator.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

const char serviceName[] = "com.norda.zupolicy";
const char objectPath[] = "/policymgr";
const char nsLabel[] = "命名空间名称(ns_name)";
const char secLabel[] = "策略段名称(sec_name)";
const char varLabel[] = "变量名称(var_name)";

// Blocks until the daemon answers; its result, or -1 with the bus's reason
// logged. A reply that is not one int counts as an error too.
int awaitResult(const std::string &label, const QDBusPendingReply<int> &pending)
{
    const QDBusReply<int> reply = pending;
    if (!reply.isValid()) {
        const QDBusError error = reply.error();
        const QByteArray text = error.message().toUtf8();
        if (error.type() == QDBusError::AccessDenied)
            TAVO_ERROR("D-Bus 访问被拒绝 [%s]: %s", label.c_str(), text.constData());
        else
            TAVO_ERROR("其他 D-Bus 错误 [%s]: %s", label.c_str(), text.constData());
        return -1;
    }
    return reply.value();
}

bool anyNull(const char *first, const char *second)
{
    if (first && second)
        return false;
    fputs("输入校验失败: 参数不能为空\n", stderr);
    return true;
}

} // namespace

DbusInterface::DbusInterface()
    : m_interface(std::make_unique<ZupolicyPolicymgrInterface>(serviceName, objectPath,
                                                               QDBusConnection::systemBus(), nullptr))
{
}

DbusInterface::~DbusInterface() = default;

ZupolicyPolicymgrInterface *DbusInterface::getInstance()
{
    static DbusInterface s_instance;
    return s_instance.m_interface.get();
}

extern "C" {

int compilePolicy(void)
{
    const std::string label = "compilePolicy";
    return awaitResult(label, DbusInterface::getInstance()->compilePolicy());
}

int compileInitPolicy(void)
{
    const std::string label = "compileInitPolicy";
    return awaitResult(label, DbusInterface::getInstance()->compileInitPolicy());
}

int sendPolicy(void)
{
    const std::string label = "sendPolicy";
    return awaitResult(label, DbusInterface::getInstance()->sendPolicy());
}

int compileSectionPolicy(const char *ns_name, const char *sec_name)
{
    if (anyNull(ns_name, sec_name))
        return -1;
    const std::string ns(ns_name);
    const std::string sec(sec_name);
    if (validate_name_param(ns, nameLengthLimit, nsLabel) != 0)
        return -1;
    if (validate_name_param(sec, nameLengthLimit, secLabel) != 0)
        return -1;
    const std::string label = "compileSectionPolicy";
    return awaitResult(label, DbusInterface::getInstance()->compileSectionPolicy(QString::fromStdString(ns),
                                                                                 QString::fromStdString(sec)));
}

int modifyDynamicVariable(const char *ns_name, const char *var_name, int var_value)
{
    if (anyNull(ns_name, var_name))
        return -1;
    const std::string ns(ns_name);
    const std::string var(var_name);
    if (validate_name_param(ns, nameLengthLimit, nsLabel) != 0)
        return -1;
    if (validate_name_param(var, nameLengthLimit, varLabel) != 0)
        return -1;
    const std::string label = "modifyDynamicVariable";
    return awaitResult(label, DbusInterface::getInstance()->modifyDynamicVariable(
                                  QString::fromStdString(ns), QString::fromStdString(var), var_value));
}

} // extern "C"
