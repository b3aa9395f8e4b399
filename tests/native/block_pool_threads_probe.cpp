// The heap's pool of freed blocks under threads. Built with ThreadSanitizer by
// tools/run_thread_sanitizer.sh and as a plain program by
// tests/test_native_threads.py.
//   block_pool_threads_probe churn  threads take, fill, check and keep blocks of
//                                   random sizes while another drains the pool:
//                                   no block is ever in two hands, none is too
//                                   small, the pool's bytes stay within bounds
//   block_pool_threads_probe fork   children forked while the pool is busy take
//                                   and keep blocks of their own
// Blocks come from the C allocator here; the module's come from its own.
// Prints what it saw; a failed check exits with status 1.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/block_pool.hpp"
#include "thread_probe_support.hpp"

namespace {

namespace pool = vak::heap::block_pool;

std::atomic<long> g_live_blocks{0};
std::atomic<long> g_reused{0};

void release(void* block) {
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

// A block of at least `bytes`, from the pool when it has one, stamped with
// `tag` (a block in two hands at once is caught by check()).
unsigned char* get(std::size_t bytes, unsigned char tag) {
    void* block = nullptr;
    if (pool::serves(bytes)) {
        // The C allocator's usable size for `bytes` is not known before asking:
        // the request's own size stands for it (take() checks the block's).
        block = pool::take(bytes, bytes);
        if (block != nullptr) {
            g_reused.fetch_add(1, std::memory_order_relaxed);
            PROBE_CHECK(::malloc_usable_size(block) >= bytes);
        }
    }
    if (block == nullptr) {
        block = std::malloc(bytes);
        PROBE_CHECK(block != nullptr);
        g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    }
    // Every 61st byte and the last: enough to catch a block in two hands.
    auto* bytes_of = static_cast<unsigned char*>(block);
    for (std::size_t i = 0; i < bytes; i += 61) bytes_of[i] = tag;
    bytes_of[bytes - 1] = tag;
    return bytes_of;
}

void check(const unsigned char* block, std::size_t bytes, unsigned char tag) {
    for (std::size_t i = 0; i < bytes; i += 61) PROBE_CHECK(block[i] == tag);
    PROBE_CHECK(block[bytes - 1] == tag);
}

void put(unsigned char* block) {
    if (!pool::keep(block, ::malloc_usable_size(block))) release(block);
}

// Sizes from below the pool's range to above it, most of them inside.
std::size_t random_size(std::mt19937& rng) {
    const unsigned shift = 8 + rng() % 13;  // 256 B .. 2 MiB
    return (std::size_t{1} << shift) + rng() % (std::size_t{1} << shift);
}

void churn(unsigned seed, int rounds) {
    std::mt19937 rng(seed);
    const auto tag = static_cast<unsigned char>(seed);
    struct Held {
        unsigned char* block;
        std::size_t bytes;
    };
    std::vector<Held> held;
    for (int round = 0; round < rounds; ++round) {
        if (held.size() < 24 && rng() % 3 != 0) {
            const std::size_t bytes = random_size(rng);
            held.push_back({get(bytes, tag), bytes});
        } else if (!held.empty()) {
            const std::size_t k = rng() % held.size();
            check(held[k].block, held[k].bytes, tag);
            put(held[k].block);
            held[k] = held.back();
            held.pop_back();
        }
    }
    for (const Held& h : held) {
        check(h.block, h.bytes, tag);
        put(h.block);
    }
}

// The sanitizer's shadow of every large block makes each round far costlier.
#if defined(__SANITIZE_THREAD__)
constexpr int kChurnRounds = 3000;
#else
constexpr int kChurnRounds = 10000;
#endif

int run_churn() {
    constexpr unsigned kThreads = 4;
    std::atomic<bool> stop{false};
    std::thread drainer([&] {
        while (!stop.load()) {
            pool::drain(&release);
            probe::sleep_ms(1);
        }
    });
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) threads.emplace_back(churn, 17 + t, kChurnRounds);
    for (std::thread& thread : threads) thread.join();
    stop.store(true);
    drainer.join();
    pool::drain(&release);
    // Everything taken was given back and drained: nothing is left over or lost.
    PROBE_CHECK(g_live_blocks.load() == 0);
    PROBE_CHECK(g_reused.load() > 0);
    std::printf("churn: ok (%ld blocks reused)\n", g_reused.load());
    return 0;
}

int run_fork() {
    constexpr int kChildren = 20;
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    constexpr unsigned kBusy = 2;
    probe::ForkGate gate(kBusy);
    for (unsigned t = 0; t < kBusy; ++t) {
        busy.emplace_back([&stop, &gate, t] {
            for (unsigned round = 0; !stop.load(); ++round) {
                gate.pass();
                churn(100 + 7 * t + round, 50);  // short pieces: the gate opens often
            }
        });
    }
    for (int child = 0; child < kChildren; ++child) {
        const pid_t pid = gate.fork();
        PROBE_CHECK(pid >= 0);
        if (pid == 0) {
            // A class held by a busy thread at the fork would hang here.
            probe::limit_run_time(20);
            churn(1000 + static_cast<unsigned>(child), 500);
            pool::drain(&release);
            std::_Exit(0);
        }
        int status = 0;
        PROBE_CHECK(::waitpid(pid, &status, 0) == pid);
        PROBE_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop.store(true);
    for (std::thread& thread : busy) thread.join();
    pool::drain(&release);
    PROBE_CHECK(g_live_blocks.load() == 0);
    std::printf("fork: ok (%d children)\n", kChildren);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    probe::limit_run_time(240);
    // Large blocks from the C allocator's heap, not a mapping each: the probe is
    // about the pool, not about the system's mapping calls.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "churn") return run_churn();
    if (mode == "fork") return run_fork();
    std::fprintf(stderr, "usage: block_pool_threads_probe churn|fork\n");
    return 2;
}
