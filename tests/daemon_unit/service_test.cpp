// The service object outside the bus, and the caps on what callers may have
// waiting.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "call_limits.h"
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
    ZupolicyPolicymgrService service(unconnected);
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

// What a sequence of events does to the caps: (step, sender, uid or -1, the
// reason expected or none).
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

TEST(CallLimits, CapsAndBudgets)
{
    const size_t call = largestWaitingCall;
    const struct {
        const char *name;
        std::vector<Event> events;
        size_t waitingAfter;
    } cases[] = {
        {"per sender", concat({repeat(16, {Admit, ":1.1", -1, none}), {{Admit, ":1.1", -1, LimitReason::SenderCalls}},
                               {{Admit, ":1.2", -1, none}}}),
         17},
        {"an answered call makes room",
         concat({repeat(16, {Admit, ":1.1", -1, none}), {{Release, ":1.1", -1, none}, {Admit, ":1.1", -1, none}}}),
         16},
        {"per uid, once the uid is known",
         concat({repeat(4, {Admit, ":1.1", -1, none}), {{Identify, ":1.1", 900, none}},
                 repeat(12, {Admit, ":1.1", -1, none}), repeat(16, {Admit, ":1.2", -1, none}),
                 {{Identify, ":1.2", 900, none}}, repeat(16, {Admit, ":1.3", -1, none}),
                 {{Identify, ":1.3", 900, none}}, repeat(15, {Admit, ":1.4", -1, none}),
                 {{Identify, ":1.4", 900, none}, {Admit, ":1.5", -1, none}, {Identify, ":1.5", 900, none},
                  {Admit, ":1.5", -1, LimitReason::UidCalls}, {Admit, ":1.6", -1, none},
                  {Identify, ":1.6", 900, LimitReason::UidCalls}, {Admit, ":1.7", -1, none},
                  {Identify, ":1.7", 0, none}}}),
         65},
        {"in all", concat({repeat(256, {Admit, nullptr, -1, none}), {{Admit, ":9.9", -1, LimitReason::TotalCalls}}}),
         256},
        {"refusal budget of a sender, renewed each second",
         concat({repeat(8, {Refusal, ":1.1", -1, none}), {{Budget, ":1.1", -1, LimitReason::SenderRefusals}},
                 {{Budget, ":1.2", -1, none}}, {{Second, nullptr, -1, none}}, {{Budget, ":1.1", -1, none}}}),
         0},
        {"refusal budget of a uid over its senders",
         concat({{{Admit, ":1.1", -1, none}, {Identify, ":1.1", 900, none}}, repeat(8, {Refusal, ":1.1", -1, none}),
                 {{Admit, ":1.2", -1, none}, {Identify, ":1.2", 900, LimitReason::UidRefusals}},
                 {{Admit, ":1.3", -1, none}, {Identify, ":1.3", 0, none}}}),
         2},
    };
    for (const auto &c : cases) {
        CallLimits limits;
        int anonymous = 0;
        for (const Event &e : c.events) {
            const std::string sender = e.sender ? e.sender : ":0." + std::to_string(anonymous++);
            std::optional<LimitReason> got;
            switch (e.step) {
            case Admit: got = limits.admit(sender, call); break;
            case Identify: got = limits.identify(sender, static_cast<uint32_t>(e.uid), call); break;
            case Release: limits.release(sender, call); break;
            case Refusal: limits.spendRefusal(sender); break;
            case Budget: got = limits.overBudget(sender); break;
            case Second: limits.nextSecond([](const RefusalSummary &) {}); break;
            }
            EXPECT_EQ(got, e.expected) << c.name << ", " << sender;
        }
        EXPECT_EQ(limits.waitingCalls(), c.waitingAfter) << c.name;
    }
}

TEST(CallLimits, SummaryCountsEachReasonOncePerSecondAndForgetsIdleCallers)
{
    CallLimits limits;
    for (int i = 0; i < 16; ++i)
        ASSERT_FALSE(limits.admit(":1.1", largestWaitingCall));
    ASSERT_FALSE(limits.identify(":1.1", 900, largestWaitingCall));
    for (int i = 0; i < 1000; ++i)
        limits.admit(":1.1", largestWaitingCall);
    for (int i = 0; i < 16; ++i) {
        limits.spendRefusal(":1.1");
        limits.release(":1.1", largestWaitingCall);
    }
    for (int i = 0; i < 5; ++i)
        limits.overBudget(":1.1");
    std::vector<RefusalSummary> reported;
    limits.nextSecond([&reported](const RefusalSummary &s) { reported.push_back(s); });
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].sender, ":1.1");
    EXPECT_EQ(reported[0].uid, std::optional<uint32_t>(900));
    EXPECT_EQ(reported[0].counts[static_cast<size_t>(LimitReason::SenderCalls)], 1000u);
    EXPECT_EQ(reported[0].counts[static_cast<size_t>(LimitReason::SenderRefusals)], 5u);
    EXPECT_EQ(reported[0].total(), 1005u);
    reported.clear();
    limits.nextSecond([&reported](const RefusalSummary &s) { reported.push_back(s); });
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(limits.idle());
}

} // namespace
