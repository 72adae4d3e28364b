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

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

#include "files.h"
#include "lines.h"
#include "numbers.h"
#include "records.h"
#include "reverse.h"
#include "tool.h"

namespace {

const char usage[] =
    "Usage: seedtiler [OPTION]...\n"
    "Reads seed sequences, one per line, and writes every 31-character window of\n"
    "every line (-k sets another length), each window on its own line followed by\n"
    "a line with its reverse complement (A<->T, C<->G, any other character becomes\n"
    "N). Line terminators (\"\\n\" or \"\\r\\n\") are not part of any window. Other\n"
    "arguments are ignored.\n"
    "\n"
    "  -i, --seeds=FILE      the seed sequences (default: seed.txt)\n"
    "  -o, --kmers=FILE      the k-mer list (default: kmers.txt)\n"
    "  -k, --kmer-length=N   the window length, 1 to 1048576 (default: 31)\n"
    "      --fasta           read FASTA or FASTQ records: a record's sequence lines\n"
    "                        are joined, and no window spans two records\n"
    "      --compress-level=N  the level of a .gz output, 0 to 3 (default: 1), or\n"
    "                        of a .zst output, 1 to 19 (default: 3)\n" COMMON_OPTIONS_HELP
    "\n"
    "FILE '-' is standard input or output. Input compressed with gzip or zstd is\n"
    "recognised by its first bytes; an output named *.gz is written as BGZF\n"
    "(blocked gzip), *.zst as zstd.\n"
    "\n"
    "Example: seedtiler -k 25 --fasta -i ref.fa.gz -o - | sort -u > kmers.txt\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written or (with\n"
    "--fasta) is not FASTA or FASTQ, 2 for invalid options.\n";

// Copies of windows are done `width` bytes at a time whatever k (up to the
// width), so that the copies have a size known to the compiler; the bytes
// past a window land in space that the next one overwrites.
constexpr size_t width = 64;

// Collects the characters of one sequence and writes its windows.
class Tiler {
  public:
    Tiler(size_t k, size_t limit, OutputFile& out)
        : k_(k), cap_(limit + k - 1), text_(cap_ + width), rc_(cap_ + width), out_(out) {}

    void add(const char* p, size_t n) {
        while (n > 0) {
            if (len_ == cap_) tileAndCarry();
            const size_t take = std::min(n, cap_ - len_);
            std::memcpy(text_.data() + len_, p, take);
            len_ += take, p += take, n -= take;
        }
    }
    // The sequence ends: no window spans it and the next.
    void end() {
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
        if (k_ == kmerLength)
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

    const size_t k_, cap_;
    std::vector<char> text_, rc_;
    size_t len_ = 0;
    OutputFile& out_;
};

// One sequence per line.
void tileLines(LineReader& reader, Tiler& tiler) {
    std::string_view piece;
    bool complete;
    while (reader.next(piece, complete)) {
        tiler.add(piece.data(), piece.size());
        if (complete) tiler.end();
    }
}

// A FASTQ record's quality must be as long as its sequence.
void checkQuality(LineReader& reader, const char* name, uint64_t recordLine, uint64_t quality,
                  uint64_t sequence) {
    if (quality == sequence) return;
    failIfDamaged(reader, name);
    fail("%s:%" PRIu64 ": the FASTQ record's quality (%" PRIu64
         " characters) is %s than its sequence (%" PRIu64 ")",
         name, recordLine, quality, quality < sequence ? "shorter" : "longer", sequence);
}

// FASTA and FASTQ records, read line by line as kseq reads them: a ">" or
// "@" line starts a record; a FASTQ record's sequence lines end at a "+"
// line, and its quality lines at the sequence's length.
void tileRecords(LineReader& reader, Tiler& tiler, const char* name) {
    enum class State { Before, Fasta, FastqSequence, FastqQuality, AfterFastq };
    enum class Line { Skipped, Sequence, Quality };  // what the current line is
    State state = State::Before;
    Line line = Line::Skipped;
    uint64_t sequence = 0, quality = 0, recordLine = 0;
    std::string_view piece;
    bool complete;
    bool lineStart = true;
    while (reader.next(piece, complete)) {
        if (lineStart) {
            if (piece.empty() && complete) continue;  // a blank line
            const char c = piece.empty() ? '\0' : piece[0];
            if (state == State::FastqQuality) {
                line = Line::Quality;
            } else if (c == '>' || c == '@') {
                if (state == State::FastqSequence) {
                    failIfDamaged(reader, name);
                    fail("%s:%" PRIu64 ": a FASTQ record ends without its '+' line", name,
                         reader.lineNumber());
                }
                tiler.end();
                state = c == '>' ? State::Fasta : State::FastqSequence;
                line = Line::Skipped;
                sequence = 0;
                recordLine = reader.lineNumber();
            } else if (state == State::Before || state == State::AfterFastq) {
                failIfDamaged(reader, name);
                fail("%s:%" PRIu64 ": expected a FASTA ('>') or FASTQ ('@') record, found '%.*s'",
                     name, reader.lineNumber(), shown(piece.size()), piece.data());
            } else if (state == State::FastqSequence && c == '+') {
                tiler.end();
                state = State::FastqQuality;
                line = Line::Skipped;
                quality = 0;
            } else {
                line = Line::Sequence;
            }
        }
        lineStart = complete;
        if (line == Line::Quality) quality += piece.size();
        if (line == Line::Sequence) {
            if (state == State::FastqSequence) sequence += piece.size();
            tiler.add(piece.data(), piece.size());
        }
        if (complete && state == State::FastqQuality && quality >= sequence) {
            checkQuality(reader, name, recordLine, quality, sequence);
            state = State::AfterFastq;
        }
    }
    if (state == State::FastqSequence) {
        failIfDamaged(reader, name);
        fail("%s:%" PRIu64 ": a FASTQ record ends without its '+' line", name, recordLine);
    }
    if (state == State::FastqQuality) checkQuality(reader, name, recordLine, quality, sequence);
    tiler.end();
}

}  // namespace

size_t outputCapacityFor(size_t k, size_t preferred) {
    return std::max(preferred, 2 * (k + 1) + width);
}

void tileInput(ByteSource& in, const char* name, OutputFile& out, const TileOptions& options) {
    LineReader reader(in, options.limit);
    Tiler tiler(options.k, options.limit, out);
    if (options.fasta)
        tileRecords(reader, tiler, name);
    else
        tileLines(reader, tiler);
    if (reader.error()) failRead(reader, name);
}

namespace {

// The run, from the options to the outputs written.
void run(int argc, char** argv) {
    const char* seeds = "seed.txt";
    const char* kmers = "kmers.txt";
    const char* length = nullptr;
    const char* fasta = nullptr;
    const char* level = nullptr;
    const Option options[] = {{"seeds", 'i', "FILE", &seeds},
                              {"compress-level", 0, "N", &level},
                              {"kmers", 'o', "FILE", &kmers},
                              {"kmer-length", 'k', "N", &length},
                              {"fasta", 0, nullptr, &fasta}};
    const Command command = parseOptions(argc, argv, options, std::size(options), usage);
    const OutputOptions output{command.threads, parseCompressLevel(level)};
    checkCompressLevel(&kmers, 1, output.level);
    TileOptions tiling;
    tiling.fasta = fasta != nullptr;
    if (length) {
        uint64_t k = 0;
        if (parseWholeArgument(length, maxKmerLength, k) != ArgumentStatus::Ok || k == 0)
            failUsage("invalid k-mer length: '%s' (a whole number from 1 to %zu)", length,
                      maxKmerLength);
        tiling.k = k;
    }
    enterDirectory(command);
    checkDistinct(&seeds, 1, &kmers, 1);

    // The input is opened first so that a missing input leaves the output
    // untouched.
    const auto in = openInputSource(seeds, "-i", command.threads);
    OutputFile out(createOutput(kmers), outputName(kmers), outputCapacityFor(tiling.k), kmers,
                   output);
    tileInput(*in, inputName(seeds), out, tiling);
    out.close();
}

}  // namespace

int runSeedtiler(int argc, char** argv) {
    return runTool("seedtiler", [&] { run(argc, argv); });
}
