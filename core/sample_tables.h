// NormalTable (standard normal samples read through wrapping cursors) and the ExpTable lookup.
#pragma once

#include "page_memory.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

constexpr int kNormalTableSize = 10'000'000;
constexpr int kExpTableSize = 30'000;

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

// One band's view of a NormalTable: a cursor over the shared, read-only samples. A value type,
// owned and advanced by one thread only; the samples outlive it.
class NormalCursor
{
public:
    NormalCursor(const float *values, int size, int position)
        : values_(values)
        , last_(size - 1)
        , cursor_(position)
    { }

    // Advances to the next entry, wrapping from the last entry to entry 0, and returns it.
    float nextSample()
    {
        cursor_ = cursor_ < last_ ? cursor_ + 1 : 0;
        return values_[cursor_];
    }
    int position() const { return cursor_; }

    // Two draws, as two nextSample() calls make them: a move's x and y.
    void nextPair(float &first, float &second)
    {
        if (cursor_ + 2 <= last_) {
            first = values_[cursor_ + 1];
            second = values_[cursor_ + 2];
            cursor_ += 2;
        } else {
            first = nextSample();
            second = nextSample();
        }
    }

private:
    const float *values_;
    int last_;
    int cursor_;
};

// kNormalTableSize standard normal samples (Kinderman-Monahan ratio of uniforms over rand()),
// and the position the table starts drawing from. Owns its samples (40 MB). Immutable once
// built: bands draw through their own NormalCursor, so any number of threads may share one
// table.
class NormalTable
{
public:
    // Seeded from the calendar time in whole seconds.
    NormalTable();
    // Seeded explicitly, for repeatable runs: the samples and start that srand(seed) followed by
    // rand() calls give.
    explicit NormalTable(unsigned seed);
    // Scripted samples (at least one); draws start after entry `start`. Throws
    // std::invalid_argument for no samples or a start outside them.
    NormalTable(std::vector<float> samples, int start);

    NormalTable(const NormalTable &) = delete;
    NormalTable &operator=(const NormalTable &) = delete;

    int size() const { return size_; }
    int start() const { return start_; }
    const float *values() const { return values_.get(); }

    // The cursor of band `band` of `bandCount` (0 <= band < bandCount): band 0 starts at start(),
    // the others at evenly spaced positions after it, wrapping, so that bands draw well
    // separated stretches of the table.
    NormalCursor cursor(int band = 0, int bandCount = 1) const;

private:
    // In a huge-page mapping: see page_memory.h.
    using Samples = PageArray<float>::Pointer;

    static Samples allocate(std::size_t count);
    void build(unsigned seed);

    Samples values_;
    int size_ = 0;
    int start_ = 0;
};

using ExpTable = std::array<float, kExpTableSize>;

// Entry i = exp(-i / 1000) in single precision, for i in [0, n); nothing for n <= 0.
void fillExpTable(float *table, int n);

// The first n floats set to value; nothing for n <= 0.
void fillFloats(float *array, int n, float value);

// exp(-d) interpolated from the table, for d >= 0; 0 from d = 29 on.
inline float expWeight(const float *table, float d)
{
    if (d >= 29.0f)
        return 0.0f;
    const float t = d * 1000.0f;
    const int i = int(t);
    return (t - float(i)) * (table[i + 1] - table[i]) + table[i];
}
