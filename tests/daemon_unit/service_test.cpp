// The service object outside the bus: a direct call has no sender and is
// refused.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
    ZupolicyPolicymgrService service;
    Capture capture;
    // compileInitPolicy is the one method that does not need the module, so
    // the refusal is the authorisation's.
    EXPECT_EQ(service.compileInitPolicy(), -100);
    const std::vector<std::pair<int, std::string>> expected{
        {1, "checkAuth: sender empty (method=compileInitPolicy)"},
        {1, "#ERROR: auth failed for sender , method compileInitPolicy"},
    };
    EXPECT_EQ(lines, expected);
}

} // namespace
