// Huge-page mappings for large buffers, new[] for the rest.
#include "page_memory.h"

#include <cstdint>

#ifdef __linux__
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define PELTA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELTA_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef PELTA_ADDRESS_SANITIZER
#define PELTA_ADDRESS_SANITIZER 0
#endif

namespace {

[[maybe_unused]] constexpr std::size_t kHugePage = std::size_t(2) << 20; // unused under ASan
constexpr std::size_t kBlock = 64; // new[] buffers are made of blocks of this many bytes

struct alignas(kBlock) Block
{
    unsigned char bytes[kBlock];
};

} // namespace

std::unique_ptr<void, PageRelease> allocatePages(std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE) && !PELTA_ADDRESS_SANITIZER
    if (bytes >= kHugePage) {
        if (bytes > std::size_t(-1) - 2 * kHugePage)
            throw std::bad_alloc();
        const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void *mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        char *const begin = static_cast<char *>(mapped);
        const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(begin);
        const std::size_t head = (kHugePage - address % kHugePage) % kHugePage;
        char *const aligned = begin + head;
        // Give back the slack before and after the aligned range.
        if (head > 0)
            munmap(begin, head);
        if (head < kHugePage)
            munmap(aligned + length, kHugePage - head);
        madvise(aligned, length, MADV_HUGEPAGE);
        return std::unique_ptr<void, PageRelease>(aligned, PageRelease {length});
    }
#endif
    const std::size_t blocks = (bytes + kBlock - 1) / kBlock;
    return std::unique_ptr<void, PageRelease>(new Block[blocks > 0 ? blocks : 1], PageRelease {0});
}

void PageRelease::operator()(void *buffer) const
{
#ifdef __linux__
    if (mappedBytes > 0) {
        munmap(buffer, mappedBytes);
        return;
    }
#endif
    delete[] static_cast<Block *>(buffer);
}
