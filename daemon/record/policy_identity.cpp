#include "policy_identity.h"

#include <algorithm>

namespace {

// One overload per type a record holds; anything else fails to compile,
// so a new member of PolicyNode must be given its form here.
template <typename T>
void put(std::string &out, const T &value) = delete;

void put(std::string &out, const uint32_t &value)
{
    putCanonicalNumber32(out, value);
}

void put(std::string &out, const uint64_t &value)
{
    putCanonicalNumber64(out, value);
}

void put(std::string &out, const bool &value)
{
    out.push_back(value ? '\1' : '\0');
}

void put(std::string &out, const std::string &text)
{
    putCanonicalText(out, text);
}

void put(std::string &out, const TAVO_ID &id);
void put(std::string &out, const FuncParam &param);
void put(std::string &out, const ExprNode &node);
void put(std::string &out, const DoFuncNode &call);

template <typename T>
void put(std::string &out, const std::vector<T> &items)
{
    putCanonicalNumber32(out, static_cast<uint32_t>(items.size()));
    for (const T &item : items)
        put(out, item);
}

void put(std::string &out, const TAVO_ID &id)
{
    put(out, id.id);
    put(out, id.kind);
    put(out, id.reserved);
}

void put(std::string &out, const FuncParam &param)
{
    put(out, param.number);
    put(out, param.text);
    put(out, param.type);
}

void put(std::string &out, const ExprNode &node)
{
    put(out, node.type);
    put(out, node.name);
    put(out, node.value);
    put(out, node.varName);
    put(out, node.params);
}

void put(std::string &out, const DoFuncNode &call)
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

void appendCanonicalRule(std::string &out, const FileRule &rule)
{
    forEachNodeField([&](auto field, const char *) {
        if constexpr (decltype(field)::part != NodePart::Own)
            put(out, rule.shared.*field.member);
    });
    put(out, rule.uids);
    put(out, rule.permissions);
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
        rule_.clear();
        appendCanonicalRule(rule_, rule);
        Open &g = open[last];
        g.hash.update(rule_);
        ++g.group.rules;
        g.group.nodes += static_cast<uint64_t>(rule.uids.size()) * rule.permissions.size();
        if (onRule_)
            onRule_(file, rule, rule_);
    }
    for (Open &g : open) {
        g.group.digest = g.hash.final();
        groups_.push_back(std::move(g.group));
    }
}
