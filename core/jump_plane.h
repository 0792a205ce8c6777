// JumpPlane: the smoothed image as the walk's edge test reads it, in fixed point.
#pragma once

#include "page_memory.h"
#include "planes.h"
#include "thread_control.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

// The edge test only compares smoothed values of nearby points with the noise level, so it
// reads a narrower copy of the smoothed plane instead of the floats, one word per cell: a gray
// value in units of 1/256 of a level, as a 16-bit word (the smoothing of an 8-bit image is a
// multiple of 1/16, so there the copy is exact); a colour's red, green and blue in units of 1/4
// of a level, 10 bits each, packed into a 32-bit word from the lowest bits up. Each value is
// rounded to the nearest whole unit (halves up) and limited to the bits it has. Each row holds
// one cell more than the image, a copy of its last cell, so the two cells of a bilinear sample's
// row always lie side by side and one load brings both, every channel at once; and the plane
// holds one row more, a copy of its last row, so the lower cells of a sample are always one row
// on from the upper ones, and one cell index serves both rows. Half (gray) or a third (colour)
// of the floats' memory, and the run keeps only this copy while the workers run.
template<typename Cell>
class JumpPlane
{
public:
    static constexpr int kChannels = std::is_same_v<Cell, Vec3> ? 3 : 1;
    using Word = std::conditional_t<kChannels == 1, std::uint16_t, std::uint32_t>;
    // Bits of one channel in a word.
    static constexpr int kBits = kChannels == 1 ? 16 : 10;
    static constexpr std::uint32_t kMask = (std::uint32_t(1) << kBits) - 1;
    // Units per level: values and distances in the plane are kUnits times those of the image.
    static constexpr float kUnits = kChannels == 1 ? 256.0f : 4.0f;
    // Zeroed words after the last cell: a load of a few cells at any cell stays inside.
    static constexpr int kTail = 8;

    JumpPlane() = default;

    // A width x height plane of zeros. Throws std::bad_alloc like Plane.
    JumpPlane(int width, int height)
    {
        const std::int64_t words = (std::int64_t(width) + 1) * (std::int64_t(height) + 1);
        if (width < 0 || height < 0 || std::int64_t(width) * height > Plane<Cell>::kMaxCells)
            throw std::bad_alloc();
        if (width > 0 && height > 0) {
            const std::size_t allocated = std::size_t(words) + kTail;
            data_ = PageArray<Word>::allocate(allocated);
            if (data_.get_deleter().pages.mappedBytes == 0)
                std::memset(data_.get(), 0, allocated * sizeof(Word));
        }
        width_ = width;
        height_ = height;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    // Cells from one row to the next: width() + 1.
    int rowCells() const { return width_ + 1; }
    const Word *data() const { return data_.get(); }

    // A value in units, rounded half up and limited to the channel's bits.
    static std::uint32_t units(float v)
    {
        const float s = v * kUnits; // exact: a power of two
        const float top = float(kMask);
        const float limited = s > 0.0f ? (s < top ? s : top) : 0.0f;
        return std::uint32_t(std::lround(limited)); // halves away from zero: up, here
    }

    // Rows [rowBegin, rowEnd) from the smoothed plane, which has this plane's size. Polls
    // `control` once per row; false when it said stop.
    bool fillRows(const Plane<Cell> &smooth, int rowBegin, int rowEnd, ThreadControl &control)
    {
        for (int y = rowBegin; y < rowEnd; ++y) {
            if (!control.betweenPixels())
                return false;
            const float *in = reinterpret_cast<const float *>(smooth.row(y));
            Word *out = data_.get() + std::ptrdiff_t(y) * rowCells();
            for (int x = 0; x < width_; ++x) {
                std::uint32_t word = 0;
                for (int c = 0; c < kChannels; ++c)
                    word |= units(in[x * kChannels + c]) << (c * kBits);
                out[x] = Word(word);
            }
            out[width_] = out[width_ - 1];
            if (y == height_ - 1)
                std::memcpy(out + rowCells(), out, std::size_t(rowCells()) * sizeof(Word));
        }
        return true;
    }

    // Channel c of cell (x, y) in units, with the clamped access of Plane::at.
    float at(int x, int y, int c) const
    {
        x = x < 0 ? 0 : (x < width_ ? x : width_ - 1);
        y = y < 0 ? 0 : (y < height_ ? y : height_ - 1);
        return float(
            (std::uint32_t(data_[std::ptrdiff_t(y) * rowCells() + x]) >> (c * kBits)) & kMask);
    }

private:
    typename PageArray<Word>::Pointer data_;
    int width_ = 0;
    int height_ = 0;
};
