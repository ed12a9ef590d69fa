#include "label_table.h"

#include <cstring>
#include <string_view>

namespace tavo_image {

namespace {

// Slot of a 64-bit key in a power-of-two table: the high bits of a
// multiplicative hash.
size_t slotOfKey(uint64_t key, size_t slots)
{
    return static_cast<size_t>((key * 0x9e3779b97f4a7c15ull) >> 32) & (slots - 1);
}

} // namespace

// Whether the key was new.
bool LabelTable::insertKey(uint64_t key)
{
    if ((slotsUsed_ + 1) * 2 > slots_.size()) {
        std::vector<uint64_t> slots(slots_.empty() ? initialSlots : slots_.size() * 2, 0);
        for (const uint64_t stored : slots_) {
            if (stored == 0)
                continue;
            size_t slot = slotOfKey(stored, slots.size());
            while (slots[slot] != 0)
                slot = (slot + 1) & (slots.size() - 1);
            slots[slot] = stored;
        }
        slots_.swap(slots);
    }
    const uint64_t stored = key + 1;
    for (size_t slot = slotOfKey(stored, slots_.size());; slot = (slot + 1) & (slots_.size() - 1)) {
        if (slots_[slot] == stored)
            return false;
        if (slots_[slot] == 0) {
            slots_[slot] = stored;
            ++slotsUsed_;
            return true;
        }
    }
}

// Whether the label was new; `strings` is the size of the string table.
bool LabelTable::insert(const PairRecord &label, size_t strings)
{
    if (firstKind_.size() <= label.second)
        firstKind_.resize(strings, noString);
    uint32_t &first = firstKind_[label.second];
    if (first == noString) {
        first = label.first;
        return true;
    }
    return first != label.first && insertKey(pairKey(label.first, label.second));
}

void LabelTable::add(const std::string &kind, const std::string &name, StringTable &strings)
{
    queued_.push_back(QueuedLabel{count32(kind.size()), count32(name.size()),
                                  StringTable::hashOf(name.data(), name.size()), texts_.size()});
    texts_.append(kind).append(name);
    if (queued_.size() == batch)
        flush(strings);
}

void LabelTable::flush(StringTable &strings)
{
    if (queued_.empty())
        return;
    for (const QueuedLabel &q : queued_)
        strings.prefetchSlot(q.hash);
    for (const QueuedLabel &q : queued_)
        strings.prefetchEnd(q.hash);
    for (const QueuedLabel &q : queued_)
        strings.prefetchBytes(q.hash);
    // Texts stay while their names are pending.
    size_t keptTexts = queued_.front().text;
    for (const QueuedLabel &q : queued_) {
        const char *text = texts_.data() + q.text;
        const size_t nameText = q.text + q.kindSize;
        const PairRecord label{strings.internRecent(std::string_view(text, q.kindSize), recentKinds_),
                               strings.intern(text + q.kindSize, q.nameSize, q.hash)};
        pendingFull_ = pendingFull_ || pending_.size() == maxPendingNames || nameText + q.nameSize > maxTextBytes;
        if (!pendingFull_) {
            pending_.push_back(PendingName{label.second, q.nameSize, nameText});
            keptTexts = nameText + q.nameSize;
        }
        if (insert(label, strings.size()))
            labels_.push_back(label);
    }
    queued_.clear();
    texts_.resize(keptTexts);
}

uint32_t LabelTable::internName(const std::string &s, StringTable &strings)
{
    const size_t end = std::min(pending_.size(), pendingAt_ + nameWindow);
    for (size_t at = pendingAt_; at < end; ++at) {
        const PendingName &name = pending_[at];
        if (name.size == s.size() && memcmp(texts_.data() + name.text, s.data(), s.size()) == 0) {
            pendingAt_ = at + 1;
            return name.index;
        }
    }
    return strings.intern(s);
}

void LabelTable::endFile()
{
    pending_.clear();
    pendingAt_ = 0;
    pendingFull_ = false;
    texts_.clear();
}

} // namespace tavo_image
