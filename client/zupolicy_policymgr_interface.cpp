#include "zupolicy_policymgr_interface.h"

namespace {
const char interfaceName[] = "com.norda.zupolicy.policymgr";
}

ZupolicyPolicymgrInterface::ZupolicyPolicymgrInterface(const QString &service, const QString &path,
                                                       const QDBusConnection &connection, QObject *parent)
    : QDBusAbstractInterface(service, path, interfaceName, connection, parent)
{
}

ZupolicyPolicymgrInterface::~ZupolicyPolicymgrInterface() = default;

QDBusPendingReply<int> ZupolicyPolicymgrInterface::compileSectionPolicy(const QString &ns_name,
                                                                        const QString &sec_name)
{
    QList<QVariant> argumentList;
    argumentList << QVariant::fromValue(ns_name) << QVariant::fromValue(sec_name);
    return asyncCallWithArgumentList(QStringLiteral("compileSectionPolicy"), argumentList);
}

QDBusPendingReply<int> ZupolicyPolicymgrInterface::modifyDynamicVariable(const QString &ns_name,
                                                                         const QString &var_name, int var_value)
{
    QList<QVariant> argumentList;
    argumentList << QVariant::fromValue(ns_name) << QVariant::fromValue(var_name) << QVariant::fromValue(var_value);
    return asyncCallWithArgumentList(QStringLiteral("modifyDynamicVariable"), argumentList);
}
