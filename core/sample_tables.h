// NormalTable: standard normal samples, read in stretches fixed by the pixel.
#pragma once

#include "page_memory.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// 65,536 samples, 256 KB: the walks read the table all over, and a table this size stays in the
// processor's second-level cache, where one of ten million samples (40 MB) missed it at the start
// of every path and took tens of milliseconds to build for every run. Each pixel's paths still
// start at a place of their own (NormalTable::pixelBase); the table holds 16 paths' stretches.
constexpr int kNormalTableSize = 1 << 16;

// A lock-free replica of the C library's rand() (glibc's additive feedback generator, TYPE_3),
// seeded like srand(). It yields the same sequence as srand(seed) followed by rand() calls,
// without the lock glibc takes on every call. One owner, no sharing between threads.
//
// Every call adds two earlier 32-bit words, w[k] = w[k - 31] + w[k - 3] (mod 2^32), stores the
// sum as the newest word and returns it without its lowest bit.
class CRandom
{
public:
    static constexpr int kDegree = 31;

    explicit CRandom(unsigned seed);
    int next()
    {
        const std::uint32_t val = state_[front_] + state_[rear_];
        state_[front_] = val;
        front_ = front_ + 1 == kDegree ? 0 : front_ + 1;
        rear_ = rear_ + 1 == kDegree ? 0 : rear_ + 1;
        return int(val >> 1);
    }

    // The last kDegree full words, oldest first: enough history to continue the sequence
    // elsewhere with the recurrence above.
    void recentWords(std::uint32_t *words) const;

private:
    std::uint32_t state_[kDegree];
    int front_ = 3;
    int rear_ = 0;
};

// kNormalTableSize standard normal samples (Kinderman-Monahan ratio of uniforms over rand()),
// and the position the table starts from. Owns its samples. Immutable once built, so any
// number of threads may share one table.
//
// Where a pixel's paths draw is fixed by the pixel's place in the image: a well-mixed hash of
// the start and the pixel's coordinates picks a base spread uniformly over the table, and path m
// (0 for the first) draws from base + m * kPathDraws on, wrapping at the table's end. A result
// therefore does not depend on the order in which pixels are computed, nor on the threads.
class NormalTable
{
public:
    // The draws set aside for one path; a path that needs more (a walk refused again and again)
    // runs on into the next path's stretch.
    static constexpr int kPathDraws = 4096;

    // Seeded from the calendar time in whole seconds.
    NormalTable();
    // Seeded explicitly, for repeatable runs: the samples and start that srand(seed) followed by
    // rand() calls give.
    explicit NormalTable(unsigned seed);
    // Given samples (at least one) and start, for tests that choose the moves; the bases are
    // hashed as in any table. Throws std::invalid_argument for no samples or a start outside them.
    NormalTable(std::vector<float> samples, int start);

    NormalTable(const NormalTable &) = delete;
    NormalTable &operator=(const NormalTable &) = delete;

    // Entries after the last one that repeat the first ones (entry size() + i is entry i mod
    // size()): a pair of draws, or a few, may be read without testing for the wrap.
    static constexpr int kTail = 16;

    int size() const { return size_; }
    int start() const { return start_; }
    // size() samples, then kTail repeated ones.
    const float *values() const { return values_.get(); }

    // The entry the first path of the image's pixel (x, y) draws first, in [0, size()).
    int pixelBase(int x, int y) const
    {
        // splitmix64's finaliser over the coordinates and the start; the high 32 bits of the mix
        // scaled to the table size.
        std::uint64_t key = (std::uint64_t(std::uint32_t(x)) << 32) | std::uint32_t(y);
        key ^= std::uint64_t(std::uint32_t(start_)) * 0x9E3779B97F4A7C15u;
        key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9u;
        key = (key ^ (key >> 27)) * 0x94D049BB133111EBu;
        key ^= key >> 31;
        return int(((key >> 32) * std::uint64_t(size_)) >> 32);
    }

    // The entry that path `path` (0 for the first) of the pixel whose base is `base` draws first:
    // (base + path * kPathDraws) mod size().
    int pathStart(int base, int path) const
    {
        return int((std::int64_t(base) + std::int64_t(path) * kPathDraws) % size_);
    }

private:
    // In a huge-page mapping: see page_memory.h.
    using Samples = PageArray<float>::Pointer;

    static Samples allocate(std::size_t count);
    void build(unsigned seed);
    void repeatHead();

    Samples values_;
    int size_ = 0;
    int start_ = 0;
};
