// Test driver for the worker-count rules, built by the tests from the module's
// own source: prints what the rules compute for a file-system tree.
//   worker_count_probe cgroup ROOT      the cgroup CPU limit (0: none)
//   worker_count_probe available ROOT   affinity processors limited by it
#include <cstdio>
#include <cstring>

#include "scan/worker_count.hpp"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (std::strcmp(argv[1], "cgroup") == 0) {
        std::printf("%llu\n",
                    static_cast<unsigned long long>(vak::scan::cgroup_cpu_limit(argv[2])));
        return 0;
    }
    if (std::strcmp(argv[1], "available") == 0) {
        std::printf("%zu\n", vak::scan::available_cpus(argv[2]));
        return 0;
    }
    return 2;
}
