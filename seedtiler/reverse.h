// Reverse complement of DNA text. The complement is case-sensitive: A<->T and
// C<->G; every other character (lower-case bases, N, line terminators,
// anything else) becomes N.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

inline constexpr std::array<char, 256> complementTable = [] {
    std::array<char, 256> table{};
    table.fill('N');
    table['A'] = 'T';
    table['C'] = 'G';
    table['G'] = 'C';
    table['T'] = 'A';
    return table;
}();

inline char complement(char c) {
    return complementTable[static_cast<unsigned char>(c)];
}

// Writes the reverse complement of the `len` characters at `in` to `out`;
// the two ranges must not overlap.
inline void reverseComplement(char* out, const char* in, size_t len) {
    for (size_t i = 0; i < len; ++i) out[len - 1 - i] = complement(in[i]);
}

// Writes the reverse complement of the terminated text `in` to `out`, which
// has room for its length plus a terminator, and terminates it.
inline void reverse(char* out, const char* in) {
    size_t len = std::strlen(in);
    reverseComplement(out, in, len);
    out[len] = '\0';
}
