#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "corrections.h"
#include "e2e_harness.h"
#include "filter.h"
#include "number_texts.h"
#include "pvalue.h"
#include "reference.h"
#include "report.h"
#include "sweeps.h"

namespace {

TEST(Bonferroni, DescribedThresholdCases) {
    const struct {
        int64_t total;
        const char* text;
        Verdict expected;
    } cases[] = {
        {100, "0.0005", Verdict::Fail},
        {100, "0.00049", Verdict::Pass},
        {100, "5e-4", Verdict::Fail},
        {1000000, "5e-08", Verdict::Pass},
        {100, "nan", Verdict::Fail},
        {100, "-nan", Verdict::Fail},
        {100, "inf", Verdict::Fail},
        {100, "-inf", Verdict::Pass},
        {100, "abc", Verdict::NotANumber},
        {100, "", Verdict::NotANumber},
        {100, ".", Verdict::NotANumber},
        {100, "0.0004abc", Verdict::Pass},
        {100, "-0", Verdict::Pass},
        {100, "0e999999999999", Verdict::Pass},
        {100, "1e-400", Verdict::Pass},
        {100, "1e400", Verdict::Fail},
        {100, "0x1p-12", Verdict::Pass},
        {100, "0x1p-10", Verdict::Fail},
        {100, "00x1", Verdict::Pass},
        {1, "0.04999999999999999", Verdict::Pass},
        {100, "0.0000000000000000000000000000000000000000001e+40", Verdict::Fail},
        {100, "1000000000000000000000000000000000000000000e-46", Verdict::Pass},
    };
    for (const auto& c : cases) {
        const Threshold t = makeThreshold(c.total);
        EXPECT_EQ(paddedVerdict(c.text, t), c.expected) << c.total << " " << c.text;
        EXPECT_EQ(referenceVerdict(c.text, t.value), c.expected) << c.total << " " << c.text;
    }
}

TEST(Bonferroni, FastVerdictMatchesStrtodComparison) {
    sweepVerdicts(200000);
}

const char* const inputs[] = {"total_kmers.txt", "case_out_wo_bonf.kmerDiff",
                              "control_out_wo_bonf.kmerDiff"};
const char* const outputs[] = {"case_out_sig.fasta", "control_out_sig.fasta"};

struct SieveRun {
    RunResult result;
    std::string caseOut, controlOut;
};

SieveRun sieve(const std::string& total, const std::string& cases, const std::string& controls,
               const std::vector<std::string>& args = {}) {
    Scratch s;
    s.write(inputs[0], total);
    s.write(inputs[1], cases);
    s.write(inputs[2], controls);
    SieveRun r{s.run(SIGSIEVE_PATH, args), s.read(outputs[0]), s.read(outputs[1])};
    return r;
}

TEST(Sigsieve, WritesPassingKmersAsNumberedFasta) {
    const std::string longKmer(16000, 'G');
    const std::string longRecord = "AC\t1\t2\t0.0001\t" + std::string(11000, 'x') + "\n";
    const struct {
        std::string total, cases, controls, caseOut, controlOut;
    } cases[] = {
        {"100\n", "A 1 2 0.0005\nC 1 2 0.00049\n", "", ">0\nC\n", ""},
        {"1000000", "K\t0\t0\t5e-08\n", "K 0 0 5e-08\n", ">0\nK\n", ">0\nK\n"},
        {"100", "A 1 2 0.1\nB 1 2 0.0001\n\n  \t\nC 1 2 1e-9 extra fields\n", "D 1 2 0\n",
         ">0\nB\n>1\nC\n", ">0\nD\n"},
        {"100", "", "E 1 2 1e-5\r\nF 1 2 0.5\r\n", "", ">0\nE\n"},
        {"  +100\nignored", "x 1 2 nan\ny 1 2 inf\nz 1 2 -inf\n", "", ">0\nz\n", ""},
        {"100", longKmer + " 5 6 1e-10\n", longRecord, ">0\n" + longKmer + "\n", ">0\nAC\n"},
        {"100", "A 1 2 0.0001", "B 1 2 0.0001\r", ">0\nA\n", ">0\nB\n"},
        {"100.000 tested\n", "A 1 2 0.0004\n", "", ">0\nA\n", ""},
        {"100.", "A 1 2 0.0004\n", "", ">0\nA\n", ""},
    };
    for (const auto& c : cases) {
        SieveRun r = sieve(c.total, c.cases, c.controls);
        EXPECT_EQ(r.result.status, 0) << r.result.err;
        EXPECT_EQ(r.result.err, "");
        EXPECT_EQ(r.caseOut, c.caseOut) << c.cases.substr(0, 80);
        EXPECT_EQ(r.controlOut, c.controlOut) << c.controls.substr(0, 80);
    }
}

TEST(Sigsieve, RejectsABadCountWithoutTouchingOutputs) {
    const struct {
        std::string total, message;
    } cases[] = {
        {"",
         "sigsieve: total_kmers.txt:1: expected the number of k-mers tested, found the end of the "
         "file\n"},
        {" \n\n",
         "sigsieve: total_kmers.txt:3: expected the number of k-mers tested, found the end of the "
         "file\n"},
        {"abc\n",
         "sigsieve: total_kmers.txt:1: expected the number of k-mers tested, found 'abc'\n"},
        {"\n- 5",
         "sigsieve: total_kmers.txt:2: expected the number of k-mers tested, found '- 5'\n"},
        {"0", "sigsieve: total_kmers.txt:1: number of k-mers tested must be at least 1, found 0\n"},
        {"-7",
         "sigsieve: total_kmers.txt:1: number of k-mers tested must be at least 1, found -7\n"},
        {"9223372036854775808",
         "sigsieve: total_kmers.txt:1: number of k-mers tested 9223372036854775808 is out of "
         "range\n"},
        {"123456789012345678901234567890",
         "sigsieve: total_kmers.txt:1: number of k-mers tested 123456789012345678901234567890 is "
         "out of range\n"},
        // Numbers that are not written as whole numbers are not read up to
        // their first other character.
        {"1e+09\n",
         "sigsieve: total_kmers.txt:1: the number of k-mers tested must be a whole "
         "number, found '1e+09'\n"},
        {" 1.5e6 x",
         "sigsieve: total_kmers.txt:1: the number of k-mers tested must be a whole "
         "number, found '1.5e6'\n"},
        {"5,000,000",
         "sigsieve: total_kmers.txt:1: the number of k-mers tested must be a whole "
         "number, found '5,000,000'\n"},
        {"2.50",
         "sigsieve: total_kmers.txt:1: the number of k-mers tested must be a whole "
         "number, found '2.50'\n"},
    };
    for (const auto& c : cases) {
        Scratch s;
        s.write(inputs[0], c.total);
        s.write(inputs[1], "A 1 2 0\n");
        s.write(inputs[2], "A 1 2 0\n");
        s.write(outputs[1], "old");
        RunResult r = s.run(SIGSIEVE_PATH);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(s.exists(outputs[0]));
        EXPECT_EQ(s.read(outputs[1]), "old");
    }
    SieveRun max = sieve("9223372036854775807", "A 1 2 0\n", "");
    EXPECT_EQ(max.result.status, 0);
    EXPECT_EQ(max.caseOut, ">0\nA\n");
}

TEST(Sigsieve, FailsOnMalformedRecords) {
    const struct {
        std::string cases, message;
    } bad[] = {
        {"A 1 2 0\nB 1 2\n",
         "case_out_wo_bonf.kmerDiff:2: 3 fields, a record needs 4 (k-mer, two integers, p-value)"},
        {"\r\nB\n",
         "case_out_wo_bonf.kmerDiff:2: 1 field, a record needs 4 (k-mer, two integers, p-value)"},
        {"kmer\tcases\tcontrols\tpvalue\n",
         "case_out_wo_bonf.kmerDiff:1: p-value 'pvalue' is not a number"},
        {"A 1 2 +-1\n", "case_out_wo_bonf.kmerDiff:1: p-value '+-1' is not a number"},
    };
    for (const auto& c : bad) {
        SieveRun r = sieve("100", c.cases, "A 1 2 0\n");
        EXPECT_EQ(r.result.status, 1);
        EXPECT_EQ(r.result.err, "sigsieve: " + c.message + "\n");
    }
}

TEST(Sigsieve, MatchesAStraightforwardFilterOnRandomRecords) {
    std::mt19937_64 rng(99);
    NumberTexts texts(7);
    for (int round = 0; round < 20; ++round) {
        // Odd rounds give a random level and the total with -a and -n; the
        // total file then holds no number, as it must not be read.
        const int64_t total = round % 2 ? 1 + static_cast<int64_t>(rng() % 100000000) : 100;
        const double alpha = round % 2 ? randomAlpha(rng) : defaultAlpha;
        const Threshold t = makeThreshold(total, alpha);
        char alphaText[40];
        std::snprintf(alphaText, sizeof alphaText, "%.17g", alpha);
        std::string files[2];
        for (auto& file : files) {
            for (int i = 0; i < 3000; ++i) {
                auto sep = [&] { return std::string(1 + rng() % 2, " \t"[rng() % 2]); };
                std::string pvalue;
                do pvalue = i % 2 ? texts.next() : nearThreshold(rng, t);
                while (referenceVerdict(pvalue, t.value) == Verdict::NotANumber ||
                       pvalue.find_first_of(" \t\n") != std::string::npos);
                std::string kmer(1 + rng() % 40, 'A');
                for (char& c : kmer) c = "ACGTN"[rng() % 5];
                file += (rng() % 4 ? "" : sep()) + kmer + sep() + std::to_string(rng() % 100) +
                        sep() + std::to_string(rng() % 100) + sep() + pvalue;
                if (rng() % 4 == 0) file += sep() + "extra";
                file += rng() % 5 ? "\n" : rng() % 2 ? "\r\n" : "\n\n";
            }
        }
        SieveRun r = round % 2 ? sieve("unread", files[0], files[1],
                                       {"-a", alphaText, "--total", std::to_string(total)})
                               : sieve(std::to_string(total), files[0], files[1]);
        ASSERT_EQ(r.result.status, 0) << r.result.err;
        ASSERT_EQ(r.caseOut, referenceFasta(files[0], t.value));
        ASSERT_EQ(r.controlOut, referenceFasta(files[1], t.value));
    }
}

}  // namespace

namespace {

// Well-formed enough for a renderer: every tag closed in order.
bool tagsBalance(const std::string& xml) {
    std::vector<std::string> open;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        const size_t end = xml.find('>', at);
        if (end == std::string::npos) return false;
        const std::string tag = xml.substr(at + 1, end - at - 1);
        if (tag[0] == '?' || tag.back() == '/') continue;
        const std::string name =
            tag.substr(tag[0] == '/', tag.find_first_of(" \n") - (tag[0] == '/'));
        if (tag[0] != '/') {
            open.push_back(name);
        } else if (open.empty() || open.back() != name) {
            return false;
        } else {
            open.pop_back();
        }
    }
    return open.empty();
}


// The shortest text that reads back as v, as the report and table write.
std::string number(double v) {
    char text[shortestLength];
    return std::string(text, formatShortest(text, v));
}

Method parse(const char* name) {
    Method m = Method::Bonferroni;
    parseMethod(name, m);
    return m;
}

// The corrections end to end: the FASTA files hold exactly the records the
// report's cutoff lets through, the report counts them and gives lambda
// from the exact median, the plot is a bounded, well-formed SVG file; a
// pipe as input, or more p-values than k-mers tested, is refused.
TEST(Sigsieve, MethodsReportAndPlot) {
    std::mt19937_64 rng(5);
    std::string files[2];
    std::vector<double> ps[2], all;
    for (int f = 0; f < 2; ++f) {
        for (int i = 0; i < 3000 - 1000 * f; ++i) {
            const double u = std::ldexp(static_cast<double>(rng() >> 11), -53);
            // Ties, alpha itself, powers of ten and 1 among them.
            const double tie[] = {0.25, 0.05, 0.1, 1, 0.01, 1e-9};
            const double p = i % 10 == 0 ? u * 1e-6 : i % 37 == 0 ? tie[i % 6] : u;
            char text[64];
            std::snprintf(text, sizeof text, i % 211 == 0 ? "nan" : i % 3 ? "%.17g" : "%g", p);
            files[f] += "K" + std::to_string(i) + " 1 2 " + text + "\n";
            if (i % 211) ps[f].push_back(p), all.push_back(p);
        }
    }
    std::sort(all.begin(), all.end());
    const double middle = all.size() % 2 ? all[all.size() / 2]
                                         : all[all.size() / 2 - 1] / 2 + all[all.size() / 2] / 2;
    // Of the 5000 tested, the absent ones above every p-value present.
    const double testedMiddle = all[2499] / 2 + all[2500] / 2;
    for (const char* method :
         {"bonferroni", "holm", "bh", "by", "hochberg", "sidak", "sidak-sd", "storey"}) {
        for (const char* alpha : {"0.05", "1"}) {
            Scratch s;
            s.write(inputs[1], files[0]);
            s.write(inputs[2], files[1]);
            const RunResult r =
                s.run(SIGSIEVE_PATH, {"-n", "5000", "-a", alpha, "-m", method, "--report=r.tsv",
                                      "--qq-plot", "q.svg", "--table=t.tsv", "--hist-plot=h.svg"});
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string report = s.read("r.tsv");
            std::vector<std::vector<std::string>> rows;
            std::istringstream lines(report);
            for (std::string line; std::getline(lines, line);) {
                rows.emplace_back();
                std::istringstream cells(line);
                for (std::string cell; std::getline(cells, cell, '\t');)
                    rows.back().push_back(cell);
            }
            ASSERT_EQ(rows.size(), 4u) << report;
            const double cutoff = std::strtod(rows[1][4].c_str(), nullptr);
            const bool inclusive = rows[1][5] == "<=";
            for (int f = 0; f < 2; ++f) {
                std::string expected;
                int64_t index = 0;
                std::istringstream records(files[f]);
                for (std::string kmer, a, b, p; records >> kmer >> a >> b >> p;) {
                    const double v = std::strtod(p.c_str(), nullptr);
                    if (inclusive ? v <= cutoff : v < cutoff)
                        expected += ">" + std::to_string(index++) + "\n" + kmer + "\n";
                }
                EXPECT_TRUE(s.read(outputs[f]) == expected) << method << " " << alpha;
                EXPECT_EQ(rows[1 + f][8], std::to_string(index)) << method;
            }
            // Without the report and the plot, only the cutoff is sought.
            const std::string withReport[] = {s.read(outputs[0]), s.read(outputs[1])};
            ASSERT_EQ(s.run(SIGSIEVE_PATH, {"-n", "5000", "-a", alpha, "-m", method}).status, 0);
            EXPECT_TRUE(s.read(outputs[0]) == withReport[0]) << method << " " << alpha;
            EXPECT_TRUE(s.read(outputs[1]) == withReport[1]) << method << " " << alpha;
            EXPECT_EQ(rows[3][7], std::to_string(all.size()));
            EXPECT_NEAR(std::strtod(rows[3][12].c_str(), nullptr), genomicControl(middle), 1e-6);
            EXPECT_NEAR(std::strtod(rows[3][11].c_str(), nullptr), genomicControl(testedMiddle),
                        1e-6);
            // The table: a row per FASTA record, in order, with R's
            // adjusted value over the family.
            const double pi0 = std::strtod(rows[1][10].c_str(), nullptr);
            std::vector<double> family;  // as read from the texts
            for (const std::string& file : files) {
                std::istringstream records(file);
                for (std::string kmer, a, b, p; records >> kmer >> a >> b >> p;)
                    family.push_back(std::strtod(p.c_str(), nullptr));
            }
            const Method m = parse(method);
            const std::vector<double> adjusted =
                referenceAdjusted(m, 5000, family, m == Method::Storey ? pi0 : 1);
            std::string expected = tableHeader;
            size_t at = 0;
            for (int f = 0; f < 2; ++f) {
                int64_t index = 0;
                std::istringstream records(files[f]);
                for (std::string kmer, a, b, p; records >> kmer >> a >> b >> p;) {
                    const double v = std::strtod(p.c_str(), nullptr), q = adjusted[at++];
                    if (!(inclusive ? v <= cutoff : v < cutoff)) continue;
                    expected += std::string(f ? "control" : "case") + "\t" +
                                std::to_string(index++) + "\t" + kmer + "\t" + a + "\t" + b + "\t" +
                                p + "\t" + number(q) + "\t" + number(0 - std::log10(v)) + "\n";
                }
            }
            EXPECT_TRUE(s.read("t.tsv") == expected) << method << " " << alpha;
            // The JSON report holds the same cells, NA as null.
            ASSERT_EQ(s.run(SIGSIEVE_PATH,
                            {"-n", "5000", "-a", alpha, "-m", method, "--report=r_mqc.json"})
                          .status,
                      0);
            std::map<std::string, std::string> json;
            ASSERT_TRUE(readJson(s.read("r_mqc.json"), json)) << s.read("r_mqc.json");
            EXPECT_EQ(std::count_if(json.begin(), json.end(),
                                    [](const auto& kv) { return kv.first.starts_with("data."); }),
                      static_cast<std::ptrdiff_t>(3 * rows[0].size()));
            EXPECT_EQ(json["plot_type"], "table");
            // Every column is described to MultiQC, every number column
            // formatted (else it shows one decimal), none coloured.
            for (const std::string& column : rows[0]) {
                const std::string header = "headers." + column + ".";
                EXPECT_FALSE(json[header + "title"].empty()) << column;
                EXPECT_FALSE(json[header + "description"].empty()) << column;
                EXPECT_EQ(json[header + "scale"], "false") << column;
                const bool text = column == "input" || column == "method" || column == "rule";
                EXPECT_EQ(json.count(header + "format"), text ? 0u : 1u) << column;
            }
            for (const auto& [key, column] :
                 {std::pair{"method", 1}, {"alpha", 2}, {"tested", 3}, {"pi0", 10}})
                EXPECT_EQ(json[key], rows[1][column]) << key;
            for (int g = 0; g < 3; ++g)
                for (size_t c = 0; c < rows[0].size(); ++c) {
                    const std::string path = std::string("data.") +
                                             (g == 0   ? "case"
                                              : g == 1 ? "control"
                                                       : "both") +
                                             "." + rows[0][c];
                    EXPECT_EQ(json[path], rows[1 + g][c]) << path;
                }
            for (const char* plot : {"q.svg", "h.svg"}) {
                const std::string svg = s.read(plot);
                EXPECT_TRUE(tagsBalance(svg)) << method << " " << plot;
                EXPECT_LT(svg.size(), 1u << 20);
                if (std::system("command -v rsvg-convert >/dev/null") == 0) {
                    EXPECT_EQ(
                        s.run("/bin/sh", {"-c", std::string("rsvg-convert ") + plot + " -o p.png"})
                            .status,
                        0)
                        << plot;
                }
            }
        }
    }
    Scratch s;
    s.write(inputs[1], files[0]);
    s.write(inputs[2], files[1]);
    const RunResult piped = s.run(SIGSIEVE_PATH, {"-n", "5000", "-m", "bh", "--case=-"});
    EXPECT_EQ(piped.status, 2);
    EXPECT_EQ(piped.err.substr(0, piped.err.find('\n')),
              "sigsieve: --method reads the records more than once, and standard input cannot be "
              "read twice (save it to a file first)");
    const RunResult many = s.run(SIGSIEVE_PATH, {"-n", "100", "-m", "holm"});
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(many.err, "sigsieve: " + std::to_string(all.size()) +
                            " p-values present, more than the 100 k-mers tested\n");
    EXPECT_EQ(s.names(), (std::vector<std::string>{inputs[1], inputs[2]}));
    // bonferroni and sidak need no family: their report says pi0 is NA.
    ASSERT_EQ(s.run(SIGSIEVE_PATH, {"-n", "100", "-m", "sidak", "--report=over.tsv"}).status, 0);
    std::istringstream overRows(s.read("over.tsv"));
    for (std::string row; std::getline(overRows, row);) {
        std::vector<std::string> cells;
        std::istringstream split(row);
        for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
        ASSERT_EQ(cells.size(), 13u);
        EXPECT_TRUE(cells[10] == "pi0" || cells[10] == "NA") << row;
    }
    unlink(s.path("over.tsv").c_str());
    // A name with a tab, a newline, a carriage return and a backslash keeps
    // the report's columns; an input without p-values has lambda NA in both
    // files.
    const std::string odd = "c\tx\ny\\z\rw";
    s.write(odd, "");
    ASSERT_EQ(s.run(SIGSIEVE_PATH,
                    {"-n", "5000", "--control=" + odd, "--report=r.tsv", "--qq-plot=q.svg"})
                  .status,
              0);
    const std::string report = s.read("r.tsv");
    EXPECT_NE(report.find("\nc\\tx\\ny\\\\z\\rw\tbonferroni\t"), std::string::npos) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\t'), 48) << report;
    EXPECT_NE(report.find("\tNA\tNA\n"), std::string::npos) << report;
    // In JSON the name is a string again, any byte that is not UTF-8 U+FFFD.
    const std::string named = "c\"\\\x01\xff\xc3\xa9\xe2\x82";
    s.write(named, "");
    ASSERT_EQ(s.run(SIGSIEVE_PATH,
                    {"-n", "5000", "--control=" + named, "--report=r.json", "--qq-plot=named.svg"})
                  .status,
              0);
    // The plot of such a name is still well-formed XML: UTF-8 throughout, no
    // control character XML refuses.
    const std::string namedSvg = s.read("named.svg");
    EXPECT_TRUE(tagsBalance(namedSvg));
    EXPECT_EQ(s.run("/bin/sh", {"-c", "iconv -f UTF-8 -t UTF-8 named.svg >/dev/null"}).status, 0);
    EXPECT_EQ(std::count_if(namedSvg.begin(), namedSvg.end(),
                            [](char c) { return c >= 0 && c < 0x20 && c != '\n'; }),
              0);
    if (std::system("command -v rsvg-convert >/dev/null") == 0) {
        EXPECT_EQ(s.run("/bin/sh", {"-c", "rsvg-convert named.svg -o p.png"}).status, 0);
    }
    std::map<std::string, std::string> json;
    ASSERT_TRUE(readJson(s.read("r.json"), json)) << s.read("r.json");
    EXPECT_EQ(json["data.control.input"], "c\"\\\x01\xef\xbf\xbd\xc3\xa9\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(json["data.control.lambda"], "NA");
    const std::string svg = s.read("q.svg");
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_NE(svg.find(">control: c\tx\ny\\z\rw<"), std::string::npos) << svg;
}

// lambda of the N tested: exact while the median lies among the p-values
// present, NA once it falls among the absent ones; lambda_present keeps to
// those present. The QQ plot draws zeros on its top edge, which the
// smallest positive p-value sets.
TEST(Sigsieve, LambdaOfTheTestedAndZerosInThePlot) {
    Scratch s;
    s.write(inputs[1], "a 1 2 0\nb 1 2 0\nc 1 2 0.001\nd 1 2 0.5\ne 1 2 0.25\n");
    s.write(inputs[2], "");
    const struct {
        const char* total;
        double median;  // NAN for NA
    } cases[] = {{"5", 0.001}, {"7", 0.25}, {"9", 0.5}, {"10", NAN}, {"11", NAN}, {"8", 0.375}};
    for (const auto& c : cases) {
        ASSERT_EQ(s.run(SIGSIEVE_PATH, {"-n", c.total, "--report=r.tsv", "--qq-plot=q.svg"}).status,
                  0);
        std::istringstream lines(s.read("r.tsv"));
        std::string header, row;
        std::getline(lines, header);
        std::getline(lines, row);
        std::vector<std::string> cells;
        std::istringstream split(row);
        for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
        ASSERT_EQ(cells.size(), 13u) << row;
        EXPECT_EQ(cells[11], c.median == c.median ? number(genomicControl(c.median)) : "NA")
            << c.total;
        EXPECT_EQ(cells[12], number(genomicControl(0.001))) << c.total;
        const std::string svg = s.read("q.svg");
        // One family: its 5 p-values as points or zeros, then the legend's
        // two, each input by its group and its file's name.
        size_t circles = 0;
        for (size_t at = 0; (at = svg.find("<circle", at)) != std::string::npos; ++at) ++circles;
        EXPECT_EQ(circles, 3u + 2u) << c.total;
        EXPECT_NE(svg.find(">case: " + std::string(inputs[1]) + ", 2 at 0<"), std::string::npos)
            << svg;
        EXPECT_NE(svg.find("width=\"5\" height=\"5\""), std::string::npos);
        EXPECT_EQ(svg.find(">300<"), std::string::npos) << "the zeros set the top";
    }
}

}  // namespace
