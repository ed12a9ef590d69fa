#include "json_document.h"

#include <cstdint>

#include "utf8.h"

namespace {

// nlohmann-json refuses bytes that are not UTF-8 and has no way to write a
// lone surrogate, so jsonText() hands them over as the noncharacter
// U+FFFF followed by their two hex digits (and U+FFFF itself doubled), and
// dumpJson() turns them into \udcXX once the library has written the rest.
constexpr char marker[] = "\xef\xbf\xbf";
constexpr size_t markerSize = sizeof marker - 1;
const char hexDigits[] = "0123456789abcdef";

bool plainText(const std::string &text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const size_t n = utf8Sequence(p + i, text.size() - i, cp);
        if (n == 0 || cp == 0xffff)
            return false;
        i += n;
    }
    return true;
}

} // namespace

JsonDocument jsonText(const std::string &text)
{
    if (plainText(text))
        return text;
    std::string marked;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t n = p[i] < 0x80 ? 1 : utf8Sequence(p + i, text.size() - i, cp);
        if (n == 0) {
            marked.append(marker, markerSize);
            marked += hexDigits[p[i] >> 4];
            marked += hexDigits[p[i] & 0xf];
            ++i;
        } else {
            if (cp == 0xffff)
                marked.append(marker, markerSize);
            marked.append(text, i, n);
            i += n;
        }
    }
    return marked;
}

std::string dumpJson(const JsonDocument &document)
{
    std::string dumped = document.dump();
    std::string out;
    size_t from = 0;
    for (size_t at = dumped.find(marker); at != std::string::npos; at = dumped.find(marker, from)) {
        out.append(dumped, from, at - from);
        at += markerSize;
        if (dumped.compare(at, markerSize, marker) == 0) {
            out.append(marker, markerSize);
            from = at + markerSize;
        } else {
            out += "\\udc";
            out.append(dumped, at, 2);
            from = at + 2;
        }
    }
    if (from == 0)
        out = std::move(dumped);
    else
        out.append(dumped, from, std::string::npos);
    out += '\n';
    return out;
}
