// SHA-256 through OpenSSL's EVP interface (SHA-NI where the CPU has it).
#ifndef TAVO_SHA256_H
#define TAVO_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include <openssl/evp.h>

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    // Throws std::bad_alloc when OpenSSL cannot set the context up.
    Sha256() : ctx_(EVP_MD_CTX_new())
    {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
            throw std::bad_alloc();
    }
    void update(const void *data, size_t size) { EVP_DigestUpdate(ctx_.get(), data, size); }
    void update(const std::string &bytes) { update(bytes.data(), bytes.size()); }
    // The digest of everything given since construction or the last final().
    Sha256Digest final()
    {
        Sha256Digest out{};
        unsigned size = 0;
        EVP_DigestFinal_ex(ctx_.get(), out.data(), &size);
        EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
        return out;
    }

    static Sha256Digest of(const void *data, size_t size)
    {
        Sha256Digest out{};
        unsigned digestSize = 0;
        EVP_Digest(data, size, out.data(), &digestSize, EVP_sha256(), nullptr);
        return out;
    }
    static Sha256Digest of(const std::string &bytes) { return of(bytes.data(), bytes.size()); }

private:
    struct Free {
        void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

// Lower-case hex of a digest, and back (false for anything but 64 hex digits).
std::string digestToHex(const Sha256Digest &digest);
bool digestFromHex(const std::string &hex, Sha256Digest &digest);

#endif
