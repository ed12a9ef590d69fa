// Where the large blocks of the image tables come from. A program that runs
// once over a whole policy set and exits (tavo-policy-check) maps them
// itself, 2 MiB-aligned and advised for transparent huge pages: one page
// fault per 2 MiB instead of one per 4 KiB where the kernel grants them. A
// process that stays (the daemon, through the library) takes them from the
// heap: there a huge page would hold 2 MiB for a table's partly filled last
// block for as long as the policy is kept.
#ifndef TAVO_LARGE_BLOCKS_H
#define TAVO_LARGE_BLOCKS_H

#include <cstddef>

namespace tavo_image {

enum class LargeBlocks { Heap, HugePages };

constexpr size_t largeBlockBytes = size_t{2} << 20;
// A block of largeBlockBytes, or null; freed by freeLargeBlock from the
// same source.
void *allocateLargeBlock(LargeBlocks from);
void freeLargeBlock(void *block, LargeBlocks from);
// Asks for huge pages under the whole pages of a range about to be
// written. Only a hint.
void adviseHugePages(void *data, size_t size);

} // namespace tavo_image

#endif
