// The sample table build, the rand() replica and the small table helpers.
#include "sample_tables.h"

#include "page_memory.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <stdexcept>

// The acceptance step scales rand() by 2^-31, which assumes glibc's RAND_MAX; with a smaller
// one no candidate would ever reach the tails and the build would not end.
static_assert(RAND_MAX == 2147483647, "the sample table needs a 31-bit rand()");

// The candidate loop below is written for the auto-vectoriser; on x86-64 it is also compiled
// for AVX2 and picked at load time, so the binary still runs on any x86-64. Not under
// ThreadSanitizer: the loader runs the picker before the sanitizer's runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define PELTA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PELTA_VECTOR_CLONES
#endif

CRandom::CRandom(unsigned seed)
{
    if (seed == 0)
        seed = 1;
    state_[0] = seed;
    // state[i] = 16807 * state[i - 1] mod (2^31 - 1), in Schrage's form as glibc writes it,
    // including its 32-bit signed word: a seed of 2^31 or more starts from a negative value.
    std::int32_t word = std::int32_t(seed);
    for (int i = 1; i < kDegree; ++i) {
        const long long hi = word / 127773;
        const long long lo = word % 127773;
        word = std::int32_t(16807 * lo - 2836 * hi);
        if (word < 0)
            word += 2147483647;
        state_[i] = std::uint32_t(word);
    }
    for (int i = 0; i < kDegree * 10; ++i)
        next();
}

void CRandom::recentWords(std::uint32_t *words) const
{
    // front_ is the slot written next, that is the one written kDegree calls ago.
    for (int m = 0; m < kDegree; ++m)
        words[m] = state_[(front_ + m) % kDegree];
}

namespace {

constexpr float kRandScale = 4.656613e-10f; // 2^-31
constexpr float kBound = 0.8577639f; // sqrt(2 / e)

// Candidate pairs per block, so that the block's words, samples and verdicts stay in the cache;
// a multiple of 3 and of 8 for the loops below.
constexpr int kBlockPairs = 1536;
constexpr int kBlockWords = 2 * kBlockPairs;
constexpr int kHistory = CRandom::kDegree;

// Relative margin around the acceptance boundary inside which the scalar expf decides. The
// approximation below is within 3e-7 of exp() over its whole range (checked for every float in
// it), expf within 1 ulp, so anything outside the margin is decided as expf would decide it.
// About one candidate in 2,700 falls inside.
constexpr float kMargin = 1.0f / 4096.0f;

enum Verdict : std::int32_t { kReject = 0, kAccept = 1, kUnsure = 2 };

// Continues the rand() word sequence: words[-kHistory, 0) hold the last kHistory words,
// words[0, kBlockWords) receive the next ones. The lag of 3 splits the sequence into three
// independent chains, each a running sum kept in a register. (Vector forms of the recurrence
// were slower: their loads straddle the stores of the previous iterations, and the store
// buffer cannot forward those.)
void extendWords(std::uint32_t *words)
{
    std::uint32_t a = words[-3];
    std::uint32_t b = words[-2];
    std::uint32_t c = words[-1];
    for (int k = 0; k < kBlockWords; k += 3) {
        a += words[k - 31];
        words[k] = a;
        b += words[k - 30];
        words[k + 1] = b;
        c += words[k - 29];
        words[k + 2] = c;
    }
}

// exp(y) for y in [-30, 0] to a relative error below 3e-7: y = k ln 2 + r with k a whole number
// and |r| <= 0.35 (ln 2 split in two parts, so k ln 2 is exact to float precision), then a
// degree-6 Taylor polynomial for exp(r) (truncation below 2e-7, rounding a few ulp) times 2^k
// built from its exponent bits.
inline float approximateExp(float y)
{
    constexpr float kLog2e = 1.44269504f;
    constexpr float kLn2High = 0.693145752f; // 15 significant bits: k * kLn2High is exact
    constexpr float kLn2Low = 1.42860677e-6f;
    constexpr float kRoundShift = 12582912.0f; // 1.5 * 2^23: adding it rounds to a whole number
    const float kf = (y * kLog2e + kRoundShift) - kRoundShift;
    const float r = (y - kf * kLn2High) - kf * kLn2Low;
    float p = 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const std::int32_t bits = (std::int32_t(kf) + 127) * (1 << 23);
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return p * scale;
}

// The ratio-of-uniforms step for a block of candidate pairs, in exactly the single-precision
// operations of the scalar algorithm: pair i takes u from word 2i and v from word 2i + 1.
// Each pair gets its sample x, the exponent y = -x^2 / 2, the bound q = u^2 and a verdict on
// expf(y) >= q that is certain outside the margin and kUnsure inside it.
PELTA_VECTOR_CLONES void classifyPairs(const std::uint32_t *__restrict words, float *__restrict xs,
    float *__restrict ys, float *__restrict qs, std::int32_t *__restrict verdicts)
{
    for (int i = 0; i < kBlockPairs; ++i) {
        float u = float(std::int32_t(words[2 * i] >> 1)) * kRandScale;
        const float v
            = 2.0f * (float(std::int32_t(words[2 * i + 1] >> 1)) * kRandScale - 0.5f) * kBound;
        u = std::fabs(u) < 0.0001f ? 0.0001f : u;
        const float x = v / u;
        const float y = -x * x / 2.0f;
        const float q = u * u;
        // Below -30 exp(y) < 1e-13 while q >= 1e-8: a sure rejection, also for the estimate.
        const float e = approximateExp(y > -30.0f ? y : -30.0f);
        xs[i] = x;
        ys[i] = y;
        qs[i] = q;
        // Branch-free: at most one of the two tests holds.
        const std::int32_t accept = e >= q * (1.0f + kMargin);
        const std::int32_t reject = e <= q * (1.0f - kMargin);
        verdicts[i] = kUnsure - 2 * reject - accept;
    }
}

} // namespace

NormalTable::Samples NormalTable::allocate(std::size_t count)
{
    return PageArray<float>::allocate(count + kTail);
}

void NormalTable::repeatHead()
{
    for (int i = 0; i < kTail; ++i)
        values_[std::size_t(size_) + std::size_t(i)] = values_[std::size_t(i % size_)];
}

NormalTable::NormalTable()
    : NormalTable(unsigned(std::time(nullptr)))
{ }

NormalTable::NormalTable(unsigned seed)
{
    build(seed);
}

NormalTable::NormalTable(std::vector<float> samples, int start)
{
    if (samples.empty() || samples.size() > std::size_t(std::numeric_limits<int>::max())
        || start < 0 || start >= int(samples.size()))
        throw std::invalid_argument("NormalTable: bad samples");
    size_ = int(samples.size());
    values_ = allocate(samples.size());
    std::copy(samples.begin(), samples.end(), values_.get());
    repeatHead();
    start_ = start;
}

// Equivalent to srand(seed) followed by, per candidate, u = rand() * 2^-31,
// v = 2 * (rand() * 2^-31 - 0.5) * sqrt(2 / e), u raised to at least 0.0001, x = v / u, kept
// when expf(-x * x / 2) >= u * u; then start = rand() % (size - 1). The words are generated and
// the pairs judged a block at a time; only the few pairs near the boundary call expf.
void NormalTable::build(unsigned seed)
{
    values_ = allocate(kNormalTableSize);
    size_ = kNormalTableSize;

    struct Scratch
    {
        std::uint32_t words[kHistory + kBlockWords];
        float xs[kBlockPairs];
        float ys[kBlockPairs];
        float qs[kBlockPairs];
        std::int32_t verdicts[kBlockPairs];
    };
    const std::unique_ptr<Scratch> scratch(new Scratch);
    CRandom(seed).recentWords(scratch->words);
    std::uint32_t *block = scratch->words + kHistory;

    float *out = values_.get();
    int stored = 0;
    for (;;) {
        extendWords(block);
        classifyPairs(block, scratch->xs, scratch->ys, scratch->qs, scratch->verdicts);
        for (int i = 0; i < kBlockPairs; ++i) {
            int keep = scratch->verdicts[i];
            if (keep == kUnsure)
                keep = std::exp(scratch->ys[i]) >= scratch->qs[i] ? 1 : 0;
            // Written unconditionally and kept by advancing: no branch on a random outcome.
            out[stored] = scratch->xs[i];
            stored += keep;
            if (stored == kNormalTableSize) {
                const int k = 2 * i + 2; // the word after the last pair
                const std::uint32_t next
                    = k < kBlockWords ? block[k] : block[k - 31] + block[k - 3];
                start_ = int(next >> 1) % (kNormalTableSize - 1);
                repeatHead();
                return;
            }
        }
        std::copy(block + kBlockWords - kHistory, block + kBlockWords, scratch->words);
    }
}
