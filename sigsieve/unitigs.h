// The passing k-mers of a group joined into the unitigs of their de Bruijn
// graph on both strands, each written with the smallest p-value of its
// k-mers.
//
// A k-mer and its reverse complement are one node, read as the smaller of
// the two in byte order (its canonical form). A node has two sides: its
// right side, left by reading the canonical form onwards, and its left
// side, left by reading the reverse complement onwards. The k - 1
// characters that end the k-mer read out of a side, followed by one more
// character, are a k-mer read into a side of its node: that is a join of
// the two sides, and joins go both ways. Hence a k-mer joined to its own
// reverse complement (a hairpin) has a join from a side to itself, and a
// palindromic k-mer (its own reverse complement, at even k) has the same
// joins on both sides, so that every neighbour joins it twice.
//
// A join is inner when neither of its sides has another join and it joins
// two different nodes; a unitig is a maximal path of inner joins. So a
// palindromic k-mer, or one joined to itself, ends every path through it,
// and a palindromic one is a unitig of its own. A cycle of inner joins (a
// component with no other join) is cut before its smallest k-mer in byte
// order and written starting with it as it reads; any other unitig is
// written as the smaller of its sequence and its reverse complement. A
// k-mer listed more than once in a group, or with its reverse complement,
// is one node.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class OutputFile;

// The longest k-mers joined.
inline constexpr int maxUnitigK = 64;

// Where the unitigs go and how: FASTA (a record per unitig, its sequence
// on one line) or GFA 1.0 (an S line per unitig and an L line per join of
// two unitigs' ends), numbered 0, 1, ... through the file, with
// `overlap` = k - 1.
struct UnitigSink {
    OutputFile& out;
    bool gfa;
    uint64_t next = 0;  // the number of the next unitig
};

// What the report gives of a group's unitigs.
struct UnitigCounts {
    uint64_t unitigs = 0, longest = 0;
};

// A k-mer as GroupUnitigs takes it: its canonical form, two bits a base
// (A 0, C 1, G 2, T 3), the first base highest, in packedWords(k) words
// (the low word first). False, with nothing packed, when a character is
// not one of A, C, G, T, a, c, g and t. For 1 <= k <= maxUnitigK, with the
// 64 bytes from the k-mer's first readable (as in a line a LineReader
// returns).
bool packCanonical(std::string_view kmer, uint64_t* words);
inline size_t packedWords(size_t k) {
    return k <= 32 ? 1 : 2;
}

// Appends a p-value's text to texts as GroupUnitigs takes them: after its
// length, in a byte below 255, else in 255 and four bytes.
void appendPText(std::string& texts, std::string_view text);

class GroupUnitigs {
  public:
    explicit GroupUnitigs(int k);  // 1 <= k <= maxUnitigK
    ~GroupUnitigs();
    GroupUnitigs(const GroupUnitigs&) = delete;
    GroupUnitigs& operator=(const GroupUnitigs&) = delete;

    // Adds the next `count` passing k-mers of the group: packed (by
    // packCanonical), and their p-values' texts (each appended by
    // appendPText), read as the records' p-values are.
    void add(const uint64_t* packed, std::string_view texts, size_t count);

    // Joins the k-mers and writes their unitigs in the order of the first
    // k-mer of each that was added, named `group` in their tags; `adjust`
    // gives the adjusted p-value of a p-value. Each unitig's smallest
    // p-value is that of the k-mer added first among those that have it.
    UnitigCounts write(UnitigSink& sink, const char* group,
                       const std::function<double(double)>& adjust);

    // After write: the number of the unitig of each k-mer added, in the
    // order added, less `base` (the number of the group's first).
    std::span<const uint32_t> unitigOfRecords() const;
    uint64_t base() const;

    struct Graph;

  private:
    std::unique_ptr<Graph> graph_;
};
