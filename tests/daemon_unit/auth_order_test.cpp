// The order of a call's lines when the bus daemon and polkit answer in
// either order. A real bus daemon always answers the uid before polkit can,
// so the service is connected to a peer of the test's that plays both and
// answers in the order each case asks for.
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

// How the peer answers the two questions of one authorisation.
enum class Uid { Root, Unknown };
enum class Verdict { Authorised, Challenge, None };
struct Answers {
    bool polkitFirst;
    Uid uid;
    Verdict polkit; // None: polkit is never answered
};

// Plays the bus daemon and polkit for the service on the other end of one
// connection: greets it, sends it one call of `caller`, holds the uid and
// polkit questions until both have arrived, then answers them in order.
class Peer {
public:
    Peer(int listener, Answers answers) : answers_(answers), thread_([this, listener] { run(listener); }) {}
    ~Peer()
    {
        done_ = true;
        thread_.join();
    }
    int result() const { return result_; }
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
        while (!done_ && result_ == unanswered) {
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
        if (sd_bus_message_is_method_call(message, busDaemonService, "Hello")) {
            reply(message, busDaemonService, "s", ":1.1");
            sendCall();
        } else if (sd_bus_message_is_method_call(message, busDaemonService, "GetConnectionUnixUser")) {
            uidQuestion_ = sd_bus_message_ref(message);
        } else if (sd_bus_message_is_method_call(message, "org.freedesktop.PolicyKit1.Authority",
                                                 "CheckAuthorization")) {
            polkitQuestion_ = sd_bus_message_ref(message);
        } else if (sd_bus_message_get_reply_cookie(message, &cookie_) >= 0 && cookie_ == callCookie_) {
            int32_t code = 0;
            result_ = sd_bus_message_read(message, "i", &code) >= 0 ? code : failed;
            return;
        }
        if (uidQuestion_ && polkitQuestion_ && !answered_) {
            answered_ = true;
            if (answers_.polkitFirst) {
                answerPolkit();
                answerUid();
            } else {
                answerUid();
                answerPolkit();
            }
        }
    }

    void sendCall()
    {
        sd_bus_message *call = nullptr;
        sd_bus_message_new_method_call(bus_, &call, nullptr, policyObjectPath, policyInterfaceName,
                                       "compileInitPolicy");
        sd_bus_message_set_sender(call, caller);
        sd_bus_send(bus_, call, &callCookie_);
        sd_bus_message_unref(call);
    }

    void answerUid()
    {
        if (answers_.uid == Uid::Root) {
            reply(uidQuestion_, busDaemonService, "u", 0u);
            return;
        }
        sd_bus_message *error = nullptr;
        sd_bus_message_new_method_errorf(uidQuestion_, &error, "org.freedesktop.DBus.Error.NameHasNoOwner",
                                         "Could not get UID of name '%s': no such name", caller);
        send(error, busDaemonService);
    }

    void answerPolkit()
    {
        if (answers_.polkit == Verdict::None)
            return;
        const bool authorised = answers_.polkit == Verdict::Authorised;
        sd_bus_message *message = nullptr;
        sd_bus_message_new_method_return(polkitQuestion_, &message);
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
        sd_bus_message_unref(uidQuestion_);
        sd_bus_message_unref(polkitQuestion_);
        if (bus_)
            sd_bus_flush_close_unref(bus_);
        if (result_ == unanswered)
            result_ = failed;
    }

    static constexpr int failed = 2;
    Answers answers_;
    sd_bus *bus_ = nullptr;
    sd_bus_message *uidQuestion_ = nullptr;
    sd_bus_message *polkitQuestion_ = nullptr;
    uint64_t callCookie_ = 0;
    uint64_t cookie_ = 0;
    bool answered_ = false;
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

    // The call's answer, once the peer has answered as `answers` says.
    int call(Answers answers)
    {
        Peer peer(listener_.get(), answers);
        SystemBus bus;
        if (!bus.connectTo(("unix:path=" + path_).c_str()))
            return -1;
        ZupolicyPolicymgrService service(bus);
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
        while (peer.result() == Peer::unanswered && !waited.hasExpired(answerTimeoutMs))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return peer.result();
    }

    UniqueFd listener_;
    std::string path_;
    bool mounted_ = false;
};

TEST_F(AuthOrder, LinesFollowTheStepsWhicheverAnswerComesFirst)
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
    // Nothing of polkit's, whether it answered first or never.
    const std::vector<std::pair<int, std::string>> noUidLines{
        {1, "GetConnectionUnixUser failed for sender :1.42: Could not get UID of name ':1.42': no such name"},
        {1, "AUDIT FAIL: method=compileInitPolicy, sender=:1.42, failed to get uid"},
        refusedLine,
    };
    const struct {
        const char *name;
        Answers answers;
        const std::vector<std::pair<int, std::string>> &expected;
    } cases[] = {
        {"uid first, authorised", {false, Uid::Root, Verdict::Authorised}, authorisedLines},
        {"polkit first, authorised", {true, Uid::Root, Verdict::Authorised}, authorisedLines},
        {"polkit first, challenge", {true, Uid::Root, Verdict::Challenge}, challengedLines},
        {"polkit first, no uid", {true, Uid::Unknown, Verdict::Authorised}, noUidLines},
        {"no uid, polkit never answers", {false, Uid::Unknown, Verdict::None}, noUidLines},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        lines.clear();
        EXPECT_EQ(call(c.answers), MethodNotAuthorised);
        EXPECT_EQ(lines, c.expected);
    }
}

} // namespace
