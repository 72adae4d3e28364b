// Random differential sweeps: the fast code against a plain reference on
// `cases` random inputs. The default suite runs each with a modest count;
// the "heavy" label runs them with millions.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cohortmeans.h"
#include "memory_file.h"
#include "number_texts.h"
#include "pvalue.h"
#include "reference.h"
#include "simd/kernels.h"

inline uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

inline void sweepParseReal(int cases) {
    NumberTexts texts(42);
    for (int i = 0; i < cases; ++i) {
        const std::string s = texts.next();
        char* stop;
        const double expected = std::strtod(s.c_str(), &stop);
        double got;
        const size_t used = scanReal(s, got);
        ASSERT_EQ(used, static_cast<size_t>(stop - s.c_str())) << s;
        // strtod gives +0.0 when nothing was read; so does scanReal.
        ASSERT_EQ(bits(got), bits(expected)) << s;
    }
}

// The quick reading of p-values' usual shapes against strtod, on texts of
// those shapes ("0." and 1 to 20 digits; a digit, a point, 0 to 19 digits,
// e or E, a sign and an exponent of 1 to 3 digits) with now and then one
// character changed: where it reads a value, the value is strtod's and
// strtod reads the whole text; about half of the unchanged ones it reads.
inline void sweepShortPValues(int cases) {
    std::mt19937_64 rng(43);
    const auto digits = [&rng](size_t n) {
        std::string d;
        for (size_t i = 0; i < n; ++i) d += static_cast<char>('0' + rng() % 10);
        return d;
    };
    int read = 0;
    for (int i = 0; i < cases; ++i) {
        std::string s;
        if (rng() % 3 == 0) {
            s = "0." + digits(1 + rng() % 20);
        } else {
            s = std::string(1, static_cast<char>('1' + rng() % 9)) + "." + digits(rng() % 20) +
                (rng() % 2 ? "e" : "E") + (rng() % 4 ? "-" : "+") + digits(1 + rng() % 3);
        }
        if (rng() % 8 == 0) s[rng() % s.size()] = "0.e+-x 9"[rng() % 8];
        char* stop;
        const double expected = std::strtod(s.c_str(), &stop);
        const std::string padded = s + std::string(32, rng() % 2 ? '5' : '.');
        double got;
        if (!shortPValue(padded.data(), s.size(), got)) continue;
        ++read;
        ASSERT_EQ(stop, s.c_str() + s.size()) << s;
        ASSERT_EQ(bits(got), bits(expected)) << s;
    }
    EXPECT_GT(read, cases / 4);
}

// The text of the value digits × 10^power (digits without leading zeros)
// in one of the notations strtod reads: scientific, an integer mantissa,
// plain decimals, a leading or trailing point, padding zeros, 'E', '+'.
inline std::string notation(std::mt19937_64& rng, const std::string& digits, int64_t power) {
    const auto n = static_cast<int64_t>(digits.size());
    const std::string lead = rng() % 6 ? "" : rng() % 2 ? "0" : "000";
    const std::string e = rng() % 2 ? "e" : "E";
    auto exponent = [&](int64_t x) {
        std::string text = std::to_string(x);
        if (x >= 0 && rng() % 4 == 0) text = "+" + text;
        if (rng() % 5 == 0) text.insert(text[0] == '-' || text[0] == '+' ? 1 : 0, "0");
        return e + text;
    };
    const std::string pad = rng() % 4 ? "" : std::string(1 + rng() % 3, '0');
    switch (rng() % 5) {
        case 0:
            return lead + digits.substr(0, 1) + "." + digits.substr(1) + pad +
                   exponent(power + n - 1);
        case 1:
            return lead + digits + exponent(power);
        case 2:
            return lead + "." + digits + pad + exponent(power + n);
        case 3:
            return lead + digits + "." + pad + exponent(power);
        default:
            if (power >= 0) return lead + digits + std::string(static_cast<size_t>(power), '0');
            if (-power < n)
                return lead + digits.substr(0, static_cast<size_t>(n + power)) + "." +
                       digits.substr(static_cast<size_t>(n + power)) + pad;
            return (rng() % 2 ? "0." : ".") + std::string(static_cast<size_t>(-power - n), '0') +
                   digits + pad;
    }
}

// Texts of up to 40 significant digits whose value lies near the
// threshold: the threshold itself and its neighbouring doubles printed to
// a random precision, or random digits within a few decades of it.
inline std::string nearThreshold(std::mt19937_64& rng, const Threshold& t) {
    std::string digits;
    int64_t power;
    if (rng() % 2 && t.value > 0) {
        double v = t.value;
        if (rng() % 2) v = std::nextafter(v, rng() % 2 ? 1.0 : 0.0);
        char text[80];
        const int precision = static_cast<int>(rng() % 40);
        std::snprintf(text, sizeof text, "%.*e", precision, v);
        const char* exp = std::strchr(text, 'e');
        for (const char* c = text; c != exp; ++c)
            if (*c != '.') digits += *c;
        power = std::atoll(exp + 1) - precision;
    } else {
        const size_t length = 1 + rng() % 40;
        digits = std::to_string(1 + rng() % 9);
        while (digits.size() < length) digits += static_cast<char>('0' + rng() % 10);
        const auto decade =
            t.value > 0 ? static_cast<int64_t>(std::floor(std::log10(t.value))) : int64_t{-330};
        power = decade - static_cast<int64_t>(length) - 4 + static_cast<int64_t>(rng() % 12);
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back(), ++power;
    return notation(rng, digits, power);
}

// A significance level: 0.05, 1, a round number, or random digits over
// the whole range down to subnormal values.
inline double randomAlpha(std::mt19937_64& rng) {
    static const double fixed[] = {defaultAlpha, 1, 0.01, 0.001, 0.1, 5e-8, 4.9e-324};
    if (rng() % 3 == 0) return fixed[rng() % std::size(fixed)];
    char text[64];
    std::snprintf(
        text, sizeof text, "%llu.%llue-%d", static_cast<unsigned long long>(1 + rng() % 9),
        static_cast<unsigned long long>(rng() % 1000000000000), static_cast<int>(rng() % 325));
    return std::strtod(text, nullptr);
}

// verdict (or quickVerdict) on a copy of the text followed by digits and a
// letter, which it must not take as part of the text, read both as any text
// and as text known to be followed by 32 bytes; a value outside the enum
// when the two differ.
inline Verdict paddedVerdict(const std::string& text, const Threshold& t, bool quick = false) {
    // Digits, zeros, a point and exponent marks past the end: a fast path
    // that read them as the text's would give another verdict.
    const std::string padded = text + "999x9999.0e-0000000001234567890e+";
    const std::string_view view(padded.data(), text.size());
    const Verdict plain = quick ? quickVerdict(view, t) : verdict(view, t);
    const Verdict fast = quick ? quickVerdict(view, t, true) : verdict(view, t, true);
    return plain == fast ? plain : static_cast<Verdict>(99);
}

inline void sweepVerdicts(int cases) {
    std::mt19937_64 rng(17);
    NumberTexts texts(23);
    const int64_t totals[] = {1, 3, 100, 1000000, 10000000, 123456789, 999999999999, INT64_MAX};
    for (int i = 0; i < cases; ++i) {
        const int64_t total =
            i % 3 ? totals[rng() % std::size(totals)] : 1 + static_cast<int64_t>(rng() >> 1);
        const double alpha = i % 4 ? randomAlpha(rng) : defaultAlpha;
        // Every fifth threshold is any double, as the other corrections set.
        const double anyValue[] = {
            INFINITY, -INFINITY, 5e-324,
            1.0,      1e300,     std::ldexp(static_cast<double>(rng() >> 11), -int(rng() % 1100))};
        const Threshold t = i % 5 == 4 ? makeThreshold(anyValue[rng() % std::size(anyValue)])
                                       : makeThreshold(total, alpha);
        const std::string text =
            i % 4 == 1 || !std::isfinite(t.value) ? texts.next() : nearThreshold(rng, t);
        const Verdict expected = referenceVerdict(text, t.value);
        const Verdict quick = paddedVerdict(text, t, true);
        if (quick != Verdict::Undecided) {
            ASSERT_EQ(quick, expected) << alpha << " / " << total << ": " << text;
        }
        ASSERT_EQ(paddedVerdict(text, t), expected) << alpha << " / " << total << ": " << text;
    }
}

inline std::string randomCount(std::mt19937_64& rng) {
    static const char* const odd[] = {
        "-2",          "+7",
        "3.7",         "abc",
        "\r5",         "5\r",
        "-0",          "0x10",
        "12abc",       "2147483647",
        "-2147483648", "0000000000000000000000000000000000000000000000000000000000000000000009",
        "007",         "0000",
        "12345",       "99999999999"};
    switch (rng() % 10) {
        case 0:
            return odd[rng() % std::size(odd)];
        case 1:
            return std::to_string(rng() % 100000000);
        case 2:
            return "0";
        default:
            return std::to_string(rng() % (rng() % 2 ? 100 : 10000));
    }
}

// Rows of the count table read by readRow (with the kernels in use) against
// a straightforward reading.
inline void sweepCountRows(int cases) {
    std::mt19937_64 rng(1);
    std::string table;
    std::vector<std::pair<int32_t, int32_t>> groups;
    for (int i = 0; i < cases; ++i) {
        const int32_t noCases = static_cast<int32_t>(rng() % (i % 50 ? 12 : 90)),
                      noControls = static_cast<int32_t>(rng() % 12);
        auto sep = [&] { return std::string(1 + rng() % 3 / 2, " \t"[rng() % 2]); };
        std::string line = rng() % 4 ? "" : sep();
        line += "ACGT" + sep() + "5" + sep() + "x" + sep() + (i % 97 ? "0.25" : "NA");
        const int fields = noCases + noControls - 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < fields; ++f) line += sep() + randomCount(rng);
        if (rng() % 3 == 0) line += sep();
        if (i % 1000 == 0) line = sep();
        if (i % 1000 == 1) line = "only three fields";
        table += line + (rng() % 4 ? "\n" : "\r\n");
        groups.emplace_back(noCases, noControls);
    }
    const auto source = plainSource(memoryFile(table));
    LineReader reader(*source, 0, 4096, true);
    std::string_view line;
    for (const auto& [noCases, noControls] : groups) {
        ASSERT_TRUE(reader.next(line));
        RowSums got, expected;
        const RowResult r = readRow(reader, line, noCases, noControls, got);
        const RowResult e = referenceRow(std::string(line), noCases, noControls, expected);
        const std::string shown(line);
        if (e.status == RowStatus::TooFewFields && r.status == RowStatus::CountOutOfRange)
            continue;  // both are errors; which one a short row with a bad count gets may differ
        ASSERT_EQ(r.status, e.status) << shown;
        if (r.status == RowStatus::TooFewFields) {
            ASSERT_EQ(r.fieldsFound, e.fieldsFound) << shown;
        }
        if (r.status != RowStatus::Ok) continue;
        ASSERT_EQ(got.caseSum, expected.caseSum) << shown;
        ASSERT_EQ(got.controlSum, expected.controlSum) << shown;
        ASSERT_EQ(got.casesPresent, expected.casesPresent) << shown;
        ASSERT_EQ(got.controlsPresent, expected.controlsPresent) << shown;
        ASSERT_EQ(bits(got.value), bits(expected.value)) << shown;
    }
}

// The instruction sets this CPU runs besides the scalar one.
inline std::vector<simd::Set> fasterSets() {
    std::vector<simd::Set> sets;
    for (simd::Set set : simd::allSets) {
        if (set == simd::Set::Scalar) continue;
        if (simd::supported(set))
            sets.push_back(set);
        else
            std::printf("note: %s is not supported here; its kernels are not tested\n",
                        simd::setName(set));
    }
    return sets;
}

// Runs `check` under every supported set in turn, the scalar one first, and
// restores the default.
template <typename Check>
void underEverySet(Check check) {
    for (simd::Set set : simd::allSets) {
        if (!simd::supported(set)) continue;
        simd::useKernels(set);
        check(set);
    }
    simd::useKernels(fasterSets().empty() ? simd::Set::Scalar : fasterSets().back());
}

inline bool sameWalk(const simd::CountWalk& a, const simd::CountWalk& b) {
    if (a.bad || b.bad) return a.bad == b.bad && a.badLength == b.badLength;
    return a.sum == b.sum && a.present == b.present && a.read == b.read && a.next == b.next;
}

// readCounts, its counts then added up by addSamples as cohortmeans adds
// them (onto sums already under way), and by addShortSamples when no count
// was read one by one: the walk walkCounts gives, and the counts read, in
// `counts`.
inline simd::CountWalk storedWalk(const simd::Kernels& k, const char* p, const char* end, int64_t n,
                                  std::vector<int32_t>& counts) {
    counts.assign(static_cast<size_t>(n) + simd::kCountSlack, 0);
    simd::CountWalk walk = k.readCounts(p, end, n, counts.data());
    if (walk.bad) return walk;
    counts.resize(static_cast<size_t>(walk.read));
    std::vector<int64_t> totals(counts.size(), 7), present(counts.size(), 3);
    const simd::RowCounts row =
        k.addSamples(counts.data(), counts.size(), totals.data(), present.data());
    for (size_t s = 0; s < counts.size(); ++s) {
        EXPECT_EQ(totals[s], 7 + int64_t{counts[s]}) << k.name;
        EXPECT_EQ(present[s], 3 + (counts[s] > 0)) << k.name;
    }
    if (walk.slow == 0) {
        std::vector<uint32_t> packed(counts.size(), 5 + (2u << simd::kPresentShift));
        const simd::RowCounts shortRow =
            k.addShortSamples(counts.data(), counts.size(), packed.data());
        EXPECT_TRUE(shortRow.sum == row.sum && shortRow.present == row.present) << k.name;
        for (size_t s = 0; s < counts.size(); ++s)
            EXPECT_EQ(packed[s],
                      5 + uint32_t(counts[s]) + ((2u + (counts[s] > 0)) << simd::kPresentShift))
                << k.name;
    }
    walk.sum = row.sum, walk.present = row.present;
    return walk;
}

// Long random buffers through every kernel, compared with the scalar ones.
inline void sweepKernels(int cases) {
    std::mt19937_64 rng(4);
    const simd::Kernels& scalar = simd::kernelsFor(simd::Set::Scalar);
    const std::vector<simd::Set> sets = fasterSets();
    for (int i = 0; i < cases; ++i) {
        std::string text;
        const size_t size = rng() % 2000;
        while (text.size() < size) {
            text += rng() % 8 ? randomCount(rng)
                              : std::string(1 + rng() % 70, "0123456789x"[rng() % 11]);
            text += std::string(1 + rng() % 2, " \t\n"[rng() % (i % 2 ? 2 : 3)]);
        }
        const size_t blocks = (text.size() + 63) / 64;
        text.append(64 * blocks + 64 - text.size(), "7 "[rng() % 2]);
        const char* end = text.data() + size;
        const int64_t n = static_cast<int64_t>(rng() % 400);
        const simd::CountWalk expected = scalar.walkCounts(text.data(), end, n);
        std::vector<uint64_t> nl(blocks), dl(blocks), nl2(blocks), dl2(blocks);
        scalar.index(text.data(), blocks, nl.data(), dl.data());
        for (simd::Set set : sets) {
            const simd::Kernels& k = simd::kernelsFor(set);
            ASSERT_TRUE(sameWalk(k.walkCounts(text.data(), end, n), expected))
                << k.name << " n=" << n << ": " << text.substr(0, size);
            std::vector<int32_t> counts;
            ASSERT_TRUE(sameWalk(storedWalk(k, text.data(), end, n, counts), expected));
            if (!expected.bad) {
                ASSERT_EQ(counts, referenceWalk(text.substr(0, size), 0, n).counts) << k.name;
            }
            k.index(text.data(), blocks, nl2.data(), dl2.data());
            ASSERT_EQ(nl2, nl) << k.name;
            ASSERT_EQ(dl2, dl) << k.name;
        }
    }
}
