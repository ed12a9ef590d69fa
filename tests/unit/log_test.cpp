// The log line writer: control bytes escaped, long lines cut.
#include "support.h"

namespace {

TEST(Log, LogLinesEscapeControlBytesAndAreCapped)
{
    const std::string longNumber(50 * 1000 * 1000, '9');
    const struct {
        const char *label;
        std::string text;
        std::string logged;
    } cases[] = {
        {"line feed", "a.p\n##INFO: 处理策略文件 b.p 成功", "a.p\\x0a##INFO: 处理策略文件 b.p 成功"},
        {"escape and return", "x\x1b[2K\ry", "x\\x1b[2K\\x0dy"},
        {"tab, delete, NUL-free C0", "\t\x7f\x01\x1f", "\\x09\\x7f\\x01\\x1f"},
        {"final line feed stays", "done\n", "done\n"},
        {"inner and final line feed", "a\nb\n", "a\\x0ab\n"},
        {"text kept as it is", "caf\xc3\xa9 中文 \xf0\x9f\x98\x80 \xef\xbf\xbf /srv/\\x",
         "caf\xc3\xa9 中文 \xf0\x9f\x98\x80 \xef\xbf\xbf /srv/\\x"},
        {"C1 controls: CSI, NEL", "a\xc2\x9b" "2Kb\xc2\x85" "c\xc2\x80\xc2\x9f\xc2\xa0",
         "a\\xc2\\x9b2Kb\\xc2\\x85c\\xc2\\x80\\xc2\\x9f\xc2\xa0"},
        {"line and paragraph separators", "a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9"},
        {"bidi overrides and isolates", "\xe2\x80\xaagnp.\xe2\x80\xae" "exe\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xa7\xe2\x81\xaa",
         "\\xe2\\x80\\xaagnp.\\xe2\\x80\\xaeexe\\xe2\\x81\\xa6\\xe2\\x81\\xa9\xe2\x80\xa7\xe2\x81\xaa"},
        {"bytes that are not UTF-8", "\xff\x80" "a\xc3(\xe4\xb8\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80\xe4\xb8",
         "\\xff\\x80a\\xc3(\\xe4\\xb8\\xed\\xa0\\x80\\xc0\\xaf\\xf4\\x90\\x80\\x80\\xe4\\xb8"},
        {"long line cut", longNumber, std::string(8189, '9') + "..."},
        {"cut before a split escape", std::string(8187, 'a') + "\x01" + std::string(10, 'a'),
         std::string(8187, 'a') + "..."},
        {"cut before a split character", std::string(8188, 'a') + "中" + std::string(10, 'a'),
         std::string(8188, 'a') + "..."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture log;
        EXPECT_EQ(writeLog("x.cpp", 1, TAVO_LOG_ERROR, "%s", c.text.c_str()), static_cast<int>(c.logged.size()));
        EXPECT_EQ(log.messages(), std::vector<std::string>{c.logged});
    }
}

} // namespace
