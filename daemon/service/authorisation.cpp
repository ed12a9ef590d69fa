// Every decision is audited: a call's lines say each step it passed and
// the one that refused it.
#include "authorisation.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

constexpr char policyActionId[] = "com.norda.zupolicy.access";
constexpr char polkitService[] = "org.freedesktop.PolicyKit1";
constexpr char polkitPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char polkitInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr uint32_t polkitNoInteraction = 0;
constexpr size_t exeLinkBuffer = 4096;
constexpr size_t lineBuffer = 1024;

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

// The uid and pid in a reply of GetConnectionCredentials (a{sv}); other
// entries are skipped. Negative errno when it cannot be read.
int readCredentials(sd_bus_message *reply, std::optional<uint32_t> &uid, std::optional<uint32_t> &pid)
{
    int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r > 0) {
        r = sd_bus_message_enter_container(reply, 'e', "sv");
        if (r <= 0)
            break;
        const char *key = nullptr;
        if ((r = sd_bus_message_read(reply, "s", &key)) < 0)
            return r;
        std::optional<uint32_t> *target = std::strcmp(key, "UnixUserID") == 0  ? &uid
                                          : std::strcmp(key, "ProcessID") == 0 ? &pid
                                                                               : nullptr;
        if (target) {
            uint32_t value = 0;
            if ((r = sd_bus_message_read(reply, "v", "u", &value)) < 0)
                return r;
            *target = value;
        } else if ((r = sd_bus_message_skip(reply, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(reply)) < 0)
            return r;
        r = 1;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(reply);
}

} // namespace

// One call's authorisation, carried from step to step. Owned by calls_
// until its verdict; the answers reach it only while it lives, and the
// question still out is cancelled with it.
struct Authorisation::State {
    std::string sender;
    const char *method;
    uint64_t takenUp;
    Done done;
    uint32_t uid = 0;
    std::optional<uint32_t> pid;
    bool concluded = false;
    ThreeModeSwitch mode = ThreeModeSwitch::Unreadable;
    std::string switchProblem;
    BusSlot polkitQuery;
    // The call's lines so far, written at its verdict.
    AuthLines lines;

    // Whole, however long (an executable's path, a bus error's message),
    // as the log itself would have written it.
    __attribute__((format(printf, 3, 4))) void note(int level, const char *format, ...)
    {
        char text[lineBuffer];
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        const int n = vsnprintf(text, sizeof text, format, args);
        if (n >= 0 && static_cast<size_t>(n) < sizeof text) {
            lines.emplace_back(level, std::string(text, static_cast<size_t>(n)));
        } else if (n >= 0) {
            std::string whole(static_cast<size_t>(n) + 1, '\0');
            vsnprintf(&whole[0], whole.size(), format, again);
            whole.resize(static_cast<size_t>(n));
            lines.emplace_back(level, std::move(whole));
        }
        va_end(again);
        va_end(args);
    }

    // The state may go with the verdict: `done` runs from a copy.
    void conclude(Verdict verdict, LimitReason limit = LimitReason::SenderCalls)
    {
        if (concluded)
            return;
        concluded = true;
        const Done finish = std::move(done);
        finish(verdict, uid, limit, std::move(lines));
    }
};

void writeAuthLines(const AuthLines &lines)
{
    for (const auto &[level, text] : lines)
        TAVO_LOG(level, "%s", text.c_str());
}

Authorisation::Authorisation(SystemBus &bus, SystemBus &questions, Identified identified)
    : connection_(&bus), questions_(&questions), identified_(std::move(identified))
{
}

Authorisation::~Authorisation()
{
    clear();
}

void Authorisation::clear()
{
    // The questions still out go first, while what they refer to lives.
    identityWaits_.clear();
    calls_.clear();
}

bool Authorisation::followConnections()
{
    births_.whenGone([this](const std::string &sender) { connectionGone(sender); });
    return births_.subscribe(*connection_);
}

std::optional<uint32_t> Authorisation::knownUid(const std::string &sender) const
{
    const std::optional<Credentials> known = births_.credentials(sender);
    return known ? std::optional<uint32_t>(known->uid) : std::nullopt;
}

void Authorisation::guarded(const std::shared_ptr<State> &state, const std::function<void()> &step)
{
    try {
        step();
    } catch (const std::exception &error) {
        state->note(TAVO_LOG_ERROR, "checkAuth exception in method %s: %s", state->method, error.what());
        state->conclude(Verdict::Refused);
    }
}

void Authorisation::check(uint64_t sequence, std::string sender, const char *method, Done done)
{
    if (sender.empty()) {
        TAVO_ERROR("checkAuth: sender empty (method=%s)", method);
        done(Verdict::Refused, 0, LimitReason::SenderCalls, AuthLines());
        return;
    }
    // Any process started after this moment did not send the call.
    auto state = std::make_shared<State>();
    state->sender = sender;
    state->method = method;
    state->takenUp = ticksSinceBoot();
    // It leaves calls_ at its verdict; the verdict is then handed on.
    state->done = [this, sequence, done = std::move(done)](Verdict verdict, uint32_t uid, LimitReason limit,
                                                           AuthLines lines) {
        calls_.erase(sequence);
        done(verdict, uid, limit, std::move(lines));
    };
    calls_[sequence] = state;
    if (const std::optional<Credentials> known = births_.credentials(sender)) {
        afterUid(sequence, known, std::string());
    } else {
        IdentityWait &wait = identityWaits_[sender];
        wait.calls.push_back(sequence);
        if (wait.calls.size() == 1)
            identityQueue_.push_back(sender);
    }
    askWhatWaits();
}

void Authorisation::askWhatWaits()
{
    // Answers given at once (no bus) come back in here: they are taken up
    // by the loop below, not by a second one.
    if (asking_) {
        askAgain_ = true;
        return;
    }
    asking_ = true;
    do {
        askAgain_ = false;
        while (identityQuestions_ < maxIdentityQuestions && !identityQueue_.empty()) {
            const std::string sender = identityQueue_.front();
            identityQueue_.pop_front();
            askIdentity(sender);
        }
        while (polkitQuestions_ < maxPolkitQuestions) {
            const std::optional<uint64_t> next = nextForPolkit();
            if (!next)
                break;
            askPolkit(*next);
        }
    } while (askAgain_);
    asking_ = false;
}

void Authorisation::askIdentity(const std::string &sender)
{
    const auto wait = identityWaits_.find(sender);
    if (wait == identityWaits_.end())
        return;
    if (!questions_->isConnected()) {
        identityAnswered(sender, std::nullopt, "D-Bus connection not available");
        return;
    }
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(questions_->handle(), &raw, busDaemonService, busDaemonPath,
                                           busDaemonInterface, "GetConnectionCredentials");
    const BusMessage call(raw);
    if (r >= 0)
        r = sd_bus_message_append(raw, "s", sender.c_str());
    const auto answered = [this, sender](sd_bus_message *reply) {
        --identityQuestions_;
        std::optional<uint32_t> uid;
        std::optional<uint32_t> pid;
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            identityAnswered(sender, std::nullopt,
                             "GetConnectionUnixUser failed for sender " + sender + ": " + errorMessage(reply));
        } else if (const int bad = readCredentials(reply, uid, pid); bad < 0 || !uid) {
            identityAnswered(sender, std::nullopt,
                             "GetConnectionUnixUser exception for sender " + sender + ": " +
                                 strerror(bad < 0 ? -bad : EBADMSG));
        } else {
            identityAnswered(sender, Credentials{*uid, pid}, std::string());
        }
        askWhatWaits();
    };
    ++identityQuestions_;
    wait->second.asked = true;
    if (r < 0 || !questions_->call(raw, answered, wait->second.question)) {
        --identityQuestions_;
        identityAnswered(sender, std::nullopt,
                         "GetConnectionUnixUser exception for sender " + sender + ": " +
                             strerror(r < 0 ? -r : ENOTCONN));
    }
}

void Authorisation::connectionGone(const std::string &sender)
{
    const auto it = identityWaits_.find(sender);
    if (it == identityWaits_.end())
        return;
    // Its question, if out, is cancelled with it.
    if (it->second.asked)
        --identityQuestions_;
    identityAnswered(sender, std::nullopt,
                     "GetConnectionUnixUser failed for sender " + sender + ": the connection has left the bus");
    askWhatWaits();
}

std::optional<uint64_t> Authorisation::dropNewestUnidentified(const std::string &sender)
{
    const auto wait = identityWaits_.find(sender);
    if (wait == identityWaits_.end() || wait->second.calls.empty())
        return std::nullopt;
    const uint64_t sequence = wait->second.calls.back();
    wait->second.calls.pop_back();
    calls_.erase(sequence);
    return sequence;
}

void Authorisation::identityAnswered(const std::string &sender, std::optional<Credentials> credentials,
                                     const std::string &problem)
{
    const auto it = identityWaits_.find(sender);
    if (it == identityWaits_.end())
        return;
    // Out of the map first: the calls' verdicts may come back here.
    const IdentityWait wait = std::move(it->second);
    identityWaits_.erase(it);
    if (credentials)
        births_.remember(sender, *credentials);
    for (const uint64_t sequence : wait.calls)
        afterUid(sequence, credentials, problem);
}

void Authorisation::afterUid(uint64_t sequence, std::optional<Credentials> credentials, const std::string &problem)
{
    const auto found = calls_.find(sequence);
    if (found == calls_.end())
        return;
    const std::shared_ptr<State> state = found->second;
    guarded(state, [&] {
        const char *method = state->method;
        const char *sender = state->sender.c_str();
        if (!credentials) {
            if (!problem.empty())
                state->note(TAVO_LOG_ERROR, "%s", problem.c_str());
            state->note(TAVO_LOG_ERROR, "AUDIT FAIL: method=%s, sender=%s, failed to get uid", method, sender);
            state->conclude(Verdict::Refused);
            return;
        }
        state->uid = credentials->uid;
        state->pid = credentials->pid;
        // From now on the uid's caps and refusal budget apply.
        if (const std::optional<LimitReason> over = identified_(sequence, credentials->uid)) {
            state->conclude(Verdict::OverLimit, *over);
            return;
        }
        state->note(TAVO_LOG_DEBUG, "getCallerUid: sender=%s, uid=%u", sender, credentials->uid);
        state->note(TAVO_LOG_INFO, "AUDIT: D-Bus call from sender=%s, uid=%u, method=%s", sender, credentials->uid,
                    method);
        polkitQueue_[credentials->uid].push_back(sequence);
        askWhatWaits();
        // Read once polkit is asked, so that polkit's time covers it; it is
        // judged only once polkit has authorised the caller.
        if (!state->concluded)
            state->mode = readThreeModeSwitch(state->switchProblem);
    });
}

std::optional<uint64_t> Authorisation::nextForPolkit()
{
    if (polkitQueue_.empty())
        return std::nullopt;
    auto it = lastPolkitUid_ ? polkitQueue_.upper_bound(*lastPolkitUid_) : polkitQueue_.begin();
    for (size_t tried = 0; tried < polkitQueue_.size(); ++tried, ++it) {
        if (it == polkitQueue_.end())
            it = polkitQueue_.begin();
        const uint32_t uid = it->first;
        const auto asked = polkitQuestionsOf_.find(uid);
        if (asked != polkitQuestionsOf_.end() && asked->second >= maxPolkitQuestionsPerUid)
            continue;
        const uint64_t sequence = it->second.front();
        it->second.pop_front();
        if (it->second.empty())
            polkitQueue_.erase(it);
        lastPolkitUid_ = uid;
        return sequence;
    }
    return std::nullopt;
}

void Authorisation::askPolkit(uint64_t sequence)
{
    const auto found = calls_.find(sequence);
    if (found == calls_.end())
        return;
    const std::shared_ptr<State> state = found->second;
    const uint32_t uid = state->uid;
    ++polkitQuestions_;
    ++polkitQuestionsOf_[uid];
    const auto answered = [this, uid, weak = std::weak_ptr<State>(state)](PolkitAnswer answer) {
        --polkitQuestions_;
        if (const auto asked = polkitQuestionsOf_.find(uid); asked != polkitQuestionsOf_.end() && --asked->second == 0)
            polkitQuestionsOf_.erase(asked);
        if (const auto live = weak.lock())
            guarded(live, [&] { polkitAnswered(live, std::move(answer)); });
        askWhatWaits();
    };
    guarded(state, [&] { checkPolkitAuthorization(state->sender, policyActionId, answered, state->polkitQuery); });
}

void Authorisation::polkitAnswered(const std::shared_ptr<State> &state, PolkitAnswer answer)
{
    if (answer.logLevel != 0)
        state->note(answer.logLevel, "%s", answer.logLine.c_str());
    if (!answer.authorised) {
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: method=%s, sender=%s, uid=%u, reason=%s", state->method,
                    state->sender.c_str(), state->uid, answer.reason.c_str());
        state->conclude(Verdict::Refused);
        return;
    }
    afterPolkit(state);
}

void Authorisation::afterPolkit(const std::shared_ptr<State> &state)
{
    const char *method = state->method;
    const char *sender = state->sender.c_str();
    const uint32_t uid = state->uid;
    const ThreeModeSwitch mode = state->mode;
    if (mode == ThreeModeSwitch::Unreadable) {
        // Neither on nor off: nobody may act until it can be read.
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: method=%s, sender=%s, uid=%u, three-mode switch unreadable: %s",
                    method, sender, uid, state->switchProblem.c_str());
        state->conclude(Verdict::Refused);
        return;
    }
    if (mode == ThreeModeSwitch::On) {
        const std::optional<std::string> name = userNameOf(uid);
        if (!name) {
            state->note(TAVO_LOG_ERROR, "AUDIT FAIL: getpwuid failed for uid %u, method=%s", uid, method);
            state->conclude(Verdict::Refused);
            return;
        }
        if (*name != securityAdministrator) {
            // The pid came with the uid, from the same answer of the bus
            // daemon.
            if (state->pid)
                state->note(TAVO_LOG_DEBUG, "getCallerPid: sender=%s, pid=%u", sender, *state->pid);
            else
                state->note(TAVO_LOG_ERROR, "GetConnectionUnixProcessID failed for sender %s: %s", sender,
                            "the bus daemon gave no ProcessID");
            afterPid(state, state->pid);
            return;
        }
        state->note(TAVO_LOG_DEBUG, "AUDIT: secadm user allowed");
    } else if (uid != 0) {
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: non-three-mode, only root allowed, current uid=%u, method=%s", uid,
                    method);
        state->conclude(Verdict::Refused);
        return;
    }
    state->note(TAVO_LOG_INFO, "AUDIT PASS: method=%s, sender=%s, uid=%u, three_mode=%d", method, sender, uid,
                mode == ThreeModeSwitch::On ? 1 : 0);
    state->conclude(Verdict::Allowed);
}

void Authorisation::afterPid(const std::shared_ptr<State> &state, std::optional<uint32_t> pid)
{
    const char *method = state->method;
    const char *sender = state->sender.c_str();
    const uint32_t uid = state->uid;
    if (!pid) {
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: three-mode, failed to get pid for sender %s, method=%s", sender,
                    method);
        state->conclude(Verdict::Refused);
        return;
    }
    const int32_t callerPid = static_cast<int32_t>(*pid);
    std::string problem;
    const std::string exePath = getExePath(callerPid, problem);
    if (exePath.empty()) {
        state->note(TAVO_LOG_ERROR, "%s", problem.c_str());
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: three-mode, failed to get exe path for pid %d, method=%s",
                    callerPid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    const ProcessMark before{exePath, processStartTicks(callerPid)};
    if (!before.startTicks || *before.startTicks > state->takenUp) {
        state->note(TAVO_LOG_ERROR,
                    "AUDIT FAIL: three-mode, process behind pid %d gone or started after the call was taken up, "
                    "method=%s",
                    callerPid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    // The bus daemon took the pid when the connection was made: a process
    // started after that is another one that got the pid later.
    const std::optional<uint64_t> connectedBy = births_.bornBy(state->sender);
    if (!connectedBy) {
        state->note(TAVO_LOG_ERROR,
                    "AUDIT FAIL: three-mode, the connections on the bus are not followed, cannot tie sender %s to "
                    "pid %d, method=%s",
                    sender, callerPid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    if (*before.startTicks > *connectedBy) {
        state->note(TAVO_LOG_ERROR,
                    "AUDIT FAIL: three-mode, process behind pid %d started after the connection of sender %s, "
                    "method=%s",
                    callerPid, sender, method);
        state->conclude(Verdict::Refused);
        return;
    }
    // The path as the process's mount namespace names it, and the file
    // itself: the one on the whitelist as the daemon sees it.
    if (!isAllowedInThreeMode(uid, callerPid, exePath) || !runsFile(callerPid, exePath)) {
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: three-mode, process %s (pid=%d, uid=%u) not allowed, method=%s",
                    exePath.c_str(), callerPid, uid, method);
        state->conclude(Verdict::Refused);
        return;
    }
    // The namespace checks read procfs again: the process must still be the
    // one whose program was judged.
    const ProcessMark after{getExePath(callerPid, problem), processStartTicks(callerPid)};
    if (!(after == before)) {
        state->note(TAVO_LOG_ERROR, "AUDIT FAIL: three-mode, process behind pid %d changed during the check (%s), "
                    "method=%s",
                    callerPid, after.exePath.c_str(), method);
        state->conclude(Verdict::Refused);
        return;
    }
    state->note(TAVO_LOG_INFO, "AUDIT PASS: three-mode, root process %s in init ns and whitelisted, method=%s",
                exePath.c_str(), method);
    state->note(TAVO_LOG_INFO, "AUDIT PASS: method=%s, sender=%s, uid=%u, three_mode=%d", method, sender, uid, 1);
    state->conclude(Verdict::Allowed);
}

void Authorisation::checkPolkitAuthorization(const std::string &sender, const std::string &actionId, PolkitDone done,
                                             BusSlot &pending)
{
    // A refusal, with the line it is logged with.
    const auto refusal = [](std::string reason, int level, std::string line) {
        return PolkitAnswer{false, std::move(reason), level, std::move(line)};
    };
    if (sender.empty() || actionId.empty()) {
        done(refusal("invalid sender or action id", 0, std::string()));
        return;
    }
    if (!questions_->isConnected()) {
        const std::string reason = "D-Bus connection not available";
        done(refusal(reason, TAVO_LOG_ERROR, reason));
        return;
    }
    // The subject polkit judges: the caller's unique bus name, (sa{sv});
    // empty details, no interaction, no cancellation id.
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(questions_->handle(), &raw, polkitService, polkitPath, polkitInterface,
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
    if (r < 0 || !questions_->call(raw, answered, pending)) {
        const std::string reason = std::string("异常: ") + strerror(r < 0 ? -r : ENOTCONN);
        done(refusal(reason, TAVO_LOG_ERROR, reason));
    }
}

std::string Authorisation::getExePath(int32_t pid, std::string &problem)
{
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char target[exeLinkBuffer];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) {
        problem = "readlink " + link + " failed: " + strerror(errno);
        return std::string();
    }
    return std::string(target, static_cast<size_t>(n));
}
