// The encoder's split rule, decided without a division per node.
//
// A node stays whole when t >= total / 3.0, total being the sum of its three
// channel variances. Division by 3.0 is correctly rounded, so its result never
// decreases as the total grows: the totals the rule accepts are exactly those
// up to one bound, which largest_accepted_total finds once per call.
#pragma once

namespace vak::image {

// The largest total with t >= total / 3.0. A NaN t accepts no total (the bound
// is NaN, so `total <= bound` is false); an infinite t gives itself.
double largest_accepted_total(double t) noexcept;

}  // namespace vak::image
