// seedtiler: reads seed sequences from "seed.txt", one per line, and writes
// to "kmers.txt" every window of kmerLength consecutive characters of every
// line, each window followed by its reverse complement, one per line.
//
// Windows run over the characters of a line before its terminator ("\n" or
// "\r\n"), so a line of B characters gives B - kmerLength + 1 windows however
// long it is. Lines are read in bounded pieces and the last kmerLength - 1
// characters of a piece are carried into the next one, so memory stays
// constant whatever the line lengths.
#include "seedtiler.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "record_input.h"
#include "reverse.h"
#include "tool.h"

namespace {

const char usage[] =
    "Usage: seedtiler [OPTION]...\n"
    "Reads seed sequences, one per line, and writes every 31-character window of\n"
    "every line, each window on its own line followed by a line with its reverse\n"
    "complement (A<->T, C<->G, any other character becomes N). Line terminators\n"
    "(\"\\n\" or \"\\r\\n\") are not part of any window. Other arguments are ignored.\n"
    "\n"
    "  -i, --seeds=FILE      the seed sequences (default: seed.txt)\n"
    "  -o, --kmers=FILE      the k-mer list (default: kmers.txt)\n"
    COMMON_OPTIONS_HELP
    "\n"
    "FILE '-' is standard input or output. Input compressed with gzip or zstd is\n"
    "recognised by its first bytes; an output named *.gz or *.zst is compressed.\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written, 2 for\n"
    "invalid options.\n";

// Writes each window of `text` and its reverse complement; `rc` has room for
// the reverse complement of the whole text, of which each window's reverse
// complement is a slice.
void tile(const char* text, size_t len, char* rc, OutputFile& out) {
    const size_t k = kmerLength;
    if (len < k) return;
    reverse(rc, text, len);
    for (size_t start = 0; start + k <= len; ++start) {
        char* p = out.reserve(2 * (k + 1));
        std::memcpy(p, text + start, k);
        p[k] = '\n';
        std::memcpy(p + k + 1, rc + (len - start - k), k);
        p[2 * k + 1] = '\n';
        out.commit(2 * (k + 1));
    }
}

}  // namespace

void tileInput(ByteSource& in, const char* name, OutputFile& out, size_t limit) {
    LineReader reader(in, limit);
    // `text` holds the carried tail of the previous piece of the same line
    // followed by the current piece.
    std::vector<char> text(limit + kmerLength);
    std::vector<char> rc(limit + kmerLength);
    size_t carried = 0;
    std::string_view piece;
    bool complete;
    while (reader.next(piece, complete)) {
        std::memcpy(text.data() + carried, piece.data(), piece.size());
        size_t len = carried + piece.size();
        tile(text.data(), len, rc.data(), out);
        if (complete) {
            carried = 0;
        } else {
            carried = len < kmerLength - 1 ? len : kmerLength - 1;
            std::memmove(text.data(), text.data() + len - carried, carried);
        }
    }
    if (reader.error()) failRead(reader, name);
}

int runSeedtiler(int argc, char** argv) {
    startTool("seedtiler");
    const char* seeds = "seed.txt";
    const char* kmers = "kmers.txt";
    const Option options[] = {{"seeds", 'i', "FILE", &seeds}, {"kmers", 'o', "FILE", &kmers}};
    parseOptions(argc, argv, options, std::size(options), usage);
    enterDirectory();

    // The input is opened first so that a missing input leaves the output
    // untouched.
    const auto in = openInputSource(seeds);
    OutputFile out(createOutput(kmers), outputName(kmers), size_t{1} << 20, kmers);
    tileInput(*in, inputName(seeds), out);
    out.close();
    return finishTool();
}
