// The image's string table: every text is interned once and referred to by
// its index.
#ifndef TAVO_STRING_TABLE_H
#define TAVO_STRING_TABLE_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "image_format.h"

namespace tavo_image {

// One key of two string indexes.
constexpr uint64_t pairKey(uint32_t a, uint32_t b)
{
    return static_cast<uint64_t>(a) << 32 | b;
}

template <size_t N>
constexpr std::array<uint32_t, N> noStrings()
{
    std::array<uint32_t, N> indexes{};
    for (uint32_t &index : indexes)
        index = noString;
    return indexes;
}

class StringTable {
public:
    static uint64_t hashOf(const char *data, size_t size)
    {
        return std::hash<std::string_view>()(std::string_view(data, size));
    }

    // The index of the string, added if it is new.
    uint32_t intern(const char *data, size_t size, uint64_t hash);
    uint32_t intern(std::string_view s) { return intern(s.data(), s.size(), hashOf(s.data(), s.size())); }
    // Most rules in a row share their object type, namespace, section and
    // module: compared with the last one (`cache`) before hashing.
    uint32_t internCached(std::string_view s, uint32_t &cache)
    {
        if (cache != noString && holds(cache, s))
            return cache;
        cache = intern(s);
        return cache;
    }
    // Compared with the strings met last (`recent`, most recent first)
    // before hashing; the one found or added becomes the most recent.
    template <size_t N>
    uint32_t internRecent(std::string_view s, std::array<uint32_t, N> &recent)
    {
        for (size_t i = 0; i < N; ++i) {
            const uint32_t index = recent[i];
            if (index == noString)
                break;
            if (holds(index, s)) {
                std::rotate(recent.begin(), recent.begin() + i, recent.begin() + i + 1);
                return index;
            }
        }
        const uint32_t index = intern(s);
        std::move_backward(recent.begin(), recent.end() - 1, recent.end());
        recent[0] = index;
        return index;
    }
    // The index of the string, or noString.
    uint32_t find(std::string_view s) const;
    // The string at `index`; empty for noString.
    std::string text(uint32_t index) const;
    // Whether the string at `index` is `s`.
    bool holds(uint32_t index, std::string_view s) const
    {
        const uint32_t begin = beginOf(index);
        return ends_[index] - begin == s.size() && memcmp(bytes_.data() + begin, s.data(), s.size()) == 0;
    }

    size_t size() const { return ends_.size(); }
    // The StringEnds and StringBytes tables.
    const std::vector<uint32_t> &ends() const { return ends_; }
    const std::string &bytes() const { return bytes_; }

    // Fetches ahead what probing for a string of `hash` reads: its first
    // slot, then the end before the string found there, then its bytes.
    // Each step reads what the one before fetched.
    void prefetchSlot(uint64_t hash);
    void prefetchEnd(uint64_t hash) const;
    void prefetchBytes(uint64_t hash) const;

private:
    uint32_t beginOf(uint32_t index) const { return index == 0 ? 0 : ends_[index - 1]; }
    size_t homeSlot(uint64_t tag) const;
    // The string in the first slot of `hash`, or noString.
    uint32_t atHomeSlot(uint64_t hash) const;
    uint32_t probe(const char *data, size_t size, uint64_t hash, size_t &slot) const;
    void grow();

    std::vector<uint32_t> ends_;
    std::string bytes_;
    static constexpr size_t initialSlots = 1024;
    static constexpr size_t maxSlots = size_t{1} << 32;
    std::vector<uint64_t> slots_;
    uint32_t emptyString_ = noString;
};

} // namespace tavo_image

#endif
