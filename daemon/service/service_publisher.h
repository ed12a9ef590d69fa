// Puts the service object on the bus: first the object, then the name.
#ifndef TAVO_SERVICE_PUBLISHER_H
#define TAVO_SERVICE_PUBLISHER_H

#include <QDBusConnection>
#include <QObject>

// Lifts libdbus's limits on what the connection may hold unread, so that it
// never stops reading (see the source for why a stop would be for good).
void keepReadingTheBus(QDBusConnection &bus);

// Lifts the receive limits (above), exports `service` at "/policymgr" (its
// scriptable slots) and then claims "com.norda.zupolicy". Returns 0, or 1
// with the reason logged; on failure the name is not owned, so no client
// and no service manager mistakes a daemon without its object for a
// working one.
int publishPolicyService(QDBusConnection &bus, QObject &service);

#endif
