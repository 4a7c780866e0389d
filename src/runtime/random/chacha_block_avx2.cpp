// AVX2 form of the four-block ChaCha8 refill. Each 256-bit register holds
// the same row (four words) of two blocks: the low 128-bit lane one block,
// the high lane the next. Two such register sets cover the four blocks and
// are interleaved in the round loop for instruction-level parallelism.
//
// This file is compiled with -mavx2; it uses nothing but intrinsics so that
// no shared inline code is instantiated here with AVX2 instructions.
#include <immintrin.h>

#include "runtime/random/chacha_block.hpp"

namespace corvalinth::runtime::chacha {
namespace {

#define CORVALINTH_AVX2_INLINE static inline __attribute__((always_inline))

CORVALINTH_AVX2_INLINE __m256i rotl16(__m256i x) {
    const __m256i m = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 5, 10,
                                       11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(x, m);
}

CORVALINTH_AVX2_INLINE __m256i rotl8(__m256i x) {
    const __m256i m = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0, 1, 2, 7, 4, 5, 6, 11,
                                       8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(x, m);
}

template <int N>
CORVALINTH_AVX2_INLINE __m256i rotl(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, N), _mm256_srli_epi32(x, 32 - N));
}

// One quarter-round on the four columns of both register sets.
CORVALINTH_AVX2_INLINE void quarter_rounds(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0, __m256i& a1, __m256i& b1,
                                           __m256i& c1, __m256i& d1) {
    a0 = _mm256_add_epi32(a0, b0);
    a1 = _mm256_add_epi32(a1, b1);
    d0 = rotl16(_mm256_xor_si256(d0, a0));
    d1 = rotl16(_mm256_xor_si256(d1, a1));
    c0 = _mm256_add_epi32(c0, d0);
    c1 = _mm256_add_epi32(c1, d1);
    b0 = rotl<12>(_mm256_xor_si256(b0, c0));
    b1 = rotl<12>(_mm256_xor_si256(b1, c1));
    a0 = _mm256_add_epi32(a0, b0);
    a1 = _mm256_add_epi32(a1, b1);
    d0 = rotl8(_mm256_xor_si256(d0, a0));
    d1 = rotl8(_mm256_xor_si256(d1, a1));
    c0 = _mm256_add_epi32(c0, d0);
    c1 = _mm256_add_epi32(c1, d1);
    b0 = rotl<7>(_mm256_xor_si256(b0, c0));
    b1 = rotl<7>(_mm256_xor_si256(b1, c1));
}

// Moves the diagonals into columns: row 1 left by one word, row 2 by two,
// row 3 by three.
CORVALINTH_AVX2_INLINE void to_diagonals(__m256i& b, __m256i& c, __m256i& d) {
    b = _mm256_shuffle_epi32(b, 0x39);
    c = _mm256_shuffle_epi32(c, 0x4E);
    d = _mm256_shuffle_epi32(d, 0x93);
}

CORVALINTH_AVX2_INLINE void from_diagonals(__m256i& b, __m256i& c, __m256i& d) {
    b = _mm256_shuffle_epi32(b, 0x93);
    c = _mm256_shuffle_epi32(c, 0x4E);
    d = _mm256_shuffle_epi32(d, 0x39);
}

// Writes the two blocks held by one register set: block `first` from the low
// lanes, the next block from the high lanes.
CORVALINTH_AVX2_INLINE void store_pair(std::uint32_t* out, __m256i a, __m256i b, __m256i c, __m256i d) {
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(dst + 0, _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(c, d, 0x20));
    _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(a, b, 0x31));
    _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(c, d, 0x31));
}

#undef CORVALINTH_AVX2_INLINE

}  // namespace

void refill_avx2(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
    const __m256i row0 = _mm256_setr_epi32(0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, 0x61707865, 0x3320646E,
                                           0x79622D32, 0x6B206574);
    const __m256i row1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
    const __m256i row2 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
    // 64-bit elements: (counter, stream) per lane; the additions wrap modulo
    // 2^64, carrying from word 12 into word 13.
    const long long s = static_cast<long long>(stream);
    const __m256i row3_0 =
        _mm256_set_epi64x(s, static_cast<long long>(counter + 1), s, static_cast<long long>(counter));
    const __m256i row3_1 =
        _mm256_set_epi64x(s, static_cast<long long>(counter + 3), s, static_cast<long long>(counter + 2));

    __m256i a0 = row0, b0 = row1, c0 = row2, d0 = row3_0;
    __m256i a1 = row0, b1 = row1, c1 = row2, d1 = row3_1;
    for (int round = 0; round < kDoubleRounds; ++round) {
        quarter_rounds(a0, b0, c0, d0, a1, b1, c1, d1);
        to_diagonals(b0, c0, d0);
        to_diagonals(b1, c1, d1);
        quarter_rounds(a0, b0, c0, d0, a1, b1, c1, d1);
        from_diagonals(b0, c0, d0);
        from_diagonals(b1, c1, d1);
    }
    store_pair(out, _mm256_add_epi32(a0, row0), _mm256_add_epi32(b0, row1), _mm256_add_epi32(c0, row2),
               _mm256_add_epi32(d0, row3_0));
    store_pair(out + 2 * kBlockWords, _mm256_add_epi32(a1, row0), _mm256_add_epi32(b1, row1),
               _mm256_add_epi32(c1, row2), _mm256_add_epi32(d1, row3_1));
}

}  // namespace corvalinth::runtime::chacha
