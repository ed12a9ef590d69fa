// What the tavo module takes of an image beyond its format: the one
// definition that the library's compile, its check of a stored image and
// the simulated module all apply (docs/kernel-interface.md).
#ifndef TAVO_IMAGE_LIMITS_H
#define TAVO_IMAGE_LIMITS_H

#include <cstdint>

#include "image_format.h"

namespace tavo_image {

// Largest image the module takes, header included.
constexpr uint64_t maxImageBytes = uint64_t{256} << 20;

// The module keeps one record per node and per element its rule holds for
// it (identifier, name, condition node, call, parameter): nodes share their
// rule in the image, not in the module. An image may expand to at most
// this many records per byte, plus a fixed allowance for small images.
constexpr uint64_t recordsPerImageByte = 32;
constexpr uint64_t recordAllowance = uint64_t{1} << 16;

constexpr uint64_t maxRecordsFor(uint64_t imageBytes)
{
    return recordsPerImageByte * imageBytes + recordAllowance;
}

// Records one node of rule `r` expands to; `params` counts the parameters
// of the rule's condition nodes and calls.
constexpr uint64_t recordsPerNode(const RuleRecord &r, uint64_t params)
{
    return 1 + uint64_t{r.sidCount} + r.subjectNameCount + r.oidCount + r.objectNameCount + r.exprCount +
           r.callCount + params;
}

} // namespace tavo_image

#endif
