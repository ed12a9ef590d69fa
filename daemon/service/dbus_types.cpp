#include "dbus_types.h"

#include <QDBusMetaType>
#include <QDBusVariant>

QDBusArgument &operator<<(QDBusArgument &argument, const PolkitAuthResult &result)
{
    argument.beginStructure();
    argument << result.is_authorized << result.is_challenge;
    argument.beginMap(QVariant::String, QVariant::String);
    for (auto it = result.details.constBegin(); it != result.details.constEnd(); ++it) {
        argument.beginMapEntry();
        argument << it.key() << it.value();
        argument.endMapEntry();
    }
    argument.endMap();
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PolkitAuthResult &result)
{
    argument.beginStructure();
    argument >> result.is_authorized >> result.is_challenge;
    argument.beginMap();
    result.details.clear();
    while (!argument.atEnd()) {
        QString key;
        QString value;
        argument.beginMapEntry();
        argument >> key >> value;
        argument.endMapEntry();
        result.details.insert(key, value);
    }
    argument.endMap();
    argument.endStructure();
    return argument;
}

void registerStringMapType()
{
    qDBusRegisterMetaType<StringMap>();
}

int dbusVariantTypeId()
{
    static const int id = qMetaTypeId<QDBusVariant>();
    return id;
}
