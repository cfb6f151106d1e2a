#include "sim/physics/random.h"

#include <cmath>

namespace nxsim::physics {
namespace {

// The x at which the standard normal distribution reaches probability p,
// by bisection on its cumulative distribution.
double normal_quantile(double p) {
    double lo = -10, hi = 10;
    for (int i = 0; i < 100; ++i) {
        const double mid = 0.5 * (lo + hi);
        (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

}  // namespace

const NormalNoise::Table &NormalNoise::table() {
    static const Table quantiles = [] {
        Table t{};
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = static_cast<float>(
                normal_quantile((static_cast<double>(i) + 0.5) / static_cast<double>(t.size())));
        return t;
    }();
    return quantiles;
}

}  // namespace nxsim::physics
