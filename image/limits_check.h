// The module's limits (image_limits.h) applied to an image about to be
// written: what the module would refuse is refused before it is written,
// naming the rule that weighs most.
#ifndef TAVO_LIMITS_CHECK_H
#define TAVO_LIMITS_CHECK_H

#include <cstdint>
#include <string>

#include "record_tables.h"

namespace tavo_image {

// 0 if the module takes an image of `imageBytes` with these records; 22
// with `error` otherwise. `where` tells where the image's rule i came from.
int withinModuleLimits(const RecordTables &records, uint64_t imageBytes, const RulePlace &where,
                       std::string &error);

} // namespace tavo_image

#endif
