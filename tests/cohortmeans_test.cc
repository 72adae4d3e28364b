#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

RunResult means(const std::string& table, std::vector<std::string> args,
                Stdout mode = Stdout::Capture) {
    Scratch s;
    s.write("test.txt", table);
    RunResult r = s.run(COHORTMEANS_PATH, args, mode);
    EXPECT_FALSE(s.exists("cohortmeans.txt"));
    return r;
}

TEST(Cohortmeans, PrintsTheFiveMeans) {
    std::string wide = "K\t1\t2\t3";
    for (int i = 0; i < 6000; ++i) wide += i % 2 ? "\t0" : "\t7";
    const struct {
        std::string table;
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {"kmer\t5\t6\t0.5\t3\t0\t2\t1\n", {"2", "2"}, "0.5,3,3,1,2\n"},
        {"k\t5\t6\t0.2\t1\t1\t0\t0\nk\t5\t6\t0.4\t3\t0\t0\t5\n",
         {"2", "2"},
         "0.3,2.5,2.5,1.5,0.5\n"},
        {"k 5 6 1 -2 4\n", {"2", "0"}, "1,2,0,1,0\n"},
        {"k 5 6 0.25 7 8\n", {"0", "0"}, "0.25,0,0,0,0\n"},
        {"", {"2", "2"}, "-nan,-nan,-nan,-nan,-nan\n"},
        {"\n \t\n\r\n", {"1", "1"}, "-nan,-nan,-nan,-nan,-nan\n"},
        {"k 5 6 999999.7 1 1\r\n\r\nk 5 6 999999.7 2 2\r\n",
         {"+1", "1", "ignored"},
         "1e+06,1.5,1.5,1,1\n"},
        {"k 5 6 1e-5 3.7 abc\nk 5 6 1e-5 0 0\nk 5 6 1e-5 0 0\n",
         {"1", "1"},
         "1e-05,1,0,0.333333,0\n"},
        {"k 5 6 0x0p3 12abc 0 extra fields\n", {"1", "1"}, "0,12,0,1,0\n"},
        {wide + "\n" + wide, {"3000", "3000"}, "3,10500,10500,1500,1500\n"},
    };
    for (const auto& c : cases) {
        RunResult r = means(c.table, c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.args.size() > 2
                             ? "cohortmeans: warning: file operands are ignored (name "
                               "the table with -i)\n"
                             : "");
        EXPECT_EQ(r.out, c.line) << c.table.substr(0, 60);
    }
}

TEST(Cohortmeans, RejectsBadArgumentsAndRows) {
    const struct {
        std::string table;
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {"k 5 6 1 1 1\n",
         {"1"},
         2,
         "cohortmeans: expected two arguments: the numbers of case and control samples\n"
         "Try 'cohortmeans --help' for more information.\n"},
        {"k 5 6 1 1 1\n",
         {"abc", "1"},
         2,
         "cohortmeans: invalid number of case samples: 'abc'\nTry 'cohortmeans --help' for more "
         "information.\n"},
        {"k 5 6 1 1 1\n",
         {"1", "-1"},
         2,
         "cohortmeans: invalid number of control samples: '-1'\nTry 'cohortmeans --help' for more "
         "information.\n"},
        {"k 5 6 1 1 1\n",
         {"1", ""},
         2,
         "cohortmeans: invalid number of control samples: ''\nTry 'cohortmeans --help' for more "
         "information.\n"},
        {"k 5 6 1 1 1\n",
         {"2147483648", "1"},
         2,
         "cohortmeans: number of case samples is too large: '2147483648'\n"
         "Try 'cohortmeans --help' for more information.\n"},
        {"k 5 6 1 1 1\n\nk 5 6 1 1\n",
         {"1", "1"},
         1,
         "cohortmeans: test.txt:3: 5 fields, a row needs 6 (k-mer, 3 columns, 1 case and 1 control "
         "counts)\n"},
        {"k 5 6\n",
         {"0", "0"},
         1,
         "cohortmeans: test.txt:1: 3 fields, a row needs 4 (k-mer, 3 columns, 0 case and 0 control "
         "counts)\n"},
        {"k 5 6 1 2147483648 1\n",
         {"1", "1"},
         1,
         "cohortmeans: test.txt:1: count '2147483648' is out of the 32-bit range\n"},
        // Read one by one for the report, counts fail the same way.
        {"k 5 6 1 2147483648 1\n",
         {"1", "1", "--report=r.tsv"},
         1,
         "cohortmeans: test.txt:1: count '2147483648' is out of the 32-bit range\n"},
        {"k 5 6 1 1\n",
         {"1", "1", "--spectrum=s.tsv"},
         1,
         "cohortmeans: test.txt:1: 5 fields, a row needs 6 (k-mer, 3 columns, 1 case and 1 control "
         "counts)\n"},
        {"kmer a b value s1\nk 5 6 1 1 1\n",
         {"1", "1", "--header"},
         1,
         "cohortmeans: test.txt:1: the header names 5 columns, a row has 6 (k-mer, 3 columns, 1 "
         "case and 1 control counts)\n"},
        {"kmer a b value s1 s2\nk 5 6 1 1 1\n",
         {"1", "1"},
         1,
         "cohortmeans: test.txt:1: value 'value' is not a number\n"},
        {"k 5 6 1 1 1\n",
         {"1", "1", "--report=r.tsv", "--spectrum=-"},
         2,
         "cohortmeans: only one output can be '-'\nTry 'cohortmeans --help' for more "
         "information.\n"},
        {"kmer a b value c1 c2\nk 5 6 1 1 1\n",
         {"1", "1"},
         1,
         "cohortmeans: test.txt:1: value 'value' is not a number\n"},
        {"k 5 6 1 1 1\nk 5 6 NA 1 1\n",
         {"1", "1"},
         1,
         "cohortmeans: test.txt:2: value 'NA' is not a number\n"},
    };
    for (const auto& c : cases) {
        RunResult r = means(c.table, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Cohortmeans, HelpNeedsNoTable) {
    Scratch s;
    RunResult help = s.run(COHORTMEANS_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: cohortmeans [OPTION]... NCASES NCONTROLS"), std::string::npos);
}

}  // namespace

namespace {

// The median of the values, the mean of the two middle ones for an even
// number; nan for none.
double medianOf(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return x != x; }), v.end());
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A TSV text as rows of cells.
std::vector<std::vector<std::string>> cellsOf(const std::string& tsv) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(tsv);
    for (std::string line; std::getline(lines, line);) {
        rows.emplace_back();
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) rows.back().push_back(cell);
    }
    return rows;
}

// A number cell as the reference computed it: NA for nan, else the same
// double.
bool sameNumber(const std::string& cell, double expected) {
    return expected != expected ? cell == "NA" : std::strtod(cell.c_str(), nullptr) == expected;
}

}  // namespace

// The per-sample report and the presence spectrum against a plain reading
// of random tables held in memory (zeros, negative counts, a single sample,
// no rows, a header or not), on one thread or four; the JSON report holds
// the same cells. Some tables have hundreds of rows of counts up to 9999,
// the most that rows of short counts add up to before they are unpacked.
TEST(Cohortmeans, ReportAndSpectrumMatchAPlainReading) {
    std::mt19937_64 rng(35);
    for (int round = 0; round < 40; ++round) {
        const int cases = static_cast<int>(rng() % 4), controls = static_cast<int>(rng() % 4);
        const bool large = round % 4 == 3;
        const int samples = cases + controls,
                  rows = round % 10 == 0 ? 0 : int(rng() % (large ? 900 : 200));
        const bool header = rng() % 2;
        std::vector<std::vector<int>> counts(static_cast<size_t>(rows));
        std::string table;
        std::vector<std::string> names;
        for (int s = 0; s < samples; ++s)
            names.push_back(header ? "s" + std::to_string(rng() % 100)
                                   : (s < cases ? "case" + std::to_string(s + 1)
                                                : "control" + std::to_string(s - cases + 1)));
        if (header) {
            table += "kmer a b value";
            for (const auto& n : names) table += " " + n;
            table += "\n";
        }
        for (auto& row : counts) {
            table += "K 1 2 0.5";
            for (int s = 0; s < samples; ++s) {
                const int c = large ? (rng() % 50 ? 9999 - static_cast<int>(rng() % 3) : 0)
                                    : (rng() % 3 ? static_cast<int>(rng() % 60) - 5 : 0);
                row.push_back(c);
                table += (rng() % 2 ? "\t" : " ") + std::to_string(c);
            }
            table += "\n";
        }
        // The reference: each sample's sums, its group's median and spread.
        std::vector<double> total(static_cast<size_t>(samples)),
            present(static_cast<size_t>(samples));
        std::map<std::pair<int, int>, uint64_t> spectrum;
        for (const auto& row : counts) {
            int in[2] = {0, 0};
            for (int s = 0; s < samples; ++s) {
                total[size_t(s)] += row[size_t(s)];
                present[size_t(s)] += row[size_t(s)] > 0;
                in[s >= cases] += row[size_t(s)] > 0;
            }
            ++spectrum[{in[0], in[1]}];
        }
        Scratch s;
        s.write("t.txt", table);
        for (const char* threads : {"-@0", "-@3"}) {
            std::vector<std::string> args = {threads,
                                             "-i",
                                             "t.txt",
                                             "--report=r.tsv",
                                             "--spectrum=s.tsv",
                                             "--report=r.json",
                                             std::to_string(cases),
                                             std::to_string(controls)};
            args.erase(args.begin() + 5);  // the JSON report in a run of its own
            if (header) args.push_back("--header");
            RunResult r = s.run(COHORTMEANS_PATH, args);
            ASSERT_EQ(r.status, 0) << r.err;
            const auto report = cellsOf(s.read("r.tsv"));
            ASSERT_EQ(report.size(), size_t(samples) + 4) << round;
            for (int g = 0; g < 2; ++g) {
                std::vector<double> totals, shares, means, presents;
                const int from = g ? cases : 0, to = g ? samples : cases;
                for (int k = from; k < to; ++k) totals.push_back(total[size_t(k)]);
                const double median = medianOf(totals);
                for (double& t : totals) t = std::fabs(t - median);
                const double spread = 1.4826 * medianOf(totals);
                int outliers = 0;
                for (int k = from; k < to; ++k) {
                    const auto& cells = report[size_t(k) + 1];
                    const double t = total[size_t(k)], p = present[size_t(k)];
                    ASSERT_EQ(cells.size(), 8u);
                    EXPECT_EQ(cells[0], names[size_t(k)]);
                    EXPECT_EQ(cells[1], g ? "control" : "case");
                    EXPECT_EQ(cells[2], std::to_string(int64_t(t)));
                    EXPECT_EQ(cells[3], std::to_string(int64_t(p)));
                    EXPECT_TRUE(sameNumber(cells[4], rows ? p / rows : NAN)) << cells[4];
                    EXPECT_TRUE(sameNumber(cells[5], p ? t / p : NAN)) << cells[5];
                    EXPECT_TRUE(sameNumber(cells[6], median ? t / median : NAN)) << cells[6];
                    const bool outlier = std::fabs(t - median) > 3 * spread;
                    EXPECT_EQ(cells[7], outlier ? "yes" : "no");
                    outliers += outlier;
                    presents.push_back(p), shares.push_back(rows ? p / rows : NAN);
                    means.push_back(p ? t / p : NAN);
                }
                const auto& group = report[size_t(samples) + 1 + size_t(g)];
                EXPECT_EQ(group[0], g ? "control" : "case");
                EXPECT_TRUE(sameNumber(group[3], medianOf(presents))) << group[3];
                // The balance of depth: the group's median total over all samples'.
                const double all = medianOf(total);
                EXPECT_TRUE(sameNumber(group[6], all ? median / all : NAN)) << group[6];
                double sum = 0;
                for (int k = from; k < to; ++k) sum += total[size_t(k)];
                EXPECT_EQ(group[2], std::to_string(int64_t(sum)));
                EXPECT_EQ(group[7], std::to_string(outliers));
            }
            const auto cells = cellsOf(s.read("s.tsv"));
            ASSERT_EQ(cells.size(), size_t((cases + 1) * (controls + 1)) + 1);
            for (size_t at = 1; at < cells.size(); ++at) {
                const std::pair<int, int> cell = {std::stoi(cells[at][0]), std::stoi(cells[at][1])};
                EXPECT_EQ(cells[at][2], std::to_string(spectrum.count(cell) ? spectrum[cell] : 0));
            }
            args.push_back("--report=r.json");
            ASSERT_EQ(s.run(COHORTMEANS_PATH, args).status, 0);
            std::map<std::string, std::string> json;
            ASSERT_TRUE(readJson(s.read("r.json"), json)) << s.read("r.json");
            EXPECT_EQ(json["id"], "cohortmeans");
            EXPECT_EQ(json["plot_type"], "table");
            // Each row's cells, by its name (a repeated one numbered).
            std::map<std::string, int> seen;
            for (size_t row = 1; row < report.size(); ++row) {
                std::string key = report[row][0];
                if (const int n = ++seen[key]; n > 1) key += " (" + std::to_string(n) + ")";
                for (size_t c = 0; c < report[0].size(); ++c)
                    EXPECT_EQ(json["data." + key + "." + report[0][c]], report[row][c])
                        << key << " " << report[0][c];
            }
        }
    }
}
