// The fast row worker behind denoiseRows: one template over the channel count and the effective
// patch radius, included only by the worker source.
#pragma once

#include "cell_math.h"
#include "chunk_sink.h"
#include "denoise_params.h"
#include "jump_plane.h"
#include "planes.h"
#include "row_worker.h"
#include "sample_tables.h"
#include "thread_control.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__)
#define PELTA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define PELTA_ALWAYS_INLINE inline
#endif

// The worker source compiles its row function for plain x86-64, for x86-64-v3 (AVX2) and for
// x86-64-v4 (AVX-512, with 16-float patch vectors); a run takes the widest the processor has, so
// the shipped binary runs on any x86-64.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PELTA_WORKER_DISPATCH 1
#define PELTA_TARGET_V3 __attribute__((target("arch=x86-64-v3")))
#define PELTA_TARGET_V4 __attribute__((target("arch=x86-64-v4")))
#else
#define PELTA_WORKER_DISPATCH 0
#endif

#if PELTA_WORKER_DISPATCH
#include <immintrin.h>
#endif

namespace walk {

// The closing move of a path: once the weights of the pixel's paths exceed kClosingAfter, the
// last move of every path draws one more point along the local structure, whose patch counts
// with the negative weight kClosingWeight.
constexpr float kClosingAfter = 1.0f;
constexpr float kClosingWeight = -0.2f;
// A pixel whose weights add up to no more than this writes no estimate.
constexpr float kLeastWeightSum = 1e-8f;

// Patch rows are processed in vectors of L floats (8, or 16 where the processor has 512-bit
// registers); lanes beyond the patch compute on neighbouring cells (or the planes' zeroed tail,
// at most 16 floats away) and are never used.
constexpr int padded(int n, int lanes)
{
    return (n + lanes - 1) / lanes * lanes;
}

// RowInputs as raw interleaved floats: cell (x, y) channel c of a plane with C channels is at
// ((y * pitch) + x) * C + c, where the pitch of the source is srcPitch and that of the other
// planes their width.
struct Inputs
{
    const float *src;
    int srcPitch; // cells from one row of src to the next
    const void *smooth; // a JumpPlane's words (JumpWord<C>): height + 1 rows of width + 1 cells
    const float *dirX;
    const float *dirY;
    const NormalTable *table;
    DenoiseParams params;
    float jumpLimit; // Smoothed<C>::limitFor(params.sigma)
    int originX;
    int originY;
};

// Where the planes lie in the image. Path points are kept in image coordinates, so that a crop
// run with its origin rounds every position exactly as a run on the whole image does; a plane
// index is the image coordinate minus the origin, taken in integers.
struct Frame
{
    int width;
    int height;
    int pitch; // of the source plane
    int originX; // 0 or more
    int originY;
    float left; // originX, originY, originX + width, originY + height as floats (exact)
    float top;
    float right;
    float bottom;

    Frame(int width, int height, int pitch, int originX, int originY)
        : width(width)
        , height(height)
        , pitch(pitch)
        , originX(originX)
        , originY(originY)
        , left(float(originX))
        , top(float(originY))
        , right(float(originX + width))
        , bottom(float(originY + height))
    { }

    // A moved coordinate limited to the plane: [left, right] and [top, bottom], the upper
    // bound included, so a path may stand up to one pixel beyond the last pixel centre, where
    // sampling reads the border.
    // T: a float or a vector of them.
    template<typename T>
    PELTA_ALWAYS_INLINE T clampX(T v) const
    {
        const T m = v < right ? v : right;
        return m > left ? m : left;
    }
    template<typename T>
    PELTA_ALWAYS_INLINE T clampY(T v) const
    {
        const T m = v < bottom ? v : bottom;
        return m > top ? m : top;
    }
};

// The four cells and fractions of a bilinear sample, cell indices in cells of the plane.
struct Corners
{
    std::ptrdiff_t c00, c10, c01, c11;
    float fx, fy;
};

// The corners of a patch cell: cell (x0, y0) of the source and the cells right of and below it,
// each coordinate limited to the plane, with the fractions of the path point the patch is
// sampled at. Where both corners of an axis are clamped to the same cell the fraction has no
// effect (blend(a, a, t) is a), so a cell beyond the border reads the border cell.
PELTA_ALWAYS_INLINE Corners offsetCornersAt(int x0, int y0, float fx, float fy, const Frame &f)
{
    const auto limit = [](int v, int size) { return v < 0 ? 0 : (v < size ? v : size - 1); };
    const int left = limit(x0, f.width);
    const int right = limit(x0 + 1, f.width);
    const std::ptrdiff_t row0 = std::ptrdiff_t(limit(y0, f.height)) * f.pitch;
    const std::ptrdiff_t row1 = std::ptrdiff_t(limit(y0 + 1, f.height)) * f.pitch;
    return {row0 + left, row0 + right, row1 + left, row1 + right, fx, fy};
}

// The corners and fractions of Plane::sampleBilinear at a path point, which lies in the frame's
// [left, right] x [top, bottom]: only a coordinate on the far edge is pulled back.
PELTA_ALWAYS_INLINE Corners pathCornersAt(float x, float y, const Frame &f)
{
    const float xc = x < f.right ? x : f.right - 1.0f;
    const float yc = y < f.bottom ? y : f.bottom - 1.0f;
    const int xi = int(xc);
    const int yi = int(yc);
    const int x0 = xi - f.originX;
    const int y0 = yi - f.originY;
    const int x1 = x0 + 1 < f.width ? x0 + 1 : x0;
    const std::ptrdiff_t row0 = std::ptrdiff_t(y0) * f.width;
    const std::ptrdiff_t row1 = y0 + 1 < f.height ? row0 + f.width : row0;
    return {row0 + x0, row0 + x1, row1 + x0, row1 + x1, xc - float(xi), yc - float(yi)};
}

// Channel c of the bilinear sample: the corners of Plane::sampleBilinear, blended (see blend)
// along x in both rows and then along y.
template<int C>
PELTA_ALWAYS_INLINE float sampleChannel(const float *plane, const Corners &k, int c)
{
    const float top = blend(plane[k.c00 * C + c], plane[k.c10 * C + c], k.fx);
    const float bottom = blend(plane[k.c01 * C + c], plane[k.c11 * C + c], k.fx);
    return blend(top, bottom, k.fy);
}

#if defined(__GNUC__)
// Four floats: a colour cell and whatever follows it. Lane-wise arithmetic rounds exactly as
// the scalar operations on each component do.
using Float4 = float __attribute__((vector_size(16)));

PELTA_ALWAYS_INLINE Float4 load4(const float *p)
{
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Vectors of 8 and 16 floats, which patch rows are processed in. Where the processor lacks
// registers that wide the compiler splits each operation.
using Float8 = float __attribute__((vector_size(32)));
using Float16 = float __attribute__((vector_size(64)));
// Their lanes as whole numbers.
using Int8 = int __attribute__((vector_size(32)));
using Int16 = int __attribute__((vector_size(64)));

// The sums of L vectors of L floats at once (the patch distances of L places): lane i is added
// to lane i + L / 2, then i + L / 4 and so on, each round on the halves of two vectors side by
// side, so that every vector is summed in the same tree, ((v0 + v4) + (v2 + v6)) + ((v1 + v5) +
// (v3 + v7)) after the first round for L = 16, whatever its place in the batch; one shuffle pair
// per two vectors and round instead of a horizontal sum per vector. Lane o of the result holds
// the sum of vector SumOrder<L>::of[o].
template<int L>
struct Lanes;

template<>
struct Lanes<8>
{
    using Vector = Float8;
    using Index = Int8;
    using Words = unsigned __attribute__((vector_size(32)));

    static PELTA_ALWAYS_INLINE Float8 sums(Float8 *v)
    {
        for (int i = 0; i < 4; ++i)
            v[i] = __builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 1, 2, 3, 8, 9, 10, 11)
                + __builtin_shufflevector(v[2 * i], v[2 * i + 1], 4, 5, 6, 7, 12, 13, 14, 15);
        for (int i = 0; i < 2; ++i)
            v[i] = __builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 1, 8, 9, 4, 5, 12, 13)
                + __builtin_shufflevector(v[2 * i], v[2 * i + 1], 2, 3, 10, 11, 6, 7, 14, 15);
        return __builtin_shufflevector(v[0], v[1], 0, 8, 2, 10, 4, 12, 6, 14)
            + __builtin_shufflevector(v[0], v[1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
};

template<>
struct Lanes<16>
{
    using Vector = Float16;
    using Index = Int16;
    using Words = unsigned __attribute__((vector_size(64)));

    static PELTA_ALWAYS_INLINE Float16 sums(Float16 *v)
    {
        for (int i = 0; i < 8; ++i)
            v[i] = __builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 1, 2, 3, 4, 5, 6, 7, 16, 17,
                       18, 19, 20, 21, 22, 23)
                + __builtin_shufflevector(v[2 * i], v[2 * i + 1], 8, 9, 10, 11, 12, 13, 14, 15, 24,
                    25, 26, 27, 28, 29, 30, 31);
        for (int i = 0; i < 4; ++i)
            v[i] = __builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 1, 2, 3, 16, 17, 18, 19, 8, 9,
                       10, 11, 24, 25, 26, 27)
                + __builtin_shufflevector(v[2 * i], v[2 * i + 1], 4, 5, 6, 7, 20, 21, 22, 23, 12,
                    13, 14, 15, 28, 29, 30, 31);
        for (int i = 0; i < 2; ++i)
            v[i] = __builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 1, 16, 17, 4, 5, 20, 21, 8, 9,
                       24, 25, 12, 13, 28, 29)
                + __builtin_shufflevector(v[2 * i], v[2 * i + 1], 2, 3, 18, 19, 6, 7, 22, 23, 10,
                    11, 26, 27, 14, 15, 30, 31);
        return __builtin_shufflevector(
                   v[0], v[1], 0, 16, 2, 18, 4, 20, 6, 22, 8, 24, 10, 26, 12, 28, 14, 30)
            + __builtin_shufflevector(
                v[0], v[1], 1, 17, 3, 19, 5, 21, 7, 23, 9, 25, 11, 27, 13, 29, 15, 31);
    }
};

// Which vector of Lanes<L>::sums lands in lane o: the rounds followed on labels.
template<int L>
struct SumOrder
{
    int of[L];

    constexpr SumOrder()
        : of()
    {
        int label[L][L] = {};
        for (int v = 0; v < L; ++v)
            for (int o = 0; o < L; ++o)
                label[v][o] = v;
        int vectors = L;
        for (int h = L / 2; h >= 1; h /= 2, vectors /= 2) {
            for (int i = 0; i < vectors / 2; ++i) {
                int merged[L] = {};
                for (int o = 0; o < L; ++o) {
                    const int block = o / (2 * h);
                    const int within = o % (2 * h);
                    merged[o] = within < h ? label[2 * i][block * 2 * h + within]
                                           : label[2 * i + 1][block * 2 * h + within - h];
                }
                for (int o = 0; o < L; ++o)
                    label[i][o] = merged[o];
            }
        }
        for (int o = 0; o < L; ++o)
            of[o] = label[0][o];
    }
};

template<typename V>
PELTA_ALWAYS_INLINE V load(const float *p)
{
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template<typename V>
PELTA_ALWAYS_INLINE void store(float *p, V v)
{
    std::memcpy(p, &v, sizeof v);
}

// a * b + c in every lane, rounded once. Fma says whether the target has the instruction:
// without it every lane is a library call (std::fma), which the compiler would otherwise be free
// to break up into scalar instructions even where it has them.
#if PELTA_WORKER_DISPATCH
PELTA_TARGET_V3 inline Float4 fusedInstruction(Float4 a, Float4 b, Float4 c)
{
    return _mm_fmadd_ps(a, b, c);
}
PELTA_TARGET_V3 inline Float8 fusedInstruction(Float8 a, Float8 b, Float8 c)
{
    return _mm256_fmadd_ps(a, b, c);
}
PELTA_TARGET_V4 inline Float16 fusedInstruction(Float16 a, Float16 b, Float16 c)
{
    return _mm512_fmadd_ps(a, b, c);
}
#endif

// Lane l: base[index[l]]. Where the target has fused multiply-add it also has a gather
// instruction, which builds a vector of 16 far faster than lane-by-lane inserts.
#if PELTA_WORKER_DISPATCH
PELTA_TARGET_V3 inline Float8 gatherInstruction(const float *base, Int8 index)
{
    __m256i i;
    std::memcpy(&i, &index, sizeof i);
    const __m256 v = _mm256_i32gather_ps(base, i, 4);
    Float8 r;
    std::memcpy(&r, &v, sizeof r);
    return r;
}
PELTA_TARGET_V4 inline Float16 gatherInstruction(const float *base, Int16 index)
{
    __m512i i;
    std::memcpy(&i, &index, sizeof i);
    const __m512 v = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), __mmask16(0xffff), i, base, 4);
    Float16 r;
    std::memcpy(&r, &v, sizeof r);
    return r;
}
#endif

// p[0] and p[1] in lanes 0 and 1, zeros above: one 8-byte load. (Built from a narrower vector
// with vector extensions, the compiler passes it through memory.)
#if PELTA_WORKER_DISPATCH
PELTA_TARGET_V3 inline __m128 pairInstruction(const float *p)
{
    double bits;
    std::memcpy(&bits, p, sizeof bits);
    return _mm_castpd_ps(_mm_set_sd(bits));
}
PELTA_TARGET_V3 inline Float8 pairInstruction(const float *p, Float8)
{
    const __m256 v = _mm256_zextps128_ps256(pairInstruction(p));
    Float8 r;
    std::memcpy(&r, &v, sizeof r);
    return r;
}
PELTA_TARGET_V4 inline Float16 pairInstruction(const float *p, Float16)
{
    const __m512 v = _mm512_zextps128_ps512(pairInstruction(p));
    Float16 r;
    std::memcpy(&r, &v, sizeof r);
    return r;
}
#endif

template<bool Fma, typename V>
PELTA_ALWAYS_INLINE V pairLanes(const float *p)
{
#if PELTA_WORKER_DISPATCH
    if constexpr (Fma)
        return pairInstruction(p, V {});
#endif
    V r {};
    r[0] = p[0];
    r[1] = p[1];
    return r;
}

template<bool Fma, typename V, typename I>
PELTA_ALWAYS_INLINE V gatherLanes(const float *base, I index)
{
#if PELTA_WORKER_DISPATCH
    if constexpr (Fma)
        return gatherInstruction(base, index);
#endif
    V r;
    for (int l = 0; l < int(sizeof(V) / sizeof(float)); ++l)
        r[l] = base[index[l]];
    return r;
}

template<bool Fma, typename V>
PELTA_ALWAYS_INLINE V fused(V a, V b, V c)
{
#if PELTA_WORKER_DISPATCH
    if constexpr (Fma)
        return fusedInstruction(a, b, c);
#endif
    V r;
    for (int i = 0; i < int(sizeof(V) / sizeof(float)); ++i)
        r[i] = std::fma(a[i], b[i], c[i]);
    return r;
}

// Keeps v in a register from here on: the compiler would otherwise read each use from memory
// again, and those reads, not the arithmetic, bound the patch loops. Only where vectors fit in
// registers (the targets with fused multiply-add).
template<bool Fma, typename V>
PELTA_ALWAYS_INLINE void keepInRegister(V &v)
{
#if PELTA_WORKER_DISPATCH
    if constexpr (Fma)
        __asm__("" : "+v"(v));
#endif
    (void)v;
}

// blend in every lane.
template<bool Fma, typename V, typename T>
PELTA_ALWAYS_INLINE V blendLanes(V a, V b, T t)
{
    return fused<Fma>(V {} + t, b - a, a);
}
#else
#error "the fast workers need GCC vector extensions"
#endif

// The corners of a bilinear sample of the jump plane at a path point (which lies in the frame's
// [left, right] x [top, bottom]): the top-left and bottom-left cells, in cells of the plane; the
// right ones follow them (the plane's rows end with a copy of their last cell).
struct JumpCorners
{
    std::ptrdiff_t top, bottom;
    float fx, fy;
};

PELTA_ALWAYS_INLINE JumpCorners jumpCornersAt(float x, float y, const Frame &f)
{
    const Corners k = pathCornersAt(x, y, f);
    const std::ptrdiff_t y0 = k.c00 / f.width;
    const std::ptrdiff_t y1 = k.c01 / f.width;
    const std::ptrdiff_t x0 = k.c00 - y0 * f.width;
    return {y0 * (f.width + 1) + x0, y1 * (f.width + 1) + x0, k.fx, k.fy};
}

// A cell of the jump plane for C channels: JumpPlane<Cell>::Word.
template<int C>
using JumpWord = std::conditional_t<C == 1, std::uint16_t, std::uint32_t>;

// The smoothed value at a path point, in units of the jump plane, and the jump test against the
// previous point's value.
template<int C>
struct Smoothed;

template<>
struct Smoothed<1>
{
    float value;

    template<bool Fma>
    static PELTA_ALWAYS_INLINE Smoothed at(
        const std::uint16_t *plane, float x, float y, const Frame &f)
    {
        const JumpCorners k = jumpCornersAt(x, y, f);
        const float top = blend(float(plane[k.top]), float(plane[k.top + 1]), k.fx);
        const float bottom = blend(float(plane[k.bottom]), float(plane[k.bottom + 1]), k.fx);
        return {blend(top, bottom, k.fy)};
    }
    // The threshold jumpsFrom compares with: sigma in units.
    static float limitFor(float sigma) { return sigma * JumpPlane<float>::kUnits; }
    // |smooth(p) - smooth(q)| > sigma.
    PELTA_ALWAYS_INLINE bool jumpsFrom(const Smoothed &q, float limit) const
    {
        return std::fabs(value - q.value) > limit;
    }
};

template<>
struct Smoothed<3>
{
    Float4 value; // r, g, b and a fourth lane that is never used

    // The channels of a packed word (see JumpPlane).
    static PELTA_ALWAYS_INLINE Float4 cell(std::uint32_t w)
    {
        return Float4 {float(w & 1023u), float((w >> 10) & 1023u), float((w >> 20) & 1023u), 0.0f};
    }

    template<bool Fma>
    static PELTA_ALWAYS_INLINE Smoothed at(
        const std::uint32_t *plane, float x, float y, const Frame &f)
    {
        const JumpCorners k = jumpCornersAt(x, y, f);
        const Float4 upper = blendLanes<Fma>(cell(plane[k.top]), cell(plane[k.top + 1]), k.fx);
        const Float4 lower
            = blendLanes<Fma>(cell(plane[k.bottom]), cell(plane[k.bottom + 1]), k.fx);
        return {blendLanes<Fma>(upper, lower, k.fy)};
    }
    // The threshold jumpsFrom compares with: squaredLimit of sigma in units.
    static float limitFor(float sigma) { return squaredLimit(sigma * JumpPlane<Vec3>::kUnits); }
    // length(smooth(p) - smooth(q)) > sigma, compared without the square root.
    PELTA_ALWAYS_INLINE bool jumpsFrom(const Smoothed &q, float limit) const
    {
        const Float4 d = value - q.value;
        return squaredLength(d[0], d[1], d[2]) > limit;
    }
};

// Walks in lanes: paths are walked side by side, one per lane of a vector of 8 or 16. Each lane
// draws from its own stretch of the table, so a lane whose move is refused draws again while the
// others go on; the lanes' positions, draws and decisions are exactly those of walking the paths
// one after another, only the chains of dependent operations run side by side. A pixel has at
// most kWalkLanes paths.

constexpr int kWalkLanes = 8;
constexpr int kMaxSteps = 8;

// Bit l set where lane l of the mask is set (all bits one).
PELTA_ALWAYS_INLINE unsigned laneBits(Int8 mask)
{
#if defined(__SSE2__)
    __m128 low;
    __m128 high;
    std::memcpy(&low, &mask, sizeof low);
    std::memcpy(&high, reinterpret_cast<const char *>(&mask) + sizeof low, sizeof high);
    return unsigned(_mm_movemask_ps(low)) | (unsigned(_mm_movemask_ps(high)) << 4);
#else
    unsigned bits = 0;
    for (int l = 0; l < kWalkLanes; ++l)
        bits |= unsigned(mask[l] & 1) << l;
    return bits;
#endif
}

PELTA_ALWAYS_INLINE unsigned laneBits(Int16 mask)
{
    return laneBits(Int8(__builtin_shufflevector(mask, mask, 0, 1, 2, 3, 4, 5, 6, 7)))
        | laneBits(Int8(__builtin_shufflevector(mask, mask, 8, 9, 10, 11, 12, 13, 14, 15))) << 8;
}

// 0, 1, 2, ...: lane l's own number in lane l, for vectors I of whole numbers.
template<typename I>
PELTA_ALWAYS_INLINE I laneNumbers()
{
    I v {};
    for (int l = 0; l < int(sizeof v / sizeof v[0]); ++l)
        v[l] = l;
    return v;
}

// Where the paths of one pixel went: position k of path m (k = 0 is the pixel itself), and the
// table entry each path draws next (its closing move's first draw).
struct Walks
{
    // One row more than the steps: where lanes that are done write, unread.
    alignas(32) float x[kMaxSteps + 1][kWalkLanes];
    alignas(32) float y[kMaxSteps + 1][kWalkLanes];
    int next[kWalkLanes];
};

// nearestCell in every lane.
PELTA_ALWAYS_INLINE Int8 nearestCells(Float8 v)
{
    const Int8 whole = __builtin_convertvector(v, Int8);
    const Float8 fraction = v - __builtin_convertvector(whole, Float8);
    return whole - (fraction >= 0.5f) + (fraction <= -0.5f); // true lanes are -1
}

// Pairs of 4-byte elements, one per 64-bit lane: 4 and 8 of them.
using Pairs4 = unsigned long long __attribute__((vector_size(32)));
using Pairs8 = unsigned long long __attribute__((vector_size(64)));

// Elements index[l] and index[l] + 1 of base into lane l of first and second: the two lie side
// by side, so one 8-byte load per lane brings both. The pairs of lanes 4k, 4k + 1 go to 128-bit
// block k of one vector and those of lanes 4k + 2, 4k + 3 to block k of another, so that one
// shuffle within the blocks parts them in lane order. T: a float or a 32-bit word, V: vectors of
// 8 or 16 of them, I: their indices.
template<typename V, typename T, typename I>
PELTA_ALWAYS_INLINE void pairsAt(const T *base, I index, V &first, V &second)
{
    static_assert(sizeof(T) == 4 && sizeof(V) == sizeof(I), "lanes of 4 bytes");
    constexpr int kLanes = int(sizeof(V) / sizeof(T));
    using Pairs = std::conditional_t<kLanes == 8, Pairs4, Pairs8>;
    Pairs even {};
    Pairs odd {};
    // The indices as unsigned: a lane's index reaches an address without a sign extension.
    for (int k = 0; k < kLanes / 4; ++k) {
        for (int j = 0; j < 2; ++j) {
            unsigned long long pair;
            std::memcpy(&pair, base + unsigned(index[4 * k + j]), sizeof pair);
            even[2 * k + j] = pair;
            std::memcpy(&pair, base + unsigned(index[4 * k + 2 + j]), sizeof pair);
            odd[2 * k + j] = pair;
        }
    }
    V a;
    V b;
    std::memcpy(&a, &even, sizeof a);
    std::memcpy(&b, &odd, sizeof b);
    if constexpr (kLanes == 8) {
        first = __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
        second = __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
    } else {
        first = __builtin_shufflevector(
            a, b, 0, 2, 16, 18, 4, 6, 20, 22, 8, 10, 24, 26, 12, 14, 28, 30);
        second = __builtin_shufflevector(
            a, b, 1, 3, 17, 19, 5, 7, 21, 23, 9, 11, 25, 27, 13, 15, 29, 31);
    }
}

// The smoothed value of every lane's point, channel by channel: Smoothed<C>::at in lanes, the
// same operations in the same order.
template<int C, int N>
struct LaneSmoothed
{
    using F = typename Lanes<N>::Vector;
    using I = typename Lanes<N>::Index;
    using U = typename Lanes<N>::Words;

    F value[C];

    template<bool Fma>
    static PELTA_ALWAYS_INLINE LaneSmoothed at(const JumpWord<C> *plane, F x, F y, const Frame &f)
    {
        const F xc = x < f.right ? x : f.right - 1.0f;
        const F yc = y < f.bottom ? y : f.bottom - 1.0f;
        const I xi = __builtin_convertvector(xc, I);
        const I yi = __builtin_convertvector(yc, I);
        const I x0 = xi - f.originX;
        const I y0 = yi - f.originY;
        const int rowCells = f.width + 1;
        // The lower cells lie one row on from the upper ones (below its last row the plane
        // holds a copy of it): one index serves both rows.
        const I top = y0 * rowCells + x0;
        const F fx = xc - __builtin_convertvector(xi, F);
        const F fy = yc - __builtin_convertvector(yi, F);
        F upper[2][C];
        F lower[2][C];
        pairs(plane, top, upper);
        pairs(plane + rowCells, top, lower);
        LaneSmoothed s;
        for (int c = 0; c < C; ++c)
            s.value[c] = blendLanes<Fma>(blendLanes<Fma>(upper[0][c], upper[1][c], fx),
                blendLanes<Fma>(lower[0][c], lower[1][c], fx), fy);
        return s;
    }

    // The channels of each lane's cell (side 0) and of the cell right of it (side 1), one load
    // per lane.
    static PELTA_ALWAYS_INLINE void pairs(const JumpWord<C> *plane, I cell, F (*out)[C])
    {
        if constexpr (C == 1) {
            U both;
            for (int l = 0; l < N; ++l) {
                std::uint32_t v;
                std::memcpy(&v, plane + unsigned(cell[l]), sizeof v);
                both[l] = v;
            }
            out[0][0] = __builtin_convertvector(both & 0xffffu, F);
            out[1][0] = __builtin_convertvector(both >> 16, F);
        } else {
            U words[2];
            pairsAt(plane, cell, words[0], words[1]);
            for (int side = 0; side < 2; ++side)
                for (int c = 0; c < C; ++c)
                    out[side][c] = __builtin_convertvector(
                        __builtin_convertvector((words[side] >> (10 * c)) & 1023u, I), F);
        }
    }

    // Lanes whose move from q crosses an edge, as Smoothed<C>::jumpsFrom decides it.
    template<bool Fma>
    PELTA_ALWAYS_INLINE I jumpsFrom(const LaneSmoothed &q, float limit) const
    {
        if constexpr (C == 1) {
            const F d = value[0] - q.value[0];
            return (d > limit) | (-d > limit);
        } else {
            const F r = value[0] - q.value[0];
            const F g = value[1] - q.value[1];
            const F b = value[2] - q.value[2];
            return fused<Fma>(b, b, fused<Fma>(g, g, r * r)) > limit;
        }
    }

    PELTA_ALWAYS_INLINE void takeWhere(I mask, const LaneSmoothed &other)
    {
        for (int c = 0; c < C; ++c)
            value[c] = mask ? other.value[c] : value[c];
    }
};

// The paths of a row's pixels as one stream through the lanes: a lane that finishes a path takes
// the next one, of the same pixel or of the next, so no lane waits for the slowest path of a
// pixel. Pixels are handed out in order, up to kSlots at a time, and complete in order: a
// pixel's walks are whole once all its paths are done. N lanes (8 or 16): with 16, the paths of
// two or three pixels are under way at once.
template<int C, bool Fma, int N>
struct PathStream
{
    using F = typename Lanes<N>::Vector;
    using I = typename Lanes<N>::Index;
    static constexpr unsigned kAllLanes = (1u << N) - 1;
    static constexpr int kSlots = 8;

    // What each lane walks: a path of a pixel in a slot, where it stands, what it draws next.
    struct Lanes
    {
        I slot;
        I path;
        I step; // 1 to steps - 1 while walking; kMaxSteps (the spare row) when idle
        I next;
        I active;
        F qx;
        F qy;
        LaneSmoothed<C, N> smoothQ;
    };

    // Pixel p's walks in slot slotOf(p). Zeroed once: the lanes of paths a run does not have
    // are read with the others and never written.
    Walks walks[kSlots] = {};
    // Pixel numbers are never negative: as unsigned, the remainder is a mask.
    static PELTA_ALWAYS_INLINE int slotOf(int pixel) { return int(unsigned(pixel) % kSlots); }
    int pending[kSlots]; // paths of the slot's pixel not yet done
    Lanes lanes;
    int started = 0; // pixels whose first path has been handed out
    int issuedPath = 0; // the next path of pixel started - 1 to hand out (paths: all of them)
    int done = 0; // pixels whose walks have been used
    int base = 0; // of pixel started - 1
    Smoothed<C> start;

    static PELTA_ALWAYS_INLINE const JumpWord<C> *jumpWords(const Inputs &in)
    {
        return static_cast<const JumpWord<C> *>(in.smooth);
    }

    // A row whose pixels start at `first`.
    PELTA_ALWAYS_INLINE void beginRow(int paths, int first)
    {
        lanes.slot = I {};
        lanes.path = I {};
        lanes.step = I {} + kMaxSteps;
        lanes.next = I {};
        lanes.active = I {};
        lanes.qx = F {};
        lanes.qy = F {};
        for (int c = 0; c < C; ++c)
            lanes.smoothQ.value[c] = F {};
        started = first;
        issuedPath = paths;
        done = first;
    }

    // Hands the next paths to idle lanes, starting pixels as needed (before pixel `end`).
    PELTA_ALWAYS_INLINE void fill(
        Lanes &state, const Inputs &in, const Frame &f, int imageY, int end)
    {
        const NormalTable &table = *in.table;
        const int paths = in.params.pathsPerPixel - 1;
        for (unsigned idle = ~laneBits(state.active) & kAllLanes; idle != 0; idle &= idle - 1) {
            const int l = __builtin_ctz(idle);
            if (issuedPath >= paths) {
                if (started == end || started - done == kSlots)
                    return;
                // Pixel `started` begins: its slot, base, smoothed value; the next pixel's
                // table lines are asked for meanwhile.
                const int imageX = f.originX + started;
                const int s = slotOf(started);
                for (int m = 0; m < kWalkLanes; ++m) {
                    walks[s].x[0][m] = float(imageX);
                    walks[s].y[0][m] = float(imageY);
                    walks[s].next[m] = 0;
                }
                pending[s] = paths;
                base = table.pixelBase(imageX, imageY);
                start
                    = Smoothed<C>::template at<Fma>(jumpWords(in), float(imageX), float(imageY), f);
                const int following = table.pixelBase(imageX + 1, imageY);
                for (int m = 0; m < paths; ++m)
                    __builtin_prefetch(table.values() + table.pathStart(following, m));
                ++started;
                issuedPath = 0;
                if (paths <= 0)
                    continue;
            }
            const int s = slotOf(started - 1);
            const int m = issuedPath++;
            if (in.params.stepsPerPath < 2) { // a path without moves: done at once
                walks[s].next[m] = table.pathStart(base, m);
                --pending[s];
                idle |= 1u << l; // the lane is still free
                continue;
            }
            // Lane l set by selects over whole vectors: storing into one lane would leave the
            // vectors in memory, and the next try would wait for the stores to reach them.
            const I here = laneNumbers<I>() == l;
            state.slot = here ? s : state.slot;
            state.path = here ? m : state.path;
            state.step = here ? 1 : state.step;
            state.next = here ? table.pathStart(base, m) : state.next;
            state.qx = here ? walks[s].x[0][m] : state.qx;
            state.qy = here ? walks[s].y[0][m] : state.qy;
            if constexpr (C == 1)
                state.smoothQ.value[0] = here ? start.value : state.smoothQ.value[0];
            else
                for (int c = 0; c < C; ++c)
                    state.smoothQ.value[c] = here ? start.value[c] : state.smoothQ.value[c];
            state.active |= here;
        }
    }

    // One try for every walking lane; a lane whose path is done notes where its draws stopped.
    PELTA_ALWAYS_INLINE void advance(Lanes &state, const Inputs &in, const Frame &f)
    {
        const float *values = in.table->values();
        const int size = in.table->size();
        const float scale = in.params.stepScale;
        // The table repeats its first entries after its end: next + 1 needs no wrap test.
        F zx;
        F zy;
        pairsAt(values, state.next, zx, zy);
        F px = state.qx + zx * scale;
        px = px < f.right ? px : f.right;
        px = px > f.left ? px : f.left;
        F py = state.qy + zy * scale;
        py = py < f.bottom ? py : f.bottom;
        py = py > f.top ? py : f.top;
        const LaneSmoothed<C, N> smoothP
            = LaneSmoothed<C, N>::template at<Fma>(jumpWords(in), px, py, f);
        const I accepted
            = state.active & ~smoothP.template jumpsFrom<Fma>(state.smoothQ, in.jumpLimit);
        // Every lane writes the point it tried into the slot of its current step: a refused
        // one is overwritten by the next try, the accepted one stays, and idle lanes write
        // into the spare row. No branch on the outcome.
        static_assert(sizeof(Walks::x) == (kMaxSteps + 1) * kWalkLanes * sizeof(float)
                && offsetof(Walks, y) == sizeof(Walks::x) && sizeof(Walks) % sizeof(float) == 0,
            "walks indexed as floats");
        constexpr int kWalkFloats = int(sizeof(Walks) / sizeof(float));
        const I at = state.slot * kWalkFloats + state.step * kWalkLanes + state.path;
        float *xs = walks[0].x[0];
        float *ys = walks[0].y[0];
        for (int l = 0; l < N; ++l) {
            xs[unsigned(at[l])] = px[l];
            ys[unsigned(at[l])] = py[l];
        }
        state.qx = accepted ? px : state.qx;
        state.qy = accepted ? py : state.qy;
        state.smoothQ.takeWhere(accepted, smoothP);
        state.step -= accepted; // true lanes are -1
        I advanced = state.next + 2;
        advanced = advanced >= size ? advanced - size : advanced;
        state.next = state.active ? advanced : state.next;
        const I finished = state.active & (state.step >= in.params.stepsPerPath);
        state.active &= ~finished;
        state.step = finished ? I {} + kMaxSteps : state.step;
        for (unsigned bits = laneBits(finished); bits != 0; bits &= bits - 1) {
            const int l = __builtin_ctz(bits);
            walks[state.slot[l]].next[state.path[l]] = state.next[l];
            --pending[state.slot[l]];
        }
    }

    // The walks of the next pixel in order, once they are whole; null otherwise.
    PELTA_ALWAYS_INLINE const Walks *ready() const
    {
        return done < started && pending[slotOf(done)] == 0 ? &walks[slotOf(done)] : nullptr;
    }

    // Walks until the next pixel in order is ready (before pixel `end`) and returns its walks. The
    // tries follow one another without a pixel's estimate in between, and the lanes' state is a
    // local copy meanwhile, so that it stays in registers from try to try.
    PELTA_ALWAYS_INLINE const Walks *walkToNext(
        const Inputs &in, const Frame &f, int imageY, int end)
    {
        const Walks *w = ready();
        if (w != nullptr)
            return w;
        Lanes state = lanes;
        do {
            fill(state, in, f, imageY, end);
            advance(state, in, f);
            w = ready();
        } while (w == nullptr);
        lanes = state;
        return w;
    }
};

// p[i] += v[i] for the first n lanes; the others are neither read nor written (the
// floats past a patch row belong to other pixels, maybe of a chunk another thread writes). Where
// the target has vector instructions, one masked load and store.
#if PELTA_WORKER_DISPATCH
PELTA_TARGET_V3 inline void addFirstInstruction(float *p, Float8 v, int n)
{
    if (n == 8) {
        store(p, load<Float8>(p) + v);
        return;
    }
    const Int8 lane {0, 1, 2, 3, 4, 5, 6, 7};
    const Int8 within = lane < n;
    __m256i mask;
    std::memcpy(&mask, &within, sizeof mask);
    __m256 sum;
    std::memcpy(&sum, &v, sizeof sum);
    _mm256_maskstore_ps(p, mask, _mm256_add_ps(_mm256_maskload_ps(p, mask), sum));
}
PELTA_TARGET_V4 inline void addFirstInstruction(float *p, Float16 v, int n)
{
    if (n == 16) {
        store(p, load<Float16>(p) + v);
        return;
    }
    const __mmask16 mask = __mmask16((1u << unsigned(n)) - 1u);
    __m512 sum;
    std::memcpy(&sum, &v, sizeof sum);
    _mm512_mask_storeu_ps(p, mask, _mm512_add_ps(_mm512_maskz_loadu_ps(mask, p), sum));
}
#endif

template<bool Fma, typename V>
PELTA_ALWAYS_INLINE void addFirst(float *p, V v, int n)
{
#if PELTA_WORKER_DISPATCH
    if constexpr (Fma) {
        addFirstInstruction(p, v, n);
        return;
    }
#endif
    for (int i = 0; i < n; ++i)
        p[i] += v[i];
}

// One pixel's walks and estimate for C channels and effective patch radius R, patch rows in
// vectors of L floats.
template<int C, int R, int L, bool Fma>
struct Pixel
{
    using Vector = typename Lanes<L>::Vector;
    static constexpr int kLanes = L;
    static constexpr int kSide = 2 * R + 1;
    static constexpr int kRow = C * kSide; // floats of one patch row
    static constexpr int kPadded = padded(kRow, L);

    static constexpr int kVectors = kPadded / kLanes;

    // The weighted patch sum, one padded row per patch row, held in vectors that run() keeps
    // in registers while it adds the pixel's patches (every index is known when compiled): no
    // load and store of the sum per patch, and no store-to-load wait from one patch to the next.
    struct Sum
    {
        Vector row[kSide][kVectors];
    };
    // Most places a pixel's walks reach: 8 paths of 7 moves.
    static constexpr int kMostPlaces = kWalkLanes * (kMaxSteps - 1);
    // Room for the weights of the places in batches of up to 16, whatever L is: the arrays
    // below then fill whole 64-byte lines without padding.
    static constexpr int kWeights = padded(kMostPlaces, 16);
    // The weights of the places the walks reached, see weighPlaces.
    alignas(64) float weight[kWeights] = {};
    // Which of them have patches that fit (all bits one) and which do not (0), in the same
    // order. Each step writes all kWalkLanes lanes and the next step's places overwrite those
    // beyond its paths; entries past the last place mean nothing, and their weights are never
    // read.
    alignas(64) int fitting[kWeights + kWalkLanes] = {};
    // Whether a patch fits at each path's closing move (all bits one) or not (0).
    alignas(32) int closingFits[kWalkLanes];
    // Where the patch of each place is added from, in the order of the weights, and of each
    // path's closing move at kMostPlaces + m: the path point, its fractions and the block of
    // whole cells the patch blends (see blockAt). Like the fit masks, each step writes all
    // kWalkLanes lanes.
    static constexpr int kPoints = kMostPlaces + kWalkLanes;
    alignas(32) int block[kPoints];
    alignas(32) float pointX[kPoints];
    alignas(32) float pointY[kPoints];
    alignas(32) float fractionX[kPoints];
    alignas(32) float fractionY[kPoints];
    // The patches run() adds, in order: weight and point (an index of the arrays above).
    float addWeight[kPoints];
    int addPoint[kPoints];

    // Squared differences of the patches whose top-left cells are at a and b (rows `stride`
    // floats apart), accumulated lane by lane: their sum over the lanes (Lanes<L>::sums) is the
    // patch distance.
    static PELTA_ALWAYS_INLINE Vector distanceLanes(
        const float *a, const float *b, std::ptrdiff_t stride)
    {
        Vector sums[kVectors] = {};
        for (int j = 0; j < kSide; ++j) {
            for (int v = 0; v < kVectors; ++v) {
                const Vector d = load<Vector>(a + j * stride + v * kLanes)
                    - load<Vector>(b + j * stride + v * kLanes);
                sums[v] = fused<Fma>(d, d, sums[v]);
            }
        }
        Vector total = sums[kVectors - 1] * tailMask();
        for (int v = 0; v < kVectors - 1; ++v)
            total += sums[v];
        return total;
    }

    // patchWeight in every lane: weightAt's operations, in the same order.
    static PELTA_ALWAYS_INLINE Vector weightLanes(Vector d, const WeightScale &scale)
    {
        using Index = typename Lanes<L>::Index;
        const Vector zero {};
        Vector y = fused<Fma>(d, zero + scale.factor, zero + scale.bias);
        y = y > 0.0f ? y : zero;
        const Index beyond = y >= kWeightCutoff;
        const Vector u = beyond ? zero : y;
        const Index n = __builtin_convertvector(u, Index);
        const Vector f = u - __builtin_convertvector(n, Vector);
        Vector p = fused<Fma>(zero + kExp2Fraction[4], f, zero + kExp2Fraction[3]);
        p = fused<Fma>(p, f, zero + kExp2Fraction[2]);
        p = fused<Fma>(p, f, zero + kExp2Fraction[1]);
        p = fused<Fma>(p, f, zero + kExp2Fraction[0]);
        p = fused<Fma>(p, f, zero + 1.0f);
        // twoToMinus(n), lane by lane.
        const Index bits = (127 - n) << 23;
        Vector power;
        std::memcpy(&power, &bits, sizeof power);
        return beyond ? zero : p * power;
    }

    // The top-left cells of the blocks of whole cells (a side of 2R + 2) that the patches at
    // path points blend, and the points' fractions, as add() takes them; -1 where the block
    // reaches past the plane, so that the patch is sampled near the border cell by cell.
    static PELTA_ALWAYS_INLINE Int8 blockAt(
        Float8 px, Float8 py, const Frame &f, Float8 &fx, Float8 &fy)
    {
        const Int8 xi = __builtin_convertvector(px, Int8);
        const Int8 yi = __builtin_convertvector(py, Int8);
        fx = px - __builtin_convertvector(xi, Float8);
        fy = py - __builtin_convertvector(yi, Float8);
        const Int8 x0 = xi - f.originX;
        const Int8 y0 = yi - f.originY;
        const Int8 inside
            = (x0 >= R) & (x0 + R + 1 < f.width) & (y0 >= R) & (y0 + R + 1 < f.height);
        // R where the block does not fit, before any arithmetic: no row or column overflows.
        const Int8 row = (inside ? y0 : Int8 {} + R) - R;
        const Int8 column = (inside ? x0 : Int8 {} + R) - R;
        return inside ? row * f.pitch + column : Int8 {} - 1;
    }

    // Where the patches of a step's places are added from, into the point arrays at `at`.
    PELTA_ALWAYS_INLINE void locate(Float8 x, Float8 y, const Frame &f, int at)
    {
        Float8 fx;
        Float8 fy;
        const Int8 cells = blockAt(x, y, f, fx, fy);
        std::memcpy(block + at, &cells, sizeof cells);
        store(pointX + at, x);
        store(pointY + at, y);
        store(fractionX + at, fx);
        store(fractionY + at, fy);
    }

    // The weight of every place of the walks whose patch fits (patchWeight of its distance
    // from the pixel's own patch at src + own), L at a time: weight[(k - 1) * paths + m] for
    // step k of path m, 0 where the patch does not fit (its distance is taken from the own
    // patch, and never used).
    PELTA_ALWAYS_INLINE void weighPlaces(const Inputs &in, const Frame &f, std::ptrdiff_t own,
        const Walks &w, const WeightScale &scale)
    {
        const DenoiseParams &p = in.params;
        const std::ptrdiff_t stride = std::ptrdiff_t(f.pitch) * C;
        const int paths = p.pathsPerPixel - 1;
        // The patches' top-left cells in src, counted in cells (a plane has fewer than 2^31), a
        // step's paths at once: each step writes all kWalkLanes lanes, and the next step's
        // places overwrite those beyond its paths.
        int places[kMostPlaces + kWalkLanes];
        const int ownCell = int(own / C);
        int count = 0;
        for (int k = 1; k < p.stepsPerPath; ++k, count += paths) {
            const Float8 x = load<Float8>(w.x[k]);
            const Float8 y = load<Float8>(w.y[k]);
            locate(x, y, f, count);
            const Int8 rx = nearestCells(x) - f.originX;
            const Int8 ry = nearestCells(y) - f.originY;
            const Int8 fits = (rx >= R) & (ry >= R) & (rx + R < f.width) & (ry + R < f.height);
            std::memcpy(fitting + count, &fits, sizeof fits);
            // Where the patch does not fit (lanes beyond the paths included), R before any
            // arithmetic: no lane's row or column can overflow.
            const Int8 row = (fits ? ry : Int8 {} + R) - R;
            const Int8 column = (fits ? rx : Int8 {} + R) - R;
            const Int8 cells = fits ? row * f.pitch + column : Int8 {} + ownCell;
            std::memcpy(places + count, &cells, sizeof cells);
        }
        const auto place = [&](int i) { return in.src + std::ptrdiff_t(places[i]) * C; };
        const auto fitsAt = [&](int b) {
            typename Lanes<L>::Index mask;
            std::memcpy(&mask, fitting + b, sizeof mask);
            return mask;
        };
        static constexpr SumOrder<L> kOrder;
        for (int b = 0; b < count; b += L) {
            if (b + L <= count) {
                Vector sums[L];
                for (int o = 0; o < L; ++o)
                    sums[kOrder.of[o]] = distanceLanes(in.src + own, place(b + o), stride);
                store(weight + b, fitsAt(b) ? weightLanes(Lanes<L>::sums(sums), scale) : Vector {});
            } else {
                // The last few places, each summed on its own in the tree of Lanes<L>::sums:
                // the zero vectors that would fill the batch add nothing.
                Vector d {};
                for (int o = 0; b + o < count; ++o)
                    d[o] = treeSum(distanceLanes(in.src + own, place(b + o), stride));
                store(weight + b, fitsAt(b) ? weightLanes(d, scale) : Vector {});
            }
        }
    }

    // sampleChannel of a one-channel plane in lanes, at the corners and fractions given. (Not a
    // lambda: GCC would not inline the instruction helpers into it.)
    static PELTA_ALWAYS_INLINE Float8 sampleLanes(
        const float *plane, Int8 row0, Int8 row1, Int8 x0, Int8 x1, Float8 fx, Float8 fy)
    {
        const Float8 top = blendLanes<Fma>(gatherLanes<Fma, Float8>(plane, row0 + x0),
            gatherLanes<Fma, Float8>(plane, row0 + x1), fx);
        const Float8 bottom = blendLanes<Fma>(gatherLanes<Fma, Float8>(plane, row1 + x0),
            gatherLanes<Fma, Float8>(plane, row1 + x1), fx);
        return blendLanes<Fma>(top, bottom, fy);
    }

    // The closing move of every path, all paths at once, whether run() takes it or not: the
    // point that the path's next two draws reach from its point before the last step `last`,
    // along the local structure there (into the point arrays at kMostPlaces + m), and whether
    // a patch fits at that point.
    PELTA_ALWAYS_INLINE void closingMoves(
        const Inputs &in, const Frame &f, const Walks &w, int last)
    {
        // Lanes beyond the paths hold points that may lie outside the frame: limited to it, so
        // that they read the planes where the others do (a point of a path is left as it is).
        const Float8 qx = f.clampX(load<Float8>(w.x[last - 1]));
        const Float8 qy = f.clampY(load<Float8>(w.y[last - 1]));
        // pathCornersAt and sampleChannel in lanes.
        const Float8 xc = qx < f.right ? qx : f.right - 1.0f;
        const Float8 yc = qy < f.bottom ? qy : f.bottom - 1.0f;
        const Int8 xi = __builtin_convertvector(xc, Int8);
        const Int8 yi = __builtin_convertvector(yc, Int8);
        const Int8 x0 = xi - f.originX;
        const Int8 y0 = yi - f.originY;
        const Int8 x1 = x0 + 1 < f.width ? x0 + 1 : x0;
        const Int8 row0 = y0 * f.width;
        const Int8 row1 = y0 + 1 < f.height ? row0 + f.width : row0;
        const Float8 fx = xc - __builtin_convertvector(xi, Float8);
        const Float8 fy = yc - __builtin_convertvector(yi, Float8);
        const Float8 sx = sampleLanes(in.dirX, row0, row1, x0, x1, fx, fy);
        const Float8 sy = sampleLanes(in.dirY, row0, row1, x0, x1, fx, fy);
        Int8 next;
        std::memcpy(&next, w.next, sizeof next);
        const float *values = in.table->values();
        const Float8 cx = f.clampX(qx + gatherLanes<Fma, Float8>(values, next) * sx);
        const Float8 cy = f.clampY(qy + gatherLanes<Fma, Float8>(values + 1, next) * sy);
        const Int8 rx = nearestCells(cx) - f.originX;
        const Int8 ry = nearestCells(cy) - f.originY;
        const Int8 fits = (rx >= R) & (ry >= R) & (rx + R < f.width) & (ry + R < f.height);
        std::memcpy(closingFits, &fits, sizeof fits);
        locate(cx, cy, f, kMostPlaces);
    }

    // The sum of v's lanes as Lanes<L>::sums adds them: lane i + lane i + L / 2, then the
    // halves of that, and so on.
    static PELTA_ALWAYS_INLINE float treeSum(Vector v)
    {
        float x[kLanes];
        std::memcpy(x, &v, sizeof x);
        for (int h = kLanes / 2; h >= 1; h /= 2)
            for (int i = 0; i < h; ++i)
                x[i] = x[i] + x[i + h];
        return x[0];
    }

    // 1 in the lanes of the last vector of a row that belong to the patch, 0 beyond it.
    static PELTA_ALWAYS_INLINE Vector tailMask()
    {
        Vector mask;
        for (int i = 0; i < kLanes; ++i)
            mask[i] = (kVectors - 1) * kLanes + i < kRow ? 1.0f : 0.0f;
        return mask;
    }

    // Floats of the right neighbours of a patch row's last cell beyond its padded vectors (0 or
    // less: none, one load per vector brings both corners).
    static constexpr int kTail = kRow + C - kPadded;
    // Whether the neighbours are taken from the loaded vectors, with an 8-byte load for a tail
    // of up to two floats: a second full-width load at an offset of C floats spans two cache
    // lines almost every time, and on processors whose loads bound the patch loops it costs
    // more than the shuffle. The shuffles of two-vector rows need the wider instruction sets.
    static constexpr bool kShiftRight = kTail <= 0 || (Fma && kTail <= 2);

    // Lanes [S, S + L) of a followed by b.
    template<int S, std::size_t... I>
    static PELTA_ALWAYS_INLINE Vector shiftedLanes(Vector a, Vector b, std::index_sequence<I...>)
    {
        return __builtin_shufflevector(a, b, (int(I) + S)...);
    }

    // The cells of the patch row at p blended along x with their right neighbours (fraction
    // fx), vector by vector. The neighbours are the same floats C lanes on: taken from the
    // loaded vectors (and the tail) where kShiftRight, otherwise loaded again.
    static PELTA_ALWAYS_INLINE void blendRow(const float *p, float fx, Vector (&out)[kVectors])
    {
        if constexpr (kShiftRight) {
            Vector cells[kVectors];
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v) {
                cells[v] = load<Vector>(p + v * kLanes);
                keepInRegister<Fma>(cells[v]);
            }
            Vector beyond = cells[kVectors - 1];
            if constexpr (kTail > 0)
                beyond = pairLanes<Fma, Vector>(p + kPadded);
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v)
                out[v] = blendLanes<Fma>(cells[v],
                    shiftedLanes<C>(cells[v], v + 1 < kVectors ? cells[v + 1] : beyond,
                        std::make_index_sequence<kLanes> {}),
                    fx);
        } else {
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v)
                out[v] = blendLanes<Fma>(
                    load<Vector>(p + v * kLanes), load<Vector>(p + v * kLanes + C), fx);
        }
    }

    // patch += w * the bilinear samples of src at (px + dx, py + dy) for dx, dy in [-R, R],
    // where the point has fractions fx, fy and the block blockAt gives starts at `corner`. Inside
    // the image every sample of the patch has the fractions of the point, so the patch is a
    // blend of four shifted blocks of whole cells with the same four weights.
    static PELTA_ALWAYS_INLINE void add(
        Sum &patch, const float *corner, float w, float fx, float fy, const Frame &f)
    {
        const Vector weight = Vector {} + w;
        const std::ptrdiff_t stride = std::ptrdiff_t(f.pitch) * C;
        Vector upper[kVectors];
        blendRow(corner, fx, upper);
#pragma GCC unroll 16
        for (int j = 0; j < kSide; ++j) {
            Vector lower[kVectors];
            blendRow(corner + (j + 1) * stride, fx, lower);
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v) {
                patch.row[j][v]
                    = fused<Fma>(weight, blendLanes<Fma>(upper[v], lower[v], fy), patch.row[j][v]);
                upper[v] = lower[v];
            }
        }
    }

    // The same near the border, where sampling clamps and each sample is taken on its own: the
    // samples gathered into rows of vectors (0 beyond the patch) and added as above, every lane
    // the same fused product and sum as a cell on its own. The sampling loop stays rolled (this
    // path is rare, and unrolled it doubled the worker's compile time).
    static PELTA_ALWAYS_INLINE void addNearBorder(
        Sum &patch, const float *src, float w, float px, float py, const Frame &f)
    {
        const int xi = int(px);
        const int yi = int(py);
        const int x0 = xi - f.originX;
        const int y0 = yi - f.originY;
        const float fx = px - float(xi);
        const float fy = py - float(yi);
        const Vector weight = Vector {} + w;
        alignas(64) float samples[kSide][kPadded] = {};
#pragma GCC unroll 1
        for (int j = 0; j < kSide; ++j) {
            for (int dx = -R; dx <= R; ++dx) {
                const Corners k = offsetCornersAt(x0 + dx, y0 + j - R, fx, fy, f);
                for (int c = 0; c < C; ++c)
                    samples[j][(R + dx) * C + c] = sampleChannel<C>(src, k, c);
            }
        }
#pragma GCC unroll 16
        for (int j = 0; j < kSide; ++j) {
#pragma GCC unroll 16
            for (int v = 0; v < kVectors; ++v)
                patch.row[j][v]
                    = fused<Fma>(weight, load<Vector>(samples[j] + v * kLanes), patch.row[j][v]);
        }
    }

    // Adds the estimate of pixel (x, y) into the sink from its walks: the weights and patches of
    // the places reached and the closing moves, path by path and step by step, as the plain
    // scheme adds them (the closing move depends on the weights summed so far).
    template<typename Cell>
    PELTA_ALWAYS_INLINE void run(
        const Inputs &in, const Frame &f, int x, int y, const Walks &w, const ChunkSink<Cell> &sink)
    {
        const DenoiseParams &p = in.params;
        const std::ptrdiff_t stride = std::ptrdiff_t(f.pitch) * C;
        const float *own = in.src + std::ptrdiff_t(y - R) * stride + std::ptrdiff_t(x - R) * C;
        const WeightScale scale(p.weightScale, (float(p.patchValues) * -2.0f) * p.sigmaSq);

        weighPlaces(in, f, own - in.src, w, scale);
        const int last = p.stepsPerPath - 1;
        if (last >= 1)
            closingMoves(in, f, w, last);
        // First the weights, closing moves and the list of patches to add, in the order they
        // are added, without a branch on a weight: whether a place counts is as good as random.
        // A weight of 0 adds exactly nothing (w * v + s is s), so such places are left out.
        float weightSum = 0.0f;
        int adds = 0;
        const int paths = p.pathsPerPixel - 1;
        const int places = last > 0 ? last * paths : 0;
        for (int m = 0; m < paths; ++m) {
            // Steps 1 to last of path m, `paths` apart.
            for (int place = m; place < places; place += paths) {
                const float weightHere = weight[place];
                weightSum += weightHere;
                addWeight[adds] = weightHere;
                addPoint[adds] = place;
                adds += weightHere > 0.0f ? 1 : 0;
            }
            // After the path's last place (if it has any).
            if (last >= 1 && weightSum > kClosingAfter) {
                const bool usable = closingFits[m] != 0;
                weightSum += usable ? kClosingWeight : 0.0f;
                addWeight[adds] = kClosingWeight;
                addPoint[adds] = kMostPlaces + m;
                adds += usable ? 1 : 0;
            }
        }
        Sum patch {};
        for (int i = 0; i < adds; ++i) {
            const int point = addPoint[i];
            if (block[point] >= 0)
                add(patch, in.src + std::ptrdiff_t(block[point]) * C, addWeight[i],
                    fractionX[point], fractionY[point], f);
            else
                addNearBorder(patch, in.src, addWeight[i], pointX[point], pointY[point], f);
        }

        if (weightSum > kLeastWeightSum) {
            // Every share is the patch sum times the inverse of the weight sum.
            const float inverse = 1.0f / weightSum;
#pragma GCC unroll 16
            for (int j = 0; j < kSide; ++j) {
                float *accumRow = reinterpret_cast<float *>(sink.accumAt(x - R, y - R + j));
                float *countRow = sink.countAt(x - R, y - R + j);
#pragma GCC unroll 16
                for (int v = 0; v < kVectors; ++v)
                    addFirst<Fma>(accumRow + v * kLanes, patch.row[j][v] * inverse,
                        kRow - v * kLanes < kLanes ? kRow - v * kLanes : kLanes);
                for (int i = 0; i < kSide; i += kLanes)
                    addFirst<Fma>(
                        countRow + i, Vector {} + 1.0f, kSide - i < kLanes ? kSide - i : kLanes);
            }
        }
    }
};

// The vector width for patch rows of C channels and radius R when vectors of up to maxLanes
// floats are at hand: 16 only where a row is longer than 8 floats.
constexpr int lanesFor(int channels, int radius, int maxLanes)
{
    return maxLanes >= 16 && channels * (2 * radius + 1) > 8 ? 16 : 8;
}

// The lanes of the path stream for C channels when vectors of up to maxLanes floats are at hand:
// colour paths fill the widest vectors; gray ones, with a single channel to blend per try, are
// mostly lane-by-lane loads and stores, which cost more per lane in 16-lane vectors.
constexpr int streamLanesFor(int channels, int maxLanes)
{
    return channels == 3 && maxLanes >= 16 ? 16 : 8;
}

// Rows [rowBegin, rowEnd) for C channels with patch radii up to MaxR and vectors of up to L
// floats: the body of denoiseRows.
// Fma: whether the target has fused multiply-add instructions.
template<int C, int MaxR, int L, bool Fma, typename Cell>
PELTA_ALWAYS_INLINE bool rows(
    ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in, const ChunkSink<Cell> &sink)
{
    static_assert(MaxR >= 0 && MaxR <= 5, "radii 0 to 5");
    const int width = in.params.width;
    const int height = in.params.height;
    const int f = in.params.patchRadius;
    if (f < 0 || f > MaxR)
        throw std::invalid_argument("patch radius out of range");
    const Frame frame(width, height, in.srcPitch, in.originX, in.originY);
    if (in.params.pathsPerPixel - 1 > kWalkLanes || in.params.stepsPerPath > kMaxSteps)
        throw std::invalid_argument("more paths or steps than the walks hold");
    PathStream<C, Fma, streamLanesFor(C, L)> stream;
    bool finished = true;
    Pixel<C, 0, lanesFor(C, 0, L), Fma> p0;
    Pixel<C, (MaxR >= 1 ? 1 : 0), lanesFor(C, 1, L), Fma> p1;
    Pixel<C, (MaxR >= 2 ? 2 : 0), lanesFor(C, 2, L), Fma> p2;
    Pixel<C, (MaxR >= 3 ? 3 : 0), lanesFor(C, 3, L), Fma> p3;
    Pixel<C, (MaxR >= 4 ? 4 : 0), lanesFor(C, 4, L), Fma> p4;
    Pixel<C, (MaxR >= 5 ? 5 : 0), lanesFor(C, 5, L), Fma> p5;
    for (int y = rowBegin; y < rowEnd && finished; ++y) {
        if (!control.beginRow(y)) {
            finished = false;
            break;
        }
        const int imageY = y + in.originY;
        stream.beginRow(in.params.pathsPerPixel - 1, sink.columnBegin());
        while (stream.done < sink.columnEnd()) {
            for (const Walks *w = stream.walkToNext(in, frame, imageY, sink.columnEnd()); w;
                 w = stream.ready()) {
                if (!control.betweenPixels()) {
                    finished = false;
                    break;
                }
                const int x = stream.done++;
                int r = f;
                for (const int limit : {x, y, width - 1 - x, height - 1 - y})
                    r = limit < r ? limit : r;
                switch (r) {
                case 0:
                    p0.run(in, frame, x, y, *w, sink);
                    break;
                case 1:
                    p1.run(in, frame, x, y, *w, sink);
                    break;
                case 2:
                    p2.run(in, frame, x, y, *w, sink);
                    break;
                case 3:
                    p3.run(in, frame, x, y, *w, sink);
                    break;
                case 4:
                    p4.run(in, frame, x, y, *w, sink);
                    break;
                default:
                    p5.run(in, frame, x, y, *w, sink);
                    break;
                }
            }
            if (!finished)
                break;
        }
    }
    return finished;
}

} // namespace walk
