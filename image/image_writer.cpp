#include "image_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <openssl/evp.h>

namespace tavo_image {

namespace {

// Calls f(table) for each table after the header, in their order.
template <typename F>
void forEachTable(const ImageTables &t, F f)
{
    f(t.strings.ends());
    f(t.strings.bytes());
    f(t.files);
    f(t.records.nodes);
    f(t.records.rules);
    f(t.records.nameRefs);
    f(t.records.ids);
    f(t.records.exprs);
    f(t.records.calls);
    f(t.records.params);
    f(t.registered.namespaces);
    f(t.registered.dynamics);
    f(t.registered.functions);
    f(t.registered.uids);
    f(t.labels);
    f(t.registered.kmods);
    f(t.registered.devices);
}

// Writes the image's bytes in order into `out` (none: writes nothing) and
// hashes those past the digest as they go.
class Writer {
public:
    Writer(std::vector<uint8_t> *out, EVP_MD_CTX *hash) : out_(out), hash_(hash) {}
    void raw(const void *data, size_t size)
    {
        if (size == 0)
            return;
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        if (out_)
            out_->insert(out_->end(), bytes, bytes + size);
        const size_t skip = written_ < digestedFrom ? std::min(size, digestedFrom - written_) : 0;
        if (skip < size && EVP_DigestUpdate(hash_, bytes + skip, size - skip) != 1)
            failed_ = true;
        written_ += size;
    }
    template <typename T>
    void table(const std::vector<T> &v)
    {
        raw(v.data(), v.size() * sizeof(T));
        pad();
    }
    void table(const std::string &s)
    {
        raw(s.data(), s.size());
        pad();
    }
    template <typename T>
    void table(const ChunkedTable<T> &t)
    {
        t.forEachRun([this](const T *data, size_t n) { raw(data, n * sizeof(T)); });
        pad();
    }
    void pad()
    {
        static const uint8_t zeros[8] = {};
        raw(zeros, padded8(written_) - written_);
    }
    bool failed() const { return failed_; }

private:
    std::vector<uint8_t> *out_;
    EVP_MD_CTX *hash_;
    size_t written_ = 0;
    bool failed_ = false;
};

struct FreeDigest {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

} // namespace

int layOut(const ImageTables &tables, HeaderRecord &header, std::string &error)
{
    size_t size = sizeof(HeaderRecord);
    uint32_t t = 0;
    bool fits = true;
    forEachTable(tables, [&](const auto &table) {
        const size_t count = table.size();
        fits = fits && count <= UINT32_MAX;
        header.counts[t] = count32(count);
        size += padded8(count * tableEntrySize[t]);
        ++t;
    });
    if (!fits) {
        error = "the policy is too large for one image";
        return 22;
    }
    header.imageSize = size;
    return 0;
}

int writeImage(const HeaderRecord &header, const ImageTables &tables, bool digestOnly, LargeBlocks blocks,
               BuiltImage &out, std::string &error)
{
    const size_t size = header.imageSize;
    std::vector<uint8_t> bytes;
    if (!digestOnly) {
        bytes.reserve(size);
        if (blocks == LargeBlocks::HugePages)
            adviseHugePages(bytes.data(), size);
    }
    const std::unique_ptr<EVP_MD_CTX, FreeDigest> hash(EVP_MD_CTX_new());
    if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1) {
        error = "SHA-256 of the image failed";
        return 22;
    }
    Writer w(digestOnly ? nullptr : &bytes, hash.get());
    w.raw(&header, sizeof header);
    forEachTable(tables, [&w](const auto &table) { w.table(table); });

    unsigned int digestSize = 0;
    if (w.failed() || EVP_DigestFinal_ex(hash.get(), out.digest.data(), &digestSize) != 1 ||
        digestSize != out.digest.size()) {
        error = "SHA-256 of the image failed";
        return 22;
    }
    if (!digestOnly)
        memcpy(bytes.data() + digestOffset, out.digest.data(), out.digest.size());
    out.bytes = std::move(bytes);
    out.size = size;
    return 0;
}

} // namespace tavo_image
