// The checker's JSON Lines: string escaping (bytes that are not UTF-8 must
// survive as \udcXX, in the JSON documents too), exact 64-bit numbers and
// the field order of a node.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "expr_type.h"
#include "json_document.h"
#include "json_lines.h"

namespace {

using namespace std::string_literals;

struct EscapeCase {
    const char *label;
    std::string text;
    std::string json; // without the surrounding quotes
};

void PrintTo(const EscapeCase &c, std::ostream *os)
{
    *os << c.label;
}

class JsonString : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonString, Escapes)
{
    const EscapeCase &c = GetParam();
    std::string out = "x";
    appendJsonString(out, c.text);
    EXPECT_EQ(out, "x\"" + c.json + "\"");
    // The documents' writer hands texts to nlohmann-json and must agree.
    EXPECT_EQ(dumpJson(jsonText(c.text)), "\"" + c.json + "\"\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonString,
    ::testing::Values(
        EscapeCase{"empty", "", ""},
        EscapeCase{"plain", "/usr/bin/app {x}", "/usr/bin/app {x}"},
        EscapeCase{"quote_and_backslash", R"(a"b\c)", R"(a\"b\\c)"},
        EscapeCase{"short_escapes", "\n\r\t\b\f", R"(\n\r\t\b\f)"},
        EscapeCase{"other_controls", "\x01\x1f\x7f"s, "\\u0001\\u001f\x7f"},
        EscapeCase{"nul", "a\0b"s, R"(a\u0000b)"},
        EscapeCase{"valid_multibyte", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                   "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        EscapeCase{"highest_code_points", "\xef\xbf\xbf\xf4\x8f\xbf\xbf", "\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
        EscapeCase{"lone_bytes", "\x80\xbf\xfe\xff", R"(\udc80\udcbf\udcfe\udcff)"},
        EscapeCase{"overlong_two_bytes", "\xc0\xaf\xc1\xbf", R"(\udcc0\udcaf\udcc1\udcbf)"},
        EscapeCase{"overlong_three_bytes", "\xe0\x80\xaf", R"(\udce0\udc80\udcaf)"},
        EscapeCase{"overlong_four_bytes", "\xf0\x8f\xbf\xbf", R"(\udcf0\udc8f\udcbf\udcbf)"},
        EscapeCase{"encoded_surrogate", "\xed\xa0\x80\xed\xbf\xbf", R"(\udced\udca0\udc80\udced\udcbf\udcbf)"},
        EscapeCase{"above_unicode", "\xf4\x90\x80\x80\xf5", R"(\udcf4\udc90\udc80\udc80\udcf5)"},
        // A sequence cut short by the end or by another character.
        EscapeCase{"truncated_at_end", "a\xe2\x82", R"(a\udce2\udc82)"},
        EscapeCase{"truncated_before_ascii", "\xe2\x82\"", R"(\udce2\udc82\")"},
        EscapeCase{"lead_before_valid", "\xc3\xc3\xa9", "\\udcc3\xc3\xa9"},
        // U+FFFF is how the documents' writer marks a lone byte for nlohmann-json.
        EscapeCase{"marker_beside_lone_byte", "\xef\xbf\xbf" "ff\xff\xef\xbf\xbf\xef\xbf\xbf",
                   "\xef\xbf\xbf" "ff\\udcff\xef\xbf\xbf\xef\xbf\xbf"}),
    [](const ::testing::TestParamInfo<EscapeCase> &info) { return std::string(info.param.label); });

constexpr uint64_t all64 = std::numeric_limits<uint64_t>::max();
constexpr uint32_t all32 = std::numeric_limits<uint32_t>::max();

FuncParam param(uint32_t type, uint64_t number, std::string text)
{
    FuncParam p;
    p.type = type;
    p.number = number;
    p.text = std::move(text);
    return p;
}

TEST(JsonNode, WritesEveryFieldInRecordOrder)
{
    PolicyNode node;
    node.action = 16;
    node.uid = all32;
    node.subjectById = true;
    node.sids = {TAVO_ID{all64, 0, 0}, TAVO_ID{21, 1, 7}};
    node.subjectNames = {"s"};
    node.objectById = false;
    node.objectNames = {"/o1", "/o\xff"};
    node.objectType = "file";
    node.permission = "read";
    ExprNode call;
    call.type = ExprCall;
    call.name = "f";
    call.params = {param(2, all64, ""), param(3, 0, "t")};
    ExprNode variable;
    variable.type = ExprDynamicVariable;
    variable.value = all32;
    variable.varName = "v";
    node.conditions = {call, variable};
    DoFuncNode action;
    action.name = "notify";
    action.params = {param(2, 1, "")};
    node.actions = {action};
    node.flags = 14;
    node.reserved0 = 99; // never written
    node.priority = 5;
    node.namespaceName = "ns";
    node.sectionName = "sec";
    node.moduleName = "mod";

    std::string out = "previous\n";
    appendNodeJson(out, "dir/\xe9.p", node);
    const std::string expected =
        "previous\n"
        R"({"file":"dir/\udce9.p","action":16,"uid":4294967295,"subjectById":true,)"
        R"("sids":[[18446744073709551615,0,0],[21,1,7]],"subjectNames":["s"],)"
        R"("objectById":false,"oids":[],"objectNames":["/o1","/o\udcff"],"objectType":"file","permission":"read",)"
        R"("conditions":[{"type":4,"name":"f","value":0,"varName":"",)"
        R"("params":[{"type":2,"number":18446744073709551615,"text":""},{"type":3,"number":0,"text":"t"}]},)"
        R"({"type":12,"name":"","value":4294967295,"varName":"v","params":[]}],)"
        R"("actions":[{"name":"notify","params":[{"type":2,"number":1,"text":""}]}],)"
        R"("flags":14,"priority":5,"namespaceName":"ns","sectionName":"sec","moduleName":"mod"})"
        "\n";
    EXPECT_EQ(out, expected);
}

} // namespace
