// Checks that the image cores look for an interrupt all through long work and
// unwind when asked to stop. A checker counts the polls of each run and, in a
// second run, stops the work at its second poll. Prints one line per case:
// "<case> <polls> <stopped>" (stopped: 1 when the second run was interrupted).
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/interrupt.hpp"
#include "image/decoded_picture.hpp"
#include "image/quadtree_encoder.hpp"

namespace {

class CountingChecker final : public vak::interrupt::Checker {
public:
    explicit CountingChecker(long stop_at) : stop_at_(stop_at) {}
    void poll() override {
        if (++polls == stop_at_) throw vak::interrupt::Interrupted{};
    }
    long polls = 0;

private:
    long stop_at_;
};

template <class Work>
void report(const char* name, Work&& work) {
    long polls = 0;
    {
        CountingChecker counter(-1);
        vak::interrupt::Scope scope(&counter);
        work();
        polls = counter.polls;
    }
    bool stopped = false;
    {
        CountingChecker stopper(2);
        vak::interrupt::Scope scope(&stopper);
        try {
            work();
        } catch (const vak::interrupt::Interrupted&) {
            stopped = true;
        }
    }
    std::printf("%s %ld %d\n", name, polls, stopped ? 1 : 0);
}

std::vector<std::uint32_t> metadata(std::uint32_t side) {
    const std::uint32_t fields[8] = {side >> 6, side & 63, side >> 6, side & 63,
                                     side >> 6, side & 63, 1,         0};
    std::vector<std::uint32_t> words{0x805C0};
    for (std::uint32_t i = 0; i < 8; ++i) words.push_back(0x80600 + (i << 6) + fields[i]);
    words.push_back(0x805C1);
    return words;
}

const std::uint32_t kWhite[] = {0x80541, 0x80601, 0x80641, 0x80681};

void decode(const std::vector<std::uint32_t>& words) {
    const vak::image::DecodeResult result = vak::image::decode_quadtree(words.data(), words.size());
    if (result.error != nullptr) std::printf("unexpected error: %s\n", result.error);
}

}  // namespace

int main() {
    // 2^22 pixels of noise at threshold 0: about 24 million output words.
    const std::uint32_t side = 2048;
    vak::ByteVec noise(std::size_t{side} * side * 3);
    std::uint32_t state = 1;
    for (auto& byte : noise) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    report("encode_detailed", [&] { vak::image::encode_quadtree(noise, side, side, 6, 0.0); });
    // A uniform picture: one leaf, so only the block totals take time.
    const vak::ByteVec black(std::size_t{side} * side * 3);
    report("encode_uniform", [&] { vak::image::encode_quadtree(black, side, side, 6, 0.0); });

    // Four million words that are not image words, then a one-leaf picture.
    std::vector<std::uint32_t> before(std::size_t{1} << 22, 0x00041);
    for (std::uint32_t w : metadata(64)) before.push_back(w);
    before.insert(before.end(), std::begin(kWhite), std::end(kWhite));
    before.push_back(0x80501);
    report("decode_before_metadata", [&] { decode(before); });

    // Four million moves down and up again.
    std::vector<std::uint32_t> moves = metadata(64);
    for (int i = 0; i < 1 << 21; ++i) {
        moves.push_back(0x80441);
        moves.push_back(0x80581);
    }
    moves.insert(moves.end(), std::begin(kWhite), std::end(kWhite));
    moves.push_back(0x80501);
    report("decode_moves", [&] { decode(moves); });

    // One paint of a 4095 x 4095 picture, and three (the third rendered at the end).
    std::vector<std::uint32_t> paint = metadata(4095);
    paint.insert(paint.end(), std::begin(kWhite), std::end(kWhite));
    paint.push_back(0x80501);
    report("decode_one_large_paint", [&] { decode(paint); });
    paint.push_back(0x80501);
    paint.push_back(0x80501);
    report("decode_repeated_large_paints", [&] { decode(paint); });
    return 0;
}
