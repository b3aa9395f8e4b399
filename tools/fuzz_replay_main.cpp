// A stand-in for libFuzzer's driver where libFuzzer is not available (a
// cross-built harness run under an emulator): feeds every file named on the
// command line to LLVMFuzzerTestOneInput, then `rounds` mutations of each
// (bit flips, truncations, duplicated and inserted bytes) from a fixed seed.
//   replay [-rounds=N] FILE...
// The harness aborts on a fault; reaching the end prints "replayed N inputs".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool read_file(const char* path, std::vector<std::uint8_t>& out) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::uint8_t buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        out.insert(out.end(), buffer, buffer + got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

void mutate(std::vector<std::uint8_t>& input, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        const std::size_t size = input.size();
        switch (rng() % 5) {
            case 0:  // flip one bit
                if (size > 0) input[rng() % size] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                break;
            case 1:  // cut the tail
                if (size > 0) input.resize(rng() % size);
                break;
            case 2:  // insert a random byte
                input.insert(
                    input.begin() + static_cast<std::ptrdiff_t>(size == 0 ? 0 : rng() % size),
                    static_cast<std::uint8_t>(rng()));
                break;
            case 3:  // repeat a slice
                if (size > 0) {
                    const std::size_t from = rng() % size;
                    const std::size_t length = 1 + rng() % (size - from);
                    std::vector<std::uint8_t> slice(
                        input.begin() + static_cast<std::ptrdiff_t>(from),
                        input.begin() + static_cast<std::ptrdiff_t>(from + length));
                    input.insert(input.end(), slice.begin(), slice.end());
                }
                break;
            default:  // overwrite a byte with an extreme value
                if (size > 0) input[rng() % size] = (rng() % 2) ? 0xFF : 0x00;
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    long rounds = 0;
    std::vector<std::vector<std::uint8_t>> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-rounds=", 8) == 0) {
            rounds = std::strtol(argv[i] + 8, nullptr, 10);
            continue;
        }
        std::vector<std::uint8_t> data;
        if (!read_file(argv[i], data)) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
        inputs.push_back(std::move(data));
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    std::size_t count = 0;
    for (const auto& input : inputs) {
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++count;
    }
    std::mt19937 rng(20261208);
    for (long r = 0; r < rounds; ++r) {
        for (const auto& input : inputs) {
            std::vector<std::uint8_t> mutated = input;
            mutate(mutated, rng);
            LLVMFuzzerTestOneInput(mutated.data(), mutated.size());
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
