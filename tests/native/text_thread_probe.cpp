// Drives the text encoder's own thread where the module cannot be steered: the
// thread runs out of memory, the system gives no thread, the owner stops it.
// Prints one line for the case named by the argument:
//   out-of-memory: "<started 0|1> <state>" once the thread has ended
//   no-thread:     "<started 0|1> <equal 0|1>" (the output of encode_here
//                  against encode_text_units)
//   stop:          "<ms to stop and join> <encoder threads before, while it ran, after>"
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
#include "text/encoding_thread.hpp"

namespace {

using vak::text::EncodingThread;

const char* state_name(EncodingThread::State state) {
    switch (state) {
        case EncodingThread::State::kEncoding: return "encoding";
        case EncodingThread::State::kDone: return "done";
        case EncodingThread::State::kOutOfMemory: return "out-of-memory";
        case EncodingThread::State::kStopped: return "stopped";
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

EncodingThread::Progress wait_until_ended(EncodingThread& encoder) {
    for (;;) {
        const EncodingThread::Progress progress = encoder.progress();
        if (progress.state != EncodingThread::State::kEncoding) return progress;
        encoder.wait_beyond(progress.units);
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
        EncodingThread encoder(bytes_of(text), text.size(), 1 << 16);
        encoder.prepare();
        set_default_stack(256 << 10);
        limit_address_space(6 << 20);
        const bool started = encoder.start();
        const char* state = started ? state_name(wait_until_ended(encoder).state) : "-";
        std::printf("%d %s\n", started ? 1 : 0, state);
    } else if (mode == "no-thread") {
        const std::string text = repeated(
            "Gr\xC3\xBC\xC3\x9F"
            "e, \xE4\xB8\xAD\xED\x95\x9C!\n",
            1 << 20);
        const vak::text::EncodedText whole =
            vak::text::encode_text_units(bytes_of(text), text.size());
        EncodingThread encoder(bytes_of(text), text.size(), 1 << 10);
        encoder.prepare();
        set_default_stack(std::size_t{256} << 20);  // more than the address space has left
        limit_address_space(16 << 20);
        const bool started = encoder.start();
        if (!started) encoder.encode_here();
        const EncodingThread::Progress progress = wait_until_ended(encoder);
        const bool equal =
            progress.units == whole.size() &&
            std::memcmp(encoder.output().bytes(), whole.bytes(), 2 * whole.size()) == 0;
        std::printf("%d %d\n", started ? 1 : 0, equal ? 1 : 0);
    } else if (mode == "stop") {
        // Slow to encode (marks out of order): the thread is far from done when
        // its owner goes.
        const std::string text = repeated("a\xCC\x96\xCC\x81\xCC\x96\xCC\x81 ", 16 << 20);
        const int before = encoder_threads();
        std::optional<EncodingThread> encoder;
        encoder.emplace(bytes_of(text), text.size(), 1 << 16);
        encoder->prepare();
        if (!encoder->start()) return 2;
        encoder->wait_beyond(0);  // under way
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
    } else {
        return 2;
    }
    return 0;
}
