// BandSink: the rows of the accumulation plane and count buffer one band adds into.
#pragma once

#include "planes.h"

#include <vector>

// For every row a band may write, where that row's estimate sums and counts live: either the
// run's own planes or a chunk-private buffer that the chunk finishing second adds in. A
// sink only points; the planes and buffers it points into must outlive it. A band writes only
// through its own sink, and two sinks used at the same time never share a row.
template<typename Cell>
class BandSink
{
public:
    // Every row of the planes, directly: for a band that runs alone.
    BandSink(Plane<Cell> &accum, GrayPlane &count)
        : BandSink(0, accum.height())
    {
        for (int y = 0; y < accum.height(); ++y)
            setRow(y, accum.row(y), count.row(y));
    }

    // Rows [firstRow, firstRow + rows), each to be given with setRow before the band runs.
    BandSink(int firstRow, int rows)
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
