// Copies of large blocks that bypass the caches on the way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/kernel_choice.hpp"

#ifdef VAK_X86_64
#include <emmintrin.h>
#endif

namespace vak {

// Below this the copy stays in the caches, where the caller reads it next.
inline constexpr std::size_t kStreamCopyFrom = std::size_t{1} << 20;

// memcpy for blocks that will not be read again before much other memory has
// been (a batch's streams, an input larger than the caches): non-temporal stores
// write the destination without reading it into the caches first, about a third
// less memory traffic than memcpy's ordinary stores below its own threshold.
inline void stream_copy(void* dst, const void* src, std::size_t bytes) noexcept {
#ifdef VAK_X86_64
    if (bytes >= kStreamCopyFrom) {
        auto* out = static_cast<char*>(dst);
        const auto* in = static_cast<const char*>(src);
        // Up to the first 16-byte boundary of the destination: the streaming stores need it.
        const std::size_t head = (16 - (reinterpret_cast<std::uintptr_t>(out) & 15)) & 15;
        std::memcpy(out, in, head);
        std::size_t k = head;
        for (; k + 64 <= bytes; k += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + k), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + k + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + k + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + k + 48), d);
        }
        std::memcpy(out + k, in + k, bytes - k);
        _mm_sfence();  // the stores are weakly ordered: complete them before anyone reads
        return;
    }
#endif
    if (bytes != 0) std::memcpy(dst, src, bytes);
}

}  // namespace vak
