// JumpPlane: the smoothed image as the walk's edge test reads it, in 16-bit fixed point.
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
// reads a narrower copy of the smoothed plane instead of the floats: every channel in units of
// 1/256 of a level, rounded to the nearest whole unit (halves up) and limited to 0..65535, as a
// 16-bit integer. The smoothing of an 8-bit image is a multiple of 1/16, so there the copy is
// exact. Each row holds one cell more than the image, a copy of its last cell, so the two cells
// of a bilinear sample's row always lie side by side and one load brings both. A quarter (gray)
// or a half (colour) of the floats' memory, and the run keeps only this copy while the workers
// run.
template<typename Cell>
class JumpPlane
{
public:
    static constexpr int kChannels = std::is_same_v<Cell, Vec3> ? 3 : 1;
    // Units per level: values and distances in the plane are 256 times those of the image.
    static constexpr float kUnits = 256.0f;
    // Zeroed values after the last cell: a load of 16 bytes at any cell stays inside.
    static constexpr int kTail = 8;

    JumpPlane() = default;

    // A width x height plane of zeros. Throws std::bad_alloc like Plane.
    JumpPlane(int width, int height)
    {
        const std::int64_t values = (std::int64_t(width) + 1) * height * kChannels;
        if (width < 0 || height < 0 || std::int64_t(width) * height > Plane<Cell>::kMaxCells)
            throw std::bad_alloc();
        if (width > 0 && height > 0) {
            const std::size_t allocated = std::size_t(values) + kTail;
            data_ = PageArray<std::uint16_t>::allocate(allocated);
            if (data_.get_deleter().pages.mappedBytes == 0)
                std::memset(data_.get(), 0, allocated * sizeof(std::uint16_t));
        }
        width_ = width;
        height_ = height;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    // Cells from one row to the next: width() + 1.
    int rowCells() const { return width_ + 1; }
    const std::uint16_t *data() const { return data_.get(); }

    // A value in units, rounded half up and limited to the 16 bits.
    static std::uint16_t units(float v)
    {
        const float s = v * kUnits; // exact: a power of two
        const float limited = s > 0.0f ? (s < 65535.0f ? s : 65535.0f) : 0.0f;
        return std::uint16_t(std::lround(limited)); // halves away from zero: up, here
    }

    // Rows [rowBegin, rowEnd) from the smoothed plane, which has this plane's size. Polls
    // `control` once per row; false when it said stop.
    bool fillRows(const Plane<Cell> &smooth, int rowBegin, int rowEnd, ThreadControl &control)
    {
        for (int y = rowBegin; y < rowEnd; ++y) {
            if (!control.betweenPixels())
                return false;
            const float *in = reinterpret_cast<const float *>(smooth.row(y));
            std::uint16_t *out = data_.get() + std::ptrdiff_t(y) * rowCells() * kChannels;
            for (int i = 0; i < width_ * kChannels; ++i)
                out[i] = units(in[i]);
            for (int c = 0; c < kChannels; ++c)
                out[width_ * kChannels + c] = out[(width_ - 1) * kChannels + c];
        }
        return true;
    }

    // Channel c of cell (x, y) in units, with the clamped access of Plane::at.
    float at(int x, int y, int c) const
    {
        x = x < 0 ? 0 : (x < width_ ? x : width_ - 1);
        y = y < 0 ? 0 : (y < height_ ? y : height_ - 1);
        return float(data_[(std::ptrdiff_t(y) * rowCells() + x) * kChannels + c]);
    }

private:
    PageArray<std::uint16_t>::Pointer data_;
    int width_ = 0;
    int height_ = 0;
};
