// The process-wide objects under threads. Built with ThreadSanitizer by
// tools/run_thread_sanitizer.sh and as a plain program by
// tests/test_native_threads.py.
//   registry_threads_probe registry    writers replace the normal-word registry
//                                      from its creation on while readers count it
//   registry_threads_probe once        threads race the first get() of a
//                                      ProcessWide, another thread peeks meanwhile
//   registry_threads_probe once-retry  the same with a first making that throws:
//                                      one caller gets the exception, the others the
//                                      object made by the retry (not under the
//                                      sanitizer, whose once-call cannot unwind)
// Prints what it saw; a failed check exits with status 1.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "common/process_wide.hpp"
#include "registry/normal_word_registry.hpp"
#include "registry/word_sort.hpp"
#include "thread_probe_support.hpp"

namespace {

// ------------------------------------------------------------------ registry

// Distinct-value counts, one per writer. The large set's copies and growth
// free blocks worth a purge.
constexpr std::size_t kWriterSizes[] = {1, 37, 2000, 300000};
constexpr unsigned kWriters = std::size(kWriterSizes);
constexpr unsigned kReaders = 2;
constexpr unsigned kRounds = 6;

bool is_writer_size(std::uint64_t count) {
    return std::find(std::begin(kWriterSizes), std::end(kWriterSizes), count) !=
           std::end(kWriterSizes);
}

// `distinct` values, each twice, in a scrambled order; some above the word range.
vak::WordVec words_of(unsigned writer, std::size_t distinct) {
    vak::WordVec words;
    words.reserve(distinct * 2);
    for (std::size_t k = 0; k < distinct; ++k) {
        const auto value = static_cast<std::uint32_t>(k * 2654435761u + writer);
        words.push_back(value);
        words.push_back(value);
    }
    probe::Random random(writer + 1);
    for (std::size_t k = words.size(); k > 1; --k)
        std::swap(words[k - 1], words[random.below(static_cast<std::uint32_t>(k))]);
    return words;
}

void run_registry() {
    std::atomic<unsigned> writers_done{0};
    std::atomic<unsigned> zero_reads{0};
    probe::run_together(kWriters + kReaders, [&](unsigned t) {
        if (t >= kWriters) {
            // A reader: 0 only until the first replacement ends, never after one
            // was seen; otherwise some writer's size.
            bool seen = false;
            while (writers_done.load() < kWriters) {
                const std::uint64_t count = vak::registry::normal_word_count();
                if (count == 0) {
                    PROBE_CHECK(!seen);
                    zero_reads.fetch_add(1);
                } else {
                    PROBE_CHECK(is_writer_size(count));
                    seen = true;
                }
                std::this_thread::yield();
            }
            return;
        }
        const vak::WordVec words = words_of(t, kWriterSizes[t]);
        for (unsigned round = 0; round < kRounds; ++round) {
            vak::WordVec sorted = words;
            vak::registry::sort_distinct(sorted);
            PROBE_CHECK(vak::registry::replace_normal_words(sorted) == kWriterSizes[t]);
            PROBE_CHECK(is_writer_size(vak::registry::normal_word_count()));
        }
        writers_done.fetch_add(1);
    });
    PROBE_CHECK(is_writer_size(vak::registry::normal_word_count()));
    std::printf("registry: ok (%u writers, %u readers, %u reads before creation)\n", kWriters,
                kReaders, zero_reads.load());
}

// ---------------------------------------------------------------------- once

struct Made {
    explicit Made(unsigned v) : value(v), copy(v) {}
    unsigned value;
    unsigned copy;
};

constexpr unsigned kCallers = 8;

// Threads race get() (whose making takes a while); a peeker sees nothing or the
// finished object. With `fail_first` the first making throws.
void race_once(bool fail_first) {
    static vak::ProcessWide<Made> object;
    std::atomic<unsigned> makings{0};
    std::atomic<unsigned> threw{0};
    std::atomic<bool> done{false};
    std::vector<const Made*> got(kCallers, nullptr);
    auto make = [&] {
        const unsigned making = makings.fetch_add(1);
        probe::sleep_ms(2);  // let the other callers pile up behind the once-flag
        if (fail_first && making == 0) throw std::bad_alloc();
        return vak::make_forever<Made>(1234u);
    };
    std::thread peeker([&] {
        while (!done.load()) {
            if (const Made* seen = object.peek()) {
                PROBE_CHECK(seen->value == 1234 && seen->copy == 1234);
            }
            std::this_thread::yield();
        }
    });
    probe::run_together(kCallers, [&](unsigned t) {
        try {
            got[t] = &object.get(make);
        } catch (const std::bad_alloc&) {
            threw.fetch_add(1);
            got[t] = &object.get(make);  // a later call makes it after all
        }
    });
    done.store(true);
    peeker.join();
    PROBE_CHECK(makings.load() == (fail_first ? 2u : 1u));
    PROBE_CHECK(threw.load() == (fail_first ? 1u : 0u));
    for (const Made* seen : got) PROBE_CHECK(seen == object.peek() && seen->value == 1234);
    std::printf("once: ok (%u makings, %u callers got the exception)\n", makings.load(),
                threw.load());
}

}  // namespace

int main(int argc, char** argv) {
    probe::limit_run_time(120);
    const char* mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "registry") == 0) {
        run_registry();
    } else if (std::strcmp(mode, "once") == 0) {
        race_once(false);
    } else if (std::strcmp(mode, "once-retry") == 0) {
        race_once(true);
    } else {
        std::fprintf(stderr, "usage: registry_threads_probe registry|once|once-retry\n");
        return 2;
    }
    return 0;
}
