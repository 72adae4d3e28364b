// Unitigs of the passing k-mers against a plain reading of their graph:
// every pair of sides compared as strings, components of inner joins
// found by union, sequences spelled by overlaps.
#include "unitigs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "memory_file.h"
#include "output_file.h"
#include "simd/kernels.h"
#include "sweeps.h"

namespace {

std::string reverseComplement(std::string s) {
    std::reverse(s.begin(), s.end());
    for (char& c : s) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : 'A';
    return s;
}
std::string canonical(const std::string& s) {
    return std::min(s, reverseComplement(s));
}
std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

struct Record {
    std::string kmer, pText;
    double p;
};

struct Unitig {
    std::string sequence;
    size_t kmers;
    std::string pText;
};

// What the unitigs of `records` must be: in order, the L lines (each in
// the smaller of its two spellings) and each record's unitig.
struct Expected {
    std::vector<Unitig> unitigs;
    std::multiset<std::string> links;
    std::vector<size_t> ofRecord;
};

// "U o1 V o2" and "V -o2 U -o1" are one link.
std::string sameLink(const std::string& u, char o1, const std::string& v, char o2) {
    const auto flip = [](char o) { return o == '+' ? '-' : '+'; };
    const std::string a = u + o1 + " " + v + o2, b = v + flip(o2) + " " + u + flip(o1);
    return std::min(a, b);
}

Expected plainUnitigs(const std::vector<Record>& records, size_t k) {
    // Nodes in the order first listed, each with its smallest p-value.
    std::vector<std::string> nodes;
    std::map<std::string, size_t> id;
    std::vector<const Record*> lowest;
    std::vector<size_t> nodeOf;
    for (const Record& r : records) {
        const std::string c = canonical(upper(r.kmer));
        if (!id.count(c)) id[c] = nodes.size(), nodes.push_back(c), lowest.push_back(&r);
        const size_t n = id[c];
        if (r.p < lowest[n]->p) lowest[n] = &r;
        nodeOf.push_back(n);
    }
    // Sides 2n (left) and 2n + 1 (right): the k - 1 characters read out.
    const size_t sides = 2 * nodes.size();
    std::vector<std::string> out(sides);
    for (size_t n = 0; n < nodes.size(); ++n) {
        out[2 * n] = reverseComplement(nodes[n]).substr(1);
        out[2 * n + 1] = nodes[n].substr(1);
    }
    std::vector<std::pair<size_t, size_t>> joins;  // a <= b
    std::vector<size_t> degree(sides);
    for (size_t a = 0; a < sides; ++a)
        for (size_t b = a; b < sides; ++b)
            if (out[a] == reverseComplement(out[b])) {
                joins.emplace_back(a, b);
                ++degree[a];
                if (b != a) ++degree[b];
            }
    // Inner joins, and their components.
    std::vector<size_t> parent(nodes.size());
    std::iota(parent.begin(), parent.end(), 0);
    const auto root = [&](size_t n) {
        while (parent[n] != n) n = parent[n] = parent[parent[n]];
        return n;
    };
    std::vector<size_t> inner(sides, SIZE_MAX);  // the side it is joined to
    for (const auto& [a, b] : joins)
        if (degree[a] == 1 && degree[b] == 1 && a / 2 != b / 2) {
            inner[a] = b, inner[b] = a;
            parent[root(a / 2)] = root(b / 2);
        }
    std::map<size_t, size_t> firstOf;  // component root -> its first node
    std::vector<size_t> order;
    for (size_t n = 0; n < nodes.size(); ++n)
        if (!firstOf.count(root(n))) firstOf[root(n)] = n, order.push_back(root(n));

    Expected expected;
    std::map<size_t, size_t> unitigOfRoot;
    std::vector<int> leftEnd(sides, 0);  // 1 its unitig's left end, 2 its right end
    for (const size_t r : order) {
        std::vector<size_t> members;
        for (size_t n = 0; n < nodes.size(); ++n)
            if (root(n) == r) members.push_back(n);
        // A side with no inner join ends the path; none: a cycle.
        size_t start = members[0], enterBy = 0;
        bool cycle = true;
        for (size_t n : members)
            for (size_t s = 0; s < 2 && cycle; ++s)
                if (inner[2 * n + s] == SIZE_MAX) start = n, enterBy = s, cycle = false;
        // Spell the path: a node entered by its left side reads as its
        // canonical form.
        std::string seq = enterBy == 0 ? nodes[start] : reverseComplement(nodes[start]);
        size_t node = start, side = 1 - enterBy, count = 1;
        std::vector<std::pair<size_t, size_t>> path = {{start, enterBy}};
        while (inner[2 * node + side] != SIZE_MAX && count < members.size()) {
            const size_t next = inner[2 * node + side];
            const std::string kmer =
                next % 2 == 0 ? nodes[next / 2] : reverseComplement(nodes[next / 2]);
            EXPECT_EQ(seq.substr(seq.size() - (k - 1)), kmer.substr(0, k - 1));
            seq += kmer.back();
            path.emplace_back(next / 2, next % 2);
            node = next / 2, side = 1 - next % 2, ++count;
        }
        EXPECT_EQ(count, members.size());
        if (cycle) {
            // Round the circle, from the smallest k-mer as it reads.
            std::string circle = seq.substr(0, members.size());
            std::string best;
            for (const std::string& c : {circle, reverseComplement(circle)})
                for (size_t at = 0; at < c.size(); ++at) {
                    std::string around;
                    for (size_t i = 0; i < c.size() + k - 1; ++i) around += c[(at + i) % c.size()];
                    if (best.empty() || around.substr(0, k) < best.substr(0, k)) best = around;
                }
            seq = best;
        } else if (reverseComplement(seq) < seq) {
            seq = reverseComplement(seq);
        }
        // The ends: the first k-mer read in, the last read out.
        const auto sideOf = [&](const std::string& kmer, bool in) {
            const size_t n = id.at(canonical(kmer));
            const bool forward = kmer == nodes[n];
            return 2 * n + (in ? !forward : forward);
        };
        leftEnd[sideOf(seq.substr(0, k), true)] = 1;
        leftEnd[sideOf(seq.substr(seq.size() - k), false)] = 2;
        size_t best = members[0];
        for (size_t n : members)
            if (lowest[n]->p < lowest[best]->p) best = n;
        unitigOfRoot[r] = expected.unitigs.size();
        expected.unitigs.push_back({seq, members.size(), lowest[best]->pText});
    }
    for (size_t n : nodeOf) expected.ofRecord.push_back(unitigOfRoot[root(n)]);
    // Every join but the inner ones a path was spelled with.
    for (const auto& [a, b] : joins) {
        if (!leftEnd[a] || !leftEnd[b]) continue;  // inside a unitig
        const std::string u = std::to_string(unitigOfRoot[root(a / 2)]),
                          v = std::to_string(unitigOfRoot[root(b / 2)]);
        expected.links.insert(
            sameLink(u, leftEnd[a] == 2 ? '+' : '-', v, leftEnd[b] == 1 ? '+' : '-'));
    }
    return expected;
}

std::string randomBases(std::mt19937_64& rng, size_t n) {
    std::string s;
    while (s.size() < n) s += "ACGT"[rng() % 4];
    return s;
}

// Random passing k-mers: windows of a few related sequences, random
// k-mers, palindromes (even k), the windows of circles, either strand,
// some listed twice, some in lower case; p-values that tie. With more than
// five sources, also runs of A with a few other letters: k-mers that share
// their first letters, many to a bucket of the sort.
std::vector<Record> randomRecords(std::mt19937_64& rng, size_t k, int most = 5) {
    std::vector<std::string> kmers;
    const std::string base = randomBases(rng, k + rng() % 40);
    const int sources = 1 + static_cast<int>(rng() % static_cast<uint64_t>(most));
    for (int source = 0; source < sources; ++source) {
        std::string s;
        switch (rng() % (most > 5 ? 6 : 5)) {
            case 5:
                s.assign(k + rng() % 40, 'A');
                for (int m = static_cast<int>(rng() % 4); m > 0; --m)
                    s[rng() % s.size()] = "ACGT"[rng() % 4];
                break;
            case 0:
            case 1:  // a piece of the shared sequence, mutated a little
                s = base.substr(rng() % std::min<size_t>(8, base.size()));
                for (int m = static_cast<int>(rng() % 3); m > 0; --m)
                    s[rng() % s.size()] = "ACGT"[rng() % 4];
                break;
            case 2:
                s = randomBases(rng, k + rng() % 20);
                break;
            case 3: {  // a circle of n k-mers (fewer when they repeat)
                const size_t n = 1 + rng() % 12;
                const std::string unit = randomBases(rng, n);
                for (size_t i = 0; i < n + k - 1; ++i) s += unit[i % n];
                break;
            }
            default:
                if (k % 2 == 0) {
                    const std::string half = randomBases(rng, k / 2);
                    s = half + reverseComplement(half);
                } else {
                    s = randomBases(rng, k);
                }
        }
        for (size_t at = 0; at + k <= s.size(); ++at) kmers.push_back(s.substr(at, k));
    }
    std::shuffle(kmers.begin(), kmers.end(), rng);
    std::vector<Record> records;
    // (A text of 255 characters or more is kept in a longer form.)
    static const std::string longText = "0." + std::string(11, '0') + "3" + std::string(290, '0');
    const char* const texts[][3] = {{"1e-9", "1.0e-9", "1e-9"},
                                    {"5e-10", "0.0000000005", "5e-10"},
                                    {"3e-12", "3E-12", longText.c_str()}};
    for (std::string& kmer : kmers) {
        if (rng() % 2) kmer = reverseComplement(kmer);
        if (rng() % 10 == 0)
            for (char& c : kmer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t v = rng() % 3;
        const double p = v == 0 ? 1e-9 : v == 1 ? 5e-10 : 3e-12;
        records.push_back({kmer, texts[v][rng() % 3], p});
        if (rng() % 8 == 0) records.push_back(records.back());
    }
    return records;
}

// The unitigs as written: FASTA records or GFA lines.
struct Written {
    std::vector<Unitig> unitigs;
    std::vector<std::string> numbers;
    std::multiset<std::string> links;
};

Written readUnitigs(const std::string& text, bool gfa, size_t k, const char* group) {
    Written w;
    std::istringstream in(text);
    std::string line;
    std::map<std::string, std::string> sequences;
    bool first = true;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, gfa ? '\t' : ' ');) f.push_back(field);
        if (gfa && first) {
            EXPECT_EQ(line, "H\tVN:Z:1.0");
            first = false;
            continue;
        }
        if (gfa && f[0] == "L") {
            EXPECT_EQ(f.size(), 6u) << line;
            EXPECT_EQ(f[5], std::to_string(k - 1) + "M");
            // A true overlap of the two as the signs read them.
            const auto as = [&](const std::string& u, const std::string& o) {
                return o == "+" ? sequences.at(u) : reverseComplement(sequences.at(u));
            };
            const std::string from = as(f[1], f[2]), to = as(f[3], f[4]);
            EXPECT_EQ(from.substr(from.size() - (k - 1)), to.substr(0, k - 1)) << line;
            w.links.insert(sameLink(f[1], f[2][0], f[3], f[4][0]));
            continue;
        }
        std::string name, sequence;
        size_t tags;
        if (gfa) {
            EXPECT_EQ(f[0], "S") << line;
            name = f[1], sequence = f[2], tags = 3;
        } else {
            EXPECT_EQ(f[0][0], '>') << line;
            name = f[0].substr(1), tags = 1;
            std::getline(in, sequence);
        }
        EXPECT_EQ(f.size(), tags + 5) << line;
        EXPECT_EQ(f[tags], "LN:i:" + std::to_string(sequence.size()));
        EXPECT_EQ(f[tags + 2], std::string("GR:Z:") + group);
        EXPECT_EQ(f[tags + 4].substr(0, 5), "PA:f:");
        sequences[name] = sequence;
        w.numbers.push_back(name);
        w.unitigs.push_back({sequence, std::stoul(f[tags + 1].substr(5)), f[tags + 3].substr(5)});
        // The adjusted p-value is the test's: twice the smallest.
        EXPECT_EQ(std::stod(f[tags + 4].substr(5)), 2 * std::stod(w.unitigs.back().pText));
    }
    return w;
}

// packCanonical on a k-mer followed by 64 readable bytes, as in a line
// read: `after`, which must not be read as the k-mer's.
bool packFollowed(const std::string& kmer, uint64_t* words, char after = 'x') {
    const std::string line = kmer + std::string(64, after);
    return packCanonical(std::string_view(line).substr(0, kmer.size()), words);
}

}  // namespace

TEST(Unitigs, MatchAPlainReadingOfTheGraph) {
    std::mt19937_64 rng(34);
    for (int round = 0; round < 1500; ++round) {
        const size_t k = round % 5 == 0 ? 1 + rng() % 6 : 3 + rng() % 62;
        // A few rounds of thousands of k-mers: many paths walked at once.
        const std::vector<Record> records = randomRecords(rng, k, round % 500 == 499 ? 80 : 5);
        const Expected expected = plainUnitigs(records, k);
        for (const bool gfa : {false, true}) {
            GroupUnitigs unitigs(static_cast<int>(k));
            // Added in slices, as the stretches of an input come.
            for (size_t r = 0, n; r < records.size(); r += n) {
                n = std::min<size_t>(records.size() - r, 1 + rng() % 40);
                std::vector<uint64_t> packed(2 * n);
                std::string texts;
                for (size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(packFollowed(records[r + i].kmer, &packed[i * packedWords(k)]));
                    appendPText(texts, records[r + i].pText);
                }
                unitigs.add(packed.data(), texts, n);
            }
            const int fd = memoryFile("", 2);
            {
                OutputFile out(fd, "unitigs", 1 << 16);
                UnitigSink sink{out, gfa, 7};
                if (gfa) out.put("H\tVN:Z:1.0\n");
                const UnitigCounts counts =
                    unitigs.write(sink, "case", [](double p) { return 2 * p; });
                out.flush();
                EXPECT_EQ(counts.unitigs, expected.unitigs.size());
                EXPECT_EQ(sink.next, 7 + expected.unitigs.size());
            }
            const Written written = readUnitigs(contents(fd), gfa, k, "case");
            ASSERT_EQ(written.unitigs.size(), expected.unitigs.size()) << "k " << k;
            for (size_t u = 0; u < written.unitigs.size(); ++u) {
                EXPECT_EQ(written.numbers[u], std::to_string(7 + u));
                EXPECT_EQ(written.unitigs[u].sequence, expected.unitigs[u].sequence)
                    << "k " << k << " unitig " << u;
                EXPECT_EQ(written.unitigs[u].kmers, expected.unitigs[u].kmers);
                EXPECT_EQ(written.unitigs[u].pText, expected.unitigs[u].pText);
            }
            if (gfa) {
                std::multiset<std::string> shifted;  // the expected links, numbered from 7
                for (const std::string& link : expected.links) {
                    std::istringstream parts(link);
                    std::string a, b;
                    parts >> a >> b;
                    const auto moved = [](const std::string& s) {
                        return std::to_string(7 + std::stoul(s.substr(0, s.size() - 1)));
                    };
                    shifted.insert(sameLink(moved(a), a.back(), moved(b), b.back()));
                }
                EXPECT_EQ(written.links, shifted) << "k " << k;
            }
            ASSERT_EQ(unitigs.unitigOfRecords().size(), records.size());
            for (size_t r = 0; r < records.size(); ++r)
                EXPECT_EQ(unitigs.base() + unitigs.unitigOfRecords()[r], 7 + expected.ofRecord[r]);
        }
    }
}

// The packing under every instruction set, against a packing letter by
// letter of the canonical form: strings of the eight letters with now and
// then another byte (its case or its high bit changed among them)
// anywhere, followed by a letter or by another byte.
TEST(Unitigs, PackingAsLetterByLetter) {
    std::mt19937_64 rng(8);
    const std::string letters = "ACGTacgt";
    underEverySet([&](simd::Set) {
        for (int round = 0; round < 400000; ++round) {
            std::string kmer(1 + rng() % 64, 'A');
            for (char& c : kmer) c = letters[rng() % 8];
            for (int n = static_cast<int>(rng() % 3); n > 0; --n) {
                char& c = kmer[rng() % kmer.size()];
                const int how = static_cast<int>(rng() % 3);
                c = how == 0 ? static_cast<char>(rng())
                             : static_cast<char>(c ^ (how == 1 ? 0x80 : 0x40));
            }
            const bool fit = kmer.find_first_not_of(letters) == std::string::npos;
            uint64_t words[2] = {}, expected[2] = {};
            ASSERT_EQ(packFollowed(kmer, words, rng() % 2 ? 'T' : '\t'), fit) << kmer;
            if (!fit) continue;
            __extension__ unsigned __int128 x = 0;
            for (const char c : canonical(upper(kmer)))
                x = x << 2 | static_cast<unsigned>(std::string("ACGT").find(c));
            expected[0] = static_cast<uint64_t>(x), expected[1] = static_cast<uint64_t>(x >> 64);
            ASSERT_EQ(words[0], expected[0]) << kmer;
            ASSERT_EQ(kmer.size() > 32 ? words[1] : 0, expected[1]) << kmer;
        }
    });
}

// The tool: the unitigs and the table's column whatever the method, the
// threads and the compression; the FASTA outputs as without --unitigs; a
// pipe read once; a k-mer unfit for unitigs named by its line.
TEST(Unitigs, SigsieveJoinsTheTableToTheUnitigs) {
    std::mt19937_64 rng(35);
    Scratch s;
    std::string cases, controls;
    for (int group = 0; group < 2; ++group) {
        const std::vector<Record> records = randomRecords(rng, 21);
        std::string& text = group ? controls : cases;
        for (const Record& r : records) text += r.kmer + "\t1\t2\t" + r.pText + "\n";
        text += "ACGTACGTACGTACGTACGTA 1 2 0.5\n";  // failing: left out
    }
    s.write("case.txt", cases);
    s.write("control.txt", controls);
    s.write("total_kmers.txt", "100\n");
    const std::vector<std::string> inputs = {"--case=case.txt", "--control=control.txt"};
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), inputs.begin(), inputs.end());
        const RunResult r = s.run(SIGSIEVE_PATH, args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    };
    run({});
    const std::string plainCase = s.read("case_out_sig.fasta");
    std::string first;
    for (const char* method : {"bonferroni", "bh"})
        for (const char* threads : {"-@0", "-@3"})
            for (const char* name : {"u.fa", "u.gfa.gz"}) {
                run({"-m", method, threads, "--table=t.tsv", "--report=r.tsv",
                     std::string("--unitigs=") + name});
                EXPECT_EQ(s.read("case_out_sig.fasta"), plainCase);
                const RunResult unzip = s.run("/bin/sh", {"-c", std::string("zcat -f ") + name});
                // Each row's k-mer lies in the unitig its column names.
                std::map<std::string, std::string> sequence;
                std::istringstream in(unzip.out);
                for (std::string line, seq; std::getline(in, line);) {
                    std::istringstream f(line);
                    std::string a, b, c;
                    f >> a >> b >> c;
                    if (a[0] == '>') std::getline(in, seq), sequence[a.substr(1)] = seq;
                    if (a == "S") sequence[b] = c;
                }
                std::istringstream table(s.read("t.tsv"));
                std::string row;
                std::getline(table, row);
                EXPECT_EQ(row.substr(row.rfind('\t')), "\tunitig");
                int rows = 0;
                while (std::getline(table, row)) {
                    const std::string kmer =
                        upper(row.substr(row.find('\t', row.find('\t') + 1) + 1, 21));
                    const std::string& seq = sequence[row.substr(row.rfind('\t') + 1)];
                    EXPECT_TRUE(seq.find(kmer) != std::string::npos ||
                                seq.find(reverseComplement(kmer)) != std::string::npos)
                        << row;
                    ++rows;
                }
                EXPECT_GT(rows, 0);
                // The report's row of both: the unitigs and the longest.
                std::istringstream report(s.read("r.tsv"));
                std::string header;
                std::getline(report, header);
                EXPECT_NE(header.find("\tunitigs\tlongest_unitig"), std::string::npos);
                size_t longest = 0;
                for (const auto& [number, seq] : sequence) longest = std::max(longest, seq.size());
                std::string last;
                for (std::string line; std::getline(report, line);) last = line;
                EXPECT_EQ(last.substr(last.rfind('\t', last.rfind('\t') - 1) + 1),
                          std::to_string(sequence.size()) + "\t" + std::to_string(longest));
                if (std::string(name) == "u.fa" && first.empty()) first = s.read("u.fa");
                if (std::string(name) == "u.fa" && std::string(method) == "bonferroni") {
                    EXPECT_EQ(s.read("u.fa"), first);
                }
            }
    // Bonferroni from a pipe.
    RunResult piped = s.run(SIGSIEVE_PATH, {"--case=-", "--control=control.txt", "--unitigs=p.fa"},
                            Stdout::Capture, "case.txt");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(s.read("p.fa"), first);
    // Unfit k-mers, on one thread and on three, leave the outputs alone.
    const struct {
        std::string record, message;
    } unfit[] = {
        {"ACGTN 1 2 0",
         "bad.txt:3: --unitigs needs k-mers of one length over A, C, G and T: "
         "'ACGTN' holds 'N'"},
        {"ACGTAC 1 2 0",
         "bad.txt:3: --unitigs needs k-mers of one length over A, C, G and T: "
         "'ACGTAC' has 6 characters, the first passing k-mer 5"},
    };
    for (const auto& u : unfit)
        for (const char* threads : {"-@0", "-@3"}) {
            s.write("bad.txt", "ACGTA 1 2 0\nCGTAC 1 2 0.9\n" + u.record + "\nAAAAA 1 2 0\n");
            const RunResult r =
                s.run(SIGSIEVE_PATH, {threads, "--case=bad.txt", "--control=control.txt",
                                      "--case-out=never.fa", "--unitigs=never.gfa"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "sigsieve: " + u.message + "\n");
            EXPECT_FALSE(s.exists("never.fa") || s.exists("never.gfa"));
        }
}
