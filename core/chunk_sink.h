// ChunkSink: the rows of the accumulation plane and count buffer one chunk adds into.
#pragma once

#include "planes.h"

#include <vector>

// For every row a chunk may write (its own rows and up to a patch radius around them), where that
// row's estimate sums and counts live: either the run's own planes or a buffer private to the
// chunk that is added in later. A chunk also has its columns: it computes the pixels of those
// columns and writes up to a patch radius beside them. A sink only points; the planes and
// buffers it points into must outlive it. A chunk writes only through its own sink, and two
// sinks used at the same time never share a cell.
template<typename Cell>
class ChunkSink
{
public:
    // Every row of the planes, directly: for one chunk that covers columns [columnBegin,
    // columnEnd) of them, by default all.
    ChunkSink(Plane<Cell> &accum, GrayPlane &count, int columnBegin = 0, int columnEnd = -1)
        : ChunkSink(0, accum.height(), columnBegin, columnEnd < 0 ? accum.width() : columnEnd, 0)
    {
        for (int y = 0; y < accum.height(); ++y)
            setRow(y, accum.row(y), count.row(y));
    }

    // Rows [firstRow, firstRow + rows) of a chunk that computes columns [columnBegin,
    // columnEnd); each row is to be given with setRow before the chunk runs, as the cell of
    // column firstColumn and those right of it.
    ChunkSink(int firstRow, int rows, int columnBegin, int columnEnd, int firstColumn)
        : firstRow_(firstRow)
        , columnBegin_(columnBegin)
        , columnEnd_(columnEnd)
        , firstColumn_(firstColumn)
        , accumRows_(std::size_t(rows), nullptr)
        , countRows_(std::size_t(rows), nullptr)
    { }

    void setRow(int y, Cell *accumRow, float *countRow)
    {
        accumRows_[std::size_t(y - firstRow_)] = accumRow;
        countRows_[std::size_t(y - firstRow_)] = countRow;
    }

    int columnBegin() const { return columnBegin_; }
    int columnEnd() const { return columnEnd_; }

    // The sum and the count of cell (x, y), and the cells right of it in that row.
    Cell *accumAt(int x, int y) const
    {
        return accumRows_[std::size_t(y - firstRow_)] + (x - firstColumn_);
    }
    float *countAt(int x, int y) const
    {
        return countRows_[std::size_t(y - firstRow_)] + (x - firstColumn_);
    }

private:
    int firstRow_;
    int columnBegin_;
    int columnEnd_;
    int firstColumn_;
    std::vector<Cell *> accumRows_;
    std::vector<float *> countRows_;
};
