// Registrations handed on lately, so that one repeating them can be told
// apart from one that counts: the front end registers a function for every
// call it meets and a uid for every user a rule names, mostly the same few
// again and again.
#ifndef TAVO_RECENT_REGISTRATIONS_H
#define TAVO_RECENT_REGISTRATIONS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// A cheap hash of a short name, for a small table of the names met lately.
inline size_t nameHash(const std::string &name)
{
    size_t hash = name.size();
    for (const char c : name)
        hash = hash * 31 + static_cast<unsigned char>(c);
    return hash;
}

// Functions, one place per function name by its nameHash.
class RecentFunctions {
public:
    bool contains(const std::string &ns, const std::string &module, const std::string &function) const
    {
        const Entry &e = entries_[slotOf(function)];
        return e.valid && e.function == function && e.module == module && e.ns == ns;
    }
    void remember(const std::string &ns, const std::string &module, const std::string &function)
    {
        Entry &e = entries_[slotOf(function)];
        e.valid = true;
        e.ns = ns;
        e.module = module;
        e.function = function;
    }
    void forget()
    {
        for (Entry &e : entries_)
            e.valid = false;
    }

private:
    struct Entry {
        bool valid = false;
        std::string ns;
        std::string module;
        std::string function;
    };
    static constexpr size_t slotCount = 64;
    static size_t slotOf(const std::string &function) { return nameHash(function) % slotCount; }
    std::array<Entry, slotCount> entries_;
};

// The uids the last few user names were given.
class RecentUids {
public:
    // Whether `name` was last given `uid`.
    bool contains(const std::string &name, uint32_t uid) const
    {
        const Entry *e = find(name);
        return e && e->uid == uid;
    }
    // `name` has `uid` from now on: a name given another uid takes it here
    // too, as in the registrations.
    void remember(const std::string &name, uint32_t uid)
    {
        Entry *e = find(name);
        if (!e) {
            e = &entries_[next_];
            e->name = name;
            next_ = (next_ + 1) % entries_.size();
            if (used_ < entries_.size())
                ++used_;
        }
        e->uid = uid;
    }
    void forget()
    {
        used_ = 0;
        next_ = 0;
    }

private:
    struct Entry {
        std::string name;
        uint32_t uid = 0;
    };
    const Entry *find(const std::string &name) const
    {
        for (size_t i = 0; i < used_; ++i) {
            if (entries_[i].name == name)
                return &entries_[i];
        }
        return nullptr;
    }
    Entry *find(const std::string &name)
    {
        return const_cast<Entry *>(static_cast<const RecentUids *>(this)->find(name));
    }
    std::array<Entry, 8> entries_;
    size_t used_ = 0;
    size_t next_ = 0;
};

#endif
