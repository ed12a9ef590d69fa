#ifndef TAVO_TOKEN_VALUE_H
#define TAVO_TOKEN_VALUE_H

#include <cstdint>

// The value slot shared by the scanner and the parser: a number, or a heap
// string from copyTokenText that the grammar action receiving it frees.
union TokenValue {
    uint64_t number;
    char *text;
};

#endif
