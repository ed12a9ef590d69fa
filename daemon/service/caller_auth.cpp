// Who is calling, and may they act: bus daemon for the identity, polkit for
// the authorisation, three-mode for the role. Every decision is audited.
#include "policymgr_service.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusVariant>

#include "dbus_types.h"
#include "input_validator.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

constexpr char busDaemonService[] = "org.freedesktop.DBus";
constexpr char busDaemonPath[] = "/org/freedesktop/DBus";
constexpr char busDaemonInterface[] = "org.freedesktop.DBus";
constexpr char polkitService[] = "org.freedesktop.PolicyKit1";
constexpr char polkitPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char polkitInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr uint32_t polkitNoInteraction = 0;
constexpr size_t exeLinkBuffer = 4096;

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// The subject polkit judges: the caller's unique bus name, (sa{sv}).
QDBusArgument busNameSubject(const std::string &sender)
{
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("system-bus-name");
    subject.beginMap(QVariant::String, dbusVariantTypeId());
    subject.beginMapEntry();
    subject << QStringLiteral("name") << QDBusVariant(QString::fromStdString(sender));
    subject.endMapEntry();
    subject.endMap();
    subject.endStructure();
    return subject;
}

// Clock ticks since boot, the unit of a process's start time in procfs.
uint64_t ticksSinceBoot()
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    const uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
    return static_cast<uint64_t>(now.tv_sec) * hz + static_cast<uint64_t>(now.tv_nsec) * hz / 1000000000u;
}

// Start time of a process (field 22 of /proc/<pid>/stat), if it exists.
std::optional<uint64_t> processStartTicks(int32_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return std::nullopt;
    // The command name may hold anything, spaces and parentheses too.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22; ++i) {
        if (!(fields >> field))
            return std::nullopt;
    }
    return std::stoull(field);
}

// What identifies the process behind a pid while the check runs: its
// program and its start time. Another program (an exec) or another start
// time (the pid reused) means the caller is no longer the one checked.
struct ProcessMark {
    std::string exePath;
    std::optional<uint64_t> startTicks;
    bool operator==(const ProcessMark &other) const
    {
        return exePath == other.exePath && startTicks == other.startTicks;
    }
};

} // namespace

void ZupolicyPolicymgrService::registerPolkitAuthResultType()
{
    static int typeId = 0;
    static bool marshallingRegistered = false;
    if (marshallingRegistered)
        return;
    if (typeId == 0)
        typeId = qRegisterMetaType<PolkitAuthResult>("PolkitAuthResult");
    qDBusRegisterMetaType<PolkitAuthResult>();
    marshallingRegistered = true;
    TAVO_DEBUG("PolkitAuthResult DBus type registered");
}

std::string ZupolicyPolicymgrService::callerSender() const
{
    if (!calledFromDBus())
        return std::string();
    return utf8(message().service());
}

bool ZupolicyPolicymgrService::checkAuth(const std::string &sender, const char *method)
{
    if (sender.empty()) {
        TAVO_ERROR("checkAuth: sender empty (method=%s)", method);
        return false;
    }
    // Any process started after this moment did not send the call.
    const uint64_t takenUp = ticksSinceBoot();
    try {
        lastSender = sender;
        const std::optional<uint32_t> uid = getCallerUid(sender);
        if (!uid) {
            TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, failed to get uid", method, sender.c_str());
            return false;
        }
        TAVO_INFO("AUDIT: D-Bus call from sender=%s, uid=%u, method=%s", sender.c_str(), *uid, method);

        std::string reason;
        if (!checkPolkitAuthorization(sender, policyActionId, reason)) {
            TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, uid=%u, reason=%s", method, sender.c_str(), *uid,
                       reason.c_str());
            return false;
        }

        std::string switchProblem;
        const ThreeModeSwitch mode = readThreeModeSwitch(switchProblem);
        if (mode == ThreeModeSwitch::Unreadable) {
            // Neither on nor off: nobody may act until it can be read.
            TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, uid=%u, three-mode switch unreadable: %s", method,
                       sender.c_str(), *uid, switchProblem.c_str());
            return false;
        }
        const bool threeMode = mode == ThreeModeSwitch::On;
        if (threeMode) {
            const struct passwd *entry = getpwuid(*uid);
            if (!entry) {
                TAVO_ERROR("AUDIT FAIL: getpwuid failed for uid %u, method=%s", *uid, method);
                return false;
            }
            if (std::strcmp(entry->pw_name, securityAdministrator) == 0) {
                TAVO_DEBUG("AUDIT: secadm user allowed");
            } else {
                const std::optional<uint32_t> pid = getCallerPid(sender);
                if (!pid) {
                    TAVO_ERROR("AUDIT FAIL: three-mode, failed to get pid for sender %s, method=%s", sender.c_str(),
                               method);
                    return false;
                }
                const int32_t callerPid = static_cast<int32_t>(*pid);
                const std::string exePath = getExePath(callerPid);
                if (exePath.empty()) {
                    TAVO_ERROR("AUDIT FAIL: three-mode, failed to get exe path for pid %d, method=%s", callerPid,
                               method);
                    return false;
                }
                const ProcessMark before{exePath, processStartTicks(callerPid)};
                if (!before.startTicks || *before.startTicks > takenUp) {
                    TAVO_ERROR("AUDIT FAIL: three-mode, process behind pid %d gone or started after the call was "
                               "taken up, method=%s",
                               callerPid, method);
                    return false;
                }
                if (!isAllowedInThreeMode(*uid, callerPid, exePath)) {
                    TAVO_ERROR("AUDIT FAIL: three-mode, process %s (pid=%d, uid=%u) not allowed, method=%s",
                               exePath.c_str(), callerPid, *uid, method);
                    return false;
                }
                // The namespace checks read procfs again: the process must
                // still be the one whose program was judged.
                const ProcessMark after{getExePath(callerPid), processStartTicks(callerPid)};
                if (!(after == before)) {
                    TAVO_ERROR("AUDIT FAIL: three-mode, process behind pid %d changed during the check (%s), "
                               "method=%s",
                               callerPid, after.exePath.c_str(), method);
                    return false;
                }
                TAVO_INFO("AUDIT PASS: three-mode, root process %s in init ns and whitelisted, method=%s",
                          exePath.c_str(), method);
            }
        } else if (*uid != 0) {
            TAVO_ERROR("AUDIT FAIL: non-three-mode, only root allowed, current uid=%u, method=%s", *uid, method);
            return false;
        }

        TAVO_INFO("AUDIT PASS: method=%s, sender=%s, uid=%u, three_mode=%d", method, sender.c_str(), *uid,
                  threeMode ? 1 : 0);
        authorisedUid = *uid;
        return true;
    } catch (const QDBusError &error) {
        TAVO_ERROR("checkAuth dbus error in method %s: %s", method, utf8(error.message()).c_str());
    } catch (const std::exception &error) {
        TAVO_ERROR("checkAuth exception in method %s: %s", method, error.what());
    }
    return false;
}

std::optional<uint32_t> ZupolicyPolicymgrService::askBusDaemon(const char *busMethod, const char *getter,
                                                               const char *label, const std::string &sender)
{
    try {
        if (!connection.isConnected()) {
            TAVO_ERROR("D-Bus connection not available");
            return std::nullopt;
        }
        QDBusMessage call =
            QDBusMessage::createMethodCall(busDaemonService, busDaemonPath, busDaemonInterface, busMethod);
        call << QString::fromStdString(sender);
        const QDBusReply<uint> reply = connection.call(call, QDBus::Block);
        if (!reply.isValid()) {
            TAVO_ERROR("%s failed for sender %s: %s", busMethod, sender.c_str(),
                       utf8(reply.error().message()).c_str());
            return std::nullopt;
        }
        const uint32_t value = reply.value();
        TAVO_DEBUG("%s: sender=%s, %s=%u", getter, sender.c_str(), label, value);
        return value;
    } catch (const std::exception &error) {
        TAVO_ERROR("%s exception for sender %s: %s", busMethod, sender.c_str(), error.what());
    } catch (...) {
        TAVO_ERROR("%s unknown exception for sender %s", busMethod, sender.c_str());
    }
    return std::nullopt;
}

std::optional<uint32_t> ZupolicyPolicymgrService::getCallerUid(const std::string &sender)
{
    return askBusDaemon("GetConnectionUnixUser", "getCallerUid", "uid", sender);
}

std::optional<uint32_t> ZupolicyPolicymgrService::getCallerPid(const std::string &sender)
{
    return askBusDaemon("GetConnectionUnixProcessID", "getCallerPid", "pid", sender);
}

bool ZupolicyPolicymgrService::checkPolkitAuthorization(const std::string &sender, const std::string &actionId,
                                                        std::string &reason)
{
    reason.clear();
    if (sender.empty() || actionId.empty()) {
        reason = "invalid sender or action id";
        return false;
    }
    try {
        if (!connection.isConnected()) {
            reason = "D-Bus connection not available";
            TAVO_ERROR("%s", reason.c_str());
            return false;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(polkitService, polkitPath, polkitInterface,
                                                           QStringLiteral("CheckAuthorization"));
        call << QVariant::fromValue(busNameSubject(sender)) << QString::fromStdString(actionId)
             << QVariant::fromValue(StringMap()) << polkitNoInteraction << QString();
        const QDBusReply<PolkitAuthResult> reply = connection.call(call, QDBus::Block);
        if (!reply.isValid()) {
            reason = "PolicyKit DBus 调用失败: " + utf8(reply.error().message());
            TAVO_ERROR("%s", reason.c_str());
            return false;
        }
        const PolkitAuthResult result = reply.value();
        if (result.is_authorized) {
            TAVO_DEBUG("polkit 授权成功");
            return true;
        }
        if (result.is_challenge) {
            reason = "需要管理员密码认证，桌面将弹出授权窗口";
            TAVO_INFO("polkit 等待密码认证");
            return false;
        }
        reason = "polkit 策略拒绝操作，无权限";
        TAVO_ERROR("授权被显式拒绝");
        return false;
    } catch (const QDBusError &error) {
        reason = "DBus 异常: " + utf8(error.message());
    } catch (const std::exception &error) {
        reason = std::string("异常: ") + error.what();
    } catch (...) {
        reason = "未知异常";
    }
    TAVO_ERROR("%s", reason.c_str());
    return false;
}

std::string ZupolicyPolicymgrService::getExePath(int32_t pid)
{
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char target[exeLinkBuffer];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) {
        TAVO_ERROR("readlink %s failed: %s", link.c_str(), strerror(errno));
        return std::string();
    }
    return std::string(target, static_cast<size_t>(n));
}
