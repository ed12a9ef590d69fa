#include "sim_kernel.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "image_format.h"
#include "image_limits.h"

namespace {

void complain(const std::string &what)
{
    fprintf(stderr, "tavo-simkernel: %s\n", what.c_str());
}

// Splits "a\nb\nc\n" into its lines; false unless every line ends in a
// line feed.
bool splitLines(const std::string &text, std::vector<std::string> &lines)
{
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

template <typename T>
T fieldAt(const std::vector<uint8_t> &data, size_t offset)
{
    T value;
    memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

bool knownKind(uint32_t kind)
{
    return kind == static_cast<uint32_t>(tavo_image::ImageKind::Full) ||
        kind == static_cast<uint32_t>(tavo_image::ImageKind::Initial) ||
        kind == static_cast<uint32_t>(tavo_image::ImageKind::Section);
}

} // namespace

int SimKernel::peekImage(const std::vector<uint8_t> &start, size_t &total)
{
    using tavo_image::HeaderRecord;
    constexpr size_t needed = offsetof(HeaderRecord, imageSize) + sizeof(HeaderRecord::imageSize);
    if (start.size() < needed)
        return -1;
    if (fieldAt<uint32_t>(start, offsetof(HeaderRecord, magic)) != tavo_image::imageMagic ||
        fieldAt<uint32_t>(start, offsetof(HeaderRecord, version)) != tavo_image::imageVersion) {
        complain("image refused: bad magic or version");
        return EINVAL;
    }
    if (!knownKind(fieldAt<uint32_t>(start, offsetof(HeaderRecord, kind)))) {
        complain("image refused: unknown kind");
        return EBADMSG;
    }
    const uint64_t size = fieldAt<uint64_t>(start, offsetof(HeaderRecord, imageSize));
    if (size < sizeof(HeaderRecord) || size > tavo_image::maxImageBytes || size < start.size()) {
        complain("image refused: impossible length " + std::to_string(size));
        return EINVAL;
    }
    total = static_cast<size_t>(size);
    return 0;
}

int SimKernel::applyImage(const std::vector<uint8_t> &image)
{
    tavo_image::DecodedImage decoded;
    std::string error;
    if (tavo_image::decodeImage(image.data(), image.size(), decoded, error) != 0) {
        complain("image refused: " + error);
        return EINVAL;
    }
    const std::string digest = tavo_image::digestHex(decoded.digest);

    switch (decoded.kind) {
    case tavo_image::ImageKind::Full:
    case tavo_image::ImageKind::Initial: {
        nodes_.clear();
        for (const PolicyNode &n : decoded.nodes)
            nodes_.emplace_back(n.namespaceName, n.sectionName);
        dynamic_.clear();
        for (const tavo_image::NamespaceTable &ns : decoded.namespaces) {
            for (const auto &var : ns.dynamicVariables)
                dynamic_[{ns.name, var.first}] = var.second;
        }
        sections_.clear();
        digest_ = digest;
        init_ = decoded.kind == tavo_image::ImageKind::Initial;
        inForce_ = true;
        return 0;
    }
    case tavo_image::ImageKind::Section: {
        if (!inForce_) {
            complain("section update before any policy");
            return EPROTO;
        }
        for (const PolicyNode &n : decoded.nodes) {
            if (n.namespaceName != decoded.sectionNamespace || n.sectionName != decoded.sectionName) {
                complain("section image holds a node of another section");
                return EINVAL;
            }
        }
        std::vector<std::pair<std::string, std::string>> kept;
        kept.reserve(nodes_.size() + decoded.nodes.size());
        for (auto &n : nodes_) {
            if (n.first != decoded.sectionNamespace || n.second != decoded.sectionName)
                kept.push_back(std::move(n));
        }
        for (const PolicyNode &n : decoded.nodes)
            kept.emplace_back(n.namespaceName, n.sectionName);
        nodes_ = std::move(kept);
        for (const tavo_image::NamespaceTable &ns : decoded.namespaces) {
            if (ns.name != decoded.sectionNamespace)
                continue;
            for (const auto &var : ns.dynamicVariables)
                dynamic_.emplace(std::make_pair(ns.name, var.first), var.second);
        }
        sections_.push_back(SectionUpdate{decoded.sectionNamespace, decoded.sectionName, digest});
        return 0;
    }
    }
    complain("unknown image kind");
    return EBADMSG;
}

int SimKernel::applyDynamic(const std::string &text)
{
    std::vector<std::string> lines;
    if (!splitLines(text, lines) || lines.size() != 3 || lines[0].empty() || lines[1].empty()) {
        complain("dynamic: not three lines");
        return EINVAL;
    }
    if (!inForce_) {
        complain("dynamic: no policy in force");
        return EPROTO;
    }
    const auto found = dynamic_.find({lines[0], lines[1]});
    if (found == dynamic_.end()) {
        complain("dynamic: unknown variable " + lines[0] + ":" + lines[1]);
        return EINVAL;
    }
    if (lines[2] != "0" && lines[2] != "1") {
        complain("dynamic: value is neither 0 nor 1");
        return EINVAL;
    }
    found->second = lines[2] == "1" ? 1 : 0;
    return 0;
}

int SimKernel::takeInjectedFailure()
{
    const int code = injected_;
    injected_ = 0;
    return code;
}

int SimKernel::setInjectedFailure(const std::string &text)
{
    std::string digits = text;
    if (!digits.empty() && digits.back() == '\n')
        digits.pop_back();
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return EINVAL;
    const int code = std::stoi(digits);
    if (code > maxInjectableErrno)
        return EINVAL;
    injected_ = code;
    return 0;
}

void SimKernel::reset()
{
    inForce_ = false;
    init_ = false;
    digest_.clear();
    nodes_.clear();
    sections_.clear();
    dynamic_.clear();
    injected_ = 0;
    writes_ = 0;
    lastImageChunks_ = 0;
}

std::string SimKernel::renderState() const
{
    std::ostringstream out;
    out << "policy_digest: " << (inForce_ ? digest_ : std::string("none")) << '\n';
    out << "policy_nodes: " << nodes_.size() << '\n';
    out << "init: " << (init_ ? "yes" : "no") << '\n';
    for (const SectionUpdate &s : sections_)
        out << "section: " << s.nsName << ' ' << s.sectionName << ' ' << s.digest << '\n';
    for (const auto &var : dynamic_)
        out << "dynamic: " << var.first.first << ' ' << var.first.second << ' ' << var.second << '\n';
    out << "fail: " << (injected_ ? std::to_string(injected_) : std::string("none")) << '\n';
    out << "writes: " << writes_ << '\n';
    out << "last_image_chunks: " << lastImageChunks_ << '\n';
    out << "max_write: " << maxWrite_ << '\n';
    return out.str();
}

std::string SimKernel::renderFail() const
{
    return std::to_string(injected_) + "\n";
}
