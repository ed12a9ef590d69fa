#include "report_text.h"

#include <ctime>

#include "utf8.h"

std::string safeText(const std::string &text)
{
    std::string out;
    appendEscapedText(out, text.data(), text.size());
    return out;
}

std::string labelValue(const std::string &text)
{
    std::string out;
    for (const char c : safeText(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string formatTime(int64_t seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc;
    char buffer[64];
    if (!gmtime_r(&t, &utc) || strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
        return std::to_string(seconds);
    return buffer;
}

std::string describeStep(const RecordStep &step)
{
    const std::string who = step.user.empty() ? "uid " + std::to_string(step.uid)
                                              : safeText(step.user) + " (uid " + std::to_string(step.uid) + ")";
    return safeText(step.method) + " by " + who + " at " + formatTime(step.time);
}

std::string describePendingChange(const PendingChange &change)
{
    switch (change.kind) {
    case PendingChange::Kind::Full:
    case PendingChange::Kind::Initial:
        return std::string("the ") + pendingKindName(change.kind) + " policy" +
               (change.identity ? " " + digestToHex(*change.identity) : std::string());
    case PendingChange::Kind::Section:
        return "section " + safeText(change.nsName) + "/" + safeText(change.section);
    case PendingChange::Kind::Dynamic:
        return "dynamic variable " + safeText(change.nsName) + "/" + safeText(change.variable) + " = " +
               std::to_string(change.value);
    case PendingChange::Kind::Unknown: break;
    }
    return "a policy of unknown content";
}

JsonDocument pendingChangeJson(const PendingChange &change)
{
    const bool section = change.kind == PendingChange::Kind::Section;
    const bool dynamic = change.kind == PendingChange::Kind::Dynamic;
    JsonDocument out;
    out["kind"] = pendingKindName(change.kind);
    out["identity"] = change.identity ? JsonDocument(digestToHex(*change.identity)) : nullptr;
    out["namespace"] = section || dynamic ? jsonText(change.nsName) : nullptr;
    out["section"] = section ? jsonText(change.section) : nullptr;
    out["variable"] = dynamic ? jsonText(change.variable) : nullptr;
    out["value"] = dynamic ? JsonDocument(change.value) : nullptr;
    return out;
}

JsonDocument stepJson(const RecordStep &step)
{
    if (!step.present())
        return nullptr;
    JsonDocument out;
    out["time"] = step.time;
    out["method"] = jsonText(step.method);
    out["uid"] = step.uid;
    out["user"] = jsonText(step.user);
    return out;
}

void addPolicyJson(JsonDocument &object, const RecordedPolicy &policy)
{
    object["compiled"] = stepJson(policy.compiled);
    object["delivered"] = stepJson(policy.delivered);
    JsonDocument &files = object["files"] = JsonDocument::array();
    for (const RecordSource &source : policy.sources)
        files.push_back(jsonText(source.name));
}

JsonDocument sectionUpdatesJson(const std::vector<RecordedPolicy> &sections)
{
    JsonDocument out = JsonDocument::array();
    for (const RecordedPolicy &section : sections) {
        JsonDocument update;
        update["namespace"] = jsonText(section.nsName);
        update["section"] = jsonText(section.section);
        addPolicyJson(update, section);
        out.push_back(std::move(update));
    }
    return out;
}
