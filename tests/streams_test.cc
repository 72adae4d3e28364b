// Options, standard streams and compressed data, end to end: every tool
// gives the same results whatever form its input takes and whatever form
// its output is asked in, and fails cleanly on damaged compressed data.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <isa-l.h>
#include <libdeflate.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bgzf.h"
#include "e2e_harness.h"
#include "memory_file.h"
#include "sink.h"
#include "task_pool.h"

namespace {

// The output of a shell command fed `input`.
std::string filterThrough(const std::string& command, const std::string& input) {
    char in[] = "/tmp/kmertools-filter-XXXXXX";
    const int fd = mkstemp(in);
    if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        std::abort();
    close(fd);
    FILE* p = popen((command + " < " + in).c_str(), "r");
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    unlink(in);
    return out;
}

std::string gzipped(const std::string& text) {
    return filterThrough("gzip -nc", text);
}
std::string zstded(const std::string& text) {
    return filterThrough("zstd -qc", text);
}
// A bgzip-style member: a gzip header with the "BC" extra field giving the
// member's size less one.
std::string bgzfMember(const std::string& text) {
    const std::string plain = gzipped(text);
    std::string member("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\0\0", 18);
    member += plain.substr(10);
    member[16] = static_cast<char>((member.size() - 1) & 0xff);
    member[17] = static_cast<char>((member.size() - 1) >> 8);
    return member;
}

// The forms an input can take; each reads as `text`.
struct Form {
    const char* name;
    std::string (*make)(const std::string&);
};
const Form forms[] = {
    {"plain", [](const std::string& t) { return t; }},
    {"gzip", gzipped},
    {"multi-member gzip",
     [](const std::string& t) {
         return gzipped(t.substr(0, t.size() / 2)) + gzipped(t.substr(t.size() / 2));
     }},
    {"bgzip",
     [](const std::string& t) {
         return bgzfMember(t.substr(0, 7)) + bgzfMember(t.substr(7)) + bgzfMember("");
     }},
    {"zstd, two frames",
     [](const std::string& t) {
         return zstded(t.substr(0, t.size() / 3)) + zstded(t.substr(t.size() / 3));
     }},
};

struct Case {
    std::string tool, binary;
    std::vector<std::string> args;                            // beside the file options
    std::string input, inputOption;                           // the input varied
    std::vector<std::pair<std::string, std::string>> others;  // fixed inputs
    std::string output, outputOption;                         // "" for standard output
};

std::string seed() {
    std::string s;
    for (int i = 0; i < 300; ++i)
        s += std::string("ACGTTGCAACGTAAGGCCTTGACAGTCAGTACCA").substr(i % 7) + "\n";
    return s;
}
std::string records() {
    std::string s;
    for (int i = 0; i < 500; ++i)
        s += "K" + std::to_string(i) + " 1 2 " + (i % 3 ? "0.5" : "1e-9") + "\n";
    return s;
}

const Case cases[] = {
    {"seedtiler", SEEDTILER_PATH, {}, seed(), "--seeds", {}, "kmers.txt", "--kmers"},
    {"sigsieve",
     SIGSIEVE_PATH,
     {"--control", "c.txt", "--control-out", "c.fasta"},
     records(),
     "--case",
     {{"total_kmers.txt", "100\n"}, {"c.txt", "C 1 2 0\n"}},
     "case.fasta",
     "--case-out"},
    {"cohortmeans",
     COHORTMEANS_PATH,
     {"1", "1"},
     "k 5 6 0.5 3 0\nk 5 6 0.25 1 7\n" + std::string(2000, '\n') + "k 1 1 1 1 1\n",
     "-i",
     {},
     "",
     ""},
};

// The output of a plain run, then the same through every input form, by
// file and by standard input, and into each output form.
TEST(Streams, EveryFormGivesTheSameResult) {
    for (const Case& c : cases) {
        Scratch s;
        for (const auto& [name, content] : c.others) s.write(name, content);
        auto run = [&](const std::string& in, bool viaStdin, const std::string& out,
                       const char* threads = nullptr) {
            std::vector<std::string> args = c.args;
            if (threads) args.push_back(threads);
            args.push_back(c.inputOption);
            args.push_back(viaStdin ? "-" : "in.data");
            if (!c.outputOption.empty()) {
                args.push_back(c.outputOption);
                args.push_back(out);
            }
            s.write("in.data", in);
            RunResult r = s.run(c.binary, args, Stdout::Capture, viaStdin ? s.path("in.data") : "");
            EXPECT_EQ(r.status, 0) << c.tool << ": " << r.err;
            EXPECT_EQ(r.err, "");
            if (c.outputOption.empty() || out == "-") return r.out;
            const std::string written = s.read(out);
            if (out.size() > 3 && out.substr(out.size() - 3) == ".gz")
                return filterThrough("gzip -dc", written);
            if (out.size() > 4 && out.substr(out.size() - 4) == ".zst")
                return filterThrough("zstd -dc", written);
            return written;
        };
        const std::string expected = run(c.input, false, c.output);
        ASSERT_FALSE(expected.empty()) << c.tool;
        for (const Form& form : forms) {
            const std::string data = form.make(c.input);
            EXPECT_EQ(run(data, false, c.output), expected) << c.tool << ", " << form.name;
            EXPECT_EQ(run(data, true, c.output), expected)
                << c.tool << ", " << form.name << " on standard input";
        }
        if (c.outputOption.empty()) continue;
        for (const char* out : {"out.gz", "out.zst", "-"}) {
            for (const char* threads : {"-@0", "-@2"})
                EXPECT_EQ(run(zstded(c.input), false, out, threads), expected)
                    << c.tool << " into " << out << " " << threads;
        }
    }
}

// Options: what is valid, what is a usage error, and what fails the run.
TEST(Streams, OptionLines) {
    const struct {
        std::string binary;
        std::vector<std::string> args;
        int status;
    } lines[] = {
        {SEEDTILER_PATH, {}, 0},
        {SEEDTILER_PATH, {"ignored", "operands"}, 0},
        {SEEDTILER_PATH, {"-i", "seed.txt", "-o", "x.txt"}, 0},
        {SEEDTILER_PATH, {"--seeds=seed.txt", "--kmers", "x.txt", "-q"}, 0},
        {SEEDTILER_PATH, {"-C", ".", "-@", "3"}, 0},
        {SEEDTILER_PATH, {"--", "-o"}, 0},
        {SEEDTILER_PATH, {"--bogus"}, 2},
        {SEEDTILER_PATH, {"-x"}, 2},
        {SEEDTILER_PATH, {"-i"}, 2},
        {SEEDTILER_PATH, {"-@", "-1"}, 2},
        {SEEDTILER_PATH, {"--threads=many"}, 2},
        {SEEDTILER_PATH, {"-C", "missing"}, 1},
        {SEEDTILER_PATH, {"-i", "missing"}, 1},
        {SIGSIEVE_PATH, {"--case-out", "-", "--control-out", "-"}, 2},
        {SIGSIEVE_PATH, {"--case", "-", "--control", "-"}, 2},
        {SIGSIEVE_PATH, {"--case-out=-"}, 0},
        {COHORTMEANS_PATH, {"1", "1"}, 0},
        {COHORTMEANS_PATH, {"-i", "test.txt", "1", "--", "1"}, 0},
        {COHORTMEANS_PATH, {"1", "-q", "1", "ignored"}, 0},
        {COHORTMEANS_PATH, {"1", "-1"}, 2},
        {COHORTMEANS_PATH, {"1", "--table"}, 2},
        // The window length, FASTA records, the level and the total.
        {SEEDTILER_PATH, {"-k", "1"}, 0},
        {SEEDTILER_PATH, {"--kmer-length=1048576", "--fasta", "-i", "fasta.txt"}, 0},
        {SEEDTILER_PATH, {"-k", "+25", "--fasta"}, 1},
        {SEEDTILER_PATH, {"-k", "0"}, 2},
        {SEEDTILER_PATH, {"-k", "-1"}, 2},
        {SEEDTILER_PATH, {"-k", "1048577"}, 2},
        {SEEDTILER_PATH, {"-k", "2.5"}, 2},
        {SEEDTILER_PATH, {"-k", ""}, 2},
        {SEEDTILER_PATH, {"--fasta=yes"}, 2},
        // Counts, their bounds, several inputs, the buffer's size.
        {SEEDTILER_PATH, {"--count", "--min-count", "2", "--max-count=18446744073709551615"}, 0},
        {SEEDTILER_PATH, {"--min-count", "2"}, 2},
        {SEEDTILER_PATH, {"--unique", "--max-count=2"}, 2},
        {SEEDTILER_PATH, {"--count", "--min-count=-1"}, 2},
        {SEEDTILER_PATH, {"--count", "--max-count=18446744073709551616"}, 2},
        {SEEDTILER_PATH, {"-i", "seed.txt", "-i", "fasta.txt", "-o", "x.txt"}, 0},
        {SEEDTILER_PATH, {"-i", "seed.txt", "-i", "x.txt", "-o", "x.txt"}, 2},
        {SEEDTILER_PATH, {"-i", "seed.txt", "-i", "-", "-i", "-"}, 2},
        {SEEDTILER_PATH, {"-i", "seed.txt", "-i", "missing", "-o", "x.txt"}, 1},
        {SEEDTILER_PATH, {"--unique", "-S", "16777216b"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "20000000b"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "16777216K"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "1m"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "1g"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "1t"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "100b"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "5%"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "1E"}, 0},
        {SEEDTILER_PATH, {"--unique", "-S", "2E"}, 2},
        {SEEDTILER_PATH, {"--unique", "-S", "9000000T"}, 2},
        {SEEDTILER_PATH, {"--unique", "-S", "99999999999999999999999"}, 2},
        {SEEDTILER_PATH, {"--unique", "-S", "1X"}, 2},
        {SEEDTILER_PATH, {"--unique", "-S", "0"}, 2},
        {SEEDTILER_PATH, {"-o", ""}, 2},
        {SIGSIEVE_PATH, {"-a", "1", "-n", "9223372036854775807"}, 0},
        {SIGSIEVE_PATH, {"--alpha=1e-300", "--total=+1", "--total-file=-"}, 2},
        {SIGSIEVE_PATH, {"-a", " 0x1p-7", "--total-file", "total_kmers.txt"}, 0},
        {SIGSIEVE_PATH, {"-a", "0.05 \t"}, 0},
        {SIGSIEVE_PATH, {"-m", "storey", "-n", "5", "--pi0=1", "--table=t.tsv"}, 0},
        {SIGSIEVE_PATH, {"-m", "storey", "--pi0", "0"}, 2},
        {SIGSIEVE_PATH, {"-m", "storey", "--pi0", "1.5"}, 2},
        {SIGSIEVE_PATH, {"-m", "sidak", "--case-out=-", "--table=-"}, 2},
        {SIGSIEVE_PATH, {"-m", "sidak", "--case=-"}, 0},
        {SIGSIEVE_PATH, {"--hist-plot=h.svg", "--case=-"}, 2},
        {SIGSIEVE_PATH, {"-n", "5", "--case", "-", "--control", "-"}, 2},
        {SIGSIEVE_PATH, {"-n", "5", "--total-file", "missing"}, 2},
        {SIGSIEVE_PATH, {"-n", "5", "-C", "missing"}, 1},
        {SIGSIEVE_PATH, {"-a", "0"}, 2},
        {SIGSIEVE_PATH, {"-a", "1.0000001"}, 2},
        {SIGSIEVE_PATH, {"-a", "-0.05"}, 2},
        {SIGSIEVE_PATH, {"-a", "nan"}, 2},
        {SIGSIEVE_PATH, {"-a", "0.05x"}, 2},
        {SIGSIEVE_PATH, {"-a", ""}, 2},
        {SIGSIEVE_PATH, {"-n", "0"}, 2},
        {SIGSIEVE_PATH, {"-n", "9223372036854775808"}, 2},
        {SIGSIEVE_PATH, {"-n", "1e6"}, 2},
    };
    for (const auto& line : lines) {
        Scratch s;
        s.write("seed.txt", std::string(40, 'A'));
        s.write("fasta.txt", ">r\nACGT\n");
        s.write("total_kmers.txt", "1");
        s.write("case_out_wo_bonf.kmerDiff", "A 1 2 0\n");
        s.write("control_out_wo_bonf.kmerDiff", "A 1 2 0\n");
        s.write("test.txt", "k 5 6 1 1 1\n");
        RunResult r = s.run(line.binary, line.args);
        std::string shown;
        for (const auto& a : line.args) shown += a + " ";
        EXPECT_EQ(r.status, line.status) << line.binary << " " << shown << r.err;
        if (line.status == 2) {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << shown;
            EXPECT_FALSE(s.exists("kmers.txt") || s.exists("x.txt") ||
                         s.exists("case_out_sig.fasta"));
        }
    }
}

// Damaged compressed input: a message naming the file, exit 1, and no
// output, wherever the damage lies.
TEST(Streams, DamagedCompressedInputFails) {
    const std::string text = seed();
    const std::string gz = gzipped(text), zst = zstded(text);
    std::string badCrc = gz;
    badCrc[badCrc.size() - 6] ^= 1;
    std::string badHeader = gz;
    badHeader[2] = 7;
    const struct {
        std::string data, message;
    } damaged[] = {
        {badHeader, "in.gz: corrupt gzip data (unsupported compression method)"},
        {badCrc, "in.gz: corrupt gzip data (CRC or length mismatch)"},
        {gz.substr(0, gz.size() / 2), "in.gz: truncated gzip data (unexpected end of file)"},
        {gz.substr(0, 5), "in.gz: truncated gzip data (unexpected end of file)"},
        {gz + "junk", "in.gz: corrupt gzip data (bytes after the last member)"},
        {zst.substr(0, zst.size() - 3), "in.gz: truncated zstd data (unexpected end of file)"},
        {zst + "junk", "in.gz: corrupt zstd data (Unknown frame descriptor)"},
    };
    for (const auto& d : damaged) {
        for (const char* threads : {"0", "1"}) {
            Scratch s;
            s.write("in.gz", d.data);
            RunResult r = s.run(SEEDTILER_PATH, {"-i", "in.gz", "-@", threads});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "seedtiler: " + d.message + "\n");
            EXPECT_EQ(s.names(), std::vector<std::string>{"in.gz"}) << d.message;
        }
    }
    Scratch s;
    s.write("t.gz", gzipped("100"));
    s.write("c.zst", zstded("A 1 2 0\n").substr(0, 4));
    s.write("test.txt", badHeader);
    RunResult r = s.run(SIGSIEVE_PATH, {"--total-file", "t.gz", "--case", "c.zst"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sigsieve: c.zst: truncated zstd data (unexpected end of file)\n");
    EXPECT_FALSE(s.exists("case_out_sig.fasta"));
    r = s.run(COHORTMEANS_PATH, {"1", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cohortmeans: test.txt: corrupt gzip data (unsupported compression method)\n");
    // A bad record in a damaged member: the damage is reported, whether
    // standard error is a file or a terminal (and the progress line on).
    std::string records = "A 1 2 0\nbad\n";
    for (int i = 0; i < 200000; ++i) records += "K 1 2 0.5\n";
    std::string damagedRecords = gzipped(records);
    damagedRecords[damagedRecords.size() - 6] ^= 1;
    s.write("d.gz", damagedRecords);
    s.write("e.txt", "");
    const std::string message = "sigsieve: d.gz: corrupt gzip data (CRC or length mismatch)";
    EXPECT_EQ(s.run(SIGSIEVE_PATH, {"-n", "9", "--case=d.gz", "--control=e.txt"}).err,
              message + "\n");
    if (std::system("command -v script >/dev/null") == 0) {
        const RunResult tty = s.run(
            "/bin/sh",
            {"-c", "script -qec \"$0 -n 9 --case=d.gz --control=e.txt\" /dev/null", SIGSIEVE_PATH});
        EXPECT_EQ(tty.out, message + "\r\n");
    }
}

// Inputs are what they claim to be: zstd with skippable frames and gzip
// with zero padding are read; formats not read, binary data, a cut BGZF
// file, an oversized zstd window and a closed standard input are refused
// before any output exists.
TEST(Streams, InputFormsReadOrRefused) {
    const std::string text = seed(), half = text.substr(0, text.size() / 2);
    const std::string skippable("\x5a\x2a\x4d\x18\x03\0\0\0abc", 11);
    // A frame header asking for a 2 GiB window (window log 31).
    const std::string hugeWindow("\x28\xb5\x2f\xfd\x00\xa8\x01\x00\x00", 9);
    const std::string refused = " is not supported (decompress it first: ";
    const struct {
        std::string data, message;  // message "" when read as `text`
    } inputs[] = {
        {skippable + zstded(text), ""},
        {zstded(half) + skippable + zstded(text.substr(half.size())), ""},
        {gzipped(text) + std::string(1000, '\0'), ""},
        {bgzfMember(text) + bgzfMember(""), ""},
        {"\xfd"
         "7zXZ" +
             std::string(1, '\0') + "rest",
         "in: xz-compressed input" + refused + "xz -dc in | seedtiler -i -)"},
        {"BZh91AY&SY", "in: bzip2-compressed input" + refused + "bzip2 -dc in | seedtiler -i -)"},
        {"\x04\x22\x4d\x18rest",
         "in: lz4-compressed input" + refused + "lz4 -dc in | seedtiler -i -)"},
        {"PK\x03\x04rest", "in: zip-compressed input" + refused + "unzip -p in | seedtiler -i -)"},
        {"x" + gzipped(text), "in: binary data, not text"},
        {text + std::string(1, '\0') + text, "in: binary data, not text"},
        {gzipped(text) + std::string(9, '\0') + "x",
         "in: corrupt gzip data (bytes after the last member)"},
        {bgzfMember(half) + bgzfMember(text.substr(half.size())),
         "in: truncated BGZF data (no end-of-file block)"},
        {hugeWindow,
         "in: zstd data needs a 2048 MiB window, above the 128 MiB this tool allows "
         "(decompress it with zstd -d --long=31)"},
    };
    Scratch s;
    s.write("in", text);
    ASSERT_EQ(s.run(SEEDTILER_PATH, {"-i", "in", "-o", "plain.txt"}).status, 0);
    const std::string expected = s.read("plain.txt");
    for (const auto& input : inputs) {
        for (const char* threads : {"0", "2"}) {
            Scratch t;
            t.write("in", input.data);
            const RunResult r = t.run(SEEDTILER_PATH, {"-i", "in", "-@", threads});
            EXPECT_EQ(r.err, input.message.empty() ? "" : "seedtiler: " + input.message + "\n");
            if (input.message.empty()) {
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(t.read("kmers.txt"), expected) << input.message;
            } else {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(t.names(), std::vector<std::string>{"in"}) << input.message;
            }
        }
    }
    const RunResult closed = s.run("/bin/sh", {"-c", "exec \"$0\" -i - <&-", SEEDTILER_PATH});
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "seedtiler: cannot read '-': standard input is closed\n");
}

// .gz outputs are BGZF: the same bytes whatever -@, read back by gzip,
// bgzip and the tools, ending with the end-of-file block; a cut or damaged
// copy fails with the same message however many threads decode it. .zst outputs too are the same
// whatever -@.
// Level 1 writes deflate data that inflates to the block, for blocks of
// every kind and size, and its bytes follow nothing but the key of where
// its state lies: two states with one key write the same bytes, and a key
// that files the third position over the second one's entry changes them.
TEST(Streams, FastDeflateFollowsTheKeyAlone) {
    FastDeflate one, two;  // at two places with the one key
    ASSERT_NE(one.state(), two.state());
    EXPECT_EQ(FastDeflate::keyOf(one.state()), FastDeflate::defaultKey);
    EXPECT_EQ(FastDeflate::keyOf(two.state()), FastDeflate::defaultKey);
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    const auto roundTrip = [&](const std::string& block, FastDeflate& deflate) {
        std::string out(65510, '\0'), back(block.size(), '\0');
        const size_t size = deflate(reinterpret_cast<const uint8_t*>(block.data()), block.size(),
                                    reinterpret_cast<uint8_t*>(out.data()), out.size());
        EXPECT_GT(size, 0u) << block.size();
        out.resize(size);
        size_t got = 0;
        EXPECT_EQ(libdeflate_deflate_decompress(inflater, out.data(), out.size(), back.data(),
                                                back.size(), &got),
                  LIBDEFLATE_SUCCESS);
        EXPECT_TRUE(got == block.size() && back == block) << block.size();
        return out;
    };
    std::mt19937_64 random(7);
    for (int round = 0; round < 240; ++round) {
        // Random bytes, lines of bases, one byte over and over, digits.
        const char* alphabets[] = {nullptr, "ACGT\n", "A", "0123456789\t\n"};
        const char* alphabet = alphabets[round % 4];
        std::string block(round < 40 ? round / 4 * 7 : random() % 65281, '\0');
        for (char& c : block)
            c = alphabet ? alphabet[random() % std::strlen(alphabet)] : static_cast<char>(random());
        ASSERT_TRUE(roundTrip(block, one) == roundTrip(block, two)) << round;
    }
    // The second position's bytes come again at 64; placed so that the
    // third position is filed under their hash, the match is not found.
    std::string block = "xACGTTGCAAT";
    for (int i = 0; i < 53; ++i) block += static_cast<char>('a' + i * 7 % 26);
    block += "ACGTTGCAAT";
    while (block.size() < 600) block += static_cast<char>('a' + random() % 26);
    uint32_t second;
    std::memcpy(&second, block.data() + 1, 4);
    FastDeflate onSecond(
        FastDeflate::keyOf(reinterpret_cast<const void*>(uintptr_t{second} << 16)));
    const std::string usual = roundTrip(block, one), overwritten = roundTrip(block, onSecond);
#if defined(__x86_64__)
    // The ISA-L this was found in, on a processor that takes its AVX2 body.
    if (ISAL_VERSION == ISAL_MAKE_VERSION(2, 30, 0) && __builtin_cpu_supports("avx2")) {
        EXPECT_FALSE(usual == overwritten) << "the key no longer matters: the placing may go";
    }
#endif
    libdeflate_free_decompressor(inflater);
}

TEST(Streams, BgzfOutputAndTheSameBytesWhateverTheThreads) {
    Scratch s;
    std::string seeds;
    while (seeds.size() < 150000) seeds += seed();
    s.write("seed.txt", seeds);
    // Run after run, too: nothing of where memory lies or which thread
    // took a block may change a byte.
    for (const char* name : {"k.gz", "k.zst"}) {
        std::string first;
#if defined(TOOLS_UNDER_TSAN) || defined(TOOLS_UNDER_ASAN)
        const int rounds = name[2] == 'g' ? 3 : 1;  // the tools run several times slower
#else
        const int rounds = name[2] == 'g' ? 20 : 1;
#endif
        for (int round = 0; round < rounds; ++round) {
            for (const char* threads : {"0", "1", "3"}) {
                ASSERT_EQ(s.run(SEEDTILER_PATH, {"-o", name, "-@", threads}).status, 0);
                if (first.empty()) first = s.read(name);
                ASSERT_TRUE(s.read(name) == first) << name << " -@" << threads << " " << round;
            }
        }
    }
    ASSERT_EQ(s.run(SEEDTILER_PATH, {"-o", "k.txt"}).status, 0);
    const std::string bgzf = s.read("k.gz"), text = s.read("k.txt");
    EXPECT_EQ(bgzf.substr(bgzf.size() - 28),
              std::string(
                  "\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0\x03\0\0\0\0\0\0\0\0\0", 28));
    EXPECT_TRUE(filterThrough("gzip -dc", bgzf) == text);
    if (std::system("command -v bgzip >/dev/null") == 0) {
        EXPECT_EQ(s.run("/bin/sh", {"-c", "bgzip -t k.gz"}).status, 0);
        // No larger than what bgzip writes at the same level.
        EXPECT_LE(bgzf.size(), s.run("/bin/sh", {"-c", "bgzip -l 1 -c k.txt"}).out.size());
    }
    // More threads than a tool takes here (its -@ stops at the cores beside
    // the calling one), each taking whichever blocks come, in odd pieces:
    // the same bytes as the tool's.
    for (int threads : {2, 6}) {
        for (int round = 0; round < 5; ++round) {
            TaskPool pool(threads);
            const int fd = memoryFile("", 1);
            auto sink = bgzfSink(fd, 1, pool);
            for (size_t at = 0, piece = 1; at < text.size();
                 at += piece, piece = piece * 7 % 100003)
                ASSERT_EQ(sink->write(&text[at], std::min(piece, text.size() - at)), 0);
            ASSERT_EQ(sink->finish(), 0);
            ASSERT_TRUE(contents(fd) == bgzf) << threads << " " << round;
        }
    }
    // Every level: BGZF members end to end, the same bytes for every -@,
    // and the text back; 0 stores, 9 shrinks most (how sizes fall with the
    // level on k-mers is the bench's to show).
    size_t sizes[10];
    for (int level = 0; level <= 9; ++level) {
        const std::string option = "--compress-level=" + std::to_string(level);
        ASSERT_EQ(s.run(SEEDTILER_PATH, {"-o", "l.gz", option}).status, 0);
        const std::string one = s.read("l.gz");
        ASSERT_EQ(s.run(SEEDTILER_PATH, {"-o", "l.gz", option, "-@", "2"}).status, 0);
        EXPECT_TRUE(s.read("l.gz") == one) << level;
        size_t at = 0;
        while (at < one.size() &&
               isBgzfHeader(reinterpret_cast<const uint8_t*>(&one[at]), one.size() - at))
            at += bgzfBlockSize(reinterpret_cast<const uint8_t*>(&one[at]), one.size() - at);
        EXPECT_EQ(at, one.size()) << level;
        EXPECT_TRUE(filterThrough("gzip -dc", one) == text) << level;
        sizes[level] = one.size();
    }
    EXPECT_GT(sizes[0], text.size());
    EXPECT_LT(sizes[9], sizes[1]);
    ASSERT_EQ(s.run(SEEDTILER_PATH, {"-k", "1", "-i", "k.gz", "-o", "back.txt"}).status, 0);
    ASSERT_EQ(s.run(SEEDTILER_PATH, {"-k", "1", "-i", "k.txt", "-o", "plain.txt"}).status, 0);
    EXPECT_TRUE(s.read("back.txt") == s.read("plain.txt"));
    // Header bytes that no check covers: MTIME, XFL, OS and the extra field.
    std::vector<bool> unchecked(bgzf.size());
    for (size_t block = 0; block + 18 <= bgzf.size();
         block += 1 + (uint8_t(bgzf[block + 16]) | uint8_t(bgzf[block + 17]) << 8))
        for (size_t i = 4; i < 18; ++i) unchecked[block + i] = true;
    for (size_t at = 2; at < bgzf.size(); at += 1 + at / 3) {
        std::string damaged = bgzf;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
        for (const std::string& copy : {bgzf.substr(0, at), damaged}) {
            if (copy.size() == bgzf.size() && unchecked[at]) continue;
            s.write("bad.gz", copy);
            const RunResult one = s.run(SEEDTILER_PATH, {"-k", "1", "-i", "bad.gz", "-o", "x"});
            EXPECT_EQ(one.status, 1) << at << " of " << bgzf.size();
            // Blocks decoded on three threads fail the same way.
            const RunResult three =
                s.run(SEEDTILER_PATH, {"-k", "1", "-i", "bad.gz", "-o", "x", "-@", "3"});
            EXPECT_EQ(three.status, 1);
            EXPECT_EQ(three.err, one.err) << at;
        }
    }
    // A whole BGZF file followed by an ordinary gzip member reads to its
    // end, on one thread or several; cut before its end-of-file block, the
    // BGZF part is refused, whatever follows it.
    s.write("tail.txt", "ACGTTGCA\n");
    const std::string tail = filterThrough("gzip -c", "ACGTTGCA\n");
    s.write("mixed.gz", bgzf + tail);
    s.write("cut.gz", bgzf.substr(0, bgzf.size() - 28));
    s.write("cut-then-more.gz", bgzf.substr(0, bgzf.size() - 28) + tail);
    const std::string tailKmers =
        s.run(SEEDTILER_PATH, {"-k", "1", "-i", "tail.txt", "-o", "-"}).out;
    for (const char* threads : {"0", "2"}) {
        const RunResult mixed =
            s.run(SEEDTILER_PATH, {"-k", "1", "-i", "mixed.gz", "-o", "-", "-@", threads});
        EXPECT_EQ(mixed.status, 0) << mixed.err;
        EXPECT_TRUE(mixed.out == s.read("plain.txt") + tailKmers);
        for (const std::string cut : {"cut.gz", "cut-then-more.gz"})
            EXPECT_EQ(s.run(SEEDTILER_PATH, {"-k", "1", "-i", cut, "-o", "x", "-@", threads}).err,
                      "seedtiler: " + cut + ": truncated BGZF data (no end-of-file block)\n");
    }
    const struct {
        std::vector<std::string> args;
        std::string message;  // "" for a run that succeeds
    } levels[] = {
        {{"-o", "k.zst", "--compress-level=19"}, ""},
        {{"-o", "k.gz", "--compress-level=10"},
         "invalid compression level 10 for 'k.gz': a .gz output takes levels 0 to 9"},
        {{"-o", "k.zst", "--compress-level=0"},
         "invalid compression level 0 for 'k.zst': a .zst output takes levels 1 to 19"},
        {{"-o", "k.zst", "--compress-level=22"},
         "invalid compression level: '22' (0 to 9 for .gz, 1 to 19 for .zst)"},
        {{"-o", "k.txt", "--compress-level=5"},
         "--compress-level=5: no output is compressed (named *.gz or *.zst)"},
    };
    for (const auto& line : levels) {
        const RunResult r = s.run(SEEDTILER_PATH, line.args);
        EXPECT_EQ(r.status, line.message.empty() ? 0 : 2) << line.message;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
                  line.message.empty() ? "" : "seedtiler: " + line.message);
    }
}

// Outputs that cannot take what is written: compressed files on a full
// disk, standard output closed or full.
TEST(Streams, FullAndClosedOutputsFail) {
    for (const char* name : {"k.gz", "k.zst"}) {
        for (const char* threads : {"0", "2"}) {
            Scratch s;
            s.write("seed.txt", seed());
            ASSERT_EQ(symlink("/dev/full", s.path(name).c_str()), 0);
            RunResult r = s.run(SEEDTILER_PATH, {"-o", name, "-@", threads});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, std::string("seedtiler: cannot write '") + name +
                                 "': No space left on device\n");
        }
    }
    Scratch s;
    s.write("seed.txt", seed());
    RunResult full = s.run(SEEDTILER_PATH, {"-o", "-"}, Stdout::DevFull);
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "seedtiler: cannot write 'standard output': No space left on device\n");
    RunResult closed = s.run(SEEDTILER_PATH, {"-o", "-"}, Stdout::Closed);
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "seedtiler: cannot write 'standard output': Bad file descriptor\n");
}

// True when `shown` is one or more progress lines, each drawn as
// "\rseedtiler: X MB read, Y MB/s" and cleared to the end of line, then
// erased: "\r" followed by a clear.
bool progressLines(std::string_view shown) {
    const std::string_view clear = "\x1b[K", erase = "\r\x1b[K";
    if (shown.size() < erase.size() || !shown.ends_with(erase)) return false;
    shown.remove_suffix(erase.size());
    if (shown.empty()) return false;
    auto number = [](std::string_view& s) {
        size_t n = 0;
        while (n < s.size() && (std::isdigit(static_cast<unsigned char>(s[n])) || s[n] == '.')) n++;
        s.remove_prefix(n);
        return n > 0;
    };
    auto take = [](std::string_view& s, std::string_view word) {
        if (!s.starts_with(word)) return false;
        s.remove_prefix(word.size());
        return true;
    };
    while (!shown.empty()) {
        if (!take(shown, "\rseedtiler: ") || !number(shown) || !take(shown, " MB read, ") ||
            !number(shown) || !take(shown, " MB/s") || !take(shown, clear))
            return false;
    }
    return true;
}

// seedtiler on a pseudo-terminal, reading seeds from a pipe; keeps what
// the terminal showed.
struct TerminalRun {
    pid_t pid = -1;
    int terminal = -1, feed = -1;
    std::string shown;

    TerminalRun(const Scratch& scratch, bool quiet) {
        int pipeFds[2];
        // Both ends close on exec: no other run may hold them open.
        if (pipe2(pipeFds, O_CLOEXEC) != 0) std::abort();
        pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid == 0) {
            dup2(pipeFds[0], STDIN_FILENO);
            close(pipeFds[1]);
            if (chdir(scratch.dir().c_str()) != 0) _exit(127);
            execl(SEEDTILER_PATH, SEEDTILER_PATH, "-i", "-", "-o", quiet ? "q.txt" : "k.txt",
                  quiet ? "-q" : nullptr, nullptr);
            _exit(127);
        }
        fcntl(terminal, F_SETFD, FD_CLOEXEC);
        close(pipeFds[0]);
        feed = pipeFds[1];
    }
    void send(const std::string& text) const {
        if (write(feed, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::abort();
    }
    int finish() {
        close(feed);
        char buf[4096];
        ssize_t n;
        while ((n = read(terminal, buf, sizeof buf)) > 0) shown.append(buf, static_cast<size_t>(n));
        int status = 0;
        waitpid(pid, &status, 0);
        close(terminal);
        return status;
    }
};

// The progress line: drawn on a terminal only, never before two seconds
// of a run, then erased; -q turns it off. The test waits for the line to
// come, not for a time, so that a busy machine cannot fail it.
TEST(Streams, ProgressLineOnlyOnATerminalAfterTwoSeconds) {
    Scratch scratch;
    const std::string seeds(100, 'A');
    std::string chunk;  // what a pipe read takes at once, past the first look at the input
    for (int i = 0; i < 300; ++i) chunk += seeds + "\n";
    const auto start = std::chrono::steady_clock::now();
    TerminalRun shown(scratch, false), quiet(scratch, true);
    int lines = 0;
    for (;;) {
        shown.send(chunk);
        quiet.send(chunk);
        lines += 300;
        pollfd wait = {shown.terminal, POLLIN, 0};
        if (poll(&wait, 1, 100) > 0) break;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(shown.finish(), 0);
    EXPECT_EQ(quiet.finish(), 0);
    // Drawn (size unknown on a pipe), then erased.
    EXPECT_TRUE(progressLines(shown.shown)) << shown.shown;
    EXPECT_EQ(quiet.shown, "");
    EXPECT_EQ(scratch.read("k.txt"), scratch.read("q.txt"));
    EXPECT_EQ(scratch.read("k.txt").size(), size_t(lines) * 2 * 70 * 32);
    // A run that ends at once shows nothing.
    TerminalRun brief(scratch, false);
    brief.send(seeds + "\n");
    EXPECT_EQ(brief.finish(), 0);
    EXPECT_EQ(brief.shown, "");
}

}  // namespace

// `text` written by the project's own sink for `name` (BGZF for .gz, one
// zstd frame for .zst), as one stream per piece between the cuts.
std::string sunk(const std::string& text, const char* name, std::vector<size_t> cuts = {}) {
    const int fd = memoryFile("", 2);
    cuts.push_back(text.size());
    size_t from = 0;
    for (const size_t to : cuts) {
        const auto sink = openSink(fd, name, RunThreads::none());
        if (sink->write(text.data() + from, to - from) != 0 || sink->finish() != 0) std::abort();
        from = to;
    }
    return contents(fd);
}

// Random inputs of a few MiB, so that they span several chunks, blocks and
// frames: blank lines, CRLF, long lines, and in a second round a bad line late
// in the file. Every tool, every input form and -@ 0 to 4 give the same
// outputs, messages and exit status. Under the sanitizers, whose tools run
// several times slower, the inputs are smaller and -@ is 0 and 3.
#if defined(TOOLS_UNDER_TSAN) || defined(TOOLS_UNDER_ASAN)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

TEST(Streams, EveryThreadCountGivesTheSameResult) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 2; ++round) {
        // Line i of n; in the second round line 19n/20 is bad.
        const auto line = [&](int i, int n, const std::string& good, const std::string& bad,
                              bool longLines = true) {
            const uint64_t r = rng() % 4000;
            if (r < 80) return std::string("\n");
            if (r == 80 && longLines)
                return std::string(20000 + rng() % 300000, 'A') + " " + good + "\r\n";
            return (round == 1 && i == n * 19 / 20 ? bad : good) + (rng() % 4 ? "\n" : "\r\n");
        };
        std::string records, table, seeds;
        const int n = sanitized ? 8000 : 40000;
        for (int i = 0; i < n; ++i) {
            records +=
                line(i, n, "K" + std::to_string(i) + " 1 2 " + std::to_string(rng() % 1000 / 999.0),
                     "K 1 2 x");
            table += line(
                i, n,
                "k 5 6 0." + std::to_string(rng()) + " 3 0 " + std::to_string(rng() % 9) + " 1",
                "k 1 1");
            if (i % 8 == 0)
                seeds += line(i / 8, n / 8, "ACGTTGCAACGTAAGGCCTTGACAGTCAGTACCAGT", "AC>", false);
        }
        struct Tool {
            const char* binary;
            std::vector<std::string> args;  // "in" is the input
            std::vector<std::string> outputs;
            const std::string& input;
        } tools[] = {
            {SEEDTILER_PATH, {"-i", "in", "-o", "kmers.txt"}, {"kmers.txt"}, seeds},
            {SIGSIEVE_PATH,
             {"--case=in", "--control=c.txt"},
             {"case_out_sig.fasta", "control_out_sig.fasta"},
             records},
            {SIGSIEVE_PATH,
             {"--case=in", "--control=c.txt", "-m", "bh", "-n", "100000", "--report=r.tsv"},
             {"case_out_sig.fasta", "control_out_sig.fasta", "r.tsv"},
             records},
            {COHORTMEANS_PATH, {"-i", "in", "2", "2"}, {}, table},
        };
        for (const Tool& tool : tools) {
            const std::string& text = tool.input;
            std::vector<size_t> cuts;
            for (int i = 0; i < 4; ++i) cuts.push_back(text.size() * (i + 1) / 5 + rng() % 1000);
            const std::pair<const char*, std::string> forms[] = {
                {"plain", text},
                {"gzip", gzipped(text)},
                {"BGZF", sunk(text, "x.gz")},
                {"zstd", zstded(text)},
                {"zstd frames", sunk(text, "x.zst", cuts)},
            };
            Scratch s;
            s.write("total_kmers.txt", "1000\n");
            s.write("c.txt", "C 1 2 0\n");
            std::string expected;
            for (const auto& [form, data] : forms) {
                s.write("in", data);
                for (int threads = 0; threads <= 4; threads += sanitized ? 3 : 1) {
                    std::vector<std::string> args = tool.args;
                    args.push_back("-@" + std::to_string(threads));
                    const RunResult r = s.run(tool.binary, args);
                    std::string got = std::to_string(r.status) + "\n" + r.err + r.out;
                    for (const auto& out : tool.outputs) got += "\n" + s.read(out);
                    if (expected.empty()) expected = got;
                    ASSERT_TRUE(got == expected) << tool.binary << " " << form << " -@" << threads
                                                 << ": " << got.substr(0, 200);
                }
            }
            if (round == 1 && tool.outputs.size() != 1) {
                EXPECT_EQ(expected[0], '1') << tool.binary;  // the bad line is found
            }
        }
    }
}

namespace {

// Runs `binary` with `args` in the scratch directory; returns its exit
// status and the most threads its process held at once, read from
// /proc/PID/task while it ran.
std::pair<int, int> peakThreads(const Scratch& s, const std::string& binary,
                                std::vector<std::string> args) {
    args.insert(args.begin(), binary);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(s.dir().c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(127);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    int peak = 0, status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        int count = 0;
        if (DIR* dir = opendir(tasks.c_str())) {
            while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
            closedir(dir);
        }
        peak = std::max(peak, count);
        usleep(200);
    }
    return {status, peak};
}

}  // namespace

// ThreadSanitizer's runtime has a thread of its own in every process.
#if defined(TOOLS_UNDER_TSAN)
constexpr int runtimeThreads = 1;
#else
constexpr int runtimeThreads = 0;
#endif

// -@ N is one budget for the run: every stage (decoding, records, the
// k-mer sort and its runs, BGZF and zstd output) shares at most N threads
// beside the calling one, no more than the cores leave; a zstd output
// needs one libzstd worker even at -@ 0.
TEST(Streams, EveryStageSharesOneThreadBudget) {
    std::mt19937_64 rng(7);
    std::string fasta, records;
    for (int i = 0; i < (sanitized ? 100 : 600); ++i) {
        fasta += ">r\n";
        for (int j = 0; j < 2000; ++j) fasta += "ACGT"[rng() % 4];
        fasta += "\n";
    }
    for (int i = 0; i < (sanitized ? 20000 : 100000); ++i)
        records += "K" + std::to_string(i) + " 1 2 " + std::to_string(rng() % 1000 / 999.0) + "\n";
    Scratch s;
    s.write("in.fa.gz", sunk(fasta, "x.gz"));
    s.write("c.gz", sunk(records, "x.gz"));
    s.write("d.gz", sunk(records, "x.gz"));
    cpu_set_t set;
    const int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    for (const int threads : {0, 1, 3}) {
        const int budget = std::max(0, std::min(threads, cores - 1));
        const std::string n = "-@" + std::to_string(threads);
        const struct {
            std::string binary;
            std::vector<std::string> args;
            int extra;  // beyond the budget
        } runs[] = {
            {SEEDTILER_PATH,
             {n, "--fasta", "--unique", "-S", "1M", "-i", "in.fa.gz", "-o", "set.gz"},
             0},
            {SEEDTILER_PATH, {n, "--fasta", "-i", "in.fa.gz", "-o", "all.zst"}, budget ? 0 : 1},
            {SIGSIEVE_PATH,
             {n, "-m", "bh", "-n", "1000000", "--case=c.gz", "--control=d.gz", "--case-out=a.gz",
              "--control-out=b.zst", "--table=t.gz"},
             budget ? 0 : 1},
            {COHORTMEANS_PATH, {n, "-i", "c.gz", "0", "0"}, 0},
        };
        for (const auto& run : runs) {
            const auto [status, peak] = peakThreads(s, run.binary, run.args);
            EXPECT_EQ(status, 0) << run.args[1];
            EXPECT_LE(peak, 1 + budget + run.extra + runtimeThreads)
                << run.binary << " " << n << " " << run.args[1];
        }
    }
}
