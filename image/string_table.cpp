#include "string_table.h"

#include "large_blocks.h"

namespace tavo_image {

// Open addressing over the string table itself: a slot holds the upper
// half of the string's hash and its index plus one; 0 is a free slot. A
// string's first slot is taken from that upper half too, so that growing
// the table moves slots without reading and hashing every string again.
size_t StringTable::homeSlot(uint64_t tag) const
{
    return static_cast<size_t>((tag * slots_.size()) >> 32);
}

uint32_t StringTable::probe(const char *data, size_t size, uint64_t hash, size_t &slot) const
{
    const uint64_t tag = hash >> 32;
    for (slot = homeSlot(tag);; slot = (slot + 1) & (slots_.size() - 1)) {
        const uint64_t entry = slots_[slot];
        if (entry == 0)
            return noString;
        if (entry >> 32 != tag)
            continue;
        const uint32_t index = static_cast<uint32_t>(entry) - 1;
        if (holds(index, std::string_view(data, size)))
            return index;
    }
}

void StringTable::grow()
{
    // Past 2^32 slots the home slot would need more bits than a tag has;
    // the string indexes run out before such a table fills.
    if (slots_.size() >= maxSlots)
        return;
    std::vector<uint64_t> slots(slots_.empty() ? initialSlots : slots_.size() * 2, 0);
    slots_.swap(slots);
    for (const uint64_t entry : slots) {
        if (entry == 0)
            continue;
        size_t slot = homeSlot(entry >> 32);
        while (slots_[slot] != 0)
            slot = (slot + 1) & (slots_.size() - 1);
        slots_[slot] = entry;
    }
}

uint32_t StringTable::intern(const char *data, size_t size, uint64_t hash)
{
    // Most parameters are numbers, with an empty text.
    if (size == 0 && emptyString_ != noString)
        return emptyString_;
    if (slots_.empty())
        grow();
    size_t slot = 0;
    const uint32_t found = probe(data, size, hash, slot);
    if (found != noString)
        return found;
    const uint32_t index = count32(ends_.size());
    // Room up front instead of a few copies on the way: a policy set's
    // names alone take megabytes.
    if (bytes_.capacity() < largeBlockBytes)
        bytes_.reserve(largeBlockBytes);
    bytes_.append(data, size);
    ends_.push_back(count32(bytes_.size()));
    slots_[slot] = (hash >> 32 << 32) | (uint64_t{index} + 1);
    if (size == 0)
        emptyString_ = index;
    // At most half full, so that probes stay short.
    if (ends_.size() * 2 > slots_.size())
        grow();
    return index;
}

uint32_t StringTable::find(std::string_view s) const
{
    if (slots_.empty())
        return noString;
    size_t slot = 0;
    return probe(s.data(), s.size(), hashOf(s.data(), s.size()), slot);
}

std::string StringTable::text(uint32_t index) const
{
    if (index == noString)
        return std::string();
    const uint32_t begin = beginOf(index);
    return bytes_.substr(begin, ends_[index] - begin);
}

uint32_t StringTable::atHomeSlot(uint64_t hash) const
{
    const uint64_t entry = slots_[homeSlot(hash >> 32)];
    return entry != 0 && entry >> 32 == hash >> 32 ? static_cast<uint32_t>(entry) - 1 : noString;
}

void StringTable::prefetchSlot(uint64_t hash)
{
    if (slots_.empty())
        grow();
    __builtin_prefetch(&slots_[homeSlot(hash >> 32)]);
}

void StringTable::prefetchEnd(uint64_t hash) const
{
    const uint32_t index = atHomeSlot(hash);
    if (index != noString)
        __builtin_prefetch(&ends_[index == 0 ? 0 : index - 1]);
}

void StringTable::prefetchBytes(uint64_t hash) const
{
    const uint32_t index = atHomeSlot(hash);
    if (index != noString)
        __builtin_prefetch(bytes_.data() + beginOf(index));
}

} // namespace tavo_image
