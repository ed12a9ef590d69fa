#ifndef TAVO_TOKEN_VALUE_H
#define TAVO_TOKEN_VALUE_H

#include <cstddef>
#include <cstdint>

// A token's text where the scanner matched it: in the scanner's buffer,
// valid until the buffer is deleted, not NUL-terminated.
struct TokenText {
    const char *data;
    size_t length;
};

// The value slot shared by the scanner and the parser: a number or a text.
union TokenValue {
    uint64_t number;
    TokenText text;
};

#endif
