// The colour jump limit.
#include "cell_math.h"

#include <cmath>

float squaredLimit(float sigma)
{
    float t = sigma * sigma;
    while (t > 0.0f && std::sqrt(t) > sigma)
        t = std::nextafter(t, 0.0f);
    for (;;) {
        const float next = std::nextafter(t, HUGE_VALF);
        if (std::sqrt(next) > sigma)
            return t;
        t = next;
    }
}
