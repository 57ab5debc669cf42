// What a driver's figures allow: the rates a run can be timed at, and the buffer sizes its
// granularity makes.
#include "checker/measure/measure.h"

#include <algorithm>
#include <math.h>
#include <vector>

const double probeRates[PROBE_RATES] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};

bool usableRate(double rate)
{
    return isfinite(rate) && rate >= 1e3 && rate <= 1e8;
}

static bool powerOfTwo(long n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

bool sizeOnGrid(long n, long minSize, long granularity)
{
    if (granularity == -1)
        return powerOfTwo(n);
    if (granularity > 0)
        return n >= minSize && (n - minSize) % granularity == 0;
    return false;
}

bool bufferSizeAllowed(long minSize, long maxSize, long preferred, long granularity, long n)
{
    if (n < minSize || n > maxSize)
        return false;
    if (granularity == -1 || granularity > 0)
        return sizeOnGrid(n, minSize, granularity);
    return n == preferred;
}

// Every size from min to max on the grid (at most 100,000), with min, max and the preferred size.
static std::vector<long> everyAllowedSize(long minSize, long maxSize, long preferred, long granularity)
{
    std::vector<long> all;
    if (minSize > 0 && maxSize >= minSize) {
        // Stepped in a wider type: a hostile maxSize near the top of long must not wrap a step.
        if (granularity == -1) {
            for (long long n = 1; n <= maxSize; n *= 2) {
                if (n >= minSize)
                    all.push_back(static_cast<long>(n));
            }
        } else if (granularity > 0) {
            for (long long n = minSize; n <= maxSize && all.size() < 100000; n += granularity)
                all.push_back(static_cast<long>(n));
        }
        all.push_back(minSize);
        all.push_back(maxSize);
    }
    if (preferred > 0)
        all.push_back(preferred);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

int allowedBufferSizes(long minSize, long maxSize, long preferred, long granularity, long *sizes,
                       int room)
{
    std::vector<long> all = everyAllowedSize(minSize, maxSize, preferred, granularity);
    if (static_cast<int>(all.size()) <= room) {
        std::copy(all.begin(), all.end(), sizes);
        return static_cast<int>(all.size());
    }
    // Spread over the range, the ends and the preferred size always among them.
    std::vector<long> picked = {all.front(), all.back(), preferred};
    for (int k = 1; static_cast<int>(picked.size()) < room + 8 && k < room - 1; k++)
        picked.push_back(all[all.size() * k / (room - 1)]);
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    while (static_cast<int>(picked.size()) > room) {
        // Drop the one closest to a neighbour that is neither an end nor the preferred size.
        size_t drop = 1;
        long closest = -1;
        for (size_t k = 1; k + 1 < picked.size(); k++) {
            long gap = picked[k + 1] - picked[k - 1];
            if (picked[k] != preferred && (closest < 0 || gap < closest)) {
                closest = gap;
                drop = k;
            }
        }
        picked.erase(picked.begin() + drop);
    }
    std::copy(picked.begin(), picked.end(), sizes);
    return static_cast<int>(picked.size());
}
