// The record of a policy and what happened to it since its delivery: what
// /run/tavo holds about the policy in force, and /var/lib/tavo about the
// stored initial policy. Its text form is docs/in-force-record.md.
#ifndef TAVO_RECORD_FORMAT_H
#define TAVO_RECORD_FORMAT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rule_groups.h"

// One step: when, through which method, and by whom.
struct RecordStep {
    int64_t time = 0; // seconds since the epoch
    std::string method;
    uint32_t uid = 0;
    std::string user; // the uid's account name when recorded, or empty

    bool present() const { return !method.empty(); }
};

// A policy file as compiled: its name and the stored copy of its bytes,
// named by their SHA-256.
struct RecordSource {
    std::string name;
    Sha256Digest blob{};
    uint64_t size = 0;
};

// What one delivery put in force: a full (or initial) policy, or a section
// update of one section of one namespace.
struct RecordedPolicy {
    enum class Kind { Unknown, Full, Initial, Section };
    Kind kind = Kind::Unknown;
    std::string nsName; // section updates
    std::string section;
    RecordStep compiled;
    RecordStep delivered;
    // Initial policy: the SHA-256 of the stored image file it was compiled to.
    std::optional<Sha256Digest> image;
    std::vector<RecordSource> sources;
    std::vector<RuleGroup> groups;
};

const char *kindName(RecordedPolicy::Kind kind);

// The last change of one dynamic variable.
struct DynamicChange {
    std::string nsName;
    std::string variable;
    uint32_t value = 0;
    RecordStep step;
};

// A change begun and not yet recorded: what the module is being given.
// Written before the module is, so that a writer killed before the outcome
// leaves a record that says so and names no policy.
struct PendingChange {
    enum class Kind { Unknown, Full, Initial, Section, Dynamic };
    Kind kind = Kind::Unknown;
    std::optional<Sha256Digest> identity; // full and initial, when known
    std::string nsName;                   // sections and dynamic variables
    std::string section;
    std::string variable;
    uint32_t value = 0;
};

const char *pendingKindName(PendingChange::Kind kind);

struct PolicyRecord {
    RecordedPolicy delivery;
    // Section updates since the delivery, in the order applied; one per
    // section (a later update of a section replaces the earlier one).
    std::vector<RecordedPolicy> sections;
    // Dynamic variables changed since the delivery, one per variable.
    std::vector<DynamicChange> dynamics;
    // Set on a record marked as being changed: its delivery is then of
    // unknown content, delivered by the change's step (what is in force is
    // unknown since), with no section updates or dynamic variables.
    std::optional<PendingChange> changing;

    // The groups the policy is made of now, sections applied; false when
    // the delivery is unknown.
    bool effectiveGroups(std::vector<RuleGroup> &groups) const;
    // The identity of what the record says is in force, if known.
    std::optional<Sha256Digest> identity() const;
    // The policy nodes of what is in force, if known.
    std::optional<uint64_t> nodes() const;
    // Every stored source the record refers to.
    std::vector<RecordSource> allSources() const;
};

// Largest record text read.
constexpr size_t maxRecordTextBytes = size_t{16} << 20;

std::string formatRecord(const PolicyRecord &record);
// False (with `problem` saying what and on which line) for text that is
// not a record, or whose stated identity is not the one its groups give.
bool parseRecord(const std::string &text, PolicyRecord &record, std::string &problem);

#endif
