// Large buffers in their own mapping of huge pages, and the deleter that gives them back.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

// Fresh pages cost a fault each on first touch, and in a virtual machine the faults for the
// tens of megabytes of a run's planes and sample table take longer than much of the work on
// them. Buffers of 2 MiB and more therefore get a mapping of their own, aligned to 2 MiB and
// marked for transparent huge pages (one fault per 2 MiB where the kernel has huge pages to
// give; ordinary pages otherwise). Smaller buffers, other systems and AddressSanitizer builds
// (so that reads beyond a buffer are caught) use new[].
//
// Mapped memory starts zeroed; memory from new[] is left as new[] leaves it.
struct PageRelease
{
    std::size_t mappedBytes = 0; // 0: the buffer came from new[]
    void operator()(void *buffer) const;
};

// A buffer of `bytes` bytes, aligned to at least 64. Throws std::bad_alloc when the memory
// cannot be had.
std::unique_ptr<void, PageRelease> allocatePages(std::size_t bytes);

// `count` objects of trivial type T in such a buffer, with the deleter that frees it.
template<typename T>
struct PageArray
{
    struct Release
    {
        PageRelease pages;
        void operator()(T *items) const { pages(items); }
    };
    using Pointer = std::unique_ptr<T[], Release>;

    static Pointer allocate(std::size_t count)
    {
        if (count > std::size_t(-1) / sizeof(T))
            throw std::bad_alloc();
        std::unique_ptr<void, PageRelease> buffer = allocatePages(count * sizeof(T));
        const PageRelease release = buffer.get_deleter();
        return Pointer(static_cast<T *>(buffer.release()), Release {release});
    }
};
