// The policy language scanner (generated from tavo.l).
#ifndef TAVO_LEXER_H
#define TAVO_LEXER_H

#include <climits>
#include <cstddef>
#include <string>

#include "token_value.h"

// Longest text the scanner can take: its buffer routine counts in int and
// adds two bytes.
constexpr size_t maxScanLength = static_cast<size_t>(INT_MAX) - 2;

// The generated scanner behind Scanner::next.
int scanToken(TokenValue *value, void *scanner);

// A scanner over one text, a copy or the text itself: its buffer, its line
// and whether it failed are its own, so that two compiles share nothing. The
// texts of its tokens point into its buffer and stay valid while it lives.
class Scanner {
public:
    // Copies `length` bytes of `text` and starts at line 1. A text longer
    // than maxScanLength is refused (logged) and the scanner is not ready.
    // Throws std::bad_alloc when the scanner cannot be made. With
    // `quietLines` (a quiet front end's text), it writes no compile lines.
    Scanner(const char *text, size_t length, bool quietLines = false);
    explicit Scanner(const std::string &text, bool quietLines = false)
        : Scanner(text.data(), text.size(), quietLines)
    {
    }
    // Scans `text` itself, without a copy; otherwise as above. It appends
    // the two NUL bytes flex wants after its buffer (reserve them to keep
    // the text where it is) and takes them off when it goes. While it
    // lives, `text` must not change, and the byte after the token scanned
    // last reads NUL; once it has gone, `text` is as it was.
    struct InPlace {};
    Scanner(InPlace, std::string &text, bool quietLines = false);
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    bool ready() const { return handle_ != nullptr; }
    // Of a ready scanner: scans the next token, stores its value through
    // `value` where it carries one and returns its code: 0 at the end of
    // the input and after a lexical error, which has been logged.
    int next(TokenValue *value) { return scanToken(value, handle_); }
    // Current line, counted from 1; newlines count, carriage returns do not.
    int line() const;
    // Text of the token matched last ("" at the end of the input).
    const char *tokenText() const;
    // Whether the token stream ended on a lexical error.
    bool failed() const;

private:
    void *handle_ = nullptr;
    std::string *inPlace_ = nullptr;
};

// Whether a token of this code carries a text in its value.
bool tokenCarriesText(int code);

#endif
