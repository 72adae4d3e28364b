#include <gtest/gtest.h>
#include <sys/stat.h>

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
