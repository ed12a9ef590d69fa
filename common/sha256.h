// SHA-256 through OpenSSL's EVP interface (SHA-NI where the CPU has it).
// OpenSSL fails only when it cannot allocate: every failure throws
// std::bad_alloc, so that no wrong digest is ever handed back.
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
    Sha256() : ctx_(EVP_MD_CTX_new())
    {
        if (!ctx_)
            throw std::bad_alloc();
        start();
    }
    void update(const void *data, size_t size)
    {
        if (EVP_DigestUpdate(ctx_.get(), data, size) != 1)
            throw std::bad_alloc();
    }
    void update(const std::string &bytes) { update(bytes.data(), bytes.size()); }
    // The digest of everything given since construction or the last final().
    Sha256Digest final()
    {
        Sha256Digest out{};
        unsigned size = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &size) != 1 || size != out.size())
            throw std::bad_alloc();
        start();
        return out;
    }

    static Sha256Digest of(const void *data, size_t size)
    {
        Sha256Digest out{};
        unsigned digestSize = 0;
        if (EVP_Digest(data, size, out.data(), &digestSize, EVP_sha256(), nullptr) != 1 ||
            digestSize != out.size())
            throw std::bad_alloc();
        return out;
    }
    static Sha256Digest of(const std::string &bytes) { return of(bytes.data(), bytes.size()); }

private:
    void start()
    {
        if (EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
            throw std::bad_alloc();
    }
    struct Free {
        void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

// Lower-case hex of a digest.
inline std::string digestToHex(const Sha256Digest &digest)
{
    static const char hexDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (const uint8_t byte : digest) {
        hex.push_back(hexDigits[byte >> 4]);
        hex.push_back(hexDigits[byte & 0xf]);
    }
    return hex;
}

// The digest of 64 lower-case hex digits; false for anything else.
inline bool digestFromHex(const std::string &hex, Sha256Digest &digest)
{
    if (hex.size() != digest.size() * 2)
        return false;
    for (size_t i = 0; i < digest.size(); ++i) {
        uint8_t byte = 0;
        for (size_t j = 0; j < 2; ++j) {
            const char c = hex[2 * i + j];
            uint8_t nibble;
            if (c >= '0' && c <= '9')
                nibble = static_cast<uint8_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                nibble = static_cast<uint8_t>(c - 'a' + 10);
            else
                return false;
            byte = static_cast<uint8_t>(byte << 4 | nibble);
        }
        digest[i] = byte;
    }
    return true;
}

#endif
