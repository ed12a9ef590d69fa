// A section image carries only its rules, their nodes and copies of the
// slices they reference; the string table, the files and the library-wide
// tables stay those of everything added.
#ifndef TAVO_SECTION_EXTRACTION_H
#define TAVO_SECTION_EXTRACTION_H

#include <cstdint>
#include <vector>

#include "record_tables.h"

namespace tavo_image {

// The rules of `all` with the indexes `selected` (ascending), their nodes and
// slices, appended to the empty `section`.
void extractSection(const RecordTables &all, const std::vector<uint32_t> &selected, RecordTables &section);

} // namespace tavo_image

#endif
