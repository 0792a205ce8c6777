// GrayPlane and ColorPlane: owning row-major planes with clamped access and bilinear sampling.
#pragma once

#include "page_memory.h"
#include "vec3.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

// A W x H grid of cells, cell (x, y) at index y * pitch + x, where the pitch is the width unless
// the plane was made with a wider one. The plane owns its buffer (large
// ones in huge pages, see page_memory.h); copying is deleted because a plane of a photograph is
// tens of megabytes and every copy would be a mistake, moving is cheap. Planes carry no locks:
// during a run many threads read the input planes, and the run decides who writes which rows of its
// output planes.
template<typename Cell>
class Plane
{
public:
    // Planes hold fewer than 2^31 cells, so that every cell index fits in an int.
    static constexpr std::int64_t kMaxCells = (std::int64_t(1) << 31) - 1;
    // Zeroed cells after the last one, at least 64 bytes: vector loads that start inside the
    // plane may run past its last cell without leaving the allocation.
    static constexpr int kTailCells = int((64 + sizeof(Cell) - 1) / sizeof(Cell));

    Plane() = default;

    // Every cell starts at zero: mapped pages come zeroed, smaller buffers are cleared here.
    // Throws std::bad_alloc for negative sizes, for 2^31 cells or more, and when the memory
    // cannot be had.
    Plane(int width, int height)
        : Plane(width, height, width)
    { }

    // A plane whose rows lie `pitch` cells apart (pitch >= width); the cells between the end of
    // a row and the start of the next are zero and belong to no pixel.
    Plane(int width, int height, int pitch)
    {
        const std::int64_t cells = std::int64_t(pitch) * std::int64_t(height);
        if (width < 0 || height < 0 || pitch < width || cells > kMaxCells)
            throw std::bad_alloc();
        if (cells > 0) {
            const std::size_t allocated = std::size_t(cells) + kTailCells;
            data_ = PageArray<Cell>::allocate(allocated);
            if (data_.get_deleter().pages.mappedBytes == 0)
                std::memset(static_cast<void *>(data_.get()), 0, allocated * sizeof(Cell));
        }
        width_ = width;
        height_ = height;
        pitch_ = pitch;
    }

    // The pitch for a plane that is read a patch at a time, many rows at once (the noisy
    // source): rows whose distance is a multiple of 4 KiB, or of a large part of it, fall into
    // the same few sets of the processor's first-level cache, and a patch's rows then evict one
    // another (a gray image 2048 pixels wide ran in nearly twice the time of one 2000 wide).
    // The least pitch from `width` on at which any two of 16 successive rows start at least one
    // cache line apart modulo 4 KiB.
    static int spreadPitch(int width)
    {
        constexpr std::int64_t kPage = 4096;
        constexpr std::int64_t kLine = 64;
        const auto spread = [](std::int64_t rowBytes) {
            for (std::int64_t k = 1; k < 16; ++k) {
                const std::int64_t offset = k * rowBytes % kPage;
                if (std::min(offset, kPage - offset) < kLine)
                    return false;
            }
            return true;
        };
        for (int pitch = width; pitch < width + int(kPage / sizeof(Cell)); ++pitch)
            if (spread(std::int64_t(pitch) * std::int64_t(sizeof(Cell))))
                return pitch;
        return width;
    }

    Plane(const Plane &) = delete;
    Plane &operator=(const Plane &) = delete;
    Plane(Plane &&other) noexcept { *this = std::move(other); }
    Plane &operator=(Plane &&other) noexcept
    {
        if (this == &other)
            return *this;
        data_ = std::move(other.data_);
        width_ = other.width_;
        height_ = other.height_;
        pitch_ = other.pitch_;
        other.width_ = other.height_ = other.pitch_ = 0;
        return *this;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    // Cells from the start of one row to the start of the next.
    int pitch() const { return pitch_; }
    std::int64_t cellCount() const { return std::int64_t(width_) * height_; }
    // Sets every cell to `value`.
    void fill(Cell value)
    {
        for (int y = 0; y < height_; ++y)
            std::fill(row(y), row(y) + width_, value);
    }
    Cell *data() { return data_.get(); }
    const Cell *data() const { return data_.get(); }
    Cell *row(int y) { return data_.get() + std::int64_t(y) * pitch_; }
    const Cell *row(int y) const { return data_.get() + std::int64_t(y) * pitch_; }

    // Clamped access: coordinates outside the plane land on the nearest border cell.
    // The plane must not be empty.
    Cell &at(int x, int y) { return data_[index(clampIndex(x, width_), clampIndex(y, height_))]; }
    const Cell &at(int x, int y) const
    {
        return data_[index(clampIndex(x, width_), clampIndex(y, height_))];
    }

    // Bilinear sampling. Coordinates are clamped to [0, W - 1] ([0, H - 1]) except that a
    // coordinate strictly between W - 1 and W stays: its right corner is clamped instead, so it
    // reads the border column. The plane must not be empty.
    Cell sampleBilinear(float x, float y) const
    {
        float xc = x > 0.0f ? x : 0.0f;
        if (xc >= float(width_))
            xc = float(width_ - 1);
        float yc = y > 0.0f ? y : 0.0f;
        if (yc >= float(height_))
            yc = float(height_ - 1);
        const int x0 = int(xc);
        const int y0 = int(yc);
        const int x1 = x0 + 1 < width_ ? x0 + 1 : width_ - 1;
        const int y1 = y0 + 1 < height_ ? y0 + 1 : height_ - 1;
        const float fx = xc - float(x0);
        const float fy = yc - float(y0);
        const Cell *row0 = row(y0);
        const Cell *row1 = row(y1);
        const Cell top = scale(1.0f - fx, row0[x0]) + scale(fx, row0[x1]);
        const Cell bottom = scale(1.0f - fx, row1[x0]) + scale(fx, row1[x1]);
        return scale(1.0f - fy, top) + scale(fy, bottom);
    }

private:
    static int clampIndex(int v, int size) { return v < 0 ? 0 : (v >= size ? size - 1 : v); }
    std::int64_t index(int x, int y) const { return std::int64_t(y) * pitch_ + x; }
    static float scale(float s, float v) { return s * v; }
    static Vec3 scale(float s, Vec3 v) { return Vec3(s) * v; }

    typename PageArray<Cell>::Pointer data_;
    int width_ = 0;
    int height_ = 0;
    int pitch_ = 0;
};

using GrayPlane = Plane<float>;
using ColorPlane = Plane<Vec3>;
