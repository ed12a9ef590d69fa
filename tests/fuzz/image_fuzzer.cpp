// Feeds arbitrary bytes to the policy image decoder, once as they are and
// once with the digest made to match, so that mutations get past the digest
// and reach the layout and reference checks. A refusal is an expected
// outcome; a crash, leak, hang, huge allocation or sanitizer report is a
// finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "image_format.h"
#include "policy_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tavo_image::DecodedImage image;
    std::string error;
    tavo_image::decodeImage(data, size, image, error);

    if (size < tavo_image::digestedFrom)
        return 0;
    std::vector<uint8_t> patched(data, data + size);
    unsigned int digestSize = 0;
    EVP_Digest(patched.data() + tavo_image::digestedFrom, size - tavo_image::digestedFrom,
               patched.data() + tavo_image::digestOffset, &digestSize, EVP_sha256(), nullptr);
    tavo_image::ImageSummary summary;
    const int checked = tavo_image::checkImage(patched.data(), patched.size(), summary, error);
    const int decoded = tavo_image::decodeImage(patched.data(), patched.size(), image, error);
    // The checker, which expands nothing, and the decoder agree on what is
    // a valid image and on what it holds.
    if ((checked == 0) != (decoded == 0))
        __builtin_trap();
    if (decoded == 0 && (summary.nodeCount != image.nodes.size() || summary.kind != image.kind))
        __builtin_trap();
    return 0;
}
