// Who is calling, and may they act: bus daemon for the identity, polkit for
// the authorisation, three-mode for the role. Every decision is audited.
// The bus daemon and polkit are asked at once and without waiting: each
// step goes on when its answers are in, and the event loop serves others
// meanwhile. Polkit judges the bus name, so it needs nothing of the uid;
// its answer waits for the uid's step all the same, so that the lines come
// in the order of the steps.
#include "policymgr_service.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <unistd.h>

#include "dbus_types.h"
#include "input_validator.h"
#include "passwd_lookup.h"
#include "process_identity.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

constexpr char polkitService[] = "org.freedesktop.PolicyKit1";
constexpr char polkitPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char polkitInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr uint32_t polkitNoInteraction = 0;
constexpr size_t exeLinkBuffer = 4096;

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

std::string errorMessage(sd_bus_message *reply)
{
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    if (error && error->message)
        return error->message;
    return error && error->name ? error->name : "unknown error";
}

} // namespace

// One call's authorisation, carried from step to step. Owned by the
// admitted call; the answers reach it only while it lives, and the
// questions still out are cancelled with it.
struct ZupolicyPolicymgrService::AuthState {
    std::string sender;
    const char *method;
    uint64_t sequence;
    uint64_t takenUp;
    AuthDone done;
    uint32_t uid = 0;
    bool concluded = false;
    // The uid's step is done (its lines written, the caps passed).
    bool identified = false;
    std::optional<PolkitAnswer> polkit;
    ThreeModeSwitch mode = ThreeModeSwitch::Unreadable;
    std::string switchProblem;
    BusSlot uidQuery;
    BusSlot polkitQuery;
    BusSlot pidQuery;

    void conclude(Verdict verdict, LimitReason limit = LimitReason::SenderCalls)
    {
        if (concluded)
            return;
        concluded = true;
        done(verdict, uid, limit);
    }
};

std::string ZupolicyPolicymgrService::callerSender(const MethodCall &call)
{
    return call.sender();
}

template <typename Answer>
std::function<void(Answer)> ZupolicyPolicymgrService::whenAnswered(const std::shared_ptr<AuthState> &state,
                                                                   AuthStep<Answer> step)
{
    return [this, weak = std::weak_ptr<AuthState>(state), step](Answer answer) {
        if (const auto live = weak.lock())
            authGuarded(live, [&] { (this->*step)(live, std::move(answer)); });
    };
}

void ZupolicyPolicymgrService::authGuarded(const std::shared_ptr<AuthState> &state, const std::function<void()> &step)
{
    try {
        step();
    } catch (const std::exception &error) {
        TAVO_ERROR("checkAuth exception in method %s: %s", state->method, error.what());
        state->conclude(Verdict::Refused);
    }
}

void ZupolicyPolicymgrService::checkAuth(const std::string &sender, const char *method, uint64_t sequence,
                                         AuthDone done)
{
    if (sender.empty()) {
        TAVO_ERROR("checkAuth: sender empty (method=%s)", method);
        done(Verdict::Refused, 0, LimitReason::SenderCalls);
        return;
    }
    // Any process started after this moment did not send the call.
    auto state = std::make_shared<AuthState>();
    state->sender = sender;
    state->method = method;
    state->sequence = sequence;
    state->takenUp = ticksSinceBoot();
    state->done = std::move(done);
    if (const auto admitted = admitted_.find(sequence); admitted != admitted_.end())
        admitted->second.auth = state;
    authGuarded(state, [this, &state] {
        getCallerUid(state->sender, whenAnswered(state, &ZupolicyPolicymgrService::authAfterUid), state->uidQuery);
        if (state->concluded)
            return;
        checkPolkitAuthorization(state->sender, policyActionId,
                                 whenAnswered(state, &ZupolicyPolicymgrService::polkitAnswered),
                                 state->polkitQuery);
    });
}

void ZupolicyPolicymgrService::authAfterUid(const std::shared_ptr<AuthState> &state, std::optional<uint32_t> uid)
{
    const char *method = state->method;
    const char *sender = state->sender.c_str();
    if (!uid) {
        TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, failed to get uid", method, sender);
        state->conclude(Verdict::Refused);
        return;
    }
    state->uid = *uid;
    // From now on the uid's caps and refusal budget apply to the sender.
    const auto admitted = admitted_.find(state->sequence);
    if (admitted != admitted_.end()) {
        if (const std::optional<LimitReason> over = limits_.identify(state->sender, *uid, admitted->second.bytes)) {
            state->conclude(Verdict::OverLimit, *over);
            return;
        }
    }
    TAVO_INFO("AUDIT: D-Bus call from sender=%s, uid=%u, method=%s", sender, *uid, method);
    // Read while polkit decides, so that polkit's time covers it; it is
    // judged only once polkit has authorised the caller.
    state->mode = readThreeModeSwitch(state->switchProblem);
    state->identified = true;
    if (state->polkit)
        authAfterPolkit(state);
}

void ZupolicyPolicymgrService::polkitAnswered(const std::shared_ptr<AuthState> &state, PolkitAnswer answer)
{
    state->polkit = std::move(answer);
    if (state->identified)
        authAfterPolkit(state);
}

void ZupolicyPolicymgrService::authAfterPolkit(const std::shared_ptr<AuthState> &state)
{
    const char *method = state->method;
    const char *sender = state->sender.c_str();
    const uint32_t uid = state->uid;
    const PolkitAnswer &answer = *state->polkit;
    if (answer.logLevel != 0)
        TAVO_LOG(answer.logLevel, "%s", answer.logLine.c_str());
    if (!answer.authorised) {
        TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, uid=%u, reason=%s", method, sender, uid, answer.reason.c_str());
        state->conclude(Verdict::Refused);
        return;
    }
    const ThreeModeSwitch mode = state->mode;
    if (mode == ThreeModeSwitch::Unreadable) {
        // Neither on nor off: nobody may act until it can be read.
        TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, uid=%u, three-mode switch unreadable: %s", method, sender, uid,
                   state->switchProblem.c_str());
        state->conclude(Verdict::Refused);
        return;
    }
    if (mode == ThreeModeSwitch::On) {
        const std::optional<std::string> name = userNameOf(uid);
        if (!name) {
            TAVO_ERROR("AUDIT FAIL: getpwuid failed for uid %u, method=%s", uid, method);
            state->conclude(Verdict::Refused);
            return;
        }
        if (*name != securityAdministrator) {
            getCallerPid(state->sender, whenAnswered(state, &ZupolicyPolicymgrService::authAfterPid),
                         state->pidQuery);
            return;
        }
        TAVO_DEBUG("AUDIT: secadm user allowed");
    } else if (uid != 0) {
        TAVO_ERROR("AUDIT FAIL: non-three-mode, only root allowed, current uid=%u, method=%s", uid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    TAVO_INFO("AUDIT PASS: method=%s, sender=%s, uid=%u, three_mode=%d", method, sender, uid,
              mode == ThreeModeSwitch::On ? 1 : 0);
    state->conclude(Verdict::Allowed);
}

void ZupolicyPolicymgrService::authAfterPid(const std::shared_ptr<AuthState> &state, std::optional<uint32_t> pid)
{
    const char *method = state->method;
    const char *sender = state->sender.c_str();
    const uint32_t uid = state->uid;
    if (!pid) {
        TAVO_ERROR("AUDIT FAIL: three-mode, failed to get pid for sender %s, method=%s", sender, method);
        state->conclude(Verdict::Refused);
        return;
    }
    const int32_t callerPid = static_cast<int32_t>(*pid);
    const std::string exePath = getExePath(callerPid);
    if (exePath.empty()) {
        TAVO_ERROR("AUDIT FAIL: three-mode, failed to get exe path for pid %d, method=%s", callerPid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    const ProcessMark before{exePath, processStartTicks(callerPid)};
    if (!before.startTicks || *before.startTicks > state->takenUp) {
        TAVO_ERROR("AUDIT FAIL: three-mode, process behind pid %d gone or started after the call was taken up, "
                   "method=%s",
                   callerPid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    // The bus daemon took the pid when the connection was made: a process
    // started after that is another one that got the pid later.
    const std::optional<uint64_t> connectedBy = births_.bornBy(state->sender);
    if (!connectedBy) {
        TAVO_ERROR("AUDIT FAIL: three-mode, the connections on the bus are not followed, cannot tie sender %s to "
                   "pid %d, method=%s",
                   sender, callerPid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    if (*before.startTicks > *connectedBy) {
        TAVO_ERROR("AUDIT FAIL: three-mode, process behind pid %d started after the connection of sender %s, "
                   "method=%s",
                   callerPid, sender, method);
        state->conclude(Verdict::Refused);
        return;
    }
    // The path as the process's mount namespace names it, and the file
    // itself: the one on the whitelist as the daemon sees it.
    if (!isAllowedInThreeMode(uid, callerPid, exePath) || !runsFile(callerPid, exePath)) {
        TAVO_ERROR("AUDIT FAIL: three-mode, process %s (pid=%d, uid=%u) not allowed, method=%s", exePath.c_str(),
                   callerPid, uid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    // The namespace checks read procfs again: the process must still be the
    // one whose program was judged.
    const ProcessMark after{getExePath(callerPid), processStartTicks(callerPid)};
    if (!(after == before)) {
        TAVO_ERROR("AUDIT FAIL: three-mode, process behind pid %d changed during the check (%s), method=%s",
                   callerPid, after.exePath.c_str(), method);
        state->conclude(Verdict::Refused);
        return;
    }
    TAVO_INFO("AUDIT PASS: three-mode, root process %s in init ns and whitelisted, method=%s", exePath.c_str(),
              method);
    TAVO_INFO("AUDIT PASS: method=%s, sender=%s, uid=%u, three_mode=%d", method, sender, uid, 1);
    state->conclude(Verdict::Allowed);
}

void ZupolicyPolicymgrService::askBusDaemon(const char *busMethod, const char *getter, const char *label,
                                            const std::string &sender, UidDone done, BusSlot &pending)
{
    if (!connection->isConnected()) {
        TAVO_ERROR("D-Bus connection not available");
        done(std::nullopt);
        return;
    }
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(connection->handle(), &raw, busDaemonService, busDaemonPath,
                                           busDaemonInterface, busMethod);
    const BusMessage call(raw);
    if (r >= 0)
        r = sd_bus_message_append(raw, "s", sender.c_str());
    const auto answered = [busMethod, getter, label, sender, done](sd_bus_message *reply) {
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            TAVO_ERROR("%s failed for sender %s: %s", busMethod, sender.c_str(), errorMessage(reply).c_str());
            done(std::nullopt);
            return;
        }
        uint32_t value = 0;
        if (const int bad = sd_bus_message_read(reply, "u", &value); bad < 0) {
            TAVO_ERROR("%s exception for sender %s: %s", busMethod, sender.c_str(), strerror(-bad));
            done(std::nullopt);
            return;
        }
        TAVO_DEBUG("%s: sender=%s, %s=%u", getter, sender.c_str(), label, value);
        done(value);
    };
    if (r < 0 || !connection->call(raw, answered, pending)) {
        TAVO_ERROR("%s exception for sender %s: %s", busMethod, sender.c_str(), strerror(r < 0 ? -r : ENOTCONN));
        done(std::nullopt);
    }
}

void ZupolicyPolicymgrService::getCallerUid(const std::string &sender, UidDone done, BusSlot &pending)
{
    askBusDaemon("GetConnectionUnixUser", "getCallerUid", "uid", sender, std::move(done), pending);
}

void ZupolicyPolicymgrService::getCallerPid(const std::string &sender, UidDone done, BusSlot &pending)
{
    askBusDaemon("GetConnectionUnixProcessID", "getCallerPid", "pid", sender, std::move(done), pending);
}

void ZupolicyPolicymgrService::checkPolkitAuthorization(const std::string &sender, const std::string &actionId,
                                                        PolkitDone done, BusSlot &pending)
{
    // A refusal, with the line it is logged with.
    const auto refusal = [](std::string reason, int level, std::string line) {
        return PolkitAnswer{false, std::move(reason), level, std::move(line)};
    };
    if (sender.empty() || actionId.empty()) {
        done(refusal("invalid sender or action id", 0, std::string()));
        return;
    }
    if (!connection->isConnected()) {
        const std::string reason = "D-Bus connection not available";
        done(refusal(reason, TAVO_LOG_ERROR, reason));
        return;
    }
    // The subject polkit judges: the caller's unique bus name, (sa{sv});
    // empty details, no interaction, no cancellation id.
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(connection->handle(), &raw, polkitService, polkitPath, polkitInterface,
                                           "CheckAuthorization");
    const BusMessage call(raw);
    if (r >= 0)
        r = sd_bus_message_append(raw, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s", sender.c_str(),
                                  actionId.c_str(), 0, polkitNoInteraction, "");
    const auto answered = [done, refusal](sd_bus_message *reply) {
        PolkitAuthResult result;
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            const std::string reason = "PolicyKit DBus 调用失败: " + errorMessage(reply);
            done(refusal(reason, TAVO_LOG_ERROR, reason));
        } else if (readPolkitAuthResult(reply, result) < 0) {
            const char *signature = sd_bus_message_get_signature(reply, 1);
            const std::string reason = std::string("PolicyKit DBus 调用失败: Unexpected reply signature: got \"") +
                                       (signature ? signature : "") + "\", expected \"" + polkitAuthResultSignature +
                                       "\"";
            done(refusal(reason, TAVO_LOG_ERROR, reason));
        } else if (result.is_authorized) {
            done(PolkitAnswer{true, std::string(), TAVO_LOG_DEBUG, "polkit 授权成功"});
        } else if (result.is_challenge) {
            done(refusal("需要管理员密码认证，桌面将弹出授权窗口", TAVO_LOG_INFO, "polkit 等待密码认证"));
        } else {
            done(refusal("polkit 策略拒绝操作，无权限", TAVO_LOG_ERROR, "授权被显式拒绝"));
        }
    };
    if (r < 0 || !connection->call(raw, answered, pending)) {
        const std::string reason = std::string("异常: ") + strerror(r < 0 ? -r : ENOTCONN);
        done(refusal(reason, TAVO_LOG_ERROR, reason));
    }
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
