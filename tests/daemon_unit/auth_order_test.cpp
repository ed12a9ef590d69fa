// The order of a call's lines, and the questions the service asks: the
// service is connected to a peer of the test's that plays the bus daemon
// and polkit, sends calls of one connection and answers as each case asks.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "delivery_recorder.h"
#include "policymgr_service.h"
#include "system_bus.h"
#include "tavopolicysync/log.h"
#include "unique_fd.h"

namespace {

constexpr char caller[] = ":1.42";
constexpr char polkit[] = "org.freedesktop.PolicyKit1";
constexpr char securityfs[] = "/sys/kernel/security";
constexpr int answerTimeoutMs = 30000;
constexpr int wakeIntervalMs = 100;

std::vector<std::pair<int, std::string>> lines;

void captureLine(void *, const char *, int, int level, const char *message)
{
    lines.emplace_back(level, message);
}

// A bus error's message longer than any fixed line buffer, ending in
// a character of several bytes.
std::string longError()
{
    return std::string(3000, 'x') + "拒绝";
}

// How the peer answers the questions of one connection's calls.
enum class Uid { Root, Unknown };
enum class Verdict { Authorised, Challenge, LongError };
struct Answers {
    Uid uid;
    Verdict polkit;
    int calls; // sent at once, before any question is answered
};

// Plays the bus daemon and polkit for the service on the other end of one
// connection: greets it, sends it `calls` calls of `caller`, answers the
// identity questions once every call is sent, and polkit's at once; counts
// the questions.
class Peer {
public:
    Peer(int listener, Answers answers) : answers_(answers), thread_([this, listener] { run(listener); }) {}
    ~Peer()
    {
        done_ = true;
        thread_.join();
    }
    // The answer to every call if all got the same, else `failed`.
    int result() const { return result_; }
    bool allAnswered(int calls) const { return answered_ >= calls; }
    int identityQuestions() const { return identityQuestions_; }
    int polkitQuestions() const { return polkitQuestions_; }
    static constexpr int unanswered = 1;

private:
    void run(int listener)
    {
        pollfd waiting{listener, POLLIN, 0};
        while (!done_ && poll(&waiting, 1, wakeIntervalMs) == 0) {
        }
        const UniqueFd fd(done_ ? -1 : accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        sd_bus *raw = nullptr;
        sd_id128_t id;
        if (!fd.valid() || sd_bus_new(&raw) < 0 || sd_id128_randomize(&id) < 0)
            return finish();
        bus_ = raw;
        if (sd_bus_set_fd(raw, fd.get(), fd.get()) < 0 || sd_bus_set_server(raw, 1, id) < 0 || sd_bus_start(raw) < 0)
            return finish();
        while (!done_ && answered_ < answers_.calls) {
            sd_bus_message *message = nullptr;
            const int r = sd_bus_process(raw, &message);
            if (r < 0)
                break;
            if (message) {
                serve(message);
                sd_bus_message_unref(message);
            }
            if (r == 0)
                sd_bus_wait(raw, 100000);
        }
        finish();
    }

    void serve(sd_bus_message *message)
    {
        uint64_t cookie = 0;
        if (sd_bus_message_is_method_call(message, busDaemonService, "Hello")) {
            reply(message, busDaemonService, "s", ":1.1");
            for (int i = 0; i < answers_.calls; ++i)
                sendCall();
        } else if (sd_bus_message_is_method_call(message, busDaemonService, "GetConnectionCredentials")) {
            ++identityQuestions_;
            answerIdentity(message);
        } else if (sd_bus_message_is_method_call(message, "org.freedesktop.PolicyKit1.Authority",
                                                 "CheckAuthorization")) {
            ++polkitQuestions_;
            answerPolkit(message);
        } else if (sd_bus_message_get_reply_cookie(message, &cookie) >= 0 && cookie != 0) {
            int32_t code = 0;
            const int got = sd_bus_message_read(message, "i", &code) >= 0 ? code : failed;
            ++answered_;
            if (answered_ == 1 || got != result_)
                result_ = answered_ == 1 ? got : failed;
        }
    }

    void sendCall()
    {
        sd_bus_message *call = nullptr;
        sd_bus_message_new_method_call(bus_, &call, nullptr, policyObjectPath, policyInterfaceName,
                                       "compileInitPolicy");
        sd_bus_message_set_sender(call, caller);
        // Asking for the cookie is what makes sd-bus expect a reply.
        uint64_t cookie = 0;
        sd_bus_send(bus_, call, &cookie);
        sd_bus_message_unref(call);
    }

    void answerIdentity(sd_bus_message *question)
    {
        if (answers_.uid == Uid::Unknown) {
            sd_bus_message *error = nullptr;
            sd_bus_message_new_method_errorf(question, &error, "org.freedesktop.DBus.Error.NameHasNoOwner",
                                             "Could not get UID of name '%s': no such name", caller);
            send(error, busDaemonService);
            return;
        }
        sd_bus_message *message = nullptr;
        sd_bus_message_new_method_return(question, &message);
        sd_bus_message_append(message, "a{sv}", 2, "UnixUserID", "u", 0u, "ProcessID", "u", 4242u);
        send(message, busDaemonService);
    }

    void answerPolkit(sd_bus_message *question)
    {
        if (answers_.polkit == Verdict::LongError) {
            sd_bus_message *error = nullptr;
            sd_bus_message_new_method_errorf(question, &error, "org.freedesktop.PolicyKit1.Error.Failed", "%s",
                                             longError().c_str());
            send(error, polkit);
            return;
        }
        const bool authorised = answers_.polkit == Verdict::Authorised;
        sd_bus_message *message = nullptr;
        sd_bus_message_new_method_return(question, &message);
        sd_bus_message_append(message, "(bba{ss})", authorised, !authorised, 0);
        send(message, polkit);
    }

    template <typename... Args> void reply(sd_bus_message *question, const char *from, const char *types, Args... args)
    {
        sd_bus_message *message = nullptr;
        sd_bus_message_new_method_return(question, &message);
        sd_bus_message_append(message, types, args...);
        send(message, from);
    }

    void send(sd_bus_message *message, const char *from)
    {
        sd_bus_message_set_sender(message, from);
        sd_bus_send(bus_, message, nullptr);
        sd_bus_message_unref(message);
        sd_bus_flush(bus_);
    }

    void finish()
    {
        if (bus_)
            sd_bus_flush_close_unref(bus_);
        if (result_ == unanswered)
            result_ = failed;
    }

    static constexpr int failed = 2;
    Answers answers_;
    sd_bus *bus_ = nullptr;
    std::atomic<int> answered_{0};
    std::atomic<int> identityQuestions_{0};
    std::atomic<int> polkitQuestions_{0};
    std::atomic<int> result_{unanswered};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A switch that holds neither 0 nor 1: the switch, read in every case, is
// then in an unknown state, and an authorised caller is refused for that,
// after polkit's line.
class AuthOrder : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::getenv("TAVO_SANDBOX") == nullptr)
            GTEST_SKIP() << "runs only inside tests/harness/sandbox-run (a private mount namespace)";
        ASSERT_EQ(mount("tavo-unknown-switch", securityfs, "tmpfs", 0, nullptr), 0) << strerror(errno);
        mounted_ = true;
        ASSERT_EQ(system("mkdir -p /sys/kernel/security/tavo/paras/zusec_global && "
                         "echo 2 > /sys/kernel/security/tavo/paras/zusec_global/admctl"),
                  0);
        path_ = std::string(std::getenv("TMPDIR")) + "/auth-order.sock";
        unlink(path_.c_str());
        listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path_.size(), sizeof address.sun_path);
        std::strcpy(address.sun_path, path_.c_str());
        ASSERT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_.get(), 1), 0);
        lines.clear();
        enableDebugLog();
        setLogSink(captureLine, nullptr);
    }
    void TearDown() override
    {
        setLogSink(nullptr, nullptr);
        if (mounted_)
            umount(securityfs);
    }

    // The calls' answer, once the peer has answered as `answers` says;
    // the questions it was asked.
    struct Outcome {
        int result;
        int identityQuestions;
        int polkitQuestions;
    };
    Outcome call(Answers answers)
    {
        Peer peer(listener_.get(), answers);
        SystemBus bus;
        if (!bus.connectTo(("unix:path=" + path_).c_str()))
            return {-1, 0, 0};
        DeliveryRecorder recorder;
        ZupolicyPolicymgrService service(bus, recorder);
        sd_bus_slot *filter = nullptr;
        sd_bus_add_filter(
            bus.handle(), &filter,
            [](sd_bus_message *m, void *userdata, sd_bus_error *) {
                if (!sd_bus_message_is_method_call(m, policyInterfaceName, "compileInitPolicy"))
                    return 0;
                auto *service = static_cast<ZupolicyPolicymgrService *>(userdata);
                service->compileInitPolicy(service->incoming(m));
                return 1;
            },
            &service);
        const BusSlot served(filter);
        bus.serve([] {});
        // The loop turns at least this often, to see the peer's result.
        QTimer wake;
        wake.start(wakeIntervalMs);
        QElapsedTimer waited;
        waited.start();
        while (!peer.allAnswered(answers.calls) && !waited.hasExpired(answerTimeoutMs))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return {peer.result(), peer.identityQuestions(), peer.polkitQuestions()};
    }

    UniqueFd listener_;
    std::string path_;
    bool mounted_ = false;
};

TEST_F(AuthOrder, LinesFollowTheStepsAndEachConnectionIsAskedAboutOnce)
{
    const std::pair<int, std::string> uidLine{4, "getCallerUid: sender=:1.42, uid=0"};
    const std::pair<int, std::string> callLine{3, "AUDIT: D-Bus call from sender=:1.42, uid=0, method=compileInitPolicy"};
    const std::pair<int, std::string> refusedLine{1, "#ERROR: auth failed for sender :1.42, method compileInitPolicy"};
    const std::vector<std::pair<int, std::string>> authorisedLines{
        uidLine,
        callLine,
        {4, "polkit 授权成功"},
        {1, "AUDIT FAIL: method=compileInitPolicy, sender=:1.42, uid=0, three-mode switch unreadable: contents of "
            "/sys/kernel/security/tavo/paras/zusec_global/admctl are neither 0 nor 1"},
        refusedLine,
    };
    const std::vector<std::pair<int, std::string>> challengedLines{
        uidLine,
        callLine,
        {3, "polkit 等待密码认证"},
        {1, "AUDIT FAIL: method=compileInitPolicy, sender=:1.42, uid=0, reason=需要管理员密码认证，桌面将弹出授权窗口"},
        refusedLine,
    };
    // polkit is not asked about a caller without a uid.
    const std::vector<std::pair<int, std::string>> noUidLines{
        {1, "GetConnectionUnixUser failed for sender :1.42: Could not get UID of name ':1.42': no such name"},
        {1, "AUDIT FAIL: method=compileInitPolicy, sender=:1.42, failed to get uid"},
        refusedLine,
    };
    const std::string polkitFailed = "PolicyKit DBus 调用失败: " + longError();
    const std::vector<std::pair<int, std::string>> longErrorLines{
        uidLine,
        callLine,
        {1, polkitFailed},
        {1, "AUDIT FAIL: method=compileInitPolicy, sender=:1.42, uid=0, reason=" + polkitFailed},
        refusedLine,
    };
    const auto times = [](int n, const std::vector<std::pair<int, std::string>> &one) {
        std::vector<std::pair<int, std::string>> all;
        for (int i = 0; i < n; ++i)
            all.insert(all.end(), one.begin(), one.end());
        return all;
    };
    const struct {
        const char *name;
        Answers answers;
        std::vector<std::pair<int, std::string>> expected;
        int polkitQuestions;
    } cases[] = {
        {"authorised", {Uid::Root, Verdict::Authorised, 1}, authorisedLines, 1},
        {"challenge", {Uid::Root, Verdict::Challenge, 1}, challengedLines, 1},
        {"no uid", {Uid::Unknown, Verdict::Authorised, 1}, noUidLines, 0},
        {"three calls of one connection", {Uid::Root, Verdict::Authorised, 3}, times(3, authorisedLines), 3},
        {"three calls, no uid", {Uid::Unknown, Verdict::Authorised, 3}, times(3, noUidLines), 0},
        {"polkit's long error, whole", {Uid::Root, Verdict::LongError, 1}, longErrorLines, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        lines.clear();
        const Outcome outcome = call(c.answers);
        EXPECT_EQ(outcome.result, MethodNotAuthorised);
        EXPECT_EQ(outcome.identityQuestions, 1);
        EXPECT_EQ(outcome.polkitQuestions, c.polkitQuestions);
        EXPECT_EQ(lines, c.expected);
    }
}

} // namespace
