// Proxy of the daemon's interface "com.norda.zupolicy.policymgr". Every
// slot sends its method asynchronously and returns the pending reply, which
// carries the daemon's int result code.
#ifndef TAVO_ZUPOLICY_POLICYMGR_INTERFACE_H
#define TAVO_ZUPOLICY_POLICYMGR_INTERFACE_H

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <QtDBus/QDBusAbstractInterface>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusPendingReply>

#define TAVO_PROXY_EXPORT __attribute__((visibility("default")))

class TAVO_PROXY_EXPORT ZupolicyPolicymgrInterface : public QDBusAbstractInterface {
    Q_OBJECT
public:
    ZupolicyPolicymgrInterface(const QString &service, const QString &path, const QDBusConnection &connection,
                               QObject *parent = nullptr);
    ~ZupolicyPolicymgrInterface() override;

    // The order of the slots is the order of the meta-object's methods,
    // which callers of qt_metacall rely on.
public Q_SLOTS:
    inline QDBusPendingReply<int> compileInitPolicy()
    {
        QList<QVariant> argumentList;
        return asyncCallWithArgumentList(QStringLiteral("compileInitPolicy"), argumentList);
    }

    inline QDBusPendingReply<int> compilePolicy()
    {
        QList<QVariant> argumentList;
        return asyncCallWithArgumentList(QStringLiteral("compilePolicy"), argumentList);
    }

    QDBusPendingReply<int> compileSectionPolicy(const QString &ns_name, const QString &sec_name);

    QDBusPendingReply<int> modifyDynamicVariable(const QString &ns_name, const QString &var_name, int var_value);

    inline QDBusPendingReply<int> sendPolicy()
    {
        QList<QVariant> argumentList;
        return asyncCallWithArgumentList(QStringLiteral("sendPolicy"), argumentList);
    }
};

#endif
