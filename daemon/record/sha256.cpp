#include "sha256.h"

std::string digestToHex(const Sha256Digest &digest)
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

bool digestFromHex(const std::string &hex, Sha256Digest &digest)
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
