#include "image/split_rule.hpp"

#include <cmath>

namespace vak::image {

double largest_accepted_total(double t) noexcept {
    if (std::isnan(t) || std::isinf(t)) return t;
    const auto accepted = [t](double total) { return t >= total / 3.0; };
    // 3t lies within an ulp or two of the bound; step to it exactly.
    double bound = 3.0 * t;
    while (!accepted(bound)) bound = std::nextafter(bound, -INFINITY);
    for (double next = std::nextafter(bound, INFINITY); accepted(next);
         next = std::nextafter(bound, INFINITY)) {
        bound = next;
    }
    return bound;
}

}  // namespace vak::image
