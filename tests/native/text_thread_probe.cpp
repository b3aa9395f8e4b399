// Drives the piecewise text encoder where the module cannot be steered: its own
// thread runs out of memory, the system gives no thread, the owner stops it.
// Prints one line for the case named by the argument:
//   out-of-memory: "<started 0|1> <state>" once the own thread is done
//   no-thread:     "<started 0|1> <equal 0|1>" (the pieces, all encoded by the
//                  caller, against encode_text_units of the whole)
//   stop:          "<ms to stop and join> <encoder threads before, while it ran, after>"
//   shared:        "<runs> <runs equal to one piece> <pieces the caller encoded>": the
//                  caller and the own thread claiming pieces side by side, over and
//                  over (tools/run_thread_sanitizer.sh-style builds look for races)
#include <pthread.h>
#include <sys/resource.h>

#include <dirent.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "common/interrupt.hpp"
#include "text/encoder.hpp"
#include "text/piecewise_encoder.hpp"

namespace {

using vak::text::PiecewiseEncoder;

const char* state_name(PiecewiseEncoder::State state) {
    switch (state) {
        case PiecewiseEncoder::State::kEncoding: return "encoding";
        case PiecewiseEncoder::State::kDone: return "done";
        case PiecewiseEncoder::State::kOutOfMemory: return "out-of-memory";
    }
    return "?";
}

long vm_size_bytes() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmSize:", 7) == 0) kib = std::strtol(line + 7, nullptr, 10);
    }
    if (status != nullptr) std::fclose(status);
    return kib * 1024;
}

// Threads of this process with the encoder thread's name.
int encoder_threads() {
    DIR* tasks = opendir("/proc/self/task");
    int count = 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
        std::FILE* comm = std::fopen(path.c_str(), "r");
        char name[32] = {};
        if (comm == nullptr) continue;  // ended meanwhile
        if (std::fgets(name, sizeof name, comm) != nullptr) {
            count += std::strcmp(name, "vak-encode-text\n") == 0;
        }
        std::fclose(comm);
    }
    closedir(tasks);
    return count;
}

void limit_address_space(long headroom) {
    const rlimit limit{static_cast<rlim_t>(vm_size_bytes() + headroom), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::abort();
}

void set_default_stack(std::size_t bytes) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, bytes);
    if (pthread_setattr_default_np(&attr) != 0) std::abort();
    pthread_attr_destroy(&attr);
}

// Repeats `unit` until the text has `bytes` bytes or more.
std::string repeated(const char* unit, std::size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += unit;
    return text;
}

const std::uint8_t* bytes_of(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Takes the pieces in order, encoding them here only when `help` (otherwise
// waiting for the own thread); their units, joined. Ends early when the own
// thread ran out of memory.
std::string take_all(PiecewiseEncoder& encoder, bool help) {
    std::string units;
    for (;;) {
        PiecewiseEncoder::Piece piece{};
        if (encoder.take_next(piece)) {
            units.append(reinterpret_cast<const char*>(piece.units), 2 * piece.count);
        } else if (encoder.state() == PiecewiseEncoder::State::kOutOfMemory ||
                   encoder.all_taken()) {
            return units;
        } else if (!help || !encoder.encode_one()) {
            encoder.wait_for_next();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "out-of-memory") {
        // One run of two million non-starters out of order (U+0316 is class 220,
        // U+0301 230): ordering it holds 16 MB of pending marks on the thread,
        // far more than the 6 MB the address space has left once it started.
        const std::string text = "a" + repeated("\xCC\x81\xCC\x96", 8'000'000) + " b";
        PiecewiseEncoder encoder(bytes_of(text), text.size(), 1 << 16);
        encoder.prepare();
        set_default_stack(256 << 10);
        limit_address_space(6 << 20);
        const bool started = encoder.start_thread();
        if (started) take_all(encoder, false);
        std::printf("%d %s\n", started ? 1 : 0, state_name(encoder.state()));
    } else if (mode == "no-thread") {
        const std::string text = repeated(
            "Gr\xC3\xBC\xC3\x9F"
            "e, \xE4\xB8\xAD\xED\x95\x9C!\n",
            1 << 20);
        const vak::text::EncodedText whole =
            vak::text::encode_text_units(bytes_of(text), text.size());
        PiecewiseEncoder encoder(bytes_of(text), text.size(), 1 << 10);
        encoder.prepare();
        set_default_stack(std::size_t{256} << 20);  // more than the address space has left
        limit_address_space(16 << 20);
        const bool started = encoder.start_thread();
        const std::string units = take_all(encoder, true);
        const bool equal = units.size() == 2 * whole.size() &&
                           std::memcmp(units.data(), whole.bytes(), units.size()) == 0;
        std::printf("%d %d\n", started ? 1 : 0, equal ? 1 : 0);
    } else if (mode == "stop") {
        // Slow to encode (marks out of order): the thread is far from done when
        // its owner goes.
        const std::string text = repeated("a\xCC\x96\xCC\x81\xCC\x96\xCC\x81 ", 16 << 20);
        const int before = encoder_threads();
        std::optional<PiecewiseEncoder> encoder;
        encoder.emplace(bytes_of(text), text.size(), 1 << 16);
        encoder->prepare();
        if (!encoder->start_thread()) return 2;
        encoder->wait_for_next();  // under way
        const int during = encoder_threads();
        const auto start = std::chrono::steady_clock::now();
        encoder.reset();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        // A joined thread's entry under /proc may outlast the join by a moment.
        int after = encoder_threads();
        for (int k = 0; k < 1000 && after != 0; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            after = encoder_threads();
        }
        std::printf("%.3f %d %d %d\n", ms, before, during, after);
    } else if (mode == "shared") {
        // Pieces of a few bytes; marks out of order (kept by the encoder in
        // memory of its own), Hangul and ideographs between the cut points.
        const std::string text = repeated(
            "ab \xCC\x81\xCC\x96\xCC\x81 \xED\x95\x9C\xE4\xB8\xAD.\x01 "
            "\xC3\xA9\xCC\x96x ",
            1 << 16);
        const vak::text::EncodedText whole =
            vak::text::encode_text_units(bytes_of(text), text.size());
        const std::string expected(reinterpret_cast<const char*>(whole.bytes()), 2 * whole.size());
        int equal = 0;
        long by_caller = 0;
        constexpr int kRuns = 40;
        for (int run = 0; run < kRuns; ++run) {
            PiecewiseEncoder encoder(bytes_of(text), text.size(), 1 + run % 7);
            encoder.prepare();
            if (!encoder.start_thread()) return 2;
            std::string units;
            for (;;) {
                PiecewiseEncoder::Piece piece{};
                if (encoder.take_next(piece)) {
                    units.append(reinterpret_cast<const char*>(piece.units), 2 * piece.count);
                } else if (encoder.all_taken()) {
                    break;
                } else if (encoder.encode_one()) {
                    ++by_caller;
                } else {
                    encoder.wait_for_next();
                }
            }
            equal += units == expected;
        }
        std::printf("%d %d %ld\n", kRuns, equal, by_caller);
    } else {
        return 2;
    }
    return 0;
}
