// The checker's JSON documents (status, the difference with what is in
// force), built as nlohmann-json values and written on one line.
#ifndef TAVO_JSON_DOCUMENT_H
#define TAVO_JSON_DOCUMENT_H

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

using JsonDocument = nlohmann::ordered_json;

// `text` as a JSON string. Bytes that are not valid UTF-8 come out of
// dumpJson() as \udcXX, as in the JSON Lines (see appendJsonString).
JsonDocument jsonText(const std::string &text);

// `value` when there is one, else null.
template <typename T>
JsonDocument optionalJson(const std::optional<T> &value)
{
    return value ? JsonDocument(*value) : JsonDocument(nullptr);
}

// `document` on one line, ending in a newline.
std::string dumpJson(const JsonDocument &document);

#endif
