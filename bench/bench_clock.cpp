#include "bench/bench_clock.h"

#include <windows.h>
#include <algorithm>

static double ticksPerSecond()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
}

int64_t benchTicks()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double benchMicroseconds(int64_t ticks)
{
    static const double frequency = ticksPerSecond();
    return static_cast<double>(ticks) * 1e6 / frequency;
}

double benchMedian(double *values, int count)
{
    if (count <= 0)
        return 0;
    std::sort(values, values + count);
    if (count % 2)
        return values[count / 2];
    return (values[count / 2 - 1] + values[count / 2]) / 2;
}
