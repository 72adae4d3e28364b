// The kernels, written once over the mask layer and compiled once per
// instruction set (see masks.h for the rules of such a file).
#include <cstddef>
#include <cstdint>

#if SIMD_LEVEL == 3 && defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes the undefined lanes that some AVX-512 intrinsics start from
// (_mm512_undefined_epi32) for uninitialised reads.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "../numbers.h"
#include "kernels.h"
#include "masks.h"

namespace simd::SIMD_NAMESPACE {
namespace {

// Bits 0 .. k-1 (k <= 64).
inline uint64_t below(int k) {
    return k == 0 ? 0 : ~uint64_t{0} >> (64 - k);
}

void index(const char* p, size_t blocks, uint64_t* newlines, uint64_t* delimiters) {
    if (delimiters) {
        for (size_t b = 0; b < blocks; ++b) {
            const Block block(p + 64 * b);
            const uint64_t newline = eqMask(block, '\n');
            newlines[b] = newline;
            delimiters[b] = newline | eqMask(block, ' ') | eqMask(block, '\t');
        }
    } else {
        for (size_t b = 0; b < blocks; ++b) newlines[b] = eqMask(Block(p + 64 * b), '\n');
    }
}

// Reads one count the slow way, as parseInt does, storing it at `to` when
// given; false when it is out of range (then walk.bad is set).
inline bool addSlowCount(const char* field, size_t length, CountWalk& walk, int32_t* to) {
    bool outOfRange;
    ++walk.slow;
    const int32_t count = parseInt(field, length, &outOfRange);
    if (outOfRange) {
        walk.bad = field;
        walk.badLength = length;
        return false;
    }
    if (to) {
        *to = count;  // summed by addSamples
    } else {
        walk.sum += count;
        walk.present += count > 0;
    }
    return true;
}

// The value of a field of one to four digits at p. Of the four bytes
// loaded, those after the field are shifted out, with whatever their
// subtraction borrowed (a borrow only runs towards later bytes).
inline int32_t shortCount(const char* p, int length) {
    uint32_t bytes;
    __builtin_memcpy(&bytes, p, 4);
    const uint32_t d = (bytes - 0x30303030u) << (32 - 8 * length);  // four digits, leading zeros
    const uint32_t pairs = (d * 10 + (d >> 8)) & 0x00ff00ffu;
    return static_cast<int32_t>((pairs * 100 + (pairs >> 16)) & 0xffffu);
}

// Works block by block. Each block starts at a field boundary and takes the
// fields that end inside it, so that a field never spans two blocks. Fields
// of one to four digits are added up with masks: the last digit of each
// field counts once, the one before it ten times, and so on. Any other
// field (a sign, a point, other characters, five digits or more) is read on
// its own with parseInt. With `counts`, each field's value is stored there
// instead, in order: the short ones read from their four bytes at once.
template <bool Store>
CountWalk walkFields(const char* p, const char* end, int64_t n, int32_t* counts) {
    CountWalk walk;
    DigitSums sums;
    while (walk.read < n && p < end) {
        const size_t len = static_cast<size_t>(end - p < 64 ? end - p : 64);
        const Block block(p);
        const uint64_t past = len < 64 ? ~uint64_t{0} << len : 0;
        const uint64_t delim = delimiterMask(block) | past;
        if (delim == 0) {
            // A field of more than 64 characters.
            const char* stop = p + 64;
            while (stop < end && *stop != ' ' && *stop != '\t' && *stop != '\n') ++stop;
            if (!addSlowCount(p, static_cast<size_t>(stop - p), walk,
                              Store ? counts + walk.read : nullptr))
                break;
            ++walk.read;
            p = stop;
            continue;
        }
        // Fields that start before the last delimiter end inside the block.
        const int last = 63 - __builtin_clzll(delim);
        uint64_t starts = ~delim & ((delim << 1) | 1) & below(last);
        int limit = last + 1;  // where the next block starts
        const int64_t remaining = n - walk.read;
        int taken = __builtin_popcountll(starts);
        if (taken > remaining) {
            uint64_t keep = starts;
            for (int64_t k = 0; k < remaining; ++k) keep &= keep - 1;
            limit = __builtin_ctzll(keep);  // the first field not taken
            starts &= below(limit);
            taken = static_cast<int>(remaining);
        }
        const uint64_t field = ~delim & below(limit);
        uint64_t ends[4];
        ends[0] = field & (delim >> 1);
        for (int j = 1; j < 4; ++j) ends[j] = field & (ends[j - 1] >> 1);
        uint64_t odd =
            (field & ~digitMask(block)) | (field & ~(ends[0] | ends[1] | ends[2] | ends[3]));
        uint64_t plainStarts = starts;
        while (odd) {
            // Take out the whole field holding the lowest odd byte.
            const int at = __builtin_ctzll(odd);
            const int start = 63 - __builtin_clzll(starts & below(at + 1));
            const int stop = at + __builtin_ctzll(delim >> at);
            const uint64_t bits = below(stop) & ~below(start);
            int32_t* to =
                Store ? counts + walk.read + __builtin_popcountll(starts & below(start)) : nullptr;
            if (!addSlowCount(p + start, static_cast<size_t>(stop - start), walk, to)) {
                walk.next = p + stop;
                walk.read += __builtin_popcountll(starts & below(start));
                // The plain fields before it are not part of the answer.
                return walk;
            }
            odd &= ~bits;
            plainStarts &= ~bits;
            for (uint64_t& e : ends) e &= ~bits;
        }
        if constexpr (Store) {
            bool stored = false;
            // All at once when no field of the block was read on its own.
            if (plainStarts == starts) stored = storeShortValues(block, ends, counts + walk.read);
            int32_t* to = counts + walk.read;
            for (uint64_t rest = stored ? 0 : starts; rest; rest &= rest - 1, ++to) {
                const int start = __builtin_ctzll(rest);
                if (plainStarts >> start & 1)
                    *to = shortCount(p + start, __builtin_ctzll(delim >> start));
            }
        }
        if constexpr (!Store) {
            sums.add(block, ends);
            const uint64_t nonzero = field & ~eqMask(block, '0');
            walk.present +=
                __builtin_popcountll((nonzero & ends[0]) | ((nonzero & ends[1]) << 1) |
                                     ((nonzero & ends[2]) << 2) | ((nonzero & ends[3]) << 3));
        }
        walk.read += taken;
        p += limit;
    }
    if constexpr (!Store)
        walk.sum += static_cast<int64_t>(sums.sum(0) + 10 * sums.sum(1) + 100 * sums.sum(2) +
                                         1000 * sums.sum(3));
    walk.next = p < end ? p : end;
    return walk;
}

RowCounts addSamples(const int32_t* __restrict counts, size_t n, int64_t* __restrict totals,
                     int64_t* __restrict present) {
    int64_t sum = 0, above = 0;
    for (size_t s = 0; s < n; ++s) {
        totals[s] += counts[s];
        present[s] += counts[s] > 0;
        sum += counts[s];
        above += counts[s] > 0;
    }
    return {sum, above};
}

RowCounts addShortSamples(const int32_t* __restrict counts, size_t n, uint32_t* __restrict packed) {
    RowCounts row;
    // 32-bit sums: 2^16 counts up to 9999 fit.
    for (size_t from = 0; from < n; from += size_t{1} << 16) {
        const size_t to = n - from > size_t{1} << 16 ? from + (size_t{1} << 16) : n;
        uint32_t sum = 0, above = 0;
        for (size_t s = from; s < to; ++s) {
            const uint32_t count = static_cast<uint32_t>(counts[s]);
            const uint32_t present = count != 0;
            packed[s] += count + (present << kPresentShift);
            sum += count;
            above += present;
        }
        row.sum += sum, row.present += above;
    }
    return row;
}

// The code of a letter is its bits 1 and 2, bit 2 turning G's 3 and T's 2
// round. Made lower case, each letter must be the one its code gives back:
// a, c, g and t are 0x61 plus 0, 2, 6 and 19. Bytes past n are read as 'a'.
#if SIMD_LEVEL == 3
bool packBases(const char* p, size_t n, uint64_t bases[2]) {
    const __m512i a = _mm512_set1_epi8('a'), three = _mm512_set1_epi8(3);
    const __m512i v = _mm512_mask_blend_epi8(below(static_cast<int>(n)), a, _mm512_loadu_si512(p));
    const __m512i q =
        _mm512_xor_si512(_mm512_and_si512(_mm512_srli_epi16(v, 1), three),
                         _mm512_and_si512(_mm512_srli_epi16(v, 2), _mm512_set1_epi8(1)));
    const __m512i letters = _mm512_broadcast_i32x4(
        _mm_setr_epi8('a', 'c', 'g', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    if (_mm512_cmpneq_epi8_mask(_mm512_or_si512(v, _mm512_set1_epi8(0x20)),
                                _mm512_shuffle_epi8(letters, q)))
        return false;
    // Four codes to a byte: pairs of bytes summed with weights 1 and 4,
    // then pairs of those with 1 and 16, then each 32-bit lane's low byte.
    const __m512i pairs = _mm512_maddubs_epi16(q, _mm512_set1_epi16(0x0401));
    const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00100001));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bases), _mm512_cvtepi32_epi8(quads));
    return true;
}
#else
bool packBases(const char* p, size_t n, uint64_t bases[2]) {
    // Eight letters at a time, their codes gathered from their bytes in
    // three steps.
    constexpr uint64_t ones = 0x0101010101010101u, a = ones * 'a';
    uint64_t wrong = 0;
    bases[0] = bases[1] = 0;
    for (size_t at = 0; at < n; at += 8) {
        uint64_t v;
        __builtin_memcpy(&v, p + at, 8);
        if (n - at < 8) {
            const uint64_t keep = ~uint64_t{0} >> (64 - 8 * (n - at));
            v = (v & keep) | (a & ~keep);
        }
        const uint64_t q = ((v >> 1) & ones * 3) ^ ((v >> 2) & ones);
        const uint64_t high = (q >> 1) & ones;
        wrong |= (v | ones * 0x20) ^ (a + (q << 1) + (high << 1) + (high & q) * 11);
        uint64_t c = (q | q >> 6) & 0x000F000F000F000Fu;
        c = (c | c >> 12) & 0x000000FF000000FFu;
        c = (c | c >> 24) & 0xFFFFu;
        bases[at / 32] |= c << (2 * (at % 32));
    }
    return wrong == 0;
}
#endif

CountWalk walkCounts(const char* p, const char* end, int64_t n) {
    return walkFields<false>(p, end, n, nullptr);
}

CountWalk readCounts(const char* p, const char* end, int64_t n, int32_t* counts) {
    return walkFields<true>(p, end, n, counts);
}

}  // namespace

extern const Kernels kernels;
const Kernels kernels = {SIMD_SET_NAME, index,           walkCounts, readCounts,
                         addSamples,    addShortSamples, packBases};

}  // namespace simd::SIMD_NAMESPACE
