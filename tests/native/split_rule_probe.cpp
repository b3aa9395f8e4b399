// Checks largest_accepted_total against the division it replaces: for many
// thresholds t (single-precision values, as the encoder passes) and totals a few
// ulps either side of 3t, `total <= bound` must equal `t >= total / 3.0`.
// Prints "checked <n>" and the first disagreement, if any, on its own line.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

#include "image/split_rule.hpp"

namespace {

bool agrees(double t, double total) {
    const double bound = vak::image::largest_accepted_total(t);
    return (total <= bound) == (t >= total / 3.0);
}

}  // namespace

int main() {
    std::mt19937_64 random(20240601);
    std::uniform_int_distribution<std::uint32_t> any_float_bits;
    long checked = 0;
    const auto check_around = [&](double t) {
        double total = 3.0 * t;
        for (int i = 0; i < 4; ++i) total = std::nextafter(total, -INFINITY);
        for (int i = 0; i < 9; ++i, total = std::nextafter(total, INFINITY)) {
            ++checked;
            if (!agrees(t, total)) {
                std::printf("disagree t=%a total=%a\n", t, total);
                return false;
            }
        }
        return true;
    };
    const double fixed[] = {0.0,     -0.0,     1.0,     0.1f,     500.0,    12192.1875, -3.5,
                            FLT_MAX, -FLT_MAX, FLT_MIN, 0x1p-149, INFINITY, -INFINITY};
    for (double t : fixed) {
        if (!check_around(t)) return 0;
    }
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t bits = any_float_bits(random);
        float f;
        static_assert(sizeof f == sizeof bits);
        __builtin_memcpy(&f, &bits, sizeof f);
        if (std::isnan(f)) continue;
        if (!check_around(static_cast<double>(f))) return 0;
    }
    // A NaN threshold accepts nothing.
    const double nan_bound = vak::image::largest_accepted_total(NAN);
    const double totals[] = {0.0, -1.0, 1e300, -INFINITY, INFINITY};
    for (double total : totals) {
        ++checked;
        if (total <= nan_bound) {
            std::printf("disagree t=nan total=%a\n", total);
            return 0;
        }
    }
    std::printf("checked %ld\n", checked);
    return 0;
}
