// Puts the service on the bus: the object "/policymgr" with the interface
// com.norda.zupolicy.policymgr, then the name.
#ifndef TAVO_POLICY_OBJECT_H
#define TAVO_POLICY_OBJECT_H

#include "policymgr_service.h"
#include "system_bus.h"

// Exports `service` at "/policymgr", starts following the bus's
// connections, then claims "com.norda.zupolicy" (waiting for the bus
// daemon's answer: start-up only). Returns 0, or 1 with the reason logged;
// on failure the name is not owned and the object withdrawn, so no client
// and no service manager mistakes a daemon without its object for a
// working one. `exported` keeps the object on the bus, `introspected` its
// introspection data.
int publishPolicyService(SystemBus &bus, ZupolicyPolicymgrService &service, BusSlot &exported,
                         BusSlot &introspected);

#endif
