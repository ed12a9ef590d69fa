#include "policy_identity.h"

#include <algorithm>
#include <cstring>

namespace {

// Writes the canonical form into a buffer that keeps its size from rule to
// rule: every write is a bounds check and a copy, inline.
class Writer {
public:
    explicit Writer(std::vector<char> &buffer) : buffer_(buffer) {}
    size_t size() const { return used_; }

    void bytes(const void *data, size_t size)
    {
        char *at = room(size);
        if (size)
            memcpy(at, data, size);
    }
    template <typename Number>
    void number(Number value)
    {
        char *at = room(sizeof(Number));
        for (size_t i = 0; i < sizeof(Number); ++i)
            at[i] = static_cast<char>(static_cast<uint64_t>(value) >> (8 * i));
    }

private:
    char *room(size_t size)
    {
        if (used_ + size > buffer_.size())
            buffer_.resize(std::max(buffer_.size() * 2, used_ + size + minimumGrowth));
        char *at = buffer_.data() + used_;
        used_ += size;
        return at;
    }

    static constexpr size_t minimumGrowth = 4096;
    std::vector<char> &buffer_;
    size_t used_ = 0;
};

// One overload per type a record holds; anything else fails to compile,
// so a new member of PolicyNode must be given its form here.
template <typename T>
void put(Writer &out, const T &value) = delete;

void put(Writer &out, const uint32_t &value)
{
    out.number(value);
}

void put(Writer &out, const uint64_t &value)
{
    out.number(value);
}

void put(Writer &out, const bool &value)
{
    out.number(static_cast<uint8_t>(value ? 1 : 0));
}

void put(Writer &out, const std::string &text)
{
    out.number(static_cast<uint32_t>(text.size()));
    out.bytes(text.data(), text.size());
}

void put(Writer &out, const TAVO_ID &id);
void put(Writer &out, const FuncParam &param);
void put(Writer &out, const ExprNode &node);
void put(Writer &out, const DoFuncNode &call);

template <typename T>
void put(Writer &out, const std::vector<T> &items)
{
    out.number(static_cast<uint32_t>(items.size()));
    for (const T &item : items)
        put(out, item);
}

void put(Writer &out, const TAVO_ID &id)
{
    put(out, id.id);
    put(out, id.kind);
    put(out, id.reserved);
}

void put(Writer &out, const FuncParam &param)
{
    put(out, param.number);
    put(out, param.text);
    put(out, param.type);
}

void put(Writer &out, const ExprNode &node)
{
    put(out, node.type);
    put(out, node.name);
    put(out, node.value);
    put(out, node.varName);
    put(out, node.params);
}

void put(Writer &out, const DoFuncNode &call)
{
    put(out, call.name);
    put(out, call.params);
}

} // namespace

std::string baseName(const std::string &path)
{
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    const size_t slash = name.rfind('/');
    return slash == std::string::npos || name.size() == 1 ? name : name.substr(slash + 1);
}

std::string_view CanonicalRule::of(const FileRule &rule)
{
    Writer out(buffer_);
    forEachNodeField([&](auto field, const char *) {
        if constexpr (decltype(field)::part != NodePart::Own)
            put(out, rule.shared.*field.member);
    });
    put(out, rule.uids);
    put(out, rule.permissions);
    return std::string_view(buffer_.data(), out.size());
}

struct IdentityBuilder::Open {
    RuleGroup group;
    Sha256 hash;
};

void IdentityBuilder::addFile(const std::string &name, const std::vector<FileRule> &rules)
{
    const std::string file = baseName(name);
    // A file's rules come in runs of one section: the group of the rule
    // before is tried first.
    std::vector<Open> open;
    size_t last = 0;
    for (const FileRule &rule : rules) {
        const std::string &ns = rule.shared.namespaceName;
        const std::string &section = rule.shared.sectionName;
        if (open.empty() || open[last].group.nsName != ns || open[last].group.section != section) {
            last = 0;
            while (last < open.size() && (open[last].group.nsName != ns || open[last].group.section != section))
                ++last;
            if (last == open.size()) {
                open.emplace_back();
                open.back().group.file = file;
                open.back().group.nsName = ns;
                open.back().group.section = section;
            }
        }
        const std::string_view bytes = rule_.of(rule);
        Open &g = open[last];
        g.hash.update(bytes.data(), bytes.size());
        ++g.group.rules;
        g.group.nodes += static_cast<uint64_t>(rule.uids.size()) * rule.permissions.size();
        if (onRule_)
            onRule_(file, rule, bytes);
    }
    for (Open &g : open) {
        g.group.digest = g.hash.final();
        groups_.push_back(std::move(g.group));
    }
}
