// The mask layer: 64 bytes of text in, 64-bit masks out (bit i for byte i).
// This header is compiled once per instruction set, each time inside that
// set's own namespace: the including file defines SIMD_LEVEL (0 scalar,
// 1 SSE2, 2 AVX2, 3 AVX-512BW, with or without VBMI2) and SIMD_NAMESPACE,
// and is built with the matching -m flags. Nothing here may have external
// linkage outside that namespace, so that code built for one set never
// serves a caller of another.
#pragma once

#include <cstddef>
#include <cstdint>

#if SIMD_LEVEL >= 1
#include <immintrin.h>
#endif
#if SIMD_LEVEL == 3 && !defined(__AVX512BW__)
#error "the AVX-512 kernels need -mavx512bw"
#endif
#if SIMD_LEVEL == 2 && !defined(__AVX2__)
#error "the AVX2 kernels need -mavx2"
#endif

namespace simd::SIMD_NAMESPACE {

#if SIMD_LEVEL == 3
struct Block {
    __m512i v;
    explicit Block(const char* p) : v(_mm512_loadu_si512(p)) {}
};
inline uint64_t eqMask(const Block& b, char c) {
    return _mm512_cmpeq_epi8_mask(b.v, _mm512_set1_epi8(c));
}
inline uint64_t digitMask(const Block& b) {
    return _mm512_cmplt_epu8_mask(_mm512_sub_epi8(b.v, _mm512_set1_epi8('0')),
                                  _mm512_set1_epi8(10));
}
// Sums of digit values (byte - '0') over masked bytes, kept in four
// accumulators, one per weight.
struct DigitSums {
    __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                      _mm512_setzero_si512()};
    void add(const Block& b, const uint64_t masks[4]) {
        const __m512i d = _mm512_sub_epi8(b.v, _mm512_set1_epi8('0'));
        for (int j = 0; j < 4; ++j)
            acc[j] = _mm512_add_epi64(acc[j], _mm512_sad_epu8(_mm512_maskz_mov_epi8(masks[j], d),
                                                              _mm512_setzero_si512()));
    }
    uint64_t sum(int j) const {
        uint64_t lanes[8];
        _mm512_storeu_si512(lanes, acc[j]);
        uint64_t total = 0;
        for (uint64_t lane : lanes) total += lane;
        return total;
    }
};
// The values of the fields of one to four digits whose digits masks[j]
// gives (masks[j]: the digits j places before a field's last one), in
// order, stored at `to` (which has room for 32 values more); false when this
// set has no quick way to.
#if defined(__AVX512VBMI2__)
// In bytes, each field's last place takes its ones and tens, and the same
// place of a second vector its hundreds and thousands (each digit moved up
// j places by one byte permute, zero where its field has no such digit);
// both are then compressed to one byte per field, in order, and joined in
// 16-bit lanes. No branch on the fields' lengths.
inline bool storeShortValues(const Block& b, const uint64_t masks[4], int32_t* to) {
    const __m512i d = _mm512_sub_epi8(b.v, _mm512_set1_epi8('0'));
    const __m512i place = _mm512_set_epi8(
        63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
        40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
        17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    // The digit j places before each place, where masks[j] has one there.
    const auto before = [&](int j) {
        return _mm512_maskz_permutexvar_epi8(
            masks[j] << j, _mm512_sub_epi8(place, _mm512_set1_epi8(static_cast<char>(j))), d);
    };
    // Ten times digits of 0 to 9: 8x + 2x, without a carry into the next byte.
    const auto tens = [](__m512i x) {
        return _mm512_add_epi8(_mm512_slli_epi16(x, 3), _mm512_slli_epi16(x, 1));
    };
    const __m512i low = _mm512_maskz_compress_epi8(masks[0], _mm512_add_epi8(d, tens(before(1))));
    const __m512i high =
        _mm512_maskz_compress_epi8(masks[0], _mm512_add_epi8(before(2), tens(before(3))));
    const __m512i values =
        _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(low)),
                         _mm512_mullo_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(high)),
                                            _mm512_set1_epi16(100)));
    _mm512_storeu_si512(to, _mm512_cvtepu16_epi32(_mm512_castsi512_si256(values)));
    _mm512_storeu_si512(to + 16, _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(values, 1)));
    return true;
}
#else
// In 16-bit lanes, each digit is moved up to its field's last place and
// added there at its weight.
inline bool storeShortValues(const Block& b, const uint64_t masks[4], int32_t* to) {
    const __m512i d = _mm512_sub_epi8(b.v, _mm512_set1_epi8('0'));
    const __m512i lo = _mm512_cvtepu8_epi16(_mm512_castsi512_si256(d));
    const __m512i hi = _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(d, 1));
    const __m512i place =
        _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                         12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m512i low = _mm512_maskz_mov_epi16(static_cast<__mmask32>(masks[0]), lo);
    __m512i high = _mm512_maskz_mov_epi16(static_cast<__mmask32>(masks[0] >> 32), hi);
    for (int j = 1; j < 4 && masks[j]; ++j) {  // masks[j] holds masks[j + 1]
        const __m512i dlo = _mm512_maskz_mov_epi16(static_cast<__mmask32>(masks[j]), lo);
        const __m512i dhi = _mm512_maskz_mov_epi16(static_cast<__mmask32>(masks[j] >> 32), hi);
        const __m512i from = _mm512_sub_epi16(place, _mm512_set1_epi16(static_cast<short>(j)));
        const __m512i weight = _mm512_set1_epi16(static_cast<short>(j == 1   ? 10
                                                                    : j == 2 ? 100
                                                                             : 1000));
        // Lane i takes lane i - j: of the low half, or across both halves.
        const __m512i movedLow = _mm512_maskz_permutexvar_epi16(~__mmask32{0} << j, from, dlo);
        const __m512i movedHigh =
            _mm512_permutex2var_epi16(dlo, _mm512_add_epi16(from, _mm512_set1_epi16(32)), dhi);
        low = _mm512_add_epi16(low, _mm512_mullo_epi16(movedLow, weight));
        high = _mm512_add_epi16(high, _mm512_mullo_epi16(movedHigh, weight));
    }
    int32_t* next = to;
    for (int q = 0; q < 4; ++q) {
        const __m512i& half = q < 2 ? low : high;
        const __m512i wide = _mm512_cvtepu16_epi32(q % 2 ? _mm512_extracti64x4_epi64(half, 1)
                                                         : _mm512_castsi512_si256(half));
        const __mmask16 last = static_cast<__mmask16>(masks[0] >> (16 * q));
        // A whole vector stored: quicker than a masked compressing store.
        _mm512_storeu_si512(next, _mm512_maskz_compress_epi32(last, wide));
        next += __builtin_popcount(last);
    }
    return true;
}
#endif

#elif SIMD_LEVEL == 2
struct Block {
    __m256i v[2];
    explicit Block(const char* p)
        : v{_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))} {}
};
inline uint64_t movemask(__m256i lo, __m256i hi) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
           static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi))) << 32;
}
inline uint64_t eqMask(const Block& b, char c) {
    const __m256i x = _mm256_set1_epi8(c);
    return movemask(_mm256_cmpeq_epi8(b.v[0], x), _mm256_cmpeq_epi8(b.v[1], x));
}
inline __m256i digitBytes(__m256i v) {
    const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
    return _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d);
}
inline uint64_t digitMask(const Block& b) {
    return movemask(digitBytes(b.v[0]), digitBytes(b.v[1]));
}
// 0xFF in byte i when bit i of m is set.
inline __m256i expand(uint32_t m) {
    const __m256i spread =
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(m)),
                            _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2,
                                             2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
    const __m256i bits = _mm256_set1_epi64x(static_cast<int64_t>(0x8040201008040201u));
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bits), bits);
}
// No quick way here: the caller reads the fields one by one.
inline bool storeShortValues(const Block&, const uint64_t*, int32_t*) {
    return false;
}
struct DigitSums {
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    void add(const Block& b, const uint64_t masks[4]) {
        for (int h = 0; h < 2; ++h) {
            const __m256i d = _mm256_sub_epi8(b.v[h], _mm256_set1_epi8('0'));
            for (int j = 0; j < 4; ++j) {
                const uint32_t m = static_cast<uint32_t>(masks[j] >> (32 * h));
                if (!m) continue;
                acc[j] = _mm256_add_epi64(acc[j], _mm256_sad_epu8(_mm256_and_si256(expand(m), d),
                                                                  _mm256_setzero_si256()));
            }
        }
    }
    uint64_t sum(int j) const {
        const __m128i s =
            _mm_add_epi64(_mm256_castsi256_si128(acc[j]), _mm256_extracti128_si256(acc[j], 1));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) +
               static_cast<uint64_t>(_mm_extract_epi64(s, 1));
    }
};

#elif SIMD_LEVEL == 1
struct Block {
    __m128i v[4];
    explicit Block(const char* p) {
        for (int i = 0; i < 4; ++i)
            v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    }
};
template <typename Test>
inline uint64_t collect(const Block& b, Test test) {
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i)
        mask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(test(b.v[i]))))
                << (16 * i);
    return mask;
}
inline uint64_t eqMask(const Block& b, char c) {
    const __m128i x = _mm_set1_epi8(c);
    return collect(b, [x](__m128i v) { return _mm_cmpeq_epi8(v, x); });
}
inline uint64_t digitMask(const Block& b) {
    return collect(b, [](__m128i v) {
        const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    });
}
// 0xFF in byte i when bit i of m is set.
inline __m128i expand(unsigned m) {
    const uint64_t spread = 0x0101010101010101u;
    const __m128i x = _mm_set_epi64x(static_cast<int64_t>(((m >> 8) & 0xFF) * spread),
                                     static_cast<int64_t>((m & 0xFF) * spread));
    const __m128i bits = _mm_set1_epi64x(static_cast<int64_t>(0x8040201008040201u));
    return _mm_cmpeq_epi8(_mm_and_si128(x, bits), bits);
}
// No quick way here: the caller reads the fields one by one.
inline bool storeShortValues(const Block&, const uint64_t*, int32_t*) {
    return false;
}
struct DigitSums {
    __m128i acc[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(),
                      _mm_setzero_si128()};
    void add(const Block& b, const uint64_t masks[4]) {
        for (int q = 0; q < 4; ++q) {
            const __m128i d = _mm_sub_epi8(b.v[q], _mm_set1_epi8('0'));
            for (int j = 0; j < 4; ++j) {
                const unsigned m = static_cast<unsigned>(masks[j] >> (16 * q)) & 0xFFFFu;
                if (!m) continue;
                acc[j] = _mm_add_epi64(
                    acc[j], _mm_sad_epu8(_mm_and_si128(expand(m), d), _mm_setzero_si128()));
            }
        }
    }
    uint64_t sum(int j) const {
        return static_cast<uint64_t>(_mm_cvtsi128_si64(acc[j])) +
               static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc[j], acc[j])));
    }
};

#else
// The plain reference: one byte at a time.
struct Block {
    const char* p;
    explicit Block(const char* p) : p(p) {}
};
inline uint64_t eqMask(const Block& b, char c) {
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(b.p[i] == c) << i;
    return mask;
}
inline uint64_t digitMask(const Block& b) {
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= static_cast<uint64_t>(static_cast<unsigned char>(b.p[i] - '0') < 10) << i;
    return mask;
}
// No quick way here: the caller reads the fields one by one.
inline bool storeShortValues(const Block&, const uint64_t*, int32_t*) {
    return false;
}
struct DigitSums {
    uint64_t acc[4] = {0, 0, 0, 0};
    void add(const Block& b, const uint64_t masks[4]) {
        for (int j = 0; j < 4; ++j)
            for (uint64_t m = masks[j]; m; m &= m - 1)
                acc[j] += static_cast<unsigned char>(b.p[__builtin_ctzll(m)] - '0');
    }
    uint64_t sum(int j) const { return acc[j]; }
};
#endif

// Field delimiters: space, tab and newline (a carriage return is not one).
inline uint64_t delimiterMask(const Block& b) {
    return eqMask(b, ' ') | eqMask(b, '\t') | eqMask(b, '\n');
}

}  // namespace simd::SIMD_NAMESPACE
