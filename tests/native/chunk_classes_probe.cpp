// Checks the scanner's chunk kernels of every path against the portable ones on
// every 20-bit word and on random streams.
//   chunk_classes_probe check [PATH...] compares PATHs (default: every path this
//                                       processor runs); prints "ok" or the first
//                                       difference
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "scan/chunk_classes.hpp"

using namespace vak::scan;
using vak::kernel_choice::Path;

namespace {

bool same_summary(const ChunkSummary& a, const ChunkSummary& b) {
    return a.changes == b.changes && a.any_taste_start == b.any_taste_start &&
           a.any_invalid == b.any_invalid &&
           std::memcmp(a.change_bits, b.change_bits, sizeof a.change_bits) == 0;
}

bool check_classes(const ChunkKernels& kernels, const std::uint32_t* words, std::size_t n,
                   std::size_t available, const char* what) {
    static std::uint8_t path_classes[kChunkSize], portable_classes[kChunkSize];
    ChunkSummary path_summary, portable_summary;
    kernels.classify_chunk(words, n, available, path_classes, path_summary);
    kPortableKernels.classify_chunk(words, n, available, portable_classes, portable_summary);
    for (std::size_t k = 0; k < n; ++k) {
        if (path_classes[k] != portable_classes[k]) {
            std::printf("%s: class of word %zu (0x%x): %u vs %u\n", what, k, words[k],
                        path_classes[k], portable_classes[k]);
            return false;
        }
    }
    if (!same_summary(path_summary, portable_summary)) {
        std::printf("%s: summaries differ (n %zu)\n", what, n);
        return false;
    }
    for (std::size_t from = 0; from <= n; from += 97) {
        if (kernels.next_taste_mark(path_classes, from, n) !=
            kPortableKernels.next_taste_mark(path_classes, from, n)) {
            std::printf("%s: next_taste_mark from %zu differs\n", what, from);
            return false;
        }
    }
    for (std::uint8_t value = 0; value <= kInvalidClass; ++value) {
        if (kernels.count_class(path_classes, n, value) !=
            kPortableKernels.count_class(path_classes, n, value)) {
            std::printf("%s: count_class %u differs\n", what, value);
            return false;
        }
    }
    return true;
}

// Lanes over plain arrays, as the scanner lays them out: room for every chunk
// in every lane, scratch for the text lane's starts and the drop lane.
struct Lanes {
    std::vector<std::uint32_t> words[kLaneCount], starts[kLaneCount];
    LaneCursor cursors[kLaneCount];

    explicit Lanes(std::size_t room) {
        for (unsigned lane = 0; lane < kLaneCount; ++lane) {
            words[lane].assign(room + kAppendSlack, 0);
            starts[lane].assign(room + kAppendSlack, 0);
            cursors[lane] = {words[lane].data(), words[lane].data(), starts[lane].data()};
        }
    }
    std::size_t length(unsigned lane) const { return cursors[lane].words - cursors[lane].base; }
    std::size_t start_count(unsigned lane) const {
        return cursors[lane].starts - starts[lane].data();
    }
};

// Appends a stream chunk by chunk with both kernels; the segment lanes' words
// and starts and the text lane's words must agree.
bool check_append(const ChunkKernels& kernels, const std::vector<std::uint32_t>& words,
                  const std::vector<std::uint8_t>& classes, unsigned prev_lane, std::mt19937& rng,
                  const char* what) {
    Lanes path(words.size()), portable(words.size());
    unsigned path_prev = prev_lane, portable_prev = prev_lane;
    for (std::size_t at = 0; at < words.size();) {
        const std::size_t n = std::min<std::size_t>(words.size() - at, 1 + rng() % kChunkSize);
        path_prev = kernels.append_mixed(words.data() + at, classes.data() + at, n, path.cursors,
                                         path_prev);
        portable_prev = kPortableKernels.append_mixed(words.data() + at, classes.data() + at, n,
                                                      portable.cursors, portable_prev);
        if (path_prev != portable_prev) {
            std::printf("%s: last lane %u vs %u after %zu entries\n", what, path_prev,
                        portable_prev, at + n);
            return false;
        }
        at += n;
    }
    for (unsigned lane = 0; lane <= kTextLane; ++lane) {
        if (path.length(lane) != portable.length(lane) ||
            std::memcmp(path.words[lane].data(), portable.words[lane].data(),
                        path.length(lane) * 4) != 0) {
            std::printf("%s: words of lane %u differ (%zu vs %zu)\n", what, lane, path.length(lane),
                        portable.length(lane));
            return false;
        }
        if (lane == kTextLane) break;
        if (path.start_count(lane) != portable.start_count(lane) ||
            std::memcmp(path.starts[lane].data(), portable.starts[lane].data(),
                        path.start_count(lane) * 4) != 0) {
            std::printf("%s: span starts of lane %u differ (%zu vs %zu)\n", what, lane,
                        path.start_count(lane), portable.start_count(lane));
            return false;
        }
    }
    return true;
}

bool check_path(Path path) {
    const ChunkKernels& kernels = kernels_for(path);
    const char* name = vak::kernel_choice::path_name(path);
    static std::uint32_t words[kChunkSize + 1];
    // Every valid word and the first invalid ones, each followed by a taste-sequence
    // second word half of the time.
    for (std::uint32_t base = 0; base < 0x110000; base += kChunkSize) {
        for (std::size_t k = 0; k <= kChunkSize; ++k) {
            const std::uint32_t w = base + static_cast<std::uint32_t>(k);
            words[k] = (k % 2 == 1 && (w & 2)) ? 0x90400 | (w & 0x3FF) : w;
        }
        if (!check_classes(kernels, words, kChunkSize, kChunkSize + 1, name)) return false;
    }
    std::mt19937 rng(42);
    const std::uint32_t interesting[] = {0x80400,    0x90400, 0xA0400, 0xB0400, 0x100000,
                                         0xFFFFFFFF, 0x84000, 0x41,    0xC0100, 0x81000};
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = 1 + rng() % kChunkSize;
        const std::size_t available = n + rng() % 2;
        const bool runs = round % 2 == 0;
        std::uint32_t current = 0;
        for (std::size_t k = 0; k < available; ++k) {
            if (!runs || rng() % 16 == 0) {
                current = rng() % 3 == 0 ? interesting[rng() % 10] : rng() % 0x120000;
            }
            words[k] = current;
        }
        if (!check_classes(kernels, words, n, available, name)) return false;
    }
    // Appends: classes of every lane, in runs of every length, and every lane
    // before the first entry.
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 1 + rng() % (3 * kChunkSize);
        const unsigned mean_run = 1u << (rng() % 7);
        std::vector<std::uint32_t> stream(n);
        std::vector<std::uint8_t> classes(n);
        std::uint8_t cls = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (rng() % mean_run == 0) cls = static_cast<std::uint8_t>(rng() % (kInvalidClass + 1));
            classes[k] = cls;
            stream[k] = static_cast<std::uint32_t>(rng());
        }
        if (!check_append(kernels, stream, classes, rng() % kLaneCount, rng, name)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "check") != 0) return 2;
    std::vector<Path> paths;
    for (int a = 2; a < argc; ++a) {
        const auto path = vak::kernel_choice::path_named(argv[a]);
        if (!path) return 2;
        paths.push_back(*path);
    }
    if (paths.empty()) {
        for (Path path : vak::kernel_choice::kAllPaths) {
            if (path != Path::kPortable && vak::kernel_choice::path_supported(path)) {
                paths.push_back(path);
            }
        }
    }
    for (Path path : paths) {
        if (!check_path(path)) return 1;
    }
    std::puts("ok");
    return 0;
}
