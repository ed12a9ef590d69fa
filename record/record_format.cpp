#include "record_format.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr char header[] = "tavo-policy-record 1";
constexpr char unknownWord[] = "unknown";

// A field is written without spaces or control bytes: those, "%" and
// DEL become %XX; the empty field is "-" (and a field that is "-" itself
// "%2D").
std::string encodeField(const std::string &text)
{
    if (text.empty())
        return "-";
    if (text == "-")
        return "%2D";
    static const char hexDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == '%' || byte == 0x7f) {
            out.push_back('%');
            out.push_back(hexDigits[byte >> 4]);
            out.push_back(hexDigits[byte & 0xf]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool decodeField(const std::string &field, std::string &out)
{
    out.clear();
    if (field == "-")
        return true;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out.push_back(field[i]);
            continue;
        }
        if (i + 2 >= field.size())
            return false;
        const int high = hexValue(field[i + 1]);
        const int low = hexValue(field[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return true;
}

bool parseNumber(const std::string &text, uint64_t max, uint64_t &value)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long parsed = strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool parseTime(const std::string &text, int64_t &value)
{
    uint64_t parsed = 0;
    if (!parseNumber(text, static_cast<uint64_t>(INT64_MAX), parsed))
        return false;
    value = static_cast<int64_t>(parsed);
    return true;
}

std::string formatStep(const char *key, const RecordStep &step)
{
    return std::string(key) + ' ' + std::to_string(step.time) + ' ' + encodeField(step.method) + ' ' +
           std::to_string(step.uid) + ' ' + encodeField(step.user) + '\n';
}

void formatPolicy(std::string &out, const RecordedPolicy &p)
{
    if (p.kind == RecordedPolicy::Kind::Section) {
        out += "[section]\n";
        out += "namespace " + encodeField(p.nsName) + '\n';
        out += "section " + encodeField(p.section) + '\n';
    } else {
        out += "[delivery]\n";
        out += std::string("kind ") + kindName(p.kind) + '\n';
    }
    if (p.compiled.present())
        out += formatStep("compiled", p.compiled);
    if (p.delivered.present())
        out += formatStep("delivered", p.delivered);
    if (p.image)
        out += "image " + digestToHex(*p.image) + '\n';
    for (const RecordSource &s : p.sources)
        out += "source " + encodeField(s.name) + ' ' + digestToHex(s.blob) + ' ' + std::to_string(s.size) + '\n';
    for (const RuleGroup &g : p.groups)
        out += "group " + encodeField(g.file) + ' ' + encodeField(g.nsName) + ' ' + encodeField(g.section) + ' ' +
               digestToHex(g.digest) + ' ' + std::to_string(g.rules) + ' ' + std::to_string(g.nodes) + '\n';
}

void formatChanging(std::string &out, const PendingChange &c)
{
    out += "[changing]\n";
    out += std::string("delivering ") + pendingKindName(c.kind) + '\n';
    if (c.identity)
        out += "identity " + digestToHex(*c.identity) + '\n';
    if (c.kind == PendingChange::Kind::Section) {
        out += "namespace " + encodeField(c.nsName) + '\n';
        out += "section " + encodeField(c.section) + '\n';
    }
    if (c.kind == PendingChange::Kind::Dynamic)
        out += "variable " + encodeField(c.nsName) + ' ' + encodeField(c.variable) + ' ' + std::to_string(c.value) +
               '\n';
}

std::vector<std::string> splitFields(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
        if (space == std::string::npos)
            return fields;
        start = space + 1;
    }
}

class Parser {
public:
    Parser(PolicyRecord &record, std::string &problem) : record_(record), problem_(problem) {}

    bool parse(const std::string &text)
    {
        size_t start = 0;
        bool sawHeader = false;
        std::optional<Sha256Digest> stated;
        bool statedUnknown = false;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            if (end == std::string::npos)
                return fail("the last line is not complete");
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            ++line_;
            if (!sawHeader) {
                if (line != header)
                    return fail("not a policy record (\"" + std::string(header) + "\" expected)");
                sawHeader = true;
                continue;
            }
            if (line == "[delivery]" || line == "[section]" || line == "[dynamic]" || line == "[changing]") {
                if (!openBlock(line))
                    return false;
                continue;
            }
            const std::vector<std::string> f = splitFields(line);
            if (f[0] == "identity" && block_ == Block::None) {
                if (f.size() != 2)
                    return fail("bad identity line");
                Sha256Digest d{};
                if (f[1] == unknownWord)
                    statedUnknown = true;
                else if (digestFromHex(f[1], d))
                    stated = d;
                else
                    return fail("bad identity");
                continue;
            }
            if (!field(f))
                return false;
        }
        if (!sawHeader)
            return fail("empty");
        if (!seenDelivery_)
            return fail("no [delivery] block");
        if (!stated && !statedUnknown)
            return fail("no identity line");
        if (record_.changing && (record_.delivery.kind != RecordedPolicy::Kind::Unknown ||
                                 !record_.sections.empty() || !record_.dynamics.empty())) {
            line_ = 0;
            return fail("a record being changed names what is in force");
        }
        const std::optional<Sha256Digest> actual = record_.identity();
        if (actual != stated) {
            line_ = 0;
            return fail("its identity is not the one its groups give");
        }
        return true;
    }

private:
    enum class Block { None, Delivery, Section, Dynamic, Changing };

    bool fail(const std::string &what)
    {
        problem_ = line_ ? "line " + std::to_string(line_) + ": " + what : what;
        return false;
    }

    bool openBlock(const std::string &line)
    {
        if (line == "[delivery]") {
            if (seenDelivery_)
                return fail("a second [delivery] block");
            seenDelivery_ = true;
            block_ = Block::Delivery;
            policy_ = &record_.delivery;
        } else if (line == "[section]") {
            record_.sections.emplace_back();
            record_.sections.back().kind = RecordedPolicy::Kind::Section;
            block_ = Block::Section;
            policy_ = &record_.sections.back();
        } else if (line == "[changing]") {
            if (record_.changing)
                return fail("a second [changing] block");
            record_.changing.emplace();
            block_ = Block::Changing;
            policy_ = nullptr;
        } else {
            record_.dynamics.emplace_back();
            block_ = Block::Dynamic;
            policy_ = nullptr;
        }
        return true;
    }

    bool text(const std::string &field, std::string &out)
    {
        return decodeField(field, out) || fail("bad escape in \"" + field + "\"");
    }

    bool step(const std::vector<std::string> &f, RecordStep &out)
    {
        uint64_t uid = 0;
        if (f.size() != 5 || !parseTime(f[1], out.time) || !parseNumber(f[3], UINT32_MAX, uid))
            return fail("bad " + f[0] + " line");
        out.uid = static_cast<uint32_t>(uid);
        return text(f[2], out.method) && text(f[4], out.user) && (!out.method.empty() || fail("no method"));
    }

    bool digest(const std::vector<std::string> &f, std::optional<Sha256Digest> &out)
    {
        Sha256Digest d{};
        if (f.size() != 2 || !digestFromHex(f[1], d))
            return fail("bad " + f[0] + " line");
        out = d;
        return true;
    }

    // "variable NAMESPACE NAME 0|1", of a switch made or being made.
    bool variable(const std::vector<std::string> &f, std::string &nsName, std::string &name, uint32_t &out)
    {
        uint64_t value = 0;
        if (f.size() != 4 || !parseNumber(f[3], 1, value))
            return fail("bad variable line");
        out = static_cast<uint32_t>(value);
        return text(f[1], nsName) && text(f[2], name);
    }

    bool field(const std::vector<std::string> &f)
    {
        const std::string &key = f[0];
        if (block_ == Block::None)
            return fail("\"" + key + "\" outside a block");
        if (block_ == Block::Changing)
            return changingField(f, *record_.changing);
        if (block_ == Block::Dynamic) {
            DynamicChange &d = record_.dynamics.back();
            if (key == "variable")
                return variable(f, d.nsName, d.variable, d.value);
            if (key == "changed")
                return step(f, d.step);
            return true;
        }
        RecordedPolicy &p = *policy_;
        if (key == "kind" && block_ == Block::Delivery) {
            if (f.size() != 2)
                return fail("bad kind line");
            if (f[1] == "full")
                p.kind = RecordedPolicy::Kind::Full;
            else if (f[1] == "initial")
                p.kind = RecordedPolicy::Kind::Initial;
            else if (f[1] == unknownWord)
                p.kind = RecordedPolicy::Kind::Unknown;
            else
                return fail("unknown kind " + f[1]);
            return true;
        }
        if (key == "namespace" && block_ == Block::Section)
            return (f.size() == 2 || fail("bad namespace line")) && text(f[1], p.nsName);
        if (key == "section" && block_ == Block::Section)
            return (f.size() == 2 || fail("bad section line")) && text(f[1], p.section);
        if (key == "compiled")
            return step(f, p.compiled);
        if (key == "delivered")
            return step(f, p.delivered);
        if (key == "image")
            return digest(f, p.image);
        if (key == "source") {
            RecordSource s;
            if (f.size() != 4 || !digestFromHex(f[2], s.blob) || !parseNumber(f[3], UINT64_MAX, s.size))
                return fail("bad source line");
            if (!text(f[1], s.name))
                return false;
            p.sources.push_back(std::move(s));
            return true;
        }
        if (key == "group") {
            RuleGroup g;
            if (f.size() != 7 || !digestFromHex(f[4], g.digest) || !parseNumber(f[5], UINT64_MAX, g.rules) ||
                !parseNumber(f[6], UINT64_MAX, g.nodes))
                return fail("bad group line");
            if (!text(f[1], g.file) || !text(f[2], g.nsName) || !text(f[3], g.section))
                return false;
            p.groups.push_back(std::move(g));
            return true;
        }
        // Keys of a later version are passed over.
        return true;
    }

    bool changingField(const std::vector<std::string> &f, PendingChange &c)
    {
        const std::string &key = f[0];
        if (key == "delivering") {
            using Kind = PendingChange::Kind;
            if (f.size() != 2)
                return fail("bad delivering line");
            for (const Kind kind : {Kind::Unknown, Kind::Full, Kind::Initial, Kind::Section, Kind::Dynamic}) {
                if (f[1] == pendingKindName(kind)) {
                    c.kind = kind;
                    return true;
                }
            }
            return fail("unknown kind " + f[1]);
        }
        if (key == "identity")
            return digest(f, c.identity);
        if (key == "namespace")
            return (f.size() == 2 || fail("bad namespace line")) && text(f[1], c.nsName);
        if (key == "section")
            return (f.size() == 2 || fail("bad section line")) && text(f[1], c.section);
        if (key == "variable")
            return variable(f, c.nsName, c.variable, c.value);
        return true;
    }

    PolicyRecord &record_;
    std::string &problem_;
    size_t line_ = 0;
    Block block_ = Block::None;
    RecordedPolicy *policy_ = nullptr;
    bool seenDelivery_ = false;
};

} // namespace

const char *kindName(RecordedPolicy::Kind kind)
{
    switch (kind) {
    case RecordedPolicy::Kind::Full: return "full";
    case RecordedPolicy::Kind::Initial: return "initial";
    case RecordedPolicy::Kind::Section: return "section";
    case RecordedPolicy::Kind::Unknown: break;
    }
    return unknownWord;
}

const char *pendingKindName(PendingChange::Kind kind)
{
    switch (kind) {
    case PendingChange::Kind::Full: return "full";
    case PendingChange::Kind::Initial: return "initial";
    case PendingChange::Kind::Section: return "section";
    case PendingChange::Kind::Dynamic: return "dynamic";
    case PendingChange::Kind::Unknown: break;
    }
    return unknownWord;
}

bool PolicyRecord::effectiveGroups(std::vector<RuleGroup> &groups) const
{
    if (changing || delivery.kind == RecordedPolicy::Kind::Unknown)
        return false;
    groups = delivery.groups;
    for (const RecordedPolicy &s : sections)
        applySectionUpdate(groups, s.nsName, s.section, s.groups);
    return true;
}

std::optional<Sha256Digest> PolicyRecord::identity() const
{
    std::vector<RuleGroup> groups;
    if (!effectiveGroups(groups))
        return std::nullopt;
    return policyIdentity(std::move(groups));
}

std::optional<uint64_t> PolicyRecord::nodes() const
{
    std::vector<RuleGroup> groups;
    if (!effectiveGroups(groups))
        return std::nullopt;
    uint64_t n = 0;
    for (const RuleGroup &g : groups)
        n += g.nodes;
    return n;
}

std::vector<RecordSource> PolicyRecord::allSources() const
{
    std::vector<RecordSource> all = delivery.sources;
    for (const RecordedPolicy &s : sections)
        all.insert(all.end(), s.sources.begin(), s.sources.end());
    return all;
}

std::string formatRecord(const PolicyRecord &record)
{
    std::string out = std::string(header) + '\n';
    const std::optional<Sha256Digest> id = record.identity();
    out += "identity " + (id ? digestToHex(*id) : std::string(unknownWord)) + '\n';
    formatPolicy(out, record.delivery);
    for (const RecordedPolicy &s : record.sections)
        formatPolicy(out, s);
    for (const DynamicChange &d : record.dynamics) {
        out += "[dynamic]\n";
        out += "variable " + encodeField(d.nsName) + ' ' + encodeField(d.variable) + ' ' + std::to_string(d.value) +
               '\n';
        out += formatStep("changed", d.step);
    }
    if (record.changing)
        formatChanging(out, *record.changing);
    return out;
}

bool parseRecord(const std::string &text, PolicyRecord &record, std::string &problem)
{
    record = PolicyRecord();
    if (text.size() > maxRecordTextBytes) {
        problem = "larger than " + std::to_string(maxRecordTextBytes) + " bytes";
        return false;
    }
    Parser parser(record, problem);
    return parser.parse(text);
}
