// The checker's memory on transparent huge pages. The checker runs once
// over a whole policy set and exits, so one page fault per 2 MiB instead of
// one per 4 KiB is worth the whole pages it may hold; the kernel grants
// them where it is asked to ("madvise" mode) and can.
#ifndef TAVO_CHECK_HUGE_PAGES_H
#define TAVO_CHECK_HUGE_PAGES_H

// The sanitizers bring their own heap: huge pages and the quick exit are
// left out under them.
#if defined(__SANITIZE_ADDRESS__)
#define TAVO_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVO_SANITIZED_HEAP 1
#endif
#endif

// Takes the heap in steps of 64 MiB and advises the first step for huge
// pages. Before the first file.
void backHeapByHugePages();

// Advises what the heap has grown by since the last advice: call after each
// file, so that every step is advised before most of it is touched.
void adviseHeapGrowth();

#endif
