// Calls one method of tavo-policyd on the system bus and prints the reply:
// "reply CODE" or "error NAME MESSAGE". The tests run it under other uids,
// in other pid namespaces, and bound over the three-mode whitelisted paths.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tavo-test-caller METHOD [ARG ...]\n");
        return 2;
    }
    const QString method = QString::fromUtf8(argv[1]);
    QDBusMessage call = QDBusMessage::createMethodCall("com.norda.zupolicy", "/policymgr",
                                                       "com.norda.zupolicy.policymgr", method);
    for (int i = 2; i < argc; ++i) {
        // modifyDynamicVariable takes its value as int32; every other argument is a string.
        if (method == "modifyDynamicVariable" && i == 4)
            call << static_cast<int>(std::strtol(argv[i], nullptr, 10));
        else
            call << QString::fromUtf8(argv[i]);
    }
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 120000);
    if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
        std::printf("reply %d\n", reply.arguments().at(0).toInt());
        return 0;
    }
    std::printf("error %s %s\n", reply.errorName().toUtf8().constData(), reply.errorMessage().toUtf8().constData());
    return 0;
}
