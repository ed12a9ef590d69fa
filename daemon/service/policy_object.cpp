#include "policy_object.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include <tavopolicysync/log.h>

namespace {

constexpr int publishFailed = 1;
// RequestName: fail rather than queue behind another owner.
constexpr uint32_t nameDoNotQueue = 4;
constexpr uint32_t namePrimaryOwner = 1;
constexpr uint32_t nameAlreadyOwner = 4;

ZupolicyPolicymgrService &serviceOf(void *userdata)
{
    return *static_cast<ZupolicyPolicymgrService *>(userdata);
}

// sd-bus has checked the call's signature against the table below before
// any of these runs (a call of another signature gets InvalidArgs), and
// our own code never unwinds into it.
template <typename Serve> int serve(sd_bus_message *message, void *userdata, Serve &&serveCall)
{
    try {
        serveCall(serviceOf(userdata).incoming(message));
    } catch (const std::exception &error) {
        TAVO_ERROR("#ERROR: cannot serve the call: %s", error.what());
        return -ENOMEM;
    }
    return 1;
}

int onCompilePolicy(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    return serve(m, userdata, [&](MethodCall call) { serviceOf(userdata).compilePolicy(std::move(call)); });
}

int onCompileInitPolicy(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    return serve(m, userdata, [&](MethodCall call) { serviceOf(userdata).compileInitPolicy(std::move(call)); });
}

int onSendPolicy(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    return serve(m, userdata, [&](MethodCall call) { serviceOf(userdata).sendPolicy(std::move(call)); });
}

int onCompileSectionPolicy(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    const char *ns = nullptr;
    const char *section = nullptr;
    if (const int r = sd_bus_message_read(m, "ss", &ns, &section); r < 0)
        return r;
    return serve(m, userdata, [&](MethodCall call) { serviceOf(userdata).compileSectionPolicy(std::move(call), ns, section); });
}

int onModifyDynamicVariable(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    const char *ns = nullptr;
    const char *var = nullptr;
    int32_t value = 0;
    if (const int r = sd_bus_message_read(m, "ssi", &ns, &var, &value); r < 0)
        return r;
    return serve(m, userdata, [&](MethodCall call) {
        serviceOf(userdata).modifyDynamicVariable(std::move(call), ns, var, value);
    });
}

// The interface as callers see it; every method answers one int. sd-bus
// adds Introspectable, Peer and Properties. The service authorises every
// call itself, so sd-bus is not to ask the bus daemon for credentials.
constexpr uint64_t ours = SD_BUS_VTABLE_UNPRIVILEGED;
const sd_bus_vtable policyVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("compilePolicy", "", "i", onCompilePolicy, ours),
    SD_BUS_METHOD("compileInitPolicy", "", "i", onCompileInitPolicy, ours),
    SD_BUS_METHOD("compileSectionPolicy", "ss", "i", onCompileSectionPolicy, ours),
    SD_BUS_METHOD("sendPolicy", "", "i", onSendPolicy, ours),
    SD_BUS_METHOD("modifyDynamicVariable", "ssi", "i", onModifyDynamicVariable, ours),
    SD_BUS_VTABLE_END,
};

// The object's introspection data, written out: sd-bus names either every
// argument of a method or none, and the interface names its in arguments
// and leaves its out argument unnamed.
constexpr char introspection[] =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n"
    " <interface name=\"com.norda.zupolicy.policymgr\">\n"
    "  <method name=\"compilePolicy\">\n"
    "   <arg type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"compileInitPolicy\">\n"
    "   <arg type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"compileSectionPolicy\">\n"
    "   <arg name=\"ns_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"sec_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"sendPolicy\">\n"
    "   <arg type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"modifyDynamicVariable\">\n"
    "   <arg name=\"ns_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"var_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"var_value\" type=\"i\" direction=\"in\"/>\n"
    "   <arg type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"property_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"value\" direction=\"out\" type=\"v\"/>\n"
    "  </method>\n"
    "  <method name=\"GetAll\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"props\" direction=\"out\" type=\"a{sv}\"/>\n"
    "  </method>\n"
    "  <method name=\"Set\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"property_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"value\" direction=\"in\" type=\"v\"/>\n"
    "  </method>\n"
    "  <signal name=\"PropertiesChanged\">\n"
    "   <arg type=\"s\" name=\"interface_name\"/>\n"
    "   <arg type=\"a{sv}\" name=\"changed_properties\"/>\n"
    "   <arg type=\"as\" name=\"invalidated_properties\"/>\n"
    "  </signal>\n"
    " </interface>\n"
    "</node>\n";

// Answers Introspect on our object before sd-bus would; every other
// message goes on to it.
int introspectPolicyObject(sd_bus_message *m, void *, sd_bus_error *)
{
    if (!sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Introspectable", "Introspect"))
        return 0;
    const char *path = sd_bus_message_get_path(m);
    if (!path || std::strcmp(path, policyObjectPath) != 0)
        return 0;
    sd_bus_reply_method_return(m, "s", introspection);
    return 1;
}

} // namespace

int publishPolicyService(SystemBus &bus, ZupolicyPolicymgrService &service, BusSlot &exported, BusSlot &introspected)
{
    sd_bus_slot *slot = nullptr;
    if (!bus.isConnected() ||
        sd_bus_add_object_vtable(bus.handle(), &slot, policyObjectPath, policyInterfaceName, policyVtable, &service) <
            0) {
        TAVO_ERROR("Failed to register service");
        return publishFailed;
    }
    exported.reset(slot);
    sd_bus_slot *filter = nullptr;
    if (sd_bus_add_filter(bus.handle(), &filter, introspectPolicyObject, nullptr) < 0) {
        TAVO_ERROR("Failed to register service");
        exported.reset();
        introspected.reset();
        return publishFailed;
    }
    introspected.reset(filter);
    if (!service.followConnections()) {
        TAVO_ERROR("Cannot follow the connections on the system bus");
        exported.reset();
        introspected.reset();
        return publishFailed;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    const int r = sd_bus_call_method(bus.handle(), busDaemonService, busDaemonPath, busDaemonInterface, "RequestName",
                                     &error, &reply, "su", policyServiceName, nameDoNotQueue);
    const BusMessage owned(reply);
    uint32_t answer = 0;
    if (r < 0 || sd_bus_message_read(reply, "u", &answer) < 0 ||
        (answer != namePrimaryOwner && answer != nameAlreadyOwner)) {
        // A name held by another process is no bus error, so there is then
        // no message to give: say what happened.
        if (r < 0)
            TAVO_ERROR("%s", error.message ? error.message : strerror(-r));
        else
            TAVO_ERROR("Name com.norda.zupolicy is already owned on the system bus");
        sd_bus_error_free(&error);
        exported.reset();
        introspected.reset();
        return publishFailed;
    }
    sd_bus_error_free(&error);
    return 0;
}
