// The client side's proxy meta-object, the proxy holder under concurrent
// first use, and the commands' exit status.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QtCore/QMetaMethod>
#include <QtDBus/QDBusConnection>

#include "dbus_interface.h"
#include "exit_status.h"
#include "zupolicy_policymgr_interface.h"

namespace {

// A proxy on a connection that was never opened: no bus is touched.
struct OfflineProxy {
    ZupolicyPolicymgrInterface proxy{"com.norda.zupolicy", "/policymgr", QDBusConnection("tavo-test-offline")};
};

std::vector<QByteArray> toVector(const QList<QByteArray> &list)
{
    return std::vector<QByteArray>(list.begin(), list.end());
}

} // namespace

TEST(ClientProxy, MetaObjectListsTheFiveSlotsInOrder)
{
    struct Slot {
        const char *name;
        std::vector<QByteArray> types;
        std::vector<QByteArray> names;
    };
    const Slot expected[] = {
        {"compileInitPolicy", {}, {}},
        {"compilePolicy", {}, {}},
        {"compileSectionPolicy", {"QString", "QString"}, {"ns_name", "sec_name"}},
        {"modifyDynamicVariable", {"QString", "QString", "int"}, {"ns_name", "var_name", "var_value"}},
        {"sendPolicy", {}, {}},
    };
    const QMetaObject &mo = ZupolicyPolicymgrInterface::staticMetaObject;
    EXPECT_STREQ(mo.className(), "ZupolicyPolicymgrInterface");
    EXPECT_EQ(mo.superClass(), &QDBusAbstractInterface::staticMetaObject);
    EXPECT_EQ(mo.classInfoCount() - mo.classInfoOffset(), 0);
    EXPECT_EQ(mo.propertyCount() - mo.propertyOffset(), 0);
    EXPECT_EQ(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    ASSERT_EQ(mo.methodCount() - mo.methodOffset(), 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(expected[i].name);
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        EXPECT_EQ(m.name(), QByteArray(expected[i].name));
        EXPECT_EQ(m.methodType(), QMetaMethod::Slot);
        EXPECT_EQ(m.access(), QMetaMethod::Public);
        EXPECT_STREQ(m.typeName(), "QDBusPendingReply<int>");
        EXPECT_EQ(toVector(m.parameterTypes()), expected[i].types);
        EXPECT_EQ(toVector(m.parameterNames()), expected[i].names);
    }
}

TEST(ClientProxy, MetacastAnswersItsOwnNameAndDefersTheRest)
{
    OfflineProxy p;
    EXPECT_EQ(p.proxy.qt_metacast("ZupolicyPolicymgrInterface"), static_cast<void *>(&p.proxy));
    EXPECT_EQ(p.proxy.qt_metacast("QDBusAbstractInterface"), static_cast<void *>(&p.proxy));
    EXPECT_EQ(p.proxy.qt_metacast("QDBusContext"), nullptr);
    EXPECT_EQ(p.proxy.qt_metacast(nullptr), nullptr);
}

TEST(ClientProxy, MetacallConsumesFiveIdsAndCallsTheSlot)
{
    OfflineProxy p;
    const int own = ZupolicyPolicymgrInterface::staticMetaObject.methodOffset();

    int typeAnswer = 0;
    void *typeArgs[] = {&typeAnswer, nullptr};
    EXPECT_EQ(p.proxy.qt_metacall(QMetaObject::RegisterMethodArgumentMetaType, own + 3, typeArgs), -2);
    EXPECT_EQ(typeAnswer, -1);
    // Below the class's own ids the base's negative remainder comes back.
    EXPECT_LT(p.proxy.qt_metacall(QMetaObject::RegisterMethodArgumentMetaType, 0, typeArgs), 0);
    // Past them the id is reduced by five.
    EXPECT_EQ(p.proxy.qt_metacall(QMetaObject::RegisterMethodArgumentMetaType, own + 7, typeArgs), 2);

    // Slot 3 with its three arguments; the pending reply comes back through
    // the first element (an error here: the connection is closed).
    QDBusPendingReply<int> reply;
    QString ns = "defaultpolicy", var = "fileflag";
    int value = 1;
    void *callArgs[] = {&reply, &ns, &var, &value};
    EXPECT_EQ(p.proxy.qt_metacall(QMetaObject::InvokeMetaMethod, own + 3, callArgs), -2);
    reply.waitForFinished();
    EXPECT_TRUE(reply.isError());
    void *noResult[] = {nullptr};
    EXPECT_EQ(p.proxy.qt_metacall(QMetaObject::InvokeMetaMethod, own + 4, noResult), -1);
}

TEST(ClientProxy, ThreadsRacingForTheFirstProxyShareOne)
{
    // Keep the process off any real system bus.
    const std::string noBus = std::string("unix:path=") + (getenv("TMPDIR") ? getenv("TMPDIR") : "/nonexistent") +
                              "/tavo-no-system-bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", noBus.c_str(), 1);

    constexpr int threadCount = 8;
    std::atomic<int> waiting{threadCount};
    std::vector<ZupolicyPolicymgrInterface *> seen(threadCount, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0)
                std::this_thread::yield();
            seen[i] = DbusInterface::getInstance();
        });
    }
    for (std::thread &t : threads)
        t.join();
    ASSERT_NE(seen[0], nullptr);
    for (ZupolicyPolicymgrInterface *proxy : seen)
        EXPECT_EQ(proxy, seen[0]);
    EXPECT_EQ(DbusInterface::getInstance(), seen[0]);
}

TEST(CommandExitStatus, FailuresNeverReadAsSuccess)
{
    const struct {
        int result;
        int status;
    } cases[] = {
        {0, 0}, {1, 1}, {70, 70}, {255, 255}, {-1, 255}, {-100, 156}, {257, 1},
        // Low eight bits zero: the shell would see success.
        {256, 1}, {-256, 1}, {512, 1}, {1 << 30, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(exitStatusFor(c.result), c.status) << c.result;
}
