// The image's label table: each (kind, name) registered once, in order of
// first registration. Labels are interned a batch at a time after fetching
// what their names' probes of the string table will read (a policy set's
// names are mostly distinct, and each would miss the cache), and the names
// registered for one file are kept so that the file's subject and object
// names find theirs without a probe.
#ifndef TAVO_LABEL_TABLE_H
#define TAVO_LABEL_TABLE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image_format.h"
#include "string_table.h"

namespace tavo_image {

class LabelTable {
public:
    // Registers a label; it is interned into `strings` by the next flush
    // at the latest.
    void add(const std::string &kind, const std::string &name, StringTable &strings);
    // Interns every label registered so far, in order.
    void flush(StringTable &strings);
    // The index of `s`, a subject or object name of the file being encoded:
    // first compared with the next few names registered as labels since the
    // last file, which the file's names follow in nearly the same order.
    uint32_t internName(const std::string &s, StringTable &strings);
    // The file is encoded: forgets the names registered for it.
    void endFile();
    // The Labels table.
    const std::vector<PairRecord> &records() const { return labels_; }

private:
    bool insertKey(uint64_t key);
    bool insert(const PairRecord &label, size_t strings);

    std::vector<PairRecord> labels_;
    // Labels seen: a name's first kind beside its string (by string index;
    // nearly every name has one kind), any other (kind, name) as one key
    // plus one in an open-addressing table at most half full, where 0 is a
    // free slot.
    std::vector<uint32_t> firstKind_;
    static constexpr size_t initialSlots = 1024;
    std::vector<uint64_t> slots_;
    size_t slotsUsed_ = 0;
    // Labels registered but not yet interned.
    struct QueuedLabel {
        uint32_t kindSize;
        uint32_t nameSize;
        uint64_t hash; // of the name
        size_t text;   // kind, then name, in texts_
    };
    static constexpr size_t batch = 32;
    std::vector<QueuedLabel> queued_;
    // Names registered since the last file was added, in order, with their
    // texts, and where the next name of the file is looked for.
    struct PendingName {
        uint32_t index;
        uint32_t size;
        size_t text;
    };
    static constexpr size_t nameWindow = 4;
    static constexpr size_t maxPendingNames = size_t{1} << 20;
    static constexpr size_t maxTextBytes = size_t{64} << 20;
    std::vector<PendingName> pending_;
    size_t pendingAt_ = 0;
    bool pendingFull_ = false;
    // Texts of the queued labels and of the pending names.
    std::string texts_;
    // Label kinds met last, most recent first: a label's kind is nearly
    // always one of the few its rule registers.
    std::array<uint32_t, 4> recentKinds_ = noStrings<4>();
};

} // namespace tavo_image

#endif
