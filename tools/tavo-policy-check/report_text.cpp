#include "report_text.h"

#include <ctime>

#include "json_lines.h"
#include "utf8.h"

std::string safeText(const std::string &text)
{
    std::string out;
    appendEscapedText(out, text.data(), text.size());
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

void appendPendingChangeJson(std::string &out, const PendingChange &change)
{
    const bool section = change.kind == PendingChange::Kind::Section;
    const bool dynamic = change.kind == PendingChange::Kind::Dynamic;
    out += std::string("{\"kind\":\"") + pendingKindName(change.kind) + "\",\"identity\":";
    out += change.identity ? "\"" + digestToHex(*change.identity) + "\"" : std::string("null");
    out += ",\"namespace\":";
    if (section || dynamic)
        appendJsonString(out, change.nsName);
    else
        out += "null";
    out += ",\"section\":";
    if (section)
        appendJsonString(out, change.section);
    else
        out += "null";
    out += ",\"variable\":";
    if (dynamic)
        appendJsonString(out, change.variable);
    else
        out += "null";
    out += ",\"value\":";
    out += dynamic ? std::to_string(change.value) : std::string("null");
    out += '}';
}

void appendStepJson(std::string &out, const RecordStep &step)
{
    if (!step.present()) {
        out += "null";
        return;
    }
    out += "{\"time\":" + std::to_string(step.time) + ",\"method\":";
    appendJsonString(out, step.method);
    out += ",\"uid\":" + std::to_string(step.uid) + ",\"user\":";
    appendJsonString(out, step.user);
    out += '}';
}

void appendJsonStrings(std::string &out, const std::vector<std::string> &texts)
{
    out += '[';
    for (size_t i = 0; i < texts.size(); ++i) {
        out += i ? "," : "";
        appendJsonString(out, texts[i]);
    }
    out += ']';
}

void appendPolicyJson(std::string &out, const RecordedPolicy &policy)
{
    out += "\"compiled\":";
    appendStepJson(out, policy.compiled);
    out += ",\"delivered\":";
    appendStepJson(out, policy.delivered);
    out += ",\"files\":";
    std::vector<std::string> names;
    for (const RecordSource &source : policy.sources)
        names.push_back(source.name);
    appendJsonStrings(out, names);
}

void appendSectionUpdatesJson(std::string &out, const std::vector<RecordedPolicy> &sections)
{
    out += '[';
    for (size_t i = 0; i < sections.size(); ++i) {
        out += i ? ",{\"namespace\":" : "{\"namespace\":";
        appendJsonString(out, sections[i].nsName);
        out += ",\"section\":";
        appendJsonString(out, sections[i].section);
        out += ',';
        appendPolicyJson(out, sections[i]);
        out += '}';
    }
    out += ']';
}
