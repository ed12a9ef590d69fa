#include "large_blocks.h"

#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

namespace tavo_image {

namespace {

// 2 MiB of its own, 2 MiB-aligned so that one huge page can back it.
// Recent kernels align such a mapping by themselves; elsewhere twice the
// size is mapped and the aligned middle kept.
void *mapAlignedBlock()
{
    void *p = mmap(nullptr, largeBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (reinterpret_cast<uintptr_t>(p) % largeBlockBytes == 0)
        return p;
    munmap(p, largeBlockBytes);
    const size_t span = 2 * largeBlockBytes;
    p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + largeBlockBytes - 1) & ~(uintptr_t{largeBlockBytes} - 1);
    if (aligned > start)
        munmap(p, aligned - start);
    if (start + span > aligned + largeBlockBytes)
        munmap(reinterpret_cast<void *>(aligned + largeBlockBytes), start + span - aligned - largeBlockBytes);
    return reinterpret_cast<void *>(aligned);
}

} // namespace

void adviseHugePages(void *data, size_t size)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

void *allocateLargeBlock(LargeBlocks from)
{
    if (from == LargeBlocks::Heap)
        return std::malloc(largeBlockBytes);
    void *block = mapAlignedBlock();
    if (block)
        adviseHugePages(block, largeBlockBytes);
    return block;
}

void freeLargeBlock(void *block, LargeBlocks from)
{
    if (from == LargeBlocks::Heap)
        std::free(block);
    else
        munmap(block, largeBlockBytes);
}

} // namespace tavo_image
