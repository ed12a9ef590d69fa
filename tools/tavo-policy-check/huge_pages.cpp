#include "huge_pages.h"

#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <unistd.h>

#include "large_blocks.h"

#ifndef TAVO_SANITIZED_HEAP
namespace {

constexpr int heapStep = 64 << 20;

// The heap from its start to here is advised (0: not at all). brk(2) grows
// and trims the heap at its end only.
uintptr_t advisedEnd = 0;

uintptr_t heapEnd()
{
    void *const end = sbrk(0);
    return end == reinterpret_cast<void *>(-1) ? 0 : reinterpret_cast<uintptr_t>(end);
}

void adviseUpTo(uintptr_t end)
{
    // A trimmed heap grows again from its new end.
    if (end > advisedEnd)
        tavo_image::adviseHugePages(reinterpret_cast<void *>(advisedEnd), end - advisedEnd);
    advisedEnd = end;
}

} // namespace
#endif

void backHeapByHugePages()
{
#ifndef TAVO_SANITIZED_HEAP
    mallopt(M_TOP_PAD, heapStep);
    mallopt(M_TRIM_THRESHOLD, 4 * heapStep);
    mallopt(M_MMAP_THRESHOLD, heapStep);
    // A block of half a step grows the heap by one and a half steps. The
    // compiler may drop a block that is only freed: it is kept volatile.
    advisedEnd = heapEnd();
    void *volatile block = malloc(heapStep / 2);
    if (block && advisedEnd != 0)
        adviseUpTo(heapEnd());
    free(block);
#endif
}

void adviseHeapGrowth()
{
#ifndef TAVO_SANITIZED_HEAP
    const uintptr_t end = heapEnd();
    if (advisedEnd != 0 && end != 0)
        adviseUpTo(end);
#endif
}
