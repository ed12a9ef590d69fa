// The client functions' one proxy of the daemon, created on first use.
#ifndef TAVO_DBUS_INTERFACE_H
#define TAVO_DBUS_INTERFACE_H

#include <memory>

#include "zupolicy_policymgr_interface.h"

class DbusInterface {
public:
    // The proxy of "com.norda.zupolicy" at "/policymgr" on the system bus.
    // Created by the first call in the process, once even when threads race
    // for it, and deleted at exit; never null.
    static ZupolicyPolicymgrInterface *getInstance();

    DbusInterface(const DbusInterface &) = delete;
    DbusInterface &operator=(const DbusInterface &) = delete;

private:
    DbusInterface();
    ~DbusInterface();

    std::unique_ptr<ZupolicyPolicymgrInterface> m_interface;
};

#endif
