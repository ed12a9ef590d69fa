// Putting the service on a bus: on a private bus daemon started by the test,
// the three outcomes of publishPolicyService.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>

#include <string>
#include <vector>

#include "service_publisher.h"
#include "tavopolicysync/log.h"

namespace {

std::vector<std::string> logged;

void captureLine(void *, const char *, int, int, const char *message)
{
    logged.emplace_back(message);
}

class PrivateBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        busDaemon.start("dbus-daemon", {"--session", "--nofork", "--nosyslog", "--print-address=1"});
        ASSERT_TRUE(busDaemon.waitForStarted());
        ASSERT_TRUE(busDaemon.waitForReadyRead(30000));
        address = QString::fromUtf8(busDaemon.readLine()).trimmed();
        logged.clear();
        setLogSink(captureLine, nullptr);
    }
    void TearDown() override
    {
        setLogSink(nullptr, nullptr);
        for (const QString &name : names)
            QDBusConnection::disconnectFromBus(name);
        busDaemon.terminate();
        busDaemon.waitForFinished();
    }
    QDBusConnection connect(const QString &name)
    {
        names.push_back(name);
        return QDBusConnection::connectToBus(address, name);
    }
    bool nameOwned(QDBusConnection &bus) { return bus.interface()->isServiceRegistered("com.norda.zupolicy"); }

    QProcess busDaemon;
    QString address;
    std::vector<QString> names;
};

TEST_F(PrivateBus, PublishesObjectThenName)
{
    QDBusConnection bus = connect("ok");
    QObject service;
    EXPECT_EQ(publishPolicyService(bus, service), 0);
    EXPECT_TRUE(nameOwned(bus));
    EXPECT_EQ(bus.objectRegisteredAt("/policymgr"), &service);
    EXPECT_TRUE(logged.empty());
}

TEST_F(PrivateBus, ObjectThatCannotBeExportedLeavesTheNameFree)
{
    QDBusConnection bus = connect("taken-path");
    QObject squatter;
    QObject service;
    ASSERT_TRUE(bus.registerObject("/policymgr", &squatter));
    EXPECT_EQ(publishPolicyService(bus, service), 1);
    EXPECT_FALSE(nameOwned(bus));
    EXPECT_EQ(logged, std::vector<std::string>{"Failed to register service"});
}

TEST_F(PrivateBus, NameHeldElsewhereIsReportedAndTheObjectWithdrawn)
{
    QDBusConnection other = connect("owner");
    ASSERT_TRUE(other.registerService("com.norda.zupolicy"));
    QDBusConnection bus = connect("late");
    QObject service;
    EXPECT_EQ(publishPolicyService(bus, service), 1);
    EXPECT_EQ(bus.objectRegisteredAt("/policymgr"), nullptr);
    EXPECT_EQ(logged, std::vector<std::string>{"Name com.norda.zupolicy is already owned on the system bus"});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
