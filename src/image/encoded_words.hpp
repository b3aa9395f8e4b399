// The encoder's output stream, kept compact while it grows.
//
// Every word the encoder writes is kImageWordPattern plus a 10-bit code, so the
// stream stores the codes as 16-bit values: half the memory of the words. It
// grows in fixed chunks, so it never moves or doubles (a doubling vector holds
// old and new storage at once, up to three times the stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "common/heap.hpp"
#include "common/heap_allocator.hpp"
#include "common/heap_purger.hpp"
#include "common/interrupt.hpp"
#include "image/image_format.hpp"

namespace vak::image {

class EncodedWords {
public:
    static constexpr std::size_t kChunkCodes = std::size_t{1} << 16;

    EncodedWords() = default;
    EncodedWords(EncodedWords&& other) noexcept
        : chunks_(std::move(other.chunks_)),
          cursor_(std::exchange(other.cursor_, nullptr)),
          chunk_end_(std::exchange(other.chunk_end_, nullptr)) {
        other.chunks_.clear();
    }
    EncodedWords& operator=(EncodedWords&& other) noexcept {
        if (this != &other) {
            chunks_ = std::move(other.chunks_);
            other.chunks_.clear();
            cursor_ = std::exchange(other.cursor_, nullptr);
            chunk_end_ = std::exchange(other.chunk_end_, nullptr);
        }
        return *this;
    }

    // `word` must be one the encoder writes: kImageWordPattern | code.
    void push(std::uint32_t word) {
        if (cursor_ == chunk_end_) next_chunk();
        *cursor_++ = static_cast<std::uint16_t>(word & kCodeMask);
    }

    std::size_t size() const noexcept {
        return chunks_.empty() ? 0 : (chunks_.size() - 1) * kChunkCodes + filled_in_last();
    }

    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    // The codes of chunk i and their number; the word of a code is kImageWordPattern | code.
    const std::uint16_t* chunk(std::size_t i) const noexcept { return chunks_[i].get(); }
    std::size_t chunk_size(std::size_t i) const noexcept {
        return i + 1 < chunks_.size() ? kChunkCodes : filled_in_last();
    }

    std::uint32_t operator[](std::size_t i) const noexcept {
        return kImageWordPattern | chunks_[i / kChunkCodes][i % kChunkCodes];
    }

    // The words as one vector (for checks that want them so).
    WordVec to_words() const {
        WordVec words;
        words.reserve(size());
        for (std::size_t i = 0; i < chunks_.size(); ++i) {
            for (std::size_t j = 0; j < chunk_size(i); ++j)
                words.push_back(kImageWordPattern | chunk(i)[j]);
        }
        return words;
    }

private:
    struct HeapRelease {
        void operator()(std::uint16_t* p) const noexcept {
            heap::note_freed(kChunkCodes * sizeof(std::uint16_t));
            heap::release(p);
        }
    };
    using Chunk = std::unique_ptr<std::uint16_t[], HeapRelease>;

    std::size_t filled_in_last() const noexcept {
        return static_cast<std::size_t>(cursor_ - chunks_.back().get());
    }

    // A chunk holds 64 Ki words: a natural point to look for an interrupt.
    void next_chunk() {
        interrupt::poll();
        chunks_.reserve(chunks_.size() + 1);  // so that emplace_back below cannot throw
        void* memory = heap::allocate(kChunkCodes * sizeof(std::uint16_t));
        if (memory == nullptr) throw std::bad_alloc();
        chunks_.emplace_back(static_cast<std::uint16_t*>(memory));
        cursor_ = chunks_.back().get();
        chunk_end_ = cursor_ + kChunkCodes;
    }

    Vec<Chunk> chunks_;
    std::uint16_t* cursor_ = nullptr;
    std::uint16_t* chunk_end_ = nullptr;
};

}  // namespace vak::image
