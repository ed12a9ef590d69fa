// Serialisation of an image: its tables laid out after the header in the
// order of image_format.h, and its SHA-256 digest taken as they are written.
#ifndef TAVO_IMAGE_WRITER_H
#define TAVO_IMAGE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image_format.h"
#include "large_blocks.h"
#include "policy_image.h"
#include "record_tables.h"
#include "registered_tables.h"
#include "string_table.h"

namespace tavo_image {

struct BuiltImage {
    std::vector<uint8_t> bytes;
    // Bytes of the image, also when they were not kept.
    size_t size = 0;
    Digest digest{};
    size_t nodeCount = 0;
};

// Every table of one image.
struct ImageTables {
    const StringTable &strings;
    const std::vector<uint32_t> &files;
    const RecordTables &records;
    const RegisteredTables &registered;
    const std::vector<PairRecord> &labels;
};

// Fills the header's table counts and image size; 22 with `error` when a
// table is too large for an image.
int layOut(const ImageTables &tables, HeaderRecord &header, std::string &error);

// Writes the image of a laid-out header and its tables: its digest and size
// into `out`, and its bytes unless digestOnly. 22 with `error` when hashing
// failed.
int writeImage(const HeaderRecord &header, const ImageTables &tables, bool digestOnly, LargeBlocks blocks,
               BuiltImage &out, std::string &error);

} // namespace tavo_image

#endif
