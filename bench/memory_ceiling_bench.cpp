// What the memory ceiling costs (no Python): a fresh reading of the control-group
// limits, against the first touch of the smallest request that triggers one,
// and the check on small allocations, against mimalloc called directly. Run
// through bench/run_memory_ceiling_bench.sh.
//
//   memory_ceiling_bench [--rounds R]
//
// Every figure is the median of R rounds (default 11), in thread CPU time and
// wall time (on a shared machine the wall time mostly measures other users).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/heap.hpp"
#include "common/memory_ceiling.hpp"

namespace {

struct Times {
    double cpu_ns;
    double wall_ns;
};

double now_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Median over `rounds` of the time per repetition of `body`.
template <class Body>
Times median(int rounds, int repetitions, Body body) {
    std::vector<double> cpu, wall;
    for (int r = 0; r < rounds; ++r) {
        const double c0 = now_ns(CLOCK_THREAD_CPUTIME_ID), w0 = now_ns(CLOCK_MONOTONIC);
        for (int i = 0; i < repetitions; ++i) body();
        cpu.push_back((now_ns(CLOCK_THREAD_CPUTIME_ID) - c0) / repetitions);
        wall.push_back((now_ns(CLOCK_MONOTONIC) - w0) / repetitions);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[cpu.size() / 2], wall[wall.size() / 2]};
}

// Keeps the optimiser from dropping the loops.
volatile std::size_t g_sink;

}  // namespace

int main(int argc, char** argv) {
    int rounds = 11;
    if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0)
        rounds = std::max(1, std::atoi(argv[2]));

    const Times reading = median(rounds, 200, [] { g_sink = vak::heap::memory_ceiling(); });

    const std::size_t large = vak::heap::kFreshReadFrom;
    const Times touched = median(rounds, 3, [&] {
        auto* p = static_cast<unsigned char*>(vak::heap::allocate(large));
        if (p == nullptr) std::abort();
        for (std::size_t i = 0; i < large; i += 4096) p[i] = 1;
        g_sink = p[large / 2];
        vak::heap::release(p);
        vak::heap::purge_now();  // the next round faults its pages in afresh
    });

    constexpr int kSmall = 1 << 20;
    const Times direct = median(rounds, kSmall, [] {
        void* p = mi_malloc(64);
        g_sink = reinterpret_cast<std::size_t>(p);
        mi_free(p);
    });
    const Times checked = median(rounds, kSmall, [] {
        void* p = vak::heap::allocate(64);
        g_sink = reinterpret_cast<std::size_t>(p);
        vak::heap::release(p);
    });

    std::printf("medians of %d rounds        cpu          wall\n", rounds);
    std::printf("fresh reading          %8.2f us  %8.2f us\n", reading.cpu_ns / 1e3,
                reading.wall_ns / 1e3);
    std::printf("%zu MiB written        %8.2f ms  %8.2f ms   (reading: %.2f%% of it, cpu)\n",
                large >> 20, touched.cpu_ns / 1e6, touched.wall_ns / 1e6,
                100.0 * reading.cpu_ns / touched.cpu_ns);
    std::printf("64 B, mi_malloc        %8.2f ns  %8.2f ns\n", direct.cpu_ns, direct.wall_ns);
    std::printf("64 B, checked          %8.2f ns  %8.2f ns   (ratio %.3f, cpu)\n", checked.cpu_ns,
                checked.wall_ns, checked.cpu_ns / direct.cpu_ns);
    return 0;
}
