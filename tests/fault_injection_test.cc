// Every tool against broken surroundings: missing or unreadable inputs,
// outputs that cannot be created or written, truncated and odd input. A run
// that fails says why and exits non-zero, never changes its inputs, and
// creates or changes no output when it fails before reading a record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

struct Tool {
    std::string name, binary;
    std::vector<std::string> args;
    std::map<std::string, std::string> inputs;  // a good run's inputs
    std::vector<std::string> outputs;           // files it writes
};

const Tool tools[] = {
    {"seedtiler", SEEDTILER_PATH, {}, {{"seed.txt", std::string(40, 'A') + "\n"}}, {"kmers.txt"}},
    {"sigsieve",
     SIGSIEVE_PATH,
     {},
     {{"total_kmers.txt", "100\n"},
      {"case_out_wo_bonf.kmerDiff", "A 1 2 0\n"},
      {"control_out_wo_bonf.kmerDiff", "C 1 2 0\n"}},
     {"case_out_sig.fasta", "control_out_sig.fasta"}},
    {"cohortmeans", COHORTMEANS_PATH, {"1", "1"}, {{"test.txt", "k 5 6 1 1 1\n"}}, {}},
};

// Runs the tool with its good inputs after `spoil` has changed the scratch
// directory; checks the message and exit status, that the inputs it did
// not spoil are unchanged, and (when `untouched`) that no output exists.
void expectFailure(const Tool& tool, const std::function<void(const Scratch&)>& spoil,
                   const std::string& message, bool untouched, Stdout mode = Stdout::Capture) {
    Scratch s;
    for (const auto& [name, content] : tool.inputs) s.write(name, content);
    spoil(s);
    std::map<std::string, std::string> before;
    for (const auto& [name, content] : tool.inputs) before[name] = s.read(name);
    RunResult r = s.run(tool.binary, tool.args, mode);
    EXPECT_EQ(r.status, 1) << tool.name << ": " << message;
    EXPECT_EQ(r.err, tool.name + ": " + message + "\n");
    EXPECT_EQ(r.out, "");
    for (const auto& [name, content] : before) EXPECT_EQ(s.read(name), content) << name;
    if (untouched) {
        for (const auto& out : tool.outputs)
            EXPECT_FALSE(s.exists(out)) << tool.name << ": " << out;
    }
}

TEST(FaultInjection, UnusableInputsFailBeforeAnyOutput) {
    for (const Tool& tool : tools) {
        for (const auto& [name, content] : tool.inputs) {
            const std::string input = name;
            expectFailure(
                tool, [&](const Scratch& s) { unlink(s.path(input).c_str()); },
                "cannot open '" + input + "': No such file or directory", true);
            expectFailure(
                tool,
                [&](const Scratch& s) {
                    unlink(s.path(input).c_str());
                    mkdir(s.path(input).c_str(), 0755);
                },
                "cannot open '" + input + "': Is a directory", true);
        }
    }
}

TEST(FaultInjection, OutputsThatCannotBeWritten) {
    for (const Tool& tool : tools) {
        for (const auto& output : tool.outputs) {
            expectFailure(
                tool, [&](const Scratch& s) { mkdir(s.path(output).c_str(), 0755); },
                "cannot open '" + output + "': Is a directory", false);
            // The other outputs are neither created nor emptied: those
            // named before it exist beforehand, those after it do not.
            Scratch check;
            for (const auto& [name, content] : tool.inputs) check.write(name, content);
            mkdir(check.path(output).c_str(), 0755);
            for (const auto& other : tool.outputs) {
                if (other < output) check.write(other, "old");
            }
            check.run(tool.binary, tool.args);
            for (const auto& other : tool.outputs) {
                const std::string expected = other < output   ? "old"
                                             : other > output ? "<missing>"
                                                              : "";
                if (!expected.empty()) {
                    EXPECT_EQ(check.read(other), expected) << other;
                }
            }
            expectFailure(
                tool,
                [&](const Scratch& s) {
                    ASSERT_EQ(symlink("/dev/full", s.path(output).c_str()), 0);
                },
                "cannot write '" + output + "': No space left on device", false);
        }
    }
    const Tool& means = tools[2];
    const auto nothing = [](const Scratch&) {};
    expectFailure(means, nothing, "cannot write 'standard output': No space left on device", false,
                  Stdout::DevFull);
    expectFailure(means, nothing, "cannot write 'standard output': Bad file descriptor", false,
                  Stdout::Closed);
    // A reader of standard output that has gone ends the run quietly, by
    // SIGPIPE, as other filters end.
    Scratch s;
    for (const auto& [name, content] : means.inputs) s.write(name, content);
    const RunResult r = s.run(means.binary, means.args, Stdout::BrokenPipe);
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(r.err, "");
}

TEST(FaultInjection, TruncatedRecordsFail) {
    expectFailure(
        tools[1],
        [](const Scratch& s) { s.write("control_out_wo_bonf.kmerDiff", "C 1 2 0\nGATTACA 1"); },
        "control_out_wo_bonf.kmerDiff:2: 2 fields, a record needs 4 (k-mer, two integers, p-value)",
        false);
    expectFailure(
        tools[2], [](const Scratch& s) { s.write("test.txt", "k 5 6 1 1 1\nk 5 6 1"); },
        "test.txt:2: 4 fields, a row needs 6 (k-mer, 3 columns, 1 case and 1 control counts)",
        false);
}

// NUL bytes past the first 64 KiB (which show an input to be text) are
// data like any other byte; numbers end where strtod and atoi would stop.
TEST(FaultInjection, NulBytesAreOrdinaryCharacters) {
    const std::string nul(1, '\0'), blank(65536, '\n');
    Scratch s;
    s.write("seed.txt", blank + "ACGTA" + nul + std::string(25, 'C'));
    EXPECT_EQ(s.run(SEEDTILER_PATH).status, 0);
    EXPECT_EQ(s.read("kmers.txt"),
              "ACGTA" + nul + std::string(25, 'C') + "\n" + std::string(25, 'G') + "NTACGT\n");

    s.write("total_kmers.txt", "100");
    s.write("case_out_wo_bonf.kmerDiff", blank + "AC" + nul + "GT 1 2 0.0001" + nul + "9\n");
    s.write("control_out_wo_bonf.kmerDiff", "");
    EXPECT_EQ(s.run(SIGSIEVE_PATH).status, 0);
    EXPECT_EQ(s.read("case_out_sig.fasta"), ">0\nAC" + nul + "GT\n");

    s.write("test.txt", blank + "k 5 6 1 3" + nul + "7 4\n");
    RunResult r = s.run(COHORTMEANS_PATH, {"1", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1,3,4,1,1\n");
}

TEST(FaultInjection, LinesOfSeveralMegabytes) {
    Scratch s;
    const size_t big = 3 << 20;
    std::string line(big, 'A');
    line[big - 1] = 'C';
    s.write("seed.txt", line + "\r\n");
    EXPECT_EQ(s.run(SEEDTILER_PATH).status, 0);
    struct stat info;
    ASSERT_EQ(stat(s.path("kmers.txt").c_str(), &info), 0);
    EXPECT_EQ(static_cast<size_t>(info.st_size), (big - 30) * 64);
    std::ifstream kmers(s.path("kmers.txt"), std::ios::binary);
    kmers.seekg(-64, std::ios::end);
    std::string last(64, '?');
    kmers.read(last.data(), 64);
    EXPECT_EQ(last, std::string(30, 'A') + "C\nG" + std::string(30, 'T') + "\n");

    s.write("total_kmers.txt", "1");
    s.write("case_out_wo_bonf.kmerDiff", "x 1 2 0.9\n" + line + " 1 2 0.01\n");
    s.write("control_out_wo_bonf.kmerDiff", "");
    EXPECT_EQ(s.run(SIGSIEVE_PATH).status, 0);
    EXPECT_TRUE(s.read("case_out_sig.fasta") == ">0\n" + line + "\n");

    std::string row = "k 5 6 0.5";
    for (int i = 0; i < 1000000; ++i) row += i % 2 ? "\t1" : " 0";
    s.write("test.txt", row + "\n" + row);
    RunResult r = s.run(COHORTMEANS_PATH, {"500000", "500000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0.5,250000,250000,250000,250000\n");
}

}  // namespace
