// The policy identity: a digest of the records the compiler hands to the
// policy-sync library, computed from a canonical form of each file's rules
// (docs/policy-identity.md). It does not depend on the library, on how the
// files were named or on the order they were given in.
#ifndef TAVO_POLICY_IDENTITY_H
#define TAVO_POLICY_IDENTITY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "policy_manager.h"
#include "rule_groups.h"
#include "sha256.h"

// The last component of a path ("20-ssh.p" of "/etc/tavo/policy/20-ssh.p").
std::string baseName(const std::string &path);

// The canonical bytes of one rule, in a buffer kept from rule to rule.
class CanonicalRule {
public:
    // The rule's bytes, valid until the next call.
    std::string_view of(const FileRule &rule);

private:
    std::vector<char> buffer_;
};

// Collects the groups of the files handed to it, one file at a time.
class IdentityBuilder {
public:
    // Sees each rule with its canonical bytes as it is added (for a diff).
    using RuleHook = std::function<void(const std::string &file, const FileRule &rule, std::string_view bytes)>;
    // Where the canonical bytes are hashed: on the calling thread, or on a
    // second one while the caller goes on (a program with a core to spare).
    // Only the bytes go over, a block at a time, never the rules.
    enum class Hashing { Inline, Background };

    explicit IdentityBuilder(Hashing hashing = Hashing::Inline);
    ~IdentityBuilder();
    IdentityBuilder(const IdentityBuilder &) = delete;
    IdentityBuilder &operator=(const IdentityBuilder &) = delete;

    void setRuleHook(RuleHook hook) { onRule_ = std::move(hook); }
    // Adds one file's rules; `name` may be a path, its base name is kept.
    void addFile(const std::string &name, const std::vector<FileRule> &rules);
    void clear();
    // Waits until every block handed to the second thread is hashed, and
    // rethrows what it failed with; the groups are whole after it.
    void finish();
    // finish(), and the second thread ends (what the crypto library keeps
    // for it goes with it, before the process's exit cleans the library
    // up); later files are hashed inline.
    void endThread();

    // Whole once finish() returned (at once with inline hashing).
    const std::vector<RuleGroup> &groups() const { return groups_; }
    Sha256Digest identity() const { return policyIdentity(groups_); }

private:
    struct Open;
    class HashThread;
    // Hashes `size` bytes of `block` into `hash` (the block may be taken).
    void hashBlock(Sha256 &hash, std::vector<char> &block, size_t size);
    // Makes room for `adding` more groups, first waiting for the digests
    // the second thread writes into the groups there are.
    void finishIfFull(size_t adding);

    std::vector<RuleGroup> groups_;
    RuleHook onRule_;
    // The groups of the file being added; kept for the next file's.
    std::vector<std::unique_ptr<Open>> open_;
    std::unique_ptr<HashThread> thread_;
};

#endif
