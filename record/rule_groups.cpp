#include "rule_groups.h"

#include <algorithm>
#include <tuple>

namespace {

// Written before everything else, so that a digest of other bytes cannot
// pass for a policy identity; the number changes with the canonical form.
constexpr char identityTag[] = "tavo-policy-identity\n";
constexpr uint32_t canonicalFormVersion = 1;

template <typename Number>
void putNumber(std::string &out, Number value)
{
    char bytes[sizeof(Number)];
    for (size_t i = 0; i < sizeof(Number); ++i)
        bytes[i] = static_cast<char>(static_cast<uint64_t>(value) >> (8 * i));
    out.append(bytes, sizeof bytes);
}

// A text: its length in 32 bits, then its bytes.
void putText(std::string &out, const std::string &text)
{
    putNumber(out, static_cast<uint32_t>(text.size()));
    out.append(text);
}

} // namespace

bool groupBefore(const RuleGroup &a, const RuleGroup &b)
{
    return std::tie(a.file, a.nsName, a.section, a.digest) < std::tie(b.file, b.nsName, b.section, b.digest);
}

Sha256Digest policyIdentity(std::vector<RuleGroup> groups)
{
    std::sort(groups.begin(), groups.end(), groupBefore);
    std::string bytes(identityTag, sizeof identityTag - 1);
    putNumber(bytes, canonicalFormVersion);
    putNumber(bytes, static_cast<uint32_t>(groups.size()));
    for (const RuleGroup &g : groups) {
        putText(bytes, g.file);
        putText(bytes, g.nsName);
        putText(bytes, g.section);
        bytes.append(reinterpret_cast<const char *>(g.digest.data()), g.digest.size());
    }
    return Sha256::of(bytes);
}

void applySectionUpdate(std::vector<RuleGroup> &groups, const std::string &nsName, const std::string &section,
                        const std::vector<RuleGroup> &delivered)
{
    groups.erase(std::remove_if(groups.begin(), groups.end(),
                                [&](const RuleGroup &g) { return g.nsName == nsName && g.section == section; }),
                 groups.end());
    for (const RuleGroup &g : delivered) {
        if (g.nsName == nsName && g.section == section)
            groups.push_back(g);
    }
}
