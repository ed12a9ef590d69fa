// The storage of every large table of the image encoder.
#ifndef TAVO_CHUNKED_TABLE_H
#define TAVO_CHUNKED_TABLE_H

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "large_blocks.h"

namespace tavo_image {

// An append-only table of records in fixed-size chunks: growing it never
// moves what is in it (a policy set's tables reach tens of MiB). The first
// chunk comes from the heap; the later ones are large blocks.
template <typename T>
class ChunkedTable {
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                  "chunks hold plain records");

    // Largest power of two of records that fits a large block.
    static constexpr size_t shiftFor(size_t bytes)
    {
        size_t shift = 0;
        while ((size_t{2} << shift) * sizeof(T) <= bytes)
            ++shift;
        return shift;
    }

    struct Release {
        bool large;
        LargeBlocks from;
        void operator()(T *p) const
        {
            if (large)
                freeLargeBlock(p, from);
            else
                std::free(p);
        }
    };

public:
    explicit ChunkedTable(LargeBlocks blocks = LargeBlocks::Heap) : blocks_(blocks) {}

    static constexpr size_t chunkShift = shiftFor(largeBlockBytes);
    static constexpr size_t chunkSize = size_t{1} << chunkShift;

    size_t size() const { return size_; }
    T &operator[](size_t i) { return chunks_[i >> chunkShift].get()[i & (chunkSize - 1)]; }
    const T &operator[](size_t i) const { return chunks_[i >> chunkShift].get()[i & (chunkSize - 1)]; }
    void push_back(const T &v)
    {
        if ((size_ >> chunkShift) == chunks_.size())
            addChunk();
        (*this)[size_++] = v;
    }
    void clear()
    {
        std::vector<std::unique_ptr<T, Release>>().swap(chunks_);
        size_ = 0;
    }
    // Calls f(pointer, count) for each run of contiguous records.
    template <typename F>
    void forEachRun(F f) const
    {
        for (size_t at = 0; at < size_; at += chunkSize)
            f(chunks_[at >> chunkShift].get(), std::min(chunkSize, size_ - at));
    }

private:
    void addChunk()
    {
        const bool large = !chunks_.empty();
        void *block = large ? allocateLargeBlock(blocks_) : std::malloc(chunkSize * sizeof(T));
        if (!block)
            throw std::bad_alloc();
        chunks_.emplace_back(static_cast<T *>(block), Release{large, blocks_});
    }

    LargeBlocks blocks_;
    std::vector<std::unique_ptr<T, Release>> chunks_;
    size_t size_ = 0;
};

} // namespace tavo_image

#endif
