// The performance counter as the benchmarks read it, and the median they report.
#pragma once

#include <stdint.h>

int64_t benchTicks();
double benchMicroseconds(int64_t ticks);
// Median of count values; values is reordered. 0 for no values.
double benchMedian(double *values, int count);
