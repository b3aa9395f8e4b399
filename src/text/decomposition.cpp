#include "text/decomposition.hpp"

#include <algorithm>
#include <array>

namespace vak::text {

namespace {

// Short runs (the usual one to three marks) are cheapest to order in place.
void insertion_sort(Vec<PendingMark>& marks) noexcept {
    for (std::size_t i = 1; i < marks.size(); ++i) {
        const PendingMark mark = marks[i];
        std::size_t j = i;
        for (; j > 0 && mark_class(marks[j - 1]) > mark_class(mark); --j) marks[j] = marks[j - 1];
        marks[j] = mark;
    }
}

// Long runs: a counting sort by class keeps equal classes in order and stays
// linear however many marks are stacked.
void counting_sort(Vec<PendingMark>& marks, Vec<PendingMark>& scratch) {
    Vec<std::size_t> start(257);  // off the stack: 2 KiB
    for (PendingMark mark : marks) ++start[mark_class(mark) + 1];
    for (std::size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
    scratch.resize(marks.size());
    for (PendingMark mark : marks) scratch[start[mark_class(mark)]++] = mark;
    marks.swap(scratch);
}

}  // namespace

void sort_marks(Vec<PendingMark>& marks, Vec<PendingMark>& scratch) {
    constexpr std::size_t kInsertionLimit = 16;
    const auto by_class = [](PendingMark a, PendingMark b) {
        return mark_class(a) < mark_class(b);
    };
    if (std::is_sorted(marks.begin(), marks.end(), by_class)) return;
    if (marks.size() <= kInsertionLimit) {
        insertion_sort(marks);
    } else {
        counting_sort(marks, scratch);
    }
}

}  // namespace vak::text
