#include "dbus_types.h"

#include <cerrno>
#include <cstring>

int readPolkitAuthResult(sd_bus_message *reply, PolkitAuthResult &result)
{
    const char *signature = sd_bus_message_get_signature(reply, 1);
    if (!signature || std::strcmp(signature, polkitAuthResultSignature) != 0)
        return -EBADMSG;
    int r = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
    if (r < 0)
        return r;
    int authorized = 0;
    int challenge = 0;
    if ((r = sd_bus_message_read(reply, "bb", &authorized, &challenge)) < 0)
        return r;
    if ((r = sd_bus_message_enter_container(reply, 'a', "{ss}")) < 0)
        return r;
    result.details.clear();
    const char *key = nullptr;
    const char *value = nullptr;
    while ((r = sd_bus_message_read(reply, "{ss}", &key, &value)) > 0)
        result.details[key] = value;
    if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0 || (r = sd_bus_message_exit_container(reply)) < 0)
        return r;
    result.is_authorized = authorized != 0;
    result.is_challenge = challenge != 0;
    return 0;
}
