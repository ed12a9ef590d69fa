// How the checker's reports (status and the difference with what is in
// force) write texts, times and steps: safe for a terminal, and as JSON.
#ifndef TAVO_REPORT_TEXT_H
#define TAVO_REPORT_TEXT_H

#include <cstdint>
#include <string>

#include "record_format.h"

// `text` with control bytes, unsafe characters and bytes that are not
// UTF-8 written as \xNN.
std::string safeText(const std::string &text);

// "2026-05-04 10:20:30 UTC".
std::string formatTime(int64_t seconds);

// "sendPolicy by root (uid 0) at 2026-05-04 10:20:30 UTC".
std::string describeStep(const RecordStep &step);

// What a change never recorded was delivering: "the full policy 62084e17...",
// "section fileserver/samba", "dynamic variable ssh/maintenance = 1".
std::string describePendingChange(const PendingChange &change);

// {"kind":..., "identity":..., "namespace":..., "section":..., "variable":...,
// "value":...}
void appendPendingChangeJson(std::string &out, const PendingChange &change);

// {"time":..., "method":..., "uid":..., "user":...} (null when absent).
void appendStepJson(std::string &out, const RecordStep &step);

// A JSON array of texts.
void appendJsonStrings(std::string &out, const std::vector<std::string> &texts);

// The members "compiled", "delivered" and "files" of a recorded policy.
void appendPolicyJson(std::string &out, const RecordedPolicy &policy);

// [{"namespace":..., "section":..., "compiled":..., ...}, ...]
void appendSectionUpdatesJson(std::string &out, const std::vector<RecordedPolicy> &sections);

#endif
