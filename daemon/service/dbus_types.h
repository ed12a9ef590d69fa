// Composite D-Bus types the daemon exchanges with the bus daemon and polkit.
#ifndef TAVO_DBUS_TYPES_H
#define TAVO_DBUS_TYPES_H

#include <QDBusArgument>
#include <QMap>
#include <QMetaType>
#include <QString>

using StringMap = QMap<QString, QString>;

// Reply of polkit's CheckAuthorization, D-Bus (bba{ss}).
struct PolkitAuthResult {
    bool is_authorized = false;
    bool is_challenge = false;
    StringMap details; // kept, never read
};
Q_DECLARE_METATYPE(PolkitAuthResult)

QDBusArgument &operator<<(QDBusArgument &argument, const PolkitAuthResult &result);
const QDBusArgument &operator>>(const QDBusArgument &argument, PolkitAuthResult &result);

// Registers QMap<QString,QString> as a{ss}; once per process, before the
// application object exists.
void registerStringMapType();

// Type id of QDBusVariant, looked up once.
int dbusVariantTypeId();

#endif
