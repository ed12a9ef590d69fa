// The scanner: token codes and values, keyword and blank rules, numbers,
// length limits, line counting and the text-copy helper.
#include "support.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>

#include "lexer.h"
#include "tavo_parser.hpp"

// The same scanner built from the same tavo.l with its texts and comments
// left to flex's DFA (see tests/CMakeLists.txt).
#undef TAVO_LEXER_H
#define Scanner ReferenceScanner
#define scanToken referenceScanToken
#define tokenCarriesText referenceTokenCarriesText
#define maxScanLength referenceMaxScanLength
#include "lexer.h"
#undef Scanner
#undef scanToken
#undef tokenCarriesText
#undef maxScanLength

namespace {

Token num(uint64_t n, int line = 1) { return Token{NUMBER, n, "", line}; }
Token act(uint64_t n, int line = 1) { return Token{ACTION, n, "", line}; }
Token type(uint64_t n, int line = 1) { return Token{TYPE, n, "", line}; }
Token id(const std::string &s, int line = 1) { return Token{IDENTIFIER, 0, s, line}; }
Token text(int code, const std::string &s, int line = 1) { return Token{code, 0, s, line}; }
Token bare(int code, int line = 1) { return Token{code, 0, "", line}; }

struct ScanCase {
    const char *name;
    std::string input;
    std::vector<Token> expected;
};

TEST(Lexer, TokenStreams)
{
    const ScanCase cases[] = {
        {"actions need a trailing blank", "allow a disallow\tb detect c respond d",
         {act(1), id("a"), act(2), id("b"), act(4), id("c"), act(16), id("d")}},
        {"allow before newline is a name", "allow\n", {id("allow")}},
        {"if and do glued to brackets", "if(do{", {id("if"), bare('('), id("do"), bare('{')}},
        {"if and do with blanks", "if (do {", {bare(IF), bare('('), bare(DO), bare('{')}},
        {"types", "bool a int a string a boolist a intlist a strlist a",
         {type(1), id("a"), type(2), id("a"), type(3), id("a"), type(4), id("a"), type(5), id("a"), type(6),
          id("a")}},
        {"longer names win", "allowed done booleans intx", {id("allowed"), id("done"), id("booleans"), id("intx")}},
        {"true with blanks around", "  true  ,", {num(1), bare(',')}},
        {"false glued to a bracket", "(false)", {bare('('), num(0), bare(')')}},
        {"trueval at line start", "trueval", {id("trueval")}},
        {"blank before trueval", " trueval", {num(1), id("val")}},
        {"truex after a bracket", "(truex", {bare('('), id("truex")}},
        {"dynamic", "dynamic bool dynamicx dynamicx", {bare(DYNAMIC), type(1), id("dynamicx"), bare(DYNAMIC), id("x")}},
        {"section with a blank", "%SECTION s", {bare(SECTION), id("s")}},
        {"section without a blank", "%SECTION\n%SECTIONs",
         {bare('%'), id("SECTION"), bare('%', 2), id("SECTIONs", 2)}},
        {"endsec in any company", "%ENDSEC\n%ENDSECx", {bare(ENDSEC), bare(ENDSEC, 2), id("x", 2)}},
        {"comparison operators", "a!=b<=c>=d<e>f",
         {id("a"), text(NE, "!="), id("b"), text(LE, "<="), id("c"), text(GE, ">="), id("d"), bare('<'), id("e"),
          bare('>'), id("f")}},
        {"two equals and a minus", "== -5", {bare('='), bare('='), bare('-'), num(5)}},
        {"texts keep their delimiters", "\"a b\" 'c' $v_1 $_ *",
         {text(DQSTRING, "\"a b\""), text(SQSTRING, "'c'"), text(VARIABLE, "$v_1"), text(VARIABLE, "$_"),
          bare(STAR)}},
        {"dollar before a digit", "$1", {bare('$'), num(1)}},
        {"string cannot span lines", "\"ab\n\"", {bare('"'), id("ab"), bare('"', 2)}},
        {"comment ends at the newline", "# hi \"x\nb", {bare(COMMENT), id("b", 2)}},
        {"other punctuation", "/.:;[]", {bare('/'), bare('.'), bare(':'), bare(';'), bare('['), bare(']')}},
        {"high bytes", "\x80 \xff", {bare(128), bare(255)}},
        {"numbers", "007 0x1F 0xff 0 18446744073709551615 0xFFFFFFFFFFFFFFFF",
         {num(7), num(31), num(255), num(0), num(UINT64_MAX), num(UINT64_MAX)}},
        {"0x alone", "0x", {num(0), id("x")}},
        {"upper-case X is no prefix", "0X1F", {num(0), id("X1F")}},
        {"CR LF counts once", "a\r\nb", {id("a"), id("b", 2)}},
        {"CR alone does not count", "a\rb\n\nc", {id("a"), id("b"), id("c", 3)}},
    };
    for (const ScanCase &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Scanner scanner(c.input);
        EXPECT_EQ(scanAll(scanner), c.expected);
        EXPECT_TRUE(log.messages().empty());
        EXPECT_FALSE(scanner.failed());
    }
}

TEST(Lexer, LengthLimits)
{
    const struct {
        std::string input;
        int code;
    } accepted[] = {
        {'"' + std::string(4094, 's') + '"', DQSTRING},
        {'\'' + std::string(4094, 's') + '\'', SQSTRING},
        {std::string(256, 'i'), IDENTIFIER},
        {'$' + std::string(256, 'v'), VARIABLE},
    };
    for (const auto &c : accepted) {
        SCOPED_TRACE(c.input.size());
        LogCapture log;
        EXPECT_EQ(scanAll(c.input), std::vector<Token>{text(c.code, c.input)});
        EXPECT_TRUE(log.messages().empty());
    }
}

TEST(Lexer, LexicalErrorsAreLoggedOnceAndEndTheStream)
{
    const struct {
        std::string bad;
        std::string message;
    } cases[] = {
        {"18446744073709551616", "####ERROR: 数字超出范围: 18446744073709551616"},
        {"0x10000000000000000", "####ERROR: 数字超出范围: 0x10000000000000000"},
        {'"' + std::string(4095, 's') + '"', "####ERROR: 字符串过长"},
        {'\'' + std::string(4095, 's') + '\'', "####ERROR: 字符串过长"},
        {std::string(257, 'i'), "####ERROR: 变量名过长"},
        {'$' + std::string(257, 'v'), "####ERROR: 变量名过长"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        LogCapture log;
        const std::string input = "a " + c.bad + " b\nc";
        Scanner scanner(input);
        TokenValue value;
        ASSERT_EQ(scanner.next(&value), IDENTIFIER);
        EXPECT_EQ(scanner.next(&value), 0);
        // Nothing after the bad token is ever returned.
        EXPECT_EQ(scanner.next(&value), 0);
        EXPECT_TRUE(scanner.failed());
        EXPECT_EQ(scanner.line(), 1);
        EXPECT_EQ(log.messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR).size(), 1u);

        // Another scanner, made meanwhile, starts afresh.
        Scanner other("x");
        EXPECT_EQ(scanAll(other), std::vector<Token>{id("x")});
        EXPECT_FALSE(other.failed());
    }
}

TEST(Lexer, TokenTextIncludesKeywordBlanksAndIsEmptyAtEnd)
{
    Scanner scanner("  allow\tx # note\n");
    TokenValue value;
    ASSERT_EQ(scanner.next(&value), ACTION);
    EXPECT_STREQ(scanner.tokenText(), "  allow\t");
    ASSERT_EQ(scanner.next(&value), IDENTIFIER);
    EXPECT_STREQ(scanner.tokenText(), "x");
    ASSERT_EQ(scanner.next(&value), COMMENT);
    EXPECT_STREQ(scanner.tokenText(), "# note");
    EXPECT_EQ(scanner.line(), 1);
    ASSERT_EQ(scanner.next(&value), 0);
    EXPECT_STREQ(scanner.tokenText(), "");
    EXPECT_EQ(scanner.line(), 2);
}

// The parser reads a token ahead before it hands the one before to its
// action: a text must stay as it was matched while later tokens are scanned.
TEST(Lexer, TokenTextsOutliveTheTokensAfterThem)
{
    Scanner scanner("abc \"x y\"\n$v<=");
    std::vector<TokenText> texts;
    TokenValue value;
    for (int code; (code = scanner.next(&value)) != 0;)
        if (tokenCarriesText(code))
            texts.push_back(value.text);
    std::vector<std::string> seen;
    for (const TokenText &text : texts)
        seen.emplace_back(text.data, text.length);
    EXPECT_EQ(seen, (std::vector<std::string>{"abc", "\"x y\"", "$v", "<="}));
}

std::string printable(const char *data, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Everything a scanner tells of a text, one token a line: code, value,
// line, tokenText; then whether it failed and what it logged.
template <typename AnyScanner, typename CarriesText>
std::string everythingScanned(AnyScanner &scanner, CarriesText carriesText)
{
    LogCapture log;
    std::ostringstream out;
    for (int code = -1; code != 0;) {
        TokenValue value;
        value.number = 0;
        code = scanner.next(&value);
        out << code;
        if (carriesText(code))
            out << " text " << printable(value.text.data, value.text.length);
        else if (code == NUMBER || code == ACTION || code == TYPE)
            out << " number " << value.number;
        const char *tokenText = scanner.tokenText();
        out << " line " << scanner.line() << " tokenText " << printable(tokenText, strlen(tokenText)) << "\n";
    }
    out << "failed " << scanner.failed() << "\n";
    for (const LogLine &l : log.lines())
        out << "log " << l.level << " " << l.message << "\n";
    return out.str();
}

// The scanner the pipeline runs (in place, the ends of texts and comments
// found by its actions) against flex's DFA over a copy: the same stream,
// and the text as it was after.
void expectSameAsReference(const std::string &input)
{
    ReferenceScanner reference(input);
    const std::string expected = everythingScanned(reference, referenceTokenCarriesText);
    std::string text = input;
    std::string got;
    {
        Scanner scanner(Scanner::InPlace{}, text);
        got = everythingScanned(scanner, tokenCarriesText);
    }
    EXPECT_EQ(got, expected) << "input: " << printable(input.data(), input.size());
    EXPECT_EQ(text, input);
}

TEST(Lexer, QuotedTextsAndCommentsAsFlexWouldMatchThem)
{
    using namespace std::string_literals;
    const std::string longest(4094, 's');
    const std::string cases[] = {
        "\"a b\" 'c d'", "\"\"''", "\"", "'", "\"abc", "'abc", "x \"abc", "\"abc\n\"", "'ab\ncd'",
        "\"a'b\" 'a\"b'", "\"x\"y\"", "\"\"\"", "'''", "\"a\"\"b\"", "\"a\\\"b\"",
        "\"a\0b\" 'c\0d'"s, "\"\0\""s, "\0\"a\""s, "\"a\"\0"s, "\"a\0"s, "#a\0b\nx"s, "\"\0\n\""s,
        "\"a\rb\"\r\n'c'\r\n", "\"a\r\n\"", "\"\x80\xff\"", "'\xff'",
        "# comment", "#", "#\n", "#\n#", "# a \"b\" 'c'\nd", "#\"x\"", "\"#\"", "a#b", "\r\n#\r\n",
        "allow \"x\" $v\"y\"<=\"z\"", "if \"a\" do", "\"dir/a b/c.so\"\n\"e\"",
        '"' + longest + '"', '"' + longest + "s\"", '\'' + longest + "s'\nx", "a\nb \"" + longest + "ss\" c",
        '"' + longest + "ss", '"' + std::string(5000, 'a') + "\nb", "'" + longest + "s\n'",
    };
    for (const std::string &c : cases) {
        SCOPED_TRACE(printable(c.data(), c.size()));
        expectSameAsReference(c);
    }
}

std::vector<std::string> goodCorpus()
{
    std::vector<std::string> texts;
    const std::string dir = std::string(TAVO_CORPUS_DIR) + "/good";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return texts;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    closedir(d);
    return texts;
}

// Random texts of the language's pieces and stray bytes, and mutated good
// policies: seeded, so that a failure is found again.
TEST(Lexer, RandomTextsScanAsFlexWouldScanThem)
{
    static const char *const pieces[] = {
        "allow ", "disallow\t", "detect ", "respond ", " if ", "do ", "bool ", "int ", "string ", "strlist ",
        "true", " false ", "%SECTION ", "%ENDSEC", " dynamic", "!=", "<=", ">=", "$v", "$", "name", "x_1", "0x1f",
        "0x", "123", "18446744073709551616", "*", "#", "# c", "\"", "'", "\"/usr/bin/a\"", "'b'", " ", "\t", "\n",
        "\r", "\r\n", "{", "}", "(", ")", ",", "=", "%", "\\",
    };
    std::mt19937 random(20261209);
    const auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const size_t count = pick(40);
        for (size_t i = 0; i < count; ++i) {
            switch (pick(10)) {
            case 0: input += static_cast<char>(pick(256)); break;
            case 1: input += std::string(1 + pick(3), static_cast<char>(0x80 + pick(128))); break;
            case 2: input += '\0'; break;
            case 3: input.append(pick(50) == 0 ? 4090 + pick(10) : pick(300), "ab/"[pick(3)]); break;
            default: input += pieces[pick(sizeof pieces / sizeof *pieces)]; break;
            }
        }
        expectSameAsReference(input);
        if (HasFailure())
            return;
    }
    const std::vector<std::string> corpus = goodCorpus();
    ASSERT_FALSE(corpus.empty());
    static const char stray[] = {'"', '\'', '#', '\n', '\r', '\0', ' ', '\xff'};
    for (int round = 0; round < 1000; ++round) {
        std::string input = corpus[pick(corpus.size())];
        for (size_t edits = 1 + pick(4); edits > 0 && !input.empty(); --edits) {
            const size_t at = pick(input.size());
            switch (pick(3)) {
            case 0: input[at] = stray[pick(sizeof stray)]; break;
            case 1: input.erase(at, 1 + pick(8)); break;
            default: input.insert(at, 1, stray[pick(sizeof stray)]); break;
            }
        }
        expectSameAsReference(input);
        if (HasFailure())
            return;
    }
}

} // namespace
