// Every tool against broken surroundings: missing or unreadable inputs,
// outputs that cannot be created or written, truncated and odd input. A run
// that fails says why and exits non-zero, never changes its inputs, and
// creates or changes no output when it fails before reading a record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <string>
#include <thread>
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

// Every file of the directory and what it holds (a directory as "<dir>",
// a long file as its size and hash).
std::map<std::string, std::string> snapshot(const Scratch& s) {
    std::map<std::string, std::string> files;
    for (const auto& name : s.names()) {
        struct stat info;
        const bool dir = stat(s.path(name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        const std::string content = dir ? "<dir>" : s.read(name);
        files[name] = content.size() < 100 ? content
                                           : std::to_string(content.size()) + " bytes, hash " +
                                                 std::to_string(std::hash<std::string>()(content));
    }
    return files;
}

// A slip of the hand never costs data: the same file as input and output
// (by name, link or directory) or as both outputs is a usage error that
// changes nothing; devices are not compared.
TEST(FaultInjection, MisuseChangesNothing) {
    const struct {
        std::string binary;
        std::vector<std::string> args;
        std::string message;  // first line; "" for a run that succeeds
    } lines[] = {
        {SEEDTILER_PATH, {"-o", "seed.txt"}, "'seed.txt' is both an input and an output"},
        {SEEDTILER_PATH,
         {"-i", "sub/s.txt", "-o", "./sub/../sub/s.txt"},
         "'./sub/../sub/s.txt' is both an input and an output"},
        {SEEDTILER_PATH, {"-o", "link"}, "'link' is both an input and an output"},
        {SEEDTILER_PATH, {"-o", "hard"}, "'hard' is both an input and an output"},
        {SEEDTILER_PATH,
         {"-C", "sub", "-i", "s.txt", "-o", "../sub/s.txt"},
         "'../sub/s.txt' is both an input and an output"},
        {SEEDTILER_PATH, {"-i", "new", "-o", "new"}, "'new' is both an input and an output"},
        {SIGSIEVE_PATH,
         {"--case-out=case_out_wo_bonf.kmerDiff"},
         "'case_out_wo_bonf.kmerDiff' is both an input and an output"},
        {SIGSIEVE_PATH,
         {"--case-out=x.fa", "--control-out=./x.fa"},
         "'./x.fa' is given for both outputs"},
        {SIGSIEVE_PATH,
         {"--control-out=total_kmers.txt"},
         "'total_kmers.txt' is both an input and an output"},
        {SIGSIEVE_PATH, {"--case-out=/dev/null", "--control-out=/dev/null"}, ""},
        {SEEDTILER_PATH, {"--fasta=yes"}, "option '--fasta' doesn't allow an argument"},
        {SEEDTILER_PATH,
         {"--k=25"},
         "option '--k' is ambiguous; possibilities: '--kmers' '--kmer-length'"},
    };
    for (const auto& line : lines) {
        Scratch s;
        for (const Tool& tool : tools)
            for (const auto& [name, content] : tool.inputs) s.write(name, content);
        mkdir(s.path("sub").c_str(), 0755);
        s.write("sub/s.txt", "ACGT\n");
        ASSERT_EQ(symlink("seed.txt", s.path("link").c_str()), 0);
        ASSERT_EQ(link(s.path("seed.txt").c_str(), s.path("hard").c_str()), 0);
        const auto before = snapshot(s);
        const RunResult r = s.run(line.binary, line.args);
        const std::string first = r.err.substr(0, r.err.find('\n'));
        if (line.message.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        const std::string tool = line.binary == SIGSIEVE_PATH ? "sigsieve: " : "seedtiler: ";
        EXPECT_EQ(r.status, 2) << line.message;
        EXPECT_EQ(first, tool + line.message);
        EXPECT_EQ(snapshot(s), before) << line.message;
    }
}

// Runs a tool reading standard input from a pipe, and sends it `sig` once
// it has started writing its output (a hidden temporary file exists).
// Returns the wait status.
int interrupt(const Scratch& s, const std::vector<std::string>& args, const std::string& feed,
              int sig) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[0], STDIN_FILENO);
        if (chdir(s.dir().c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[0]);
    // A tool that dies early must fail the test, not kill it.
    signal(SIGPIPE, SIG_IGN);
    if (write(pipeFds[1], feed.data(), feed.size()) != static_cast<ssize_t>(feed.size()))
        ADD_FAILURE() << "the tool did not read its input";
    for (int tries = 0; tries < 500; ++tries) {
        const auto names = s.names();
        if (std::any_of(names.begin(), names.end(),
                        [](const std::string& n) { return n[0] == '.'; }))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    close(pipeFds[1]);
    return status;
}

// A run that fails at its start, in its middle or at its end, or is
// interrupted, leaves every file as it was: earlier outputs unchanged, no
// output that did not exist, no temporary file.
TEST(FaultInjection, FailedOrInterruptedRunsLeaveFilesAsTheyWere) {
    std::string seeds, good, bad = "K 1 2\n";
    for (int i = 0; i < 3000; ++i) seeds += ">r\n" + std::string(300, "ACGT"[i % 4]) + "\n";
    for (int i = 0; i < 40000; ++i) good += "K" + std::to_string(i) + " 1 2 0\n";
    Scratch zip;
    zip.write("s", seeds);
    std::string gz = zip.run("/bin/sh", {"-c", "gzip -c s"}).out;
    gz[gz.size() - 6] ^= 1;  // the CRC
    const std::vector<std::string> seedOut = {"kmers.txt"},
                                   sieveOut = {"case_out_sig.fasta", "control_out_sig.fasta"};
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> inputs;
        std::vector<std::string> outputs;
    } runs[] = {
        {{SEEDTILER_PATH, "--fasta"}, {{"seed.txt", "junk\n" + seeds}}, seedOut},
        {{SEEDTILER_PATH, "--fasta"}, {{"seed.txt", seeds + "@q\nACGT\n" + seeds}}, seedOut},
        {{SEEDTILER_PATH, "--fasta", "-o", "kmers.txt.gz", "-@", "2"},
         {{"seed.txt", gz}},
         {"kmers.txt.gz"}},
        {{SIGSIEVE_PATH, "-n", "9"},
         {{"case_out_wo_bonf.kmerDiff", bad + good}, {"control_out_wo_bonf.kmerDiff", good}},
         sieveOut},
        {{SIGSIEVE_PATH, "-n", "9"},
         {{"case_out_wo_bonf.kmerDiff", good + bad + good}, {"control_out_wo_bonf.kmerDiff", good}},
         sieveOut},
        {{SIGSIEVE_PATH, "-n", "9"},
         {{"case_out_wo_bonf.kmerDiff", good}, {"control_out_wo_bonf.kmerDiff", good + bad}},
         sieveOut},
    };
    for (const auto& run : runs) {
        for (const bool existed : {false, true}) {
            Scratch s;
            for (const auto& [name, content] : run.inputs) s.write(name, content);
            if (existed)
                for (const auto& out : run.outputs) s.write(out, "old " + out);
            const auto before = snapshot(s);
            const RunResult r = s.run(run.args[0], {run.args.begin() + 1, run.args.end()});
            EXPECT_EQ(r.status, 1) << run.args[0];
            EXPECT_EQ(snapshot(s), before) << r.err;
        }
    }
    const struct {
        std::vector<std::string> args;
        int sig;
    } interrupted[] = {
        {{SEEDTILER_PATH, "-i", "-", "-@", "0"}, SIGINT},
        {{SEEDTILER_PATH, "-i", "-", "-o", "kmers.txt.gz", "-@", "2"}, SIGTERM},
        {{SIGSIEVE_PATH, "-n", "9", "--case=-", "-@", "0"}, SIGTERM},
        {{SIGSIEVE_PATH, "-n", "9", "--case=-", "--case-out=c.zst", "-@", "2"}, SIGINT},
        {{SIGSIEVE_PATH, "-n", "9", "--case=-"}, SIGHUP},
    };
    for (const auto& run : interrupted) {
        Scratch s;
        s.write("control_out_wo_bonf.kmerDiff", good);
        s.write("kmers.txt.gz", "old");
        s.write("case_out_sig.fasta", "old");
        const auto before = snapshot(s);
        const int status =
            interrupt(s, run.args, run.args[0] == SEEDTILER_PATH ? seeds : good + good, run.sig);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == run.sig) << status;
        EXPECT_EQ(snapshot(s), before) << run.args[0] << " " << run.sig;
    }
}

// An output replaced whole keeps its permission bits, and a link to it
// stays a link; a file of several hard links, or in a directory that
// takes no new file, is written in place.
TEST(FaultInjection, ReplacedOutputsKeepModesAndLinks) {
    Scratch s;
    s.write("seed.txt", std::string(31, 'A'));
    const std::string expected = std::string(31, 'A') + "\n" + std::string(31, 'T') + "\n";
    s.write("target", "old");
    chmod(s.path("target").c_str(), 0640);
    ASSERT_EQ(symlink("target", s.path("link").c_str()), 0);
    s.write("linked", "old");
    ASSERT_EQ(link(s.path("linked").c_str(), s.path("other").c_str()), 0);
    for (const char* out : {"link", "other", "new"})
        EXPECT_EQ(s.run(SEEDTILER_PATH, {"-o", out}).status, 0) << out;
    struct stat info;
    ASSERT_EQ(lstat(s.path("link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(stat(s.path("target").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(s.read("target"), expected);
    EXPECT_EQ(s.read("linked"), expected);  // through its other name
    ASSERT_EQ(stat(s.path("new").c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask);
    EXPECT_EQ(s.names(),
              (std::vector<std::string>{"link", "linked", "new", "other", "seed.txt", "target"}));

    // A broken pipe on standard output ends the run quietly.
    s.write("seed.txt", std::string(1 << 20, 'A'));
    const RunResult r = s.run(SEEDTILER_PATH, {"-o", "-"}, Stdout::BrokenPipe);
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(r.err, "");
}

}  // namespace
