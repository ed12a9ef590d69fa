// The policy language scanner (generated from data/tavo.l).
#ifndef TAVO_LEXER_H
#define TAVO_LEXER_H

#include <cstddef>

#include "token_value.h"

struct yy_buffer_state;
using ScanBuffer = yy_buffer_state *;

// Current line of the scanner, counted from 1; newlines count, carriage
// returns do not. Reset to 1 with the parse state.
extern int lineNumber;

// Installs a copy of a NUL-terminated text as the scanner's input and
// returns the buffer, to be released with deleteBuffer.
ScanBuffer scanString(const char *text);
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

// Whether a token of this code carries a heap text in its value, which its
// receiver must free().
bool tokenCarriesText(int code);

// Heap copy of `length` bytes of `text` plus a NUL, to be freed with free().
// Null for a null text, length 0, a length over 65536 (logged) or no memory.
char *copyTokenText(const char *text, size_t length);

#endif
