// Percentiles and the robust step of a series, for the switch timing and the conformance checks.
#include "checker/measure/measure.h"

#include <algorithm>
#include <math.h>
#include <vector>

// 99.9 % of 1000 is rank 999 exactly: the product is taken a hair low so that rounding cannot push
// it to the next rank.
double nearestRank(const double *sorted, size_t count, double percent)
{
    if (count == 0)
        return 0;
    size_t rank = static_cast<size_t>(ceil(percent * count / 100.0 * (1 - 1e-12)));
    return sorted[rank > 0 ? rank - 1 : 0];
}

double robustStep(const double *values, size_t count)
{
    size_t half = count / 2;
    if (half == 0)
        return 0;
    std::vector<double> steps;
    for (size_t i = 0; i + half < count; i++)
        steps.push_back((values[i + half] - values[i]) / half);
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return steps[steps.size() / 2];
}
