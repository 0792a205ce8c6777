// ChunkSink: the rows of the accumulation plane and count buffer one chunk adds into.
#pragma once

#include "planes.h"

#include <vector>

// For every row a chunk may write (its own rows and up to a patch radius around them), where that
// row's estimate sums and counts live: either the run's own planes or a chunk-private buffer that
// the chunk finishing second adds in. A sink only points; the planes and buffers it points into
// must outlive it. A chunk writes only through its own sink, and two sinks used at the same time
// never share a row.
template<typename Cell>
class ChunkSink
{
public:
    // Every row of the planes, directly: for one chunk that covers the whole plane.
    ChunkSink(Plane<Cell> &accum, GrayPlane &count)
        : ChunkSink(0, accum.height())
    {
        for (int y = 0; y < accum.height(); ++y)
            setRow(y, accum.row(y), count.row(y));
    }

    // Rows [firstRow, firstRow + rows), each to be given with setRow before the chunk runs.
    ChunkSink(int firstRow, int rows)
        : firstRow_(firstRow)
        , accumRows_(std::size_t(rows), nullptr)
        , countRows_(std::size_t(rows), nullptr)
    { }

    void setRow(int y, Cell *accumRow, float *countRow)
    {
        accumRows_[std::size_t(y - firstRow_)] = accumRow;
        countRows_[std::size_t(y - firstRow_)] = countRow;
    }

    Cell *accumRow(int y) const { return accumRows_[std::size_t(y - firstRow_)]; }
    float *countRow(int y) const { return countRows_[std::size_t(y - firstRow_)]; }

private:
    int firstRow_;
    std::vector<Cell *> accumRows_;
    std::vector<float *> countRows_;
};
