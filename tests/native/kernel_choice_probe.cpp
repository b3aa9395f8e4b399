// Reports the kernel paths this processor runs (first line) and the one the
// environment switch selects (second line), as common/kernel_choice settles it.
#include <cstdio>

#include "common/kernel_choice.hpp"

using namespace vak::kernel_choice;

int main() {
    for (Path path : kAllPaths) {
        if (path_supported(path)) std::printf("%s ", path_name(path));
    }
    std::printf("\n%s\n", path_name(active()));
    return 0;
}
