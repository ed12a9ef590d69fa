// The admission alone, outside the bus: what a call meets on arrival, and
// how a full pool of callers not yet known makes room through the service.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "admission.h"
#include "operations.h"
#include "shared_constants.h"
#include "tavopolicysync/log.h"

namespace {

std::vector<std::string> logged;

void captureLine(void *, const char *, int, int, const char *message)
{
    logged.emplace_back(message);
}

TEST(Admission, RefusesAtOnceOrAdmits)
{
    const std::string atLimit(nameLengthLimit, 'n');
    const std::string overLimit(nameLengthLimit + 1, 'n');
    const std::string overLine = "AUDIT FAIL: method=compileSectionPolicy, sender=:9.9, refused before "
                                 "authorisation: " + std::string(nsLabel) + " longer than 512 bytes";
    constexpr size_t burst = maxWaitingCallsPerSender;
    const struct {
        const char *name;
        size_t waitingBefore; // unknown callers' calls
        bool roomMade;        // whether the service gives up the holder's call
        const std::string &ns;
        std::optional<int> answer; // none: admitted
        std::vector<std::string> lines;
        std::vector<std::string> holders;
    } cases[] = {
        {"a name at the limit waits", 0, false, atLimit, std::nullopt, {}, {}},
        {"a longer name is refused with the validator's, the method's and the audit line", 0, false, overLimit,
         MethodRefusedInput,
         {"validate_name_param: 命名空间名称(ns_name) 长度(513)超过限制(512)", nsRefused, overLine},
         {}},
        {"a full pool gives up the largest holder's newest call", maxUnidentifiedCalls, true, atLimit, std::nullopt,
         {}, {":2.0"}},
        {"a full pool the service cannot empty refuses the newcomer", maxUnidentifiedCalls, false, atLimit,
         MethodNotAuthorised, {}, {":2.0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Admission *self = nullptr;
        std::vector<std::string> holders;
        Admission admission(
            [&](const std::string &holder) {
                holders.push_back(holder);
                if (c.roomMade)
                    self->release(holder, std::nullopt, waitingCallOverheadBytes);
            },
            [] {});
        self = &admission;
        // Single calls first, then one connection's burst: the pool fills
        // without giving up any of them.
        for (size_t i = 0; i < c.waitingBefore; ++i) {
            const std::string sender = i + burst < c.waitingBefore ? ":1." + std::to_string(i) : ":2.0";
            ASSERT_TRUE(admission.admit(MethodCall([](int) {}), "sendPolicy", sender, std::nullopt, false, {}, 0));
        }
        ASSERT_TRUE(holders.empty());
        std::optional<int> answer;
        logged.clear();
        setLogSink(captureLine, nullptr);
        const std::optional<size_t> bytes =
            admission.admit(MethodCall([&answer](int result) { answer = result; }), "compileSectionPolicy", ":9.9",
                            std::nullopt, false, {{c.ns, nsLabel, nsRefused}}, c.ns.size());
        setLogSink(nullptr, nullptr);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(bytes.has_value(), !c.answer);
        if (bytes) {
            EXPECT_EQ(*bytes, waitingCallOverheadBytes + c.ns.size());
        }
        EXPECT_EQ(logged, c.lines);
        EXPECT_EQ(holders, c.holders);
        EXPECT_EQ(admission.waitingCalls(), c.waitingBefore + (bytes ? 1 : 0) - (c.roomMade ? 1 : 0));
    }
}

} // namespace
