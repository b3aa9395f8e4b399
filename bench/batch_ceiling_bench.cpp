// How fast can a batch of cache-resident streams go on this machine, with no
// Python at all? Four ways of doing the native part of scanning N streams of
// W uniform words (16 distinct streams, repeated, as bench_batch_scaling.py
// makes them). Run through bench/run_batch_ceiling_bench.sh.
//
//   one by one   one thread copies stream k and scans the copy, for every k:
//                what a loop of scan_stream calls does natively
//   batch        the calling thread copies every stream and hands the copies to
//                the module's own streaming batch, whose workers scan them: what
//                scan_stream_batch does natively (the copies are made where the
//                interpreter lock is held, the scans on other cores)
//   copy there   the workers copy the stream they scan themselves: the same work
//                with each copy made on the core that reads it (which the module
//                cannot do, since it copies its inputs under the lock)
//   all there    as copy there, and each record is also freed on the worker that
//                made it (the module hands records to Python, which frees them
//                on the thread that drops the results)
//
//   batch_ceiling_bench [--streams N] [--words W] [--rounds R] [--only-one-by-one 1]
//
// Prints the medians of R rounds (the ways alternate) of wall time and of the
// process's CPU time (every thread), and each way's speed-up over one by one.
// --only-one-by-one runs that way alone: two such processes at once against
// one show what two cores give this very work (run_batch_ceiling_bench.sh
// does that).
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/heap.hpp"
#include "common/heap_allocator.hpp"
#include "scan/batch_scan.hpp"
#include "scan/core_scan.hpp"
#include "scan/worker_pool.hpp"

namespace {

using vak::WordVec;
using vak::scan::ScanRecord;

double wall_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double process_cpu_ms() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Times {
    std::vector<double> wall, cpu;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Streams published to the workers at a time, as the module's batch does.
constexpr std::size_t kPublishWords = std::size_t{1} << 16;

void one_by_one(const std::vector<const WordVec*>& streams) {
    for (const WordVec* source : streams) {
        const WordVec copy(*source);
        const ScanRecord record = vak::scan::scan_words(copy.data(), copy.size(), false);
        if (record.words.empty() && !copy.empty()) std::abort();  // keeps the work
    }
}

void batch(const std::vector<const WordVec*>& streams) {
    vak::scan::StreamingBatch streaming(&vak::scan::WorkerPool::instance(), false);
    streaming.reserve(streams.size());
    std::size_t unpublished = 0;
    for (const WordVec* source : streams) {
        streaming.add(WordVec(*source));
        unpublished += source->size();
        if (unpublished >= kPublishWords) {
            streaming.publish();
            unpublished = 0;
        }
    }
    const vak::Vec<ScanRecord> records = streaming.finish();  // freed here, as Python would
    if (records.size() != streams.size()) std::abort();
}

void copy_there(const std::vector<const WordVec*>& streams) {
    vak::Vec<ScanRecord> records(streams.size());
    auto task = [&](std::size_t k) {
        const WordVec copy(*streams[k]);
        records[k] = vak::scan::scan_words(copy.data(), copy.size(), false);
    };
    vak::scan::WorkerPool::instance().for_each_index(streams.size(), task);
}

// As copy_there, but each record is also dropped on the worker that made it.
void all_there(const std::vector<const WordVec*>& streams) {
    std::vector<std::size_t> sizes(streams.size());
    auto task = [&](std::size_t k) {
        const WordVec copy(*streams[k]);
        sizes[k] = vak::scan::scan_words(copy.data(), copy.size(), false).words.size();
    };
    vak::scan::WorkerPool::instance().for_each_index(streams.size(), task);
}

}  // namespace

int main(int argc, char** argv) {
    vak::heap::prefer_small_pages();  // as the module does at import
    std::size_t count = 256, words = 16'384, rounds = 31, only_one_by_one = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::size_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (option == "--streams") {
            count = value;
        } else if (option == "--words") {
            words = value;
        } else if (option == "--rounds") {
            rounds = value;
        } else if (option == "--only-one-by-one") {
            only_one_by_one = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    std::mt19937_64 rng(5);
    std::vector<WordVec> distinct(std::min<std::size_t>(count, 16), WordVec(words));
    for (WordVec& stream : distinct) {
        for (auto& word : stream) word = static_cast<std::uint32_t>(rng() % 0x110000);
    }
    std::vector<const WordVec*> streams;
    for (std::size_t k = 0; k < count; ++k) streams.push_back(&distinct[k % distinct.size()]);

    struct Way {
        const char* name;
        void (*run)(const std::vector<const WordVec*>&);
        Times times;
    };
    Way ways[] = {{"one by one", one_by_one, {}},
                  {"batch", batch, {}},
                  {"copy there", copy_there, {}},
                  {"all there", all_there, {}}};
    const std::size_t way_count = only_one_by_one != 0 ? 1 : std::size(ways);
    for (std::size_t w = 0; w < way_count; ++w) ways[w].run(streams);  // warm: workers, heap
    for (std::size_t round = 0; round < rounds; ++round) {
        for (std::size_t w = 0; w < way_count; ++w) {
            Way& way = ways[w];
            const double wall = wall_ms(), cpu = process_cpu_ms();
            way.run(streams);
            way.times.wall.push_back(wall_ms() - wall);
            way.times.cpu.push_back(process_cpu_ms() - cpu);
        }
    }
    if (only_one_by_one != 0) {
        std::printf("%.3f\n", median(ways[0].times.wall));
        return 0;
    }
    std::printf("%zu x %zu uniform words, pool of %zu, medians of %zu rounds\n", count, words,
                vak::scan::WorkerPool::instance().size(), rounds);
    const double base = median(ways[0].times.wall), base_cpu = median(ways[0].times.cpu);
    for (std::size_t w = 0; w < way_count; ++w) {
        const Way& way = ways[w];
        const double wall = median(way.times.wall), cpu = median(way.times.cpu);
        std::printf("%-11s wall %7.2f ms  CPU %7.2f ms  speed-up %.2fx  CPU ratio %.2fx\n",
                    way.name, wall, cpu, base / wall, cpu / base_cpu);
    }
    return 0;
}
