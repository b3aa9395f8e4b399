// The core scan alone (no Python) over generated 10 M-word streams, on one kernel
// path: the streams whose words change modality often are where the kernels'
// appends cost most, and streams dense with taste sequences test that the walk
// stays one pass. Run through bench/run_scan_core_bench.sh.
//
//   scan_core_bench STREAM [--words N] [--repeat R]
//
// Prints the first call of the process (fresh memory) and the best and median
// of the repeats, in ms of the calling thread's CPU time (wall time on a shared
// machine mostly measures the other users), and the same for a memcpy of the
// stream into memory written before (the floor of any pass that writes it all).
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/heap.hpp"
#include "common/kernel_choice.hpp"
#include "scan/core_scan.hpp"

namespace {

double thread_ms() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// One word of each class, low bits free: text, inline, diagram, music, voice,
// image, mental, touch, smell, and an out-of-range entry. Bits 19-16 are 0xB so
// that no word looks like the head of a taste sequence.
constexpr std::uint32_t kClassWord[10] = {0x00010, 0xB1000, 0xB8000, 0xB4000, 0xB2000,
                                          0xB0400, 0xB0100, 0xB0800, 0xB0200, 0x100000};
constexpr std::size_t kText = 0, kFirstSegment = 2, kSegmentClasses = 7, kClasses = 10;

std::vector<std::uint32_t> make_stream(const std::string& kind, std::size_t n) {
    std::mt19937_64 rng(6);
    std::vector<std::uint32_t> words(n);
    auto word_of = [&](std::size_t cls) {
        return kClassWord[cls] + static_cast<std::uint32_t>(rng() & 0xFF);
    };
    if (kind == "uniform") {  // every 20-bit value and some beyond, uniformly
        for (auto& w : words) w = static_cast<std::uint32_t>(rng() % 0x110000);
    } else if (kind == "segments") {  // only segment modalities, each word its own segment
        for (auto& w : words) w = word_of(kFirstSegment + rng() % kSegmentClasses);
    } else if (kind == "text80") {  // text with a segment word every fifth word
        for (auto& w : words) {
            w = rng() % 5 != 0 ? word_of(kText) : word_of(kFirstSegment + rng() % kSegmentClasses);
        }
    } else if (kind.rfind("runs", 0) == 0) {  // runsN: runs of one class, N words on average
        const std::size_t mean = std::stoul(kind.substr(4));
        for (std::size_t i = 0; i < n;) {
            const std::size_t cls = rng() % kClasses;
            const std::size_t end = std::min(n, i + 1 + rng() % (2 * mean));
            for (; i < end; ++i) words[i] = word_of(cls);
        }
    } else if (kind == "taste" || kind == "taste+1") {
        // Taste sequences back to back (one taste run), or each followed by a text word.
        std::vector<std::uint32_t> pattern = {0x80400, 0x90400, 0xA0400};
        if (kind == "taste+1") pattern.push_back(0x00041);
        for (std::size_t i = 0; i < n; ++i) words[i] = pattern[i % pattern.size()];
    } else {
        std::fprintf(stderr, "unknown stream %s\n", kind.c_str());
        std::exit(2);
    }
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    vak::heap::prefer_small_pages();  // as the module does at import
    const std::string kind = argv[1];
    std::size_t n = 10'000'000;
    int repeat = 15;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--words") == 0) n = std::stoul(argv[i + 1]);
        if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::stoi(argv[i + 1]);
    }
    const std::vector<std::uint32_t> words = make_stream(kind, n);
    std::vector<std::uint32_t> copy(n, 1);
    std::vector<double> scans, copies;
    double first = 0;
    for (int r = 0; r <= repeat; ++r) {
        double start = thread_ms();
        const vak::scan::ScanRecord record = vak::scan::scan_words(words.data(), n, false);
        const double scan = thread_ms() - start;
        if (r == 0) {
            first = scan;
            continue;
        }
        scans.push_back(scan);
        start = thread_ms();
        std::memcpy(copy.data(), words.data(), n * sizeof(std::uint32_t));
        copies.push_back(thread_ms() - start);
    }
    std::sort(scans.begin(), scans.end());
    std::sort(copies.begin(), copies.end());
    const double median = scans[scans.size() / 2];
    std::printf("%-9s %-8s %8.1f %8.1f %8.1f | %6.1f %6.1f | %5.1fx\n", kind.c_str(),
                vak::kernel_choice::path_name(vak::kernel_choice::active()), first, scans[0],
                median, copies[0], copies[copies.size() / 2], median / copies[copies.size() / 2]);
    return 0;
}
