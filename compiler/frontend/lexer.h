// The policy language scanner (generated from tavo.l).
#ifndef TAVO_LEXER_H
#define TAVO_LEXER_H

#include <climits>
#include <cstddef>
#include <string>

#include "token_value.h"

struct yy_buffer_state;
using ScanBuffer = yy_buffer_state *;

// Current line of the scanner, counted from 1; newlines count, carriage
// returns do not. Set to 1 by scanString.
extern int lineNumber;

// Longest text the scanner can take: its buffer routine counts in int and
// adds two bytes.
constexpr size_t maxScanLength = static_cast<size_t>(INT_MAX) - 2;

// Installs a copy of `length` bytes of `text` as the scanner's input, from
// line 1, and returns the buffer, to be released with deleteBuffer. Null
// (logged) for a text longer than maxScanLength. Throws std::bad_alloc
// when the buffer cannot be made. With `quietLines` (a quiet front end's
// text), the scanner writes no compile lines for it.
ScanBuffer scanString(const char *text, size_t length, bool quietLines = false);
inline ScanBuffer scanString(const std::string &text, bool quietLines = false)
{
    return scanString(text.data(), text.size(), quietLines);
}
// Releases a buffer made by scanString.
void deleteBuffer(ScanBuffer buffer);
// Scans the next token, stores its value through `value` where it carries
// one and returns its code: 0 at the end of the input and after a lexical
// error, which has been logged.
int nextToken(TokenValue *value);
// Text of the token matched last ("" at the end of the input).
const char *tokenText();
// Whether the token stream of the current buffer ended on a lexical error.
bool lexerFailed();

// Whether a token of this code carries a text in its value.
bool tokenCarriesText(int code);

#endif
