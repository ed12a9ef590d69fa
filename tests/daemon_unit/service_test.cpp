// The service object outside the bus, and the caps on what callers may have
// waiting.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "call_limits.h"
#include "delivery_recorder.h"
#include "policymgr_service.h"
#include "tavopolicysync/log.h"

namespace {

std::vector<std::pair<int, std::string>> lines;

void captureLine(void *, const char *, int, int level, const char *message)
{
    lines.emplace_back(level, message);
}

struct Capture {
    Capture()
    {
        lines.clear();
        enableDebugLog();
        setLogSink(captureLine, nullptr);
    }
    ~Capture() { setLogSink(nullptr, nullptr); }
};

TEST(PolicymgrService, CallOutsideTheBusIsRefused)
{
    SystemBus unconnected;
    DeliveryRecorder recorder;
    ZupolicyPolicymgrService service(unconnected, recorder);
    Capture capture;
    int result = 0;
    // compileInitPolicy is the one method that does not need the module, so
    // the refusal is the authorisation's.
    service.compileInitPolicy(MethodCall([&result](int answer) { result = answer; }));
    EXPECT_EQ(result, -100);
    const std::vector<std::pair<int, std::string>> expected{
        {1, "checkAuth: sender empty (method=compileInitPolicy)"},
        {1, "#ERROR: auth failed for sender , method compileInitPolicy"},
    };
    EXPECT_EQ(lines, expected);
}

// No module: every call of a flood is refused before authorisation, and
// the module's own line is one of the refusal's lines, within the budget.
TEST(PolicymgrService, RefusalsForAnAbsentModuleStayWithinTheLineBudget)
{
    if (std::getenv("TAVO_SANDBOX") == nullptr)
        GTEST_SKIP() << "runs only inside tests/harness/sandbox-run (a private mount namespace)";
    constexpr char securityfs[] = "/sys/kernel/security";
    ASSERT_EQ(mount("tavo-no-module", securityfs, "tmpfs", 0, nullptr), 0) << strerror(errno);
    SystemBus unconnected;
    DeliveryRecorder recorder;
    ZupolicyPolicymgrService service(unconnected, recorder);
    Capture capture;
    constexpr int calls = 200;
    int refused = 0;
    for (int i = 0; i < calls; ++i)
        service.sendPolicy(MethodCall([&refused](int answer) { refused += answer == MethodRefusedInput; }));
    umount(securityfs);
    EXPECT_EQ(refused, calls);
    ASSERT_EQ(lines.size(), size_t{refusalLineBurst});
    const std::pair<int, std::string> moduleLine{1, "错误：tavo模块未加载，需要先加载tavo模块。"};
    const std::pair<int, std::string> auditLine{
        1, "AUDIT FAIL: method=sendPolicy, sender=, refused before authorisation: tavo module not loaded"};
    for (size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_EQ(lines[i], moduleLine) << i;
        EXPECT_EQ(lines[i + 1], auditLine) << i;
    }
}

// What a sequence of events does to the caps: (step, sender or nullptr for
// a new one, uid or -1 for unknown, the reason expected or none).
enum Step { Admit, Identify, Release, Refusal, Budget, Second };
struct Event {
    Step step;
    const char *sender;
    int64_t uid;
    std::optional<LimitReason> expected;
};

std::vector<Event> repeat(size_t times, Event event)
{
    return std::vector<Event>(times, event);
}

std::vector<Event> concat(std::initializer_list<std::vector<Event>> parts)
{
    std::vector<Event> all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

constexpr auto none = std::nullopt;

std::optional<uint32_t> uidOf(int64_t uid)
{
    return uid < 0 ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(uid));
}

TEST(CallLimits, CapsAndBudgets)
{
    const size_t call = largestWaitingCall;
    const size_t burst = uidRefusalBurst, perSecond = uidRefusalsPerSecond;
    const struct {
        const char *name;
        std::vector<Event> events;
        size_t waitingAfter;
    } cases[] = {
        {"per sender", concat({repeat(16, {Admit, ":1.1", -1, none}), {{Admit, ":1.1", -1, LimitReason::SenderCalls}},
                               {{Admit, ":1.2", -1, none}}}),
         17},
        {"an answered call makes room",
         concat({repeat(16, {Admit, ":1.1", 900, none}),
                 {{Release, ":1.1", 900, none}, {Admit, ":1.1", 900, none}}}),
         16},
        {"per uid over its connections, known at once or later",
         concat({repeat(16, {Admit, ":1.1", 900, none}), repeat(16, {Admit, ":1.2", 900, none}),
                 repeat(16, {Admit, ":1.3", 900, none}), repeat(15, {Admit, ":1.4", 900, none}),
                 {{Admit, ":1.5", -1, none}, {Identify, ":1.5", 900, none},
                  {Admit, ":1.6", 900, LimitReason::UidCalls}, {Admit, ":1.7", -1, none},
                  {Identify, ":1.7", 900, LimitReason::UidCalls}, {Admit, ":1.8", 0, none}}}),
         65},
        {"other uids cannot fill the daemon for root",
         concat({repeat(64, {Admit, nullptr, 1000, none}), repeat(64, {Admit, nullptr, 1001, none}),
                 repeat(64, {Admit, nullptr, 1002, none}), repeat(64, {Admit, nullptr, 1003, none}),
                 {{Admit, nullptr, 1004, LimitReason::TotalCalls}, {Admit, nullptr, 0, none}}}),
         257},
        {"callers not yet known have a pool of their own",
         concat({repeat(maxUnidentifiedCalls, {Admit, nullptr, -1, none}),
                 {{Admit, nullptr, -1, LimitReason::UnidentifiedCalls}, {Admit, nullptr, 0, none}}}),
         maxUnidentifiedCalls + 1},
        {"refusal budget of a uid over its connections: a burst, then a second's worth back each second",
         concat({repeat(burst, {Refusal, nullptr, 900, none}),
                 {{Budget, nullptr, 900, LimitReason::UidRefusals}, {Budget, nullptr, 0, none},
                  {Budget, nullptr, -1, none}, {Admit, ":1.1", 900, LimitReason::UidRefusals},
                  {Admit, ":1.2", -1, none}, {Identify, ":1.2", 900, LimitReason::UidRefusals},
                  {Second, nullptr, -1, none}, {Budget, nullptr, 900, none}},
                 repeat(perSecond, {Refusal, nullptr, 900, none}),
                 {{Budget, nullptr, 900, LimitReason::UidRefusals}}}),
         0},
        {"refusals of unknown callers spend no uid's budget",
         concat({repeat(10 * burst, {Refusal, nullptr, -1, none}), {{Admit, ":1.1", 0, none}}}), 1},
    };
    for (const auto &c : cases) {
        CallLimits limits;
        int anonymous = 0;
        for (const Event &e : c.events) {
            const std::string sender = e.sender ? e.sender : ":0." + std::to_string(anonymous++);
            std::optional<LimitReason> got;
            switch (e.step) {
            case Admit: got = limits.admit(sender, uidOf(e.uid), call); break;
            case Identify: got = limits.identify(sender, static_cast<uint32_t>(e.uid), call); break;
            case Release: limits.release(sender, uidOf(e.uid), call); break;
            case Refusal: limits.refused(uidOf(e.uid), 1); break;
            case Budget: got = limits.overBudget(uidOf(e.uid)); break;
            case Second: limits.nextSecond([](const RefusalSummary &) {}); break;
            }
            EXPECT_EQ(got, e.expected) << c.name << ", " << sender;
        }
        EXPECT_EQ(limits.waitingCalls(), c.waitingAfter) << c.name;
    }
}

// Refusals are written line by line within a budget of lines a second, of
// one uid and of all callers; the rest are summed up a line a second per
// uid, for a bounded number of uids.
TEST(CallLimits, RefusalsBeyondTheLogBudgetAreSummarisedByUid)
{
    constexpr size_t lines = 5;
    CallLimits limits;
    const size_t uidShare = refusalLineBurstPerUid / lines;
    for (size_t i = 0; i < uidShare; ++i)
        EXPECT_TRUE(limits.refused(900, lines)) << i;
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(limits.refused(900, lines));
    const size_t rest = (refusalLineBurst - uidShare * lines) / lines;
    for (size_t i = 0; i < rest; ++i)
        EXPECT_TRUE(limits.refused(std::nullopt, lines)) << i;
    EXPECT_FALSE(limits.refused(std::nullopt, lines));
    EXPECT_FALSE(limits.refused(0, lines));
    for (int i = 0; i < 16; ++i)
        ASSERT_FALSE(limits.admit(":1.1", 900, largestWaitingCall));
    EXPECT_EQ(limits.admit(":1.1", 900, largestWaitingCall), LimitReason::SenderCalls);
    // Twenty more uids, each refused once.
    for (uint32_t uid = 2000; uid < 2020; ++uid)
        EXPECT_FALSE(limits.refused(uid, lines));
    std::vector<RefusalSummary> reported;
    limits.nextSecond([&reported](const RefusalSummary &s) { reported.push_back(s); });
    ASSERT_EQ(reported.size(), maxSummariesPerSecond + 1);
    // The most refused first.
    EXPECT_EQ(reported[0].uid, std::optional<uint32_t>(900));
    EXPECT_EQ(reported[0].unlogged, 5u);
    EXPECT_EQ(reported[0].counts[static_cast<size_t>(LimitReason::SenderCalls)], 1u);
    EXPECT_EQ(reported[0].total(), 6u);
    uint64_t summed = 0;
    size_t uids = 0;
    for (const RefusalSummary &s : reported) {
        summed += s.total();
        uids += s.uids;
    }
    EXPECT_EQ(summed, 6u + 1 + 1 + 20);
    EXPECT_EQ(uids, 23u);
    EXPECT_EQ(reported.back().uids, 23u - maxSummariesPerSecond);
    // A second's worth of lines comes back.
    for (size_t i = 0; i < refusalLinesPerSecond / lines; ++i)
        EXPECT_TRUE(limits.refused(std::nullopt, lines)) << i;
    EXPECT_FALSE(limits.refused(std::nullopt, lines));
    for (int i = 0; i < 16; ++i)
        limits.release(":1.1", 900, largestWaitingCall);
    // Then everything is given back and forgotten.
    for (unsigned i = 0; i <= uidRefusalBurst / uidRefusalsPerSecond + refusalLineBurst / refusalLinesPerSecond &&
                         !limits.idle();
         ++i)
        limits.nextSecond([](const RefusalSummary &) {});
    EXPECT_TRUE(limits.idle());
    EXPECT_EQ(limits.waitingCalls(), 0u);
}

// The uids beyond the second's cap share one line, which never stands for
// a single uid.
TEST(CallLimits, UidsBeyondTheSummaryCapShareOneLine)
{
    const struct {
        size_t uids;
        std::vector<size_t> linesUids;
    } cases[] = {
        {maxSummariesPerSecond, std::vector<size_t>(maxSummariesPerSecond, 1)},
        {maxSummariesPerSecond + 1, std::vector<size_t>(maxSummariesPerSecond + 1, 1)},
        {maxSummariesPerSecond + 2, [] {
             std::vector<size_t> v(maxSummariesPerSecond, 1);
             v.push_back(2);
             return v;
         }()},
    };
    for (const auto &c : cases) {
        CallLimits limits;
        for (uint32_t uid = 0; uid < c.uids; ++uid)
            for (size_t n = 0; n <= refusalLineBurst; ++n)
                limits.refused(1000 + uid, refusalLineBurst);
        std::vector<size_t> linesUids;
        limits.nextSecond([&linesUids](const RefusalSummary &s) { linesUids.push_back(s.uids); });
        EXPECT_EQ(linesUids, c.linesUids) << c.uids;
    }
}

// A full pool of callers not yet known gives up a call of the connection
// that holds most of it, never one of a connection that holds about as
// little as the newcomer; a pool with room left gives up nothing.
TEST(CallLimits, AFullPoolOfUnknownCallersMakesRoomAtTheExpenseOfTheLargest)
{
    const struct {
        const char *name;
        size_t waiting;
        size_t perSender;
        const char *newcomer;
        bool makesRoom;
    } cases[] = {
        {"bursts of 16 against a first call", maxUnidentifiedCalls, 16, ":9.9", true},
        {"bursts of 16 against one of them", maxUnidentifiedCalls, 16, ":1.0", false},
        {"single calls", maxUnidentifiedCalls, 1, ":9.9", false},
        {"bursts of 16 in a pool with room left", maxUnidentifiedCalls - 1, 16, ":9.9", false},
    };
    for (const auto &c : cases) {
        CallLimits limits;
        for (size_t i = 0; i < c.waiting; ++i)
            ASSERT_FALSE(limits.admit(":1." + std::to_string(i / c.perSender), std::nullopt, largestWaitingCall));
        const std::optional<std::string> holder = limits.makeRoomFor(c.newcomer);
        EXPECT_EQ(holder.has_value(), c.makesRoom) << c.name;
        if (holder) {
            EXPECT_NE(*holder, c.newcomer) << c.name;
        }
    }
}

} // namespace
