// One UTF-8 decoder for the texts that are escaped on their way out (log
// lines, JSON lines): what is not a valid sequence is escaped byte by byte.
#ifndef TAVO_UTF8_H
#define TAVO_UTF8_H

#include <cstddef>
#include <cstdint>

// Length of the valid UTF-8 sequence at `p` (`n` bytes left) and its code
// point, or 0 when the bytes there are not one (overlong forms, surrogates
// and values past U+10FFFF included).
inline size_t utf8Sequence(const unsigned char *p, size_t n, uint32_t &cp)
{
    const unsigned char c = p[0];
    size_t length = 0;
    uint32_t min = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2, cp = c & 0x1f, min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3, cp = c & 0x0f, min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return length;
}

#endif
