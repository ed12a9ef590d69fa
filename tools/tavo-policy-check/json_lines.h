// Policy nodes as JSON Lines: one object per node, fields in record order.
#ifndef TAVO_JSON_LINES_H
#define TAVO_JSON_LINES_H

#include <string>

#include <tavopolicysync/policy_records.h>

// Appends `text` as a JSON string. Valid UTF-8 is kept as it is; every byte
// that is not part of a valid sequence is written as the lone surrogate
// \udcXX (XX its value), which no valid text produces, so the original
// bytes can always be recovered (Python: encode("utf-8", "surrogateescape")).
void appendJsonString(std::string &out, const std::string &text);

// Appends one node as a JSON object and a newline; `file` comes first.
void appendNodeJson(std::string &out, const std::string &file, const PolicyNode &node);

#endif
