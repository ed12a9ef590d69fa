// Calls one method of tavo-policyd on the system bus and prints the reply:
// "reply CODE" or "error NAME MESSAGE". The tests run it under other uids,
// in other pid namespaces, and bound over the three-mode whitelisted paths.
// With TAVO_TEST_SETNS=PATH it first joins the mount namespace PATH names
// (a program started in a private namespace that moves back); with the
// method "--hold" it only waits for its standard input to close (a
// whitelisted program that holds a pid).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>

int main(int argc, char *argv[])
{
    // Before any thread exists: a process sharing its file system
    // attributes cannot change its mount namespace.
    if (const char *ns = std::getenv("TAVO_TEST_SETNS")) {
        const int fd = open(ns, O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNS) != 0) {
            std::perror("setns");
            return 2;
        }
        close(fd);
    }
    if (argc == 2 && std::strcmp(argv[1], "--hold") == 0) {
        char c;
        while (read(STDIN_FILENO, &c, 1) > 0) {
        }
        return 0;
    }
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
