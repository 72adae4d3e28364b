// seedtiler: reads seed sequences from "seed.txt", one per line, and writes
// to "kmers.txt" every window of k (31 by default) consecutive characters of
// every sequence, each window followed by its reverse complement, one per
// line. With --fasta the sequences are FASTA or FASTQ records instead, their
// sequence lines joined.
//
// Windows run over the characters of a line before its terminator ("\n" or
// "\r\n"), so a sequence of B characters gives B - k + 1 windows however
// long it is. Sequences are read in bounded pieces and the last k - 1
// characters of a piece are carried into the next one, so memory stays
// constant whatever the sequence lengths.
#include "seedtiler.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "files.h"
#include "kmer_set.h"
#include "lines.h"
#include "numbers.h"
#include "records.h"
#include "reverse.h"
#include "sequences.h"
#include "task_pool.h"
#include "tool.h"

namespace {

const Help help = {
    "Usage: seedtiler [OPTION]...\n"
    "Reads seed sequences, one per line, and writes every 31-character window of\n"
    "every line (-k sets another length), each window on its own line followed by\n"
    "a line with its reverse complement (A<->T, C<->G, any other character becomes\n"
    "N). Line terminators (\"\\n\" or \"\\r\\n\") are not part of any window. Other\n"
    "arguments are ignored.\n"
    "\n",
    24, "extra threads for decoding, compression and record\nwork (default: 0)",
    "\n"
    "FILE '-' is standard input or output. Input compressed with gzip or zstd is\n"
    "recognised by its first bytes; an output named *.gz is written as BGZF\n"
    "(blocked gzip), *.zst as zstd.\n"
    "\n"
    "Example: seedtiler -k 25 --fasta --upper --canonical --acgt-only --unique \\\n"
    "           -i ref.fa.gz -o kmers.txt\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written or (with\n"
    "--fasta) is not FASTA or FASTQ, 2 for invalid options.\n",
    "the input with -i"};

// The largest buffer size -S takes: 1 EiB, far beyond any memory, and far
// below where the sizes derived from it overflow.
constexpr uint64_t maxBufferBytes = uint64_t{1} << 60;

// A size as sort takes it: a whole number of KiB, or with a suffix: b
// (bytes), K, M, G, T, P, E (either case for k, m, g and t), or % of the
// physical memory. Too large a size is a usage error naming the limit.
uint64_t parseBufferSize(const char* text) {
    const char* end = text;
    while (isDigit(*end)) ++end;
    uint64_t n = 0;
    const std::string digits(text, end);
    const char* suffix = *end ? std::strchr("bkKmMgGtTPE%", *end) : "K";
    const ArgumentStatus status = digits.empty()
                                      ? ArgumentStatus::Invalid
                                      : parseWholeArgument(digits.c_str(), UINT64_MAX, n);
    if (!suffix || (*end && end[1]) || status == ArgumentStatus::Invalid ||
        (status == ArgumentStatus::Ok && n == 0))
        failUsage(
            "invalid buffer size: '%s' (a number of KiB, or with the suffix b, K, M, G, T, "
            "P, E, or %% of the memory)",
            text);
    uint64_t unit = 1;
    if (*suffix == '%') {
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        unit = pages > 0 && page > 0
                   ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) / 100
                   : 1;
    } else {
        const int power = static_cast<int>(std::strchr("bkmgtpe", *suffix | 0x20) -
                                           "bkmgtpe");  // 1024^power bytes
        unit = uint64_t{1} << (10 * power);
    }
    if (status == ArgumentStatus::TooLarge || n > maxBufferBytes / unit)
        failUsage("buffer size '%s' is too large (at most 1E, 1 EiB)", text);
    return n * unit;
}

// Copies of windows are done `width` bytes at a time whatever k (up to the
// width), so that the copies have a size known to the compiler; the bytes
// past a window land in space that the next one overwrites.
constexpr size_t width = 64;

// A, C, G and T as 2-bit codes in byte order; 4 for any other character.
constexpr std::array<uint8_t, 256> baseCodes = [] {
    std::array<uint8_t, 256> codes{};
    codes.fill(4);
    codes['A'] = 0, codes['C'] = 1, codes['G'] = 2, codes['T'] = 3;
    return codes;
}();

// Collects the characters of one sequence and writes its windows: each and
// its reverse complement, or as the options say (the canonical one, only
// those of A, C, G and T, into the set of distinct ones).
class Tiler : public SequenceSink {
  public:
    Tiler(const TileOptions& options, OutputFile& out, KmerSet* set)
        : k_(options.k),
          cap_(options.limit + options.k - 1),
          options_(options),
          plain_(!options.canonical && !options.upper && !options.acgtOnly && !set),
          text_(cap_ + width),
          rc_(cap_ + width),
          out_(out),
          set_(set) {}

    void add(const char* p, size_t n) override {
        while (n > 0) {
            if (len_ == cap_) tileAndCarry();
            const size_t take = std::min(n, cap_ - len_);
            char* to = text_.data() + len_;
            std::memcpy(to, p, take);
            if (options_.upper)  // soft-masked sequence read as sequence
                for (size_t i = 0; i < take; ++i) to[i] -= (to[i] >= 'a' && to[i] <= 'z') * 32;
            len_ += take, p += take, n -= take;
        }
    }
    // The sequence ends: no window spans it and the next.
    void end() override {
        tile();
        len_ = 0;
    }

  private:
    void tileAndCarry() {
        tile();
        const size_t carried = std::min(len_, k_ - 1);
        std::memmove(text_.data(), text_.data() + len_ - carried, carried);
        len_ = carried;
    }
    void tile() {
        if (len_ < k_) return;
        reverse(rc_.data(), text_.data(), len_);
        if (!plain_)
            tileChosen();
        else if (k_ == kmerLength)
            tileBy<32, kmerLength>();
        else if (k_ <= 32)
            tileBy<32>();
        else if (k_ <= width)
            tileBy<width>();
        else
            tileBy<0>();
    }
    // Writes each window of the text and its reverse complement, copying
    // W bytes for each (k bytes when W is 0); each reverse complement is a
    // slice of that of the whole text. K, when not 0, is k known at compile
    // time (the default length).
    template <size_t W, size_t K = 0>
    void tileBy() {
        const size_t k = K ? K : k_, len = len_;
        const char* text = text_.data();
        const char* rc = rc_.data();
        for (size_t start = 0; start + k <= len; ++start) {
            char* p = out_.reserve(2 * (k + 1) + W);
            std::memcpy(p, text + start, W ? W : k);
            p[k] = '\n';
            std::memcpy(p + k + 1, rc + (len - start - k), W ? W : k);
            p[2 * k + 1] = '\n';
            out_.commit(2 * (k + 1));
        }
    }

    void tileChosen() {
        if (k_ <= 32)
            tileChosen<uint64_t>();
        else
            tileChosen<unsigned __int128>();
    }
    // The windows as the options choose them. Up to 32 characters (64 with
    // a 128-bit Code) the window and its reverse complement are also kept
    // as 2-bit codes, rolled one base at a time, which compare as their
    // text does.
    template <class Code>
    void tileChosen() {
        const size_t k = k_, len = len_;
        const char* text = text_.data();
        const char* rc = rc_.data();
        const bool coded = 2 * k <= 8 * sizeof(Code);
        const Code mask = !coded                      ? 0
                          : 2 * k == 8 * sizeof(Code) ? ~Code{0}
                                                      : (Code{1} << (2 * k)) - 1;
        const int top = coded ? static_cast<int>(2 * (k - 1)) : 0;
        Code forward = 0, backward = 0;
        size_t clean = 0;  // windows from here on hold A, C, G and T only so far
        for (size_t i = 0; i < len; ++i) {
            const uint8_t code = baseCodes[static_cast<unsigned char>(text[i])];
            if (code > 3) clean = i + 1;
            if (coded) {
                forward = ((forward << 2) | (code & 3)) & mask;
                backward = (backward >> 2) | (Code{3 - (code & 3u)} << top);
            }
            if (i + 1 < k) continue;
            const size_t start = i + 1 - k;
            const bool acgt = clean <= start;
            if (!acgt && options_.acgtOnly) continue;
            const char* window = text + start;
            const char* windowRc = rc + (len - start - k);
            if (acgt && coded) {
                if (set_) {
                    set_->addPacked(options_.canonical ? std::min(forward, backward) : forward);
                    if (!options_.canonical) set_->addPacked(backward);
                } else if (options_.canonical) {
                    emit(forward <= backward ? window : windowRc);
                } else {
                    emit(window), emit(windowRc);
                }
                continue;
            }
            if (options_.canonical)
                emit(std::memcmp(window, windowRc, k) <= 0 ? window : windowRc);
            else
                emit(window), emit(windowRc);
        }
    }
    void emit(const char* window) {
        if (set_) return set_->addText(window);
        char* p = out_.reserve(k_ + 1);
        std::memcpy(p, window, k_);
        p[k_] = '\n';
        out_.commit(k_ + 1);
    }

    const size_t k_, cap_;
    const TileOptions& options_;
    const bool plain_;
    std::vector<char> text_, rc_;
    size_t len_ = 0;
    OutputFile& out_;
    KmerSet* set_;
};

}  // namespace

size_t outputCapacityFor(size_t k, size_t preferred) {
    return std::max(preferred, 2 * (k + 1) + width);
}

void tileInputs(const std::vector<TileInput>& inputs, OutputFile& out, const TileOptions& options) {
    std::unique_ptr<KmerSet> set;
    if (options.unique || options.count)
        set = std::make_unique<KmerSet>(
            KmerSetOptions{options.k, options.bufferBytes, options.tempDir, options.count,
                           options.minCount, options.maxCount},
            options.pool ? *options.pool : RunThreads::none().pool());
    Tiler tiler(options, out, set.get());
    for (const auto& [in, name] : inputs) {
        LineReader reader(*in, options.limit);
        if (options.fasta) {
            readSequenceRecords(reader, name, tiler);
        } else {
            // One sequence per line, as asked; but a FASTA or FASTQ file
            // read so tiles its names as sequence, which a warning points
            // out.
            std::string_view first;
            bool complete;
            if (reader.next(first, complete)) {
                if (!first.empty() && (first[0] == '>' || first[0] == '@'))
                    warn(
                        "'%s' looks like %s (its first line starts with '%c'); --fasta reads it "
                        "as records",
                        name, first[0] == '>' ? "FASTA" : "FASTQ", first[0]);
                tiler.add(first.data(), first.size());
                if (complete) tiler.end();
            }
            readSequenceLines(reader, tiler);
        }
        if (reader.error()) failRead(reader, name);
        tiler.end();
    }
    if (set) set->write(out);
}

namespace {

// The run, from the options to the outputs written.
void run(int argc, char** argv, OutputSet& outputs) {
    std::vector<const char*> seeds{"seed.txt"};
    const char* kmers = "kmers.txt";
    const char *minCount = nullptr, *maxCount = nullptr;
    const char *level = nullptr, *bufferSize = nullptr, *tempDir = nullptr;
    TileOptions tiling;
    bool seedsNamed = false;
    const auto set = [](bool& flag) { return [&flag](const char*) { flag = true; }; };
    // A count as --min-count and --max-count take it.
    const auto count = [](const char* option, const char* text) {
        uint64_t n = 0;
        if (parseWholeArgument(text, UINT64_MAX, n) != ArgumentStatus::Ok)
            failUsage("invalid %s: '%s' (a whole number)", option, text);
        return n;
    };
    std::vector<Option> options = {
        {.name = "seeds",
         .shortName = 'i',
         .argument = "FILE",
         .help = "the seed sequences (default: seed.txt); given more\n"
                 "than once, the inputs are read in order as one",
         .parse =
             [&](const char* a) {
                 if (std::exchange(seedsNamed, true) == false) seeds.clear();
                 seeds.push_back(a);
             },
         .brief = "the seed sequences",
         .every = true},
        {.name = "kmers",
         .shortName = 'o',
         .argument = "FILE",
         .help = "the k-mer list (default: kmers.txt)",
         .parse = [&](const char* a) { kmers = a; },
         .brief = "the k-mers written"},
        {.name = "kmer-length",
         .shortName = 'k',
         .argument = "N",
         .help = "the window length, 1 to 1048576 (default: 31)",
         .parse =
             [&](const char* a) {
                 uint64_t k = 0;
                 if (parseWholeArgument(a, maxKmerLength, k) != ArgumentStatus::Ok || k == 0)
                     failUsage("invalid k-mer length: '%s' (a whole number from 1 to %zu)", a,
                               maxKmerLength);
                 tiling.k = k;
             },
         .brief = "the window length, 1 to 1048576"},
        {.name = "fasta",
         .help = "read FASTA or FASTQ records: a record's sequence lines\n"
                 "are joined, and no window spans two records",
         .parse = set(tiling.fasta),
         .brief = "read FASTA or FASTQ records"},
        {.name = "canonical",
         .help = "write each window once: the smaller in byte order of\n"
                 "it and its reverse complement",
         .parse = set(tiling.canonical),
         .brief = "each window once, the smaller of it and its reverse complement"},
        {.name = "upper",
         .help = "read lower-case letters as upper case",
         .parse = set(tiling.upper),
         .brief = "read lower-case letters as upper case"},
        {.name = "acgt-only",
         .help = "skip the windows holding any character but A, C, G, T",
         .parse = set(tiling.acgtOnly),
         .brief = "skip the windows holding any character but A, C, G, T"},
        {.name = "unique",
         .help = "write each distinct line once, in byte order (as\n"
                 "LC_ALL=C sort -u would)",
         .parse = set(tiling.unique),
         .brief = "write each distinct line once, in byte order"},
        {.name = "count",
         .help = "write each distinct line once, in byte order, with a\n"
                 "tab and the number of times it occurs; implies --unique",
         .parse = set(tiling.count),
         .brief = "each distinct line once with the number of times it occurs"},
        {.name = "min-count",
         .argument = "N",
         .help = "with --count, only the lines that occur at least N\n"
                 "times",
         .parse = [&](const char* a) { minCount = a, tiling.minCount = count("--min-count", a); },
         .brief = "the lines that occur at least N times"},
        {.name = "max-count",
         .argument = "N",
         .help = "with --count, only the lines that occur at most N times",
         .parse = [&](const char* a) { maxCount = a, tiling.maxCount = count("--max-count", a); },
         .brief = "the lines that occur at most N times"},
        {.name = "buffer-size",
         .shortName = 'S',
         .argument = "SIZE",
         .help = "the memory for --unique's windows, in KiB or with a\n"
                 "suffix as sort takes it: b, K, M, G, T, P, E or %\n"
                 "(default: 1G); beyond it, sorted runs go to temporary\n"
                 "files and are merged",
         .parse = [&](const char* a) { bufferSize = a; },
         .brief = "the memory for --unique's windows, as sort -S takes it"},
        {.name = "temporary-directory",
         .shortName = 'T',
         .argument = "DIR",
         .help = "where those runs go (default: $TMPDIR, else\n"
                 "/tmp); they have no name, so nothing is left there",
         .parse = [&](const char* a) { tempDir = a; },
         .brief = "where --unique's sorted runs go"},
        {.name = "compress-level",
         .argument = "N",
         .help = "the level of a .gz output, 0 to 9 (default: 1), or\n"
                 "of a .zst output, 1 to 19 (default: 3)",
         .parse = [&](const char* a) { level = a; },
         .brief = "the level of a .gz (0 to 9) or .zst (1 to 19) output"}};
    const Option& seedsOption = options[0];
    const Command command = parseOptions(argc, argv, options, help);
    const int compressLevel = parseCompressLevel(level);
    checkCompressLevel(&kmers, 1, compressLevel);
    if ((minCount || maxCount) && !tiling.count)
        failUsage("%s goes with --count", minCount ? "--min-count" : "--max-count");
    tiling.unique = tiling.unique || tiling.count;
    if ((bufferSize || tempDir) && !tiling.unique)
        failUsage("%s goes with --unique", bufferSize ? "--buffer-size" : "--temporary-directory");
    if (bufferSize) tiling.bufferBytes = parseBufferSize(bufferSize);
    tiling.tempDir = tempDir ? tempDir : temporaryDirectory();
    if (tiling.tempDir.empty()) failUsage("invalid temporary directory: ''");
    checkOneStandard(seeds.data(), seeds.size(), "input");
    enterDirectory(command);
    checkDistinct(seeds.data(), seeds.size(), &kmers, 1);

    RunThreads threads(command.threads, anyZstd({kmers}));
    tiling.pool = &threads.pool();
    // The inputs are opened first so that a missing one leaves the output
    // untouched.
    std::vector<std::unique_ptr<ByteSource>> sources;
    std::vector<TileInput> inputs;
    for (const char* seed : seeds) {
        sources.push_back(openInputSource(seed, seedsOption, threads.pool()));
        inputs.push_back({sources.back().get(), inputName(seed)});
    }
    OutputFile out(outputs.create(kmers), outputCapacityFor(tiling.k), {&threads, compressLevel});
    tileInputs(inputs, out, tiling);
    out.close();
    outputs.commit();
}

}  // namespace

int runSeedtiler(int argc, char** argv) {
    return runTool("seedtiler", [&](OutputSet& outputs) { run(argc, argv, outputs); });
}
