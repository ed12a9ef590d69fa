// How the checker's reports (status and the difference with what is in
// force) write texts, times and steps: safe for a terminal, and as JSON.
#ifndef TAVO_REPORT_TEXT_H
#define TAVO_REPORT_TEXT_H

#include <cstdint>
#include <string>

#include "json_document.h"
#include "record_format.h"

// `text` with control bytes, unsafe characters and bytes that are not
// UTF-8 written as \xNN.
std::string safeText(const std::string &text);

// A Prometheus label value: safeText, with backslash and double quote
// escaped as the exposition format asks.
std::string labelValue(const std::string &text);

// "2026-05-04 10:20:30 UTC".
std::string formatTime(int64_t seconds);

// "sendPolicy by root (uid 0) at 2026-05-04 10:20:30 UTC".
std::string describeStep(const RecordStep &step);

// What a change never recorded was delivering: "the full policy 62084e17...",
// "section fileserver/samba", "dynamic variable ssh/maintenance = 1".
std::string describePendingChange(const PendingChange &change);

// {"kind":..., "identity":..., "namespace":..., "section":..., "variable":...,
// "value":...}
JsonDocument pendingChangeJson(const PendingChange &change);

// {"time":..., "method":..., "uid":..., "user":...} (null when absent).
JsonDocument stepJson(const RecordStep &step);

// A JSON array of texts, in the order of `texts`.
template <class Texts> JsonDocument textsJson(const Texts &texts)
{
    JsonDocument out = JsonDocument::array();
    for (const std::string &text : texts)
        out.push_back(jsonText(text));
    return out;
}

// Adds the members "compiled", "delivered" and "files" of a recorded policy.
void addPolicyJson(JsonDocument &object, const RecordedPolicy &policy);

// [{"namespace":..., "section":..., "compiled":..., ...}, ...]
JsonDocument sectionUpdatesJson(const std::vector<RecordedPolicy> &sections);

#endif
