// One UTF-8 decoder for the texts that are escaped on their way out (log
// lines, JSON lines, the checker's report): what is not a valid sequence is
// escaped byte by byte.
#ifndef TAVO_UTF8_H
#define TAVO_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string>

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

// Characters that move the cursor, end a line or turn the text around in a
// terminal or a log viewer: C1 controls (CSI, NEL, ...), the line and
// paragraph separators, and the bidirectional overrides and isolates.
inline bool unsafeCodePoint(uint32_t cp)
{
    return (cp >= 0x80 && cp <= 0x9f) || (cp >= 0x2028 && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// Appends `n` bytes of `text` so that they can reach a terminal or a log:
// every control byte, DEL, byte of an unsafe character and byte that is
// not part of valid UTF-8 is written as \xNN; other UTF-8 is kept. Stops
// once `out` is longer than `limit`.
inline void appendEscapedText(std::string &out, const char *text, size_t n, size_t limit = SIZE_MAX)
{
    static const char hex[] = "0123456789abcdef";
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    const auto escape = [&out](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 0xf];
    };
    for (size_t i = 0; i < n && out.size() <= limit;) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                escape(c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const size_t length = utf8Sequence(bytes + i, n - i, cp);
        if (length == 0) {
            escape(c);
            ++i;
            continue;
        }
        for (size_t k = 0; k < length; ++k) {
            if (unsafeCodePoint(cp))
                escape(bytes[i + k]);
            else
                out += static_cast<char>(bytes[i + k]);
        }
        i += length;
    }
}

#endif
