// The sample table build, the rand() replica and the small table helpers.
#include "sample_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <new>
#include <stdexcept>

// The acceptance step scales rand() by 2^-31, which assumes glibc's RAND_MAX; with a smaller
// one no candidate would ever reach the tails and the build would not end.
static_assert(RAND_MAX == 2147483647, "the sample table needs a 31-bit rand()");

CRandom::CRandom(unsigned seed)
{
    if (seed == 0)
        seed = 1;
    state_[0] = std::int32_t(seed);
    // state[i] = 16807 * state[i - 1] mod (2^31 - 1), in Schrage's form as glibc writes it.
    long long word = seed;
    for (int i = 1; i < kDegree; ++i) {
        const long long hi = word / 127773;
        const long long lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0)
            word += 2147483647;
        state_[i] = std::int32_t(word);
    }
    for (int i = 0; i < kDegree * 10; ++i)
        next();
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
    if (samples.empty() || start < 0 || start >= int(samples.size()))
        throw std::invalid_argument("NormalTable: bad scripted samples");
    size_ = int(samples.size());
    values_.reset(new float[samples.size()]);
    std::copy(samples.begin(), samples.end(), values_.get());
    start_ = start;
}

void NormalTable::build(unsigned seed)
{
    values_.reset(new float[kNormalTableSize]);
    size_ = kNormalTableSize;
    CRandom random(seed);
    const float scale = 4.656613e-10f; // 2^-31
    const float bound = 0.8577639f; // sqrt(2 / e)
    int stored = 0;
    while (stored < kNormalTableSize) {
        float u = float(random.next()) * scale;
        const float v = 2.0f * (float(random.next()) * scale - 0.5f) * bound;
        if (std::fabs(u) < 0.0001f)
            u = 0.0001f;
        const float x = v / u;
        if (std::exp(-x * x / 2.0f) >= u * u)
            values_[stored++] = x;
    }
    start_ = random.next() % (kNormalTableSize - 1);
}

NormalCursor NormalTable::cursor(int band, int bandCount) const
{
    const long long spacing = bandCount > 0 ? size_ / bandCount : 0;
    const int position = int((start_ + spacing * band) % size_);
    return NormalCursor(values_.get(), size_, position);
}

void fillExpTable(float *table, int n)
{
    for (int i = 0; i < n; ++i)
        table[i] = std::exp(float(i) / -1000.0f);
}

void fillFloats(float *array, int n, float value)
{
    for (int i = 0; i < n; ++i)
        array[i] = value;
}
