// Putting the service on a bus: on a private bus daemon started by the test,
// the three outcomes of publishPolicyService.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include <string>
#include <vector>

#include "delivery_recorder.h"
#include "policy_object.h"
#include "tavopolicysync/log.h"

namespace {

std::vector<std::string> logged;

void captureLine(void *, const char *, int, int, const char *message)
{
    logged.emplace_back(message);
}

int noMethod(sd_bus_message *, void *, sd_bus_error *)
{
    return 0;
}

const sd_bus_vtable squatterVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("sendPolicy", "", "i", noMethod, 0),
    SD_BUS_VTABLE_END,
};

class PrivateBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        busDaemon.start("dbus-daemon", {"--session", "--nofork", "--nosyslog", "--print-address=1"});
        ASSERT_TRUE(busDaemon.waitForStarted());
        ASSERT_TRUE(busDaemon.waitForReadyRead(30000));
        address = QString::fromUtf8(busDaemon.readLine()).trimmed().toStdString();
        logged.clear();
        setLogSink(captureLine, nullptr);
    }
    void TearDown() override
    {
        setLogSink(nullptr, nullptr);
        busDaemon.terminate();
        busDaemon.waitForFinished();
    }
    bool nameOwned()
    {
        SystemBus probe;
        EXPECT_TRUE(probe.connectTo(address.c_str()));
        int owned = 0;
        sd_bus_message *reply = nullptr;
        if (sd_bus_call_method(probe.handle(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               "com.norda.zupolicy") >= 0)
            sd_bus_message_read(reply, "b", &owned);
        sd_bus_message_unref(reply);
        return owned != 0;
    }

    QProcess busDaemon;
    std::string address;
};

TEST_F(PrivateBus, PublishesObjectThenName)
{
    SystemBus bus;
    ASSERT_TRUE(bus.connectTo(address.c_str()));
    DeliveryRecorder recorder;
    ZupolicyPolicymgrService service(bus, recorder);
    BusSlot exported;
    BusSlot introspected;
    EXPECT_EQ(publishPolicyService(bus, service, exported, introspected), 0);
    EXPECT_TRUE(nameOwned());
    EXPECT_TRUE(exported);
    EXPECT_TRUE(logged.empty());
}

TEST_F(PrivateBus, ObjectThatCannotBeExportedLeavesTheNameFree)
{
    SystemBus bus;
    ASSERT_TRUE(bus.connectTo(address.c_str()));
    // A fallback at the path makes sd-bus refuse the export before it fills
    // its member tables: a refusal found on a clashing member leaves the
    // members it had already entered pointing at freed memory (sd-bus 252).
    sd_bus_slot *squatter = nullptr;
    ASSERT_GE(sd_bus_add_fallback_vtable(bus.handle(), &squatter, "/policymgr", "com.norda.zupolicy.policymgr",
                                         squatterVtable, nullptr, nullptr),
              0);
    DeliveryRecorder recorder;
    ZupolicyPolicymgrService service(bus, recorder);
    BusSlot exported;
    BusSlot introspected;
    EXPECT_EQ(publishPolicyService(bus, service, exported, introspected), 1);
    EXPECT_FALSE(nameOwned());
    EXPECT_EQ(logged, std::vector<std::string>{"Failed to register service"});
    sd_bus_slot_unref(squatter);
}

TEST_F(PrivateBus, NameHeldElsewhereIsReportedAndTheObjectWithdrawn)
{
    SystemBus other;
    ASSERT_TRUE(other.connectTo(address.c_str()));
    ASSERT_GE(sd_bus_request_name(other.handle(), "com.norda.zupolicy", 0), 0);
    SystemBus bus;
    ASSERT_TRUE(bus.connectTo(address.c_str()));
    DeliveryRecorder recorder;
    ZupolicyPolicymgrService service(bus, recorder);
    BusSlot exported;
    BusSlot introspected;
    EXPECT_EQ(publishPolicyService(bus, service, exported, introspected), 1);
    EXPECT_FALSE(exported);
    EXPECT_EQ(logged, std::vector<std::string>{"Name com.norda.zupolicy is already owned on the system bus"});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
