#include "json_lines.h"

#include <charconv>
#include <cstdint>

#include "utf8.h"

namespace {

const char hexDigits[] = "0123456789abcdef";

void appendEscape(std::string &out, unsigned code)
{
    out += "\\u";
    out += hexDigits[(code >> 12) & 0xf];
    out += hexDigits[(code >> 8) & 0xf];
    out += hexDigits[(code >> 4) & 0xf];
    out += hexDigits[code & 0xf];
}

template <typename Int>
void appendNumber(std::string &out, Int value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void appendKey(std::string &out, const char *key)
{
    out += '"';
    out += key;
    out += "\":";
}

void appendBool(std::string &out, bool value)
{
    out += value ? "true" : "false";
}

template <typename T, typename Fn>
void appendArray(std::string &out, const std::vector<T> &items, Fn appendItem)
{
    out += '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i)
            out += ',';
        appendItem(out, items[i]);
    }
    out += ']';
}

void appendId(std::string &out, const TAVO_ID &id)
{
    out += '[';
    appendNumber(out, id.id);
    out += ',';
    appendNumber(out, id.kind);
    out += ',';
    appendNumber(out, id.reserved);
    out += ']';
}

void appendParam(std::string &out, const FuncParam &p)
{
    out += '{';
    appendKey(out, "type");
    appendNumber(out, p.type);
    out += ',';
    appendKey(out, "number");
    appendNumber(out, p.number);
    out += ',';
    appendKey(out, "text");
    appendJsonString(out, p.text);
    out += '}';
}

void appendExpr(std::string &out, const ExprNode &e)
{
    out += '{';
    appendKey(out, "type");
    appendNumber(out, e.type);
    out += ',';
    appendKey(out, "name");
    appendJsonString(out, e.name);
    out += ',';
    appendKey(out, "value");
    appendNumber(out, e.value);
    out += ',';
    appendKey(out, "varName");
    appendJsonString(out, e.varName);
    out += ',';
    appendKey(out, "params");
    appendArray(out, e.params, appendParam);
    out += '}';
}

void appendCall(std::string &out, const DoFuncNode &call)
{
    out += '{';
    appendKey(out, "name");
    appendJsonString(out, call.name);
    out += ',';
    appendKey(out, "params");
    appendArray(out, call.params, appendParam);
    out += '}';
}

// A member of a node, by its type.
void appendValue(std::string &out, uint32_t value)
{
    appendNumber(out, value);
}

void appendValue(std::string &out, bool value)
{
    appendBool(out, value);
}

void appendValue(std::string &out, const std::string &value)
{
    appendJsonString(out, value);
}

void appendValue(std::string &out, const std::vector<TAVO_ID> &value)
{
    appendArray(out, value, appendId);
}

void appendValue(std::string &out, const std::vector<std::string> &value)
{
    appendArray(out, value, [](std::string &o, const std::string &s) { appendJsonString(o, s); });
}

void appendValue(std::string &out, const std::vector<ExprNode> &value)
{
    appendArray(out, value, appendExpr);
}

void appendValue(std::string &out, const std::vector<DoFuncNode> &value)
{
    appendArray(out, value, appendCall);
}

} // namespace

void appendJsonString(std::string &out, const std::string &text)
{
    out += '"';
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            uint32_t cp = 0;
            const size_t n = utf8Sequence(p + i, size - i, cp);
            if (n == 0) {
                appendEscape(out, 0xdc00u + c);
                ++i;
            } else {
                out.append(reinterpret_cast<const char *>(p + i), n);
                i += n;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20)
                appendEscape(out, c);
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

void appendNodeJson(std::string &out, const std::string &file, const PolicyNode &node)
{
    out += '{';
    appendKey(out, "file");
    appendJsonString(out, file);
    forEachNodeField([&](auto field, const char *name) {
        if constexpr (decltype(field)::part != NodePart::Reserved) {
            out += ',';
            appendKey(out, name);
            appendValue(out, node.*field.member);
        }
    });
    out += "}\n";
}
