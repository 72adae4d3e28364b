// Reverse complement of DNA text. The complement is case-sensitive: A<->T and
// C<->G; every other character (lower-case bases, N, line terminators,
// anything else) becomes N.
#pragma once

#include <array>
#include <cstddef>

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
inline void reverse(char* out, const char* in, size_t len) {
    for (size_t i = 0; i < len; ++i) out[len - 1 - i] = complement(in[i]);
}
