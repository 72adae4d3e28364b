// Every tool against broken surroundings: missing or unreadable inputs,
// outputs that cannot be created or written, truncated and odd input. A run
// that fails says why and exits non-zero, never changes its inputs, and
// creates or changes no output when it fails before reading a record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
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
                   const std::string& message, bool untouched, Stdout mode = Stdout::Capture,
                   const std::string& warning = "") {
    Scratch s;
    for (const auto& [name, content] : tool.inputs) s.write(name, content);
    spoil(s);
    std::map<std::string, std::string> before;
    for (const auto& [name, content] : tool.inputs) before[name] = s.read(name);
    RunResult r = s.run(tool.binary, tool.args, mode);
    EXPECT_EQ(r.status, 1) << tool.name << ": " << message;
    EXPECT_EQ(r.err, (warning.empty() ? "" : tool.name + ": warning: " + warning + "\n") +
                         tool.name + ": " + message + "\n");
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
            const std::map<std::string, std::string> optionOf = {
                {"seed.txt", "-i"},
                {"test.txt", "-i"},
                {"total_kmers.txt", "--total-file"},
                {"case_out_wo_bonf.kmerDiff", "--case"},
                {"control_out_wo_bonf.kmerDiff", "--control"}};
            // File operands are ignored: a warning says so, and with -q,
            // which silences it, the message of a default input that cannot
            // be opened.
            const std::map<std::string, std::string> inputsOf = {
                {"seedtiler", "the input with -i"},
                {"sigsieve", "the inputs with --case and --control"},
                {"cohortmeans", "the table with -i"}};
            const std::string ignored =
                "file operands are ignored (name " + inputsOf.at(tool.name) + ")";
            Tool withOperand = tool;
            withOperand.args.push_back("ref.fa.gz");
            const auto missing = [&](const Scratch& s) { unlink(s.path(input).c_str()); };
            expectFailure(withOperand, missing,
                          "cannot open '" + input + "': No such file or directory", true,
                          Stdout::Capture, ignored);
            Tool quiet = withOperand;
            quiet.args.push_back("-q");
            expectFailure(quiet, missing,
                          "cannot open '" + input +
                              "': No such file or directory (file operands are ignored; name the "
                              "input with " +
                              optionOf.at(input) + ")",
                          true);
            withOperand.args.insert(withOperand.args.begin(), {optionOf.at(input), input});
            expectFailure(withOperand, missing,
                          "cannot open '" + input + "': No such file or directory", true,
                          Stdout::Capture, ignored);
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

// The hidden (temporary) files in directory `dir` of the scratch directory.
std::vector<std::string> hidden(const Scratch& s, const std::string& dir = ".") {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(s.path(dir)))
        if (entry.path().filename().string()[0] == '.') found.push_back(entry.path().string());
    return found;
}

// A file's contents, or a long one's size and hash.
std::string summary(const std::string& content) {
    return content.size() < 100 ? content
                                : std::to_string(content.size()) + " bytes, hash " +
                                      std::to_string(std::hash<std::string>()(content));
}

// Every file of the directory and what it holds (a directory as "<dir>",
// a long file as its size and hash).
std::map<std::string, std::string> snapshot(const Scratch& s) {
    std::map<std::string, std::string> files;
    for (const auto& name : s.names()) {
        struct stat info;
        const bool dir = stat(s.path(name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        files[name] = dir ? "<dir>" : summary(s.read(name));
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
        // A standard stream that the shell points at a named file of the run.
        {"/bin/sh",
         {"-c", "exec \"$0\" -i - -o seed.txt < seed.txt", SEEDTILER_PATH},
         "standard input is the output 'seed.txt'"},
        {"/bin/sh",
         {"-c", "exec \"$0\" -o - >> seed.txt", SEEDTILER_PATH},
         "standard output is the input 'seed.txt'"},
        {"/bin/sh",
         {"-c", "exec \"$0\" -i - -o - < seed.txt >> link", SEEDTILER_PATH},
         "standard input is standard output"},
        {"/bin/sh",
         {"-c", "exec \"$0\" -n 9 --case-out=- --control-out=sub/s.txt >> sub/s.txt",
          SIGSIEVE_PATH},
         "standard output is the output 'sub/s.txt'"},
        {"/bin/sh",
         {"-c", "exec \"$0\" 1 1 >> test.txt", COHORTMEANS_PATH},
         "standard output is the input 'test.txt'"},
        {"/bin/sh", {"-c", "exec \"$0\" -i - -o kmers.txt < /dev/null", SEEDTILER_PATH}, ""},
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
        const std::string binary = line.binary == "/bin/sh" ? line.args[2] : line.binary;
        const std::string tool = binary.substr(binary.rfind('/') + 1) + ": ";
        EXPECT_EQ(r.status, 2) << line.message;
        EXPECT_EQ(first, tool + line.message);
        EXPECT_EQ(snapshot(s), before) << line.message;
    }
}

// Runs a tool reading standard input from a pipe, in directory `dir` of
// the scratch directory, and calls `meanwhile` with its process once it has
// started writing its output (a hidden temporary file exists); then ends its
// input. Returns the wait status.
int whileRunning(const Scratch& s, const std::vector<std::string>& args, const std::string& feed,
                 const std::function<void(pid_t)>& meanwhile, const std::string& dir = ".") {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[0], STDIN_FILENO);
        const struct rlimit noCore = {0, 0};  // SIGQUIT, SIGXCPU, SIGXFSZ dump none
        setrlimit(RLIMIT_CORE, &noCore);
        if (chdir(s.path(dir).c_str()) != 0) _exit(127);
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
    // The run's temporary output shows that it has begun (its handlers set).
    while (hidden(s, dir).empty() && waitpid(pid, nullptr, WNOHANG) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    meanwhile(pid);
    close(pipeFds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
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
        {{SEEDTILER_PATH, "-i", "-"}, SIGQUIT},
        {{SEEDTILER_PATH, "-i", "-"}, SIGXFSZ},
        {{SIGSIEVE_PATH, "-n", "9", "--case=-"}, SIGXCPU},
        {{SEEDTILER_PATH, "-i", "-"}, SIGALRM},
        {{SIGSIEVE_PATH, "-n", "9", "--case=-"}, SIGUSR1},
        {{SEEDTILER_PATH, "-i", "-", "-o", "kmers.txt.gz", "-@", "1"}, SIGUSR2},
        {{SEEDTILER_PATH, "-i", "-"}, SIGVTALRM},
        {{SIGSIEVE_PATH, "-n", "9", "--case=-"}, SIGPROF},
    };
    for (const auto& run : interrupted) {
        Scratch s;
        s.write("control_out_wo_bonf.kmerDiff", good);
        s.write("kmers.txt.gz", "old");
        s.write("case_out_sig.fasta", "old");
        const auto before = snapshot(s);
        const int status =
            whileRunning(s, run.args, run.args[0] == SEEDTILER_PATH ? seeds : good + good,
                         [&](pid_t pid) { kill(pid, run.sig); });
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

namespace {

// What `ls -l` and getfacl say of a file's permissions, less its name.
std::string permissions(const Scratch& s, const std::string& name) {
    struct stat info;
    if (stat(s.path(name).c_str(), &info) != 0) return "<missing>";
    const RunResult acl =
        s.run("/bin/sh", {"-c", "getfacl -n \"$0\" 2>/dev/null | grep -v '^#'", name});
    return std::to_string(info.st_mode & 07777) + " " + std::to_string(info.st_uid) + "\n" +
           acl.out;
}

TEST(FaultInjection, OutputsCommitTogetherOrNotAtAll) {
    const std::string longName(250, 'k'), seeds = std::string(40, 'A') + "\n";
    const std::string kmers = [&] {
        Scratch s;
        s.write("seed.txt", seeds);
        return s.run(SEEDTILER_PATH, {"-o", "-"}).out;
    }();
    const std::string kmersGz = [&] {
        Scratch s;
        s.write("seed.txt", seeds);
        s.run(SEEDTILER_PATH, {"-o", "k.gz"});
        return s.read("k.gz");
    }();
    const std::string caseInput = "A 1 2 0\n";
    const bool root = geteuid() == 0, acl = std::system("command -v setfacl >/dev/null") == 0;
    // As another user than root (nobody), where the test runs as root.
    const std::string other = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string faults =
        std::string("env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=") + COMMIT_FAULTS_PATH +
        " ";
    const auto fillDir = [](const Scratch& s, mode_t dirMode) {
        chmod((s.dir() + "/..").c_str(), 0755);
        mkdir(s.path("../tmp").c_str(), 0777);
        chmod(s.path("../tmp").c_str(), 0777);
        chmod(s.dir().c_str(), dirMode);
    };
    const struct {
        bool runs;  // where the test can make its surroundings
        std::function<void(const Scratch&)> setup;
        std::string command;  // $1 seedtiler, $2 sigsieve
        int status;
        std::string err;                           // "" for none
        std::map<std::string, std::string> after;  // files then; none listed: all as before
    } cases[] = {
        // The second output cannot be put in place: the first is put back.
        {true,
         {},
         faults + "KMT_FAIL_RENAME=control_out_sig.fasta \"$2\" -n 9",
         1,
         "sigsieve: cannot write 'control_out_sig.fasta': Operation not permitted",
         {}},
        {true,
         {},
         faults + "KMT_FAIL_RENAME=r.tsv \"$2\" -n 9 -m bh --report=r.tsv --qq-plot=q.svg",
         1,
         "sigsieve: cannot write 'r.tsv': Operation not permitted",
         {}},
        {true,
         [](const Scratch& s) { unlink(s.path("case_out_sig.fasta").c_str()); },
         faults + "KMT_FAIL_RENAME=control_out_sig.fasta \"$2\" -n 9",
         1,
         "sigsieve: cannot write 'control_out_sig.fasta': Operation not permitted",
         {}},
        // No temporary file can be made: no space, no descriptor.
        {true,
         {},
         faults + "KMT_FAIL_CREATE=28 \"$1\"",
         1,
         "seedtiler: cannot create a temporary file beside 'kmers.txt': No space left on device",
         {}},
        {true,
         {},
         faults + "KMT_FAIL_CREATE=24 \"$2\" -n 9",
         1,
         "sigsieve: cannot create a temporary file beside 'case_out_sig.fasta': Too many open "
         "files",
         {}},
        // A thread that cannot be started: the run goes on with those it
        // has, the calling one at least; but zstd needs its worker.
        {true, {}, faults + "KMT_FAIL_THREADS=1 \"$1\" -@3 -o k.gz", 0, "", {{"k.gz", kmersGz}}},
        {true,
         {},
         faults + "KMT_FAIL_THREADS=1 \"$1\" -o k.zst",
         1,
         "seedtiler: cannot write 'k.zst': no thread could be started to compress it (Resource "
         "temporarily unavailable)",
         {}},
        // An output that becomes an input (a link to it) before it is made,
        // or before the outputs are put in place, or a directory.
        {true,
         {},
         faults + "KMT_CHANGE_INPUT=case_out_wo_bonf.kmerDiff:1:link=o1 \"$2\" -n 9 -m bh " +
             "--case-out=o1",
         1,
         "sigsieve: 'o1' is both an input and an output",
         {{"o1", caseInput}, {"case_out_wo_bonf.kmerDiff.changed", ""}}},
        {true,
         {},
         faults + "KMT_CHANGE_INPUT=case_out_wo_bonf.kmerDiff:2:link=o1 \"$2\" -n 9 -m bh " +
             "--case-out=o1",
         1,
         "sigsieve: 'o1' is both an input and an output",
         {{"o1", caseInput}, {"case_out_wo_bonf.kmerDiff.changed", ""}}},
        {true,
         {},
         faults + "KMT_CHANGE_INPUT=case_out_wo_bonf.kmerDiff:1:hardlink=o1 \"$2\" -n 9 -m bh " +
             "--case-out=o1",
         1,
         "sigsieve: 'o1' is both an input and an output",
         {{"o1", caseInput}, {"case_out_wo_bonf.kmerDiff.changed", ""}}},
        {true,
         {},
         faults + "KMT_CHANGE_INPUT=case_out_wo_bonf.kmerDiff:3:hardlink=o1 \"$2\" -n 9 -m bh " +
             "--case-out=o1",
         1,
         "sigsieve: 'o1' is both an input and an output",
         {{"o1", caseInput}, {"case_out_wo_bonf.kmerDiff.changed", ""}}},
        {true,
         {},
         faults + "KMT_CHANGE_INPUT=case_out_wo_bonf.kmerDiff:2:dir=case_out_sig.fasta \"$2\" " +
             "-n 9 -m bh",
         1,
         "sigsieve: cannot write 'case_out_sig.fasta': Is a directory",
         {{"case_out_sig.fasta", "<dir>"},
          {"case_out_sig.fasta/kept", ""},
          {"case_out_wo_bonf.kmerDiff.changed", ""}}},
        // A name too long to hold the temporary one's prefix.
        {true,
         [&](const Scratch& s) { s.write(longName, "old"); },
         "\"$1\" -o " + longName,
         0,
         "",
         {{longName, kmers}}},
        {true,
         [&](const Scratch& s) { s.write(longName, "old"); },
         "\"$1\" --fasta -o " + longName,
         1,
         "seedtiler: seed.txt:1: expected a FASTA ('>') or FASTQ ('@') record, found '" +
             std::string(40, 'A') + "'",
         {}},
        // Files this user may not write, as a shell redirect refuses them.
        {root,
         [&](const Scratch& s) { fillDir(s, 0777), chmod(s.path("kmers.txt").c_str(), 0444); },
         other + "\"$1\"",
         1,
         "seedtiler: cannot write 'kmers.txt': Permission denied",
         {}},
        {root,
         [&](const Scratch& s) { fillDir(s, 0777); },
         other + "\"$2\" -n 9",
         1,
         "sigsieve: cannot write 'case_out_sig.fasta': Permission denied",
         {}},
        // A directory that takes no new file: staged elsewhere, and the
        // file is left alone by a run that fails.
        {root,
         [&](const Scratch& s) { chmod(s.path("kmers.txt").c_str(), 0666), fillDir(s, 0555); },
         other + "env TMPDIR=../tmp \"$1\" --fasta",
         1,
         "seedtiler: seed.txt:1: expected a FASTA ('>') or FASTQ ('@') record, found '" +
             std::string(40, 'A') + "'",
         {}},
        {root,
         [&](const Scratch& s) { chmod(s.path("kmers.txt").c_str(), 0666), fillDir(s, 0555); },
         other + "env TMPDIR=../tmp \"$1\"",
         0,
         "",
         {{"kmers.txt", kmers}, {"../tmp", "<dir>"}}},
        {root,
         [&](const Scratch& s) { chmod(s.path("kmers.txt").c_str(), 0666), fillDir(s, 0555); },
         other + "env TMPDIR=../nowhere \"$1\"",
         1,
         "seedtiler: cannot create a temporary file for 'kmers.txt' in '../nowhere': No such file "
         "or directory",
         {}},
    };
    for (const auto& c : cases) {
        if (!c.runs) continue;
        Scratch s;
        for (const Tool& tool : tools)
            for (const auto& [name, content] : tool.inputs) s.write(name, content);
        for (const char* old :
             {"kmers.txt", "case_out_sig.fasta", "control_out_sig.fasta", "r.tsv"})
            s.write(old, std::string("old ") + old);
        if (c.setup) c.setup(s);
        auto expected = snapshot(s);
        for (const auto& [name, content] : c.after) {
            if (name.find('/') == std::string::npos)
                expected[name] = content == "<dir>" ? content : summary(content);
        }
        const std::map<std::string, std::string> modes = {
            {"kmers.txt", permissions(s, "kmers.txt")}};
        const RunResult r =
            s.run("/bin/sh", {"-c", c.command, "sh", SEEDTILER_PATH, SIGSIEVE_PATH});
        EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.err;
        EXPECT_EQ(r.err, c.err.empty() ? "" : c.err + "\n") << c.command;
        EXPECT_EQ(snapshot(s), expected) << c.command;
        for (const auto& [name, content] : c.after) {
            if (name.ends_with("/kept")) {
                EXPECT_TRUE(s.exists(name)) << c.command;
            }
        }
        EXPECT_EQ(permissions(s, "kmers.txt"), modes.at("kmers.txt")) << c.command;
        if (c.after.count("../tmp")) {
            EXPECT_TRUE(std::filesystem::is_empty(s.path("../tmp")));
        }
    }

    // A replaced file keeps its access ACL; a new one gets what the
    // directory's default ACL and the umask give a shell redirect.
    if (acl) {
        Scratch s;
        s.write("seed.txt", seeds);
        s.write("kmers.txt", "old");
        mkdir(s.path("sub").c_str(), 0755);
        s.run(
            "/bin/sh",
            {"-c",
             "setfacl -m u:65534:rw kmers.txt && setfacl -d -m u:65534:rwx sub && : > sub/shell"});
        const std::string replaced = permissions(s, "kmers.txt");
        ASSERT_NE(replaced.find("user:65534:rw-"), std::string::npos) << replaced;
        ASSERT_EQ(s.run(SEEDTILER_PATH).status, 0);
        ASSERT_EQ(s.run(SEEDTILER_PATH, {"-o", "sub/new"}).status, 0);
        EXPECT_EQ(permissions(s, "kmers.txt"), replaced);
        EXPECT_EQ(permissions(s, "sub/new"), permissions(s, "sub/shell"));
        EXPECT_EQ(s.read("kmers.txt"), kmers);
    }

    // The output's directory moved during the run: the output lands in it.
    Scratch s;
    mkdir(s.path("sub").c_str(), 0755);
    std::string many, manyKmers;  // more than the first look at the input takes
    for (int i = 0; i < 2000; ++i) many += seeds, manyKmers += kmers;
    const int status = whileRunning(
        s, {SEEDTILER_PATH, "-i", "-"}, many,
        [&](pid_t) { ASSERT_EQ(rename(s.path("sub").c_str(), s.path("moved").c_str()), 0); },
        "sub");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(s.read("moved/kmers.txt") == manyKmers);
    EXPECT_TRUE(hidden(s, "moved").empty());
}

// seedtiler --unique's runs live in files without names: none is left in
// the temporary directory after a run that succeeds, fails or is
// interrupted, and a full one fails the run naming it.
TEST(FaultInjection, KmerSetRunsLeaveNothingBehind) {
    std::mt19937_64 rng(3);
    std::string seeds;
    for (int i = 0; i < 400; ++i) {
        seeds += ">r\n";
        for (int j = 0; j < 300; ++j) seeds += "ACGT"[rng() % 4];
        seeds += "\n";
    }
    Scratch s;
    mkdir(s.path("tmp").c_str(), 0755);
    s.write("seeds.fa", seeds);
    s.write("bad.fa", seeds + "@q\nACGT\n");  // a FASTQ record without its + line
    const std::vector<std::string> unique = {SEEDTILER_PATH, "--fasta", "--unique", "-S",
                                             "16K",          "-T",      "tmp"};
    const auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = unique;
        args.insert(args.end(), extra.begin(), extra.end());
        return std::vector<std::string>(args.begin() + 1, args.end());
    };
    // Keys of one word and of two, spilled in runs, or held in memory whole
    // and written in slices on the threads: the lines sort -u gives.
    RunResult r;
    for (const char* k : {"31", "40"}) {
        r = s.run(SEEDTILER_PATH, with({"-k", k, "-i", "seeds.fa", "-o", "set.txt"}));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(s.run("/bin/sh", {"-c", std::string(SEEDTILER_PATH) + " -k " + k +
                                              " --fasta -i seeds.fa -o - | LC_ALL=C sort -u"})
                      .out,
                  s.read("set.txt"))
            << k;
        EXPECT_TRUE(std::filesystem::is_empty(s.path("tmp")));
        for (const char* threads : {"-@0", "-@2"}) {
            ASSERT_EQ(s.run(SEEDTILER_PATH, {"--fasta", "--unique", "-k", k, threads, "-i",
                                             "seeds.fa", "-o", "whole.txt"})
                          .status,
                      0);
            EXPECT_TRUE(s.read("whole.txt") == s.read("set.txt")) << k << threads;
        }
    }
    r = s.run(SEEDTILER_PATH, with({"-i", "bad.fa", "-o", "bad.txt"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(s.exists("bad.txt"));
    EXPECT_TRUE(std::filesystem::is_empty(s.path("tmp")));
    std::vector<std::string> interrupted = unique;
    interrupted.insert(interrupted.end(), {"-i", "-", "-o", "i.txt"});
    const int status = whileRunning(s, interrupted, seeds, [](pid_t pid) { kill(pid, SIGINT); });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(std::filesystem::is_empty(s.path("tmp")));
    const std::string full = std::string("env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=") +
                             COMMIT_FAULTS_PATH + " KMT_FAIL_UNLINKED_WRITE=28 " + SEEDTILER_PATH +
                             " --fasta --unique -S 4K -T tmp -i seeds.fa -o full.txt";
    r = s.run("/bin/sh", {"-c", full});
    EXPECT_EQ(r.status, 1) << r.err << r.out << full;
    EXPECT_EQ(r.err,
              "seedtiler: cannot write a temporary file in 'tmp': No space left on device\n");
    EXPECT_FALSE(s.exists("full.txt"));
}

}  // namespace

namespace {

// A scratch directory with sigsieve's inputs: `total` k-mers tested, and
// case and control records with p-values from 1e-12 up.
void sigsieveInputs(const Scratch& s) {
    std::mt19937_64 rng(21);
    for (const char* name : {"c.txt", "d.txt"}) {
        std::string records;
        for (int i = 0; i < 3000; ++i)
            records += "K" + std::to_string(i) + " 1 2 " +
                       std::to_string(std::pow(10.0, -12.0 * (rng() % 1000) / 999)) + "\n";
        s.write(name, records);
    }
}

}  // namespace

// sigsieve reads its inputs more than once for the methods that rank, the
// report and the plots: a change to an input between any two passes or
// during one (appended, cut, rewritten), at any number of threads, fails
// the run, and no output is made.
TEST(FaultInjection, InputsThatChangeFailTheRun) {
    const std::vector<std::vector<std::string>> runs = {
        {"-m", "holm", "--table=t.tsv"},
        {"-m", "bh", "--report=r.tsv", "--qq-plot=q.svg"},
        {"-m", "storey", "--hist-plot=h.svg"},
        {"--report=r.json", "--table=t.tsv"},
    };
    const std::string faults =
        std::string("env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=") + COMMIT_FAULTS_PATH;
    int fired = 0;
    for (const auto& extra : runs)
        for (const char* threads : {"-@0", "-@2"})
            for (const char* change : {"c.txt:N:append", "d.txt:N:truncate", "c.txt:N:rewrite",
                                       "c.txt:N:append@read", "d.txt:N:truncate@read"}) {
                for (int n = 1;; ++n) {
                    Scratch s;
                    sigsieveInputs(s);
                    std::string request = change;
                    request.replace(request.find('N'), 1, std::to_string(n));
                    std::string command = faults + " KMT_CHANGE_INPUT=" + request + " \"$1\" " +
                                          threads + " -n 100000 --case=c.txt --control=d.txt";
                    for (const auto& e : extra) command += " " + e;
                    const RunResult r = s.run("/bin/sh", {"-c", command, "sh", SIGSIEVE_PATH});
                    const std::string input = request.substr(0, 5);
                    if (!s.exists(input + ".changed")) {
                        EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
                        break;
                    }
                    ++fired;
                    // The first opening only checks that the input opens.
                    if (n == 1 && request.find("@read") == std::string::npos) continue;
                    EXPECT_EQ(r.status, 1) << command;
                    EXPECT_EQ(r.err, "sigsieve: the inputs changed while they were being read\n")
                        << command;
                    for (const char* out : {"case_out_sig.fasta", "control_out_sig.fasta", "t.tsv",
                                            "r.tsv", "r.json", "q.svg", "h.svg"})
                        EXPECT_FALSE(s.exists(out)) << command << " " << out;
                    EXPECT_TRUE(hidden(s).empty()) << command;
                }
            }
    EXPECT_GT(fired, 100);
}

namespace {

// Runs `args` (the binary first) in the scratch directory with at most
// `descriptors` open files; returns its exit status and peak resident
// memory in KiB.
std::pair<int, long> boundedRun(const Scratch& s, std::vector<std::string> args, int descriptors) {
    // The child's peak starts from the memory it shares with this process
    // when forked: the heap that earlier tests freed goes back first.
    malloc_trim(0);
    const pid_t pid = fork();
    if (pid == 0) {
        const struct rlimit files = {static_cast<rlim_t>(descriptors),
                                     static_cast<rlim_t>(descriptors)};
        if (chdir(s.dir().c_str()) != 0 || setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(127);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    return {status, usage.ru_maxrss};
}

}  // namespace

// However many runs the windows spill into, seedtiler --unique holds at
// most -S plus 32 MiB and a few descriptors: the runs share one file, and
// are merged at most 16 at a time, whatever k.
TEST(FaultInjection, KmerSetMemoryAndDescriptorsStayBounded) {
    std::mt19937_64 rng(4);
    Scratch s;
    // k, the sequences and their length
    for (const auto& [k, records, length] :
         {std::tuple{31, 1500, 1000}, std::tuple{63, 800, 1000}, std::tuple{300, 150, 1000},
          std::tuple{70000, 1, 70300}}) {
        std::string seeds;
        for (int i = 0; i < records; ++i) {
            seeds += ">r\n";
            for (int j = 0; j < length; ++j) seeds += "ACGT"[rng() % 4];
            seeds += "\n";
        }
        s.write("seeds.fa", seeds);
        const std::string kArg = std::to_string(k);
        const auto [status, peak] =
            boundedRun(s,
                       {SEEDTILER_PATH, "--fasta", "--unique", "-k", kArg, "-S", "1M", "-T", ".",
                        "-i", "seeds.fa", "-o", "set.txt"},
                       12);
        EXPECT_EQ(status, 0) << k;
#if !defined(TOOLS_UNDER_ASAN)  // whose shadow memory the bound does not count
        EXPECT_LE(peak, (1 + 32) * 1024) << k;
#else
        (void)peak;
#endif
        const RunResult sorted =
            s.run("/bin/sh", {"-c", std::string(SEEDTILER_PATH) + " --fasta -k " + kArg +
                                        " -i seeds.fa -o - | LC_ALL=C sort -u | cmp - set.txt"});
        EXPECT_EQ(sorted.status, 0) << k << sorted.out;
    }
}
