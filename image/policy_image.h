// The compiled policy image: what the policy-sync library hands to the tavo
// kernel module. One encoder (inside the library) and one decoder, shared by
// the library, the simulated kernel, the tests and tavo-policy-check.
// The byte layout is described in docs/policy-image.md.
#ifndef TAVO_POLICY_IMAGE_H
#define TAVO_POLICY_IMAGE_H

#include <array>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <tavopolicysync/policy_records.h>

namespace tavo_image {

constexpr uint32_t imageMagic = 0x4f564154; // "TAVO" in the file, little-endian
constexpr uint32_t imageVersion = 1;

enum class ImageKind : uint32_t {
    Full = 1,    // compileData: the whole policy
    Initial = 2, // compileInitData: the whole policy, for early boot
    Section = 3, // compileSectionPolicy: one section of one namespace
};

using Digest = std::array<uint8_t, 32>; // SHA-256

// The per-namespace tables of an image.
struct NamespaceTable {
    std::string name;
    // Dynamic variables and their initial values (0 or 1), by name.
    std::vector<std::pair<std::string, uint32_t>> dynamicVariables;
    // Registered functions: (module, function).
    std::vector<std::pair<std::string, std::string>> functions;
};

// Everything an image carries, decoded.
struct DecodedImage {
    ImageKind kind = ImageKind::Full;
    uint32_t version = 0;
    // For a section image: the namespace and section it replaces.
    std::string sectionNamespace;
    std::string sectionName;
    // SHA-256 of the image (see docs/policy-image.md for what it covers).
    Digest digest{};
    // Policy files the nodes came from, in addPolicy order.
    std::vector<std::string> files;
    // Nodes in emission order, and for each the index of its file in `files`.
    std::vector<PolicyNode> nodes;
    std::vector<uint32_t> nodeFiles;
    std::vector<NamespaceTable> namespaces;
    // Library-wide compile-side facts.
    std::vector<std::pair<std::string, uint32_t>> uidNames; // user name, uid
    std::vector<std::pair<std::string, std::string>> labels; // kind, name
    std::vector<std::string> kmods;
    std::vector<std::string> devices;
};

// What checking an image tells without decoding it.
struct ImageSummary {
    ImageKind kind = ImageKind::Full;
    Digest digest{};
    size_t nodeCount = 0;
    // Records the module holds once it has taken the image (image_limits.h).
    uint64_t records = 0;
};

// Decodes and checks an image (magic, version, sizes, digest, every
// reference, and the module's limits of image_limits.h). 0 on success; 22
// (EINVAL) with `error` saying what is wrong.
int decodeImage(const uint8_t *data, size_t size, DecodedImage &out, std::string &error);

// The checks of decodeImage without building the records, in time and
// memory in proportion to the image's size, however many records it
// expands to. 0, or 22 with `error`.
int checkImage(const uint8_t *data, size_t size, ImageSummary &summary, std::string &error);
int checkImage(const uint8_t *data, size_t size, std::string &error);

// What storeFileAtomically did.
struct StoredFile {
    // 0 once the new file is in place; else an errno value, and the old file
    // (if any) is as it was.
    int error = 0;
    // With `error` 0: 0, or the errno of the directory's fsync after the
    // rename. The new file is in place and will be read, but a crash may
    // still bring back the old one.
    int directorySync = 0;
    // Temporaries of stores that died, removed from the directory first.
    std::vector<std::string> removedTemporaries;
};

// Replaces the file `path` with `bytes` so that a crash or a full disk
// leaves the old file or the new one, never a torn one: an unnamed file in
// the same directory (a named temporary where the file system has no
// unnamed ones), fsync'd, linked under a temporary name and renamed over
// the old one, then the directory fsync'd. A store's temporary is locked
// (flock) while it lives; temporaries left by stores that died are removed
// first, never one that a live store holds. With `createDirectory` the last
// component of the directory is made if missing.
StoredFile storeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, mode_t mode,
                               bool createDirectory);

// Lower-case hex of a digest.
std::string digestHex(const Digest &digest);

} // namespace tavo_image

#endif
