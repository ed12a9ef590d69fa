// What writing the checker's JSON Lines through nlohmann-json would cost
// beside its own streaming writer (appendNodeJson), on the nodes of a
// policy image (`tavo-policy-check --image FILE DIR`): both write every node
// into a buffer emptied every 64 KiB, and must give the same bytes.
//
//   tavo-json-lines-bench IMAGE [--runs R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "json_lines.h"
#include "policy_image.h"

namespace {

using Json = nlohmann::ordered_json;
constexpr size_t flushBytes = 64 * 1024;

Json idJson(const TAVO_ID &id)
{
    return Json::array({id.id, id.kind, id.reserved});
}

Json paramsJson(const std::vector<FuncParam> &params)
{
    Json out = Json::array();
    for (const FuncParam &p : params)
        out.push_back(Json{{"type", p.type}, {"number", p.number}, {"text", p.text}});
    return out;
}

Json valueJson(uint32_t value) { return value; }
Json valueJson(bool value) { return value; }
Json valueJson(const std::string &value) { return value; }
Json valueJson(const std::vector<std::string> &value) { return value; }

Json valueJson(const std::vector<TAVO_ID> &value)
{
    Json out = Json::array();
    for (const TAVO_ID &id : value)
        out.push_back(idJson(id));
    return out;
}

Json valueJson(const std::vector<ExprNode> &value)
{
    Json out = Json::array();
    for (const ExprNode &e : value)
        out.push_back(Json{{"type", e.type},
                           {"name", e.name},
                           {"value", e.value},
                           {"varName", e.varName},
                           {"params", paramsJson(e.params)}});
    return out;
}

Json valueJson(const std::vector<DoFuncNode> &value)
{
    Json out = Json::array();
    for (const DoFuncNode &c : value)
        out.push_back(Json{{"name", c.name}, {"params", paramsJson(c.params)}});
    return out;
}

void appendNodeLibrary(std::string &out, const std::string &file, const PolicyNode &node)
{
    Json j;
    j["file"] = file;
    forEachNodeField([&](auto field, const char *name) {
        if constexpr (decltype(field)::part != NodePart::Reserved)
            j[name] = valueJson(node.*field.member);
    });
    out += j.dump();
    out += '\n';
}

template <typename Write>
double timeWriter(const tavo_image::DecodedImage &image, Write write, std::string &all)
{
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < image.nodes.size(); ++i) {
        write(out, image.files[image.nodeFiles[i]], image.nodes[i]);
        if (out.size() >= flushBytes) {
            all += out;
            out.clear();
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    all += out;
    return seconds;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--runs") == 0)) {
        std::fprintf(stderr, "usage: %s IMAGE [--runs R]\n", argv[0]);
        return 2;
    }
    const int runs = argc == 4 ? std::max(1, std::atoi(argv[3])) : 5;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    tavo_image::DecodedImage image;
    std::string error;
    if (tavo_image::decodeImage(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), image, error) != 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    std::vector<double> own, library;
    std::string ownText, libraryText;
    for (int r = 0; r < runs; ++r) {
        ownText.clear();
        libraryText.clear();
        own.push_back(timeWriter(image, appendNodeJson, ownText));
        library.push_back(timeWriter(image, appendNodeLibrary, libraryText));
    }
    if (ownText != libraryText) {
        std::fprintf(stderr, "the two writers differ\n");
        return 1;
    }
    const double n = static_cast<double>(image.nodes.size());
    std::printf("%zu nodes, %zu bytes of JSON Lines, medians of %d runs, alternately\n", image.nodes.size(),
                ownText.size(), runs);
    std::printf("streaming writer: %.3f s (%.0f nodes/s)\n", median(own), n / median(own));
    std::printf("nlohmann-json:    %.3f s (%.0f nodes/s), +%.3f s\n", median(library), n / median(library),
                median(library) - median(own));
    return 0;
}
