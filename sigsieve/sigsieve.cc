// sigsieve: keeps the k-mers that stay significant after a Bonferroni
// correction and writes them as FASTA.
//
// Reads the number of k-mers tested from "total_kmers.txt", then the case
// records from "case_out_wo_bonf.kmerDiff" and the control records from
// "control_out_wo_bonf.kmerDiff". A record is a line of at least four fields:
// the k-mer, two integers (not used), and the p-value. A k-mer passes when
// alpha / (number of k-mers tested) is strictly greater than its p-value,
// alpha being 0.05 unless -a gives another (and -n may give the number); the
// passing case k-mers go to "case_out_sig.fasta" and the control ones to
// "control_out_sig.fasta", each as a record ">INDEX" followed by the k-mer,
// INDEX counting 0, 1, 2, ... in each file.
#include "sigsieve.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <iterator>
#include <string_view>

#include "record_input.h"
#include "tool.h"

namespace {

const char usage[] =
    "Usage: sigsieve [OPTION]...\n"
    "Keeps the k-mers whose p-value passes a Bonferroni correction: a k-mer passes\n"
    "when its p-value is below ALPHA / (number of k-mers tested), ALPHA being 0.05\n"
    "unless -a gives another. Writes the passing case and control k-mers as FASTA\n"
    "records \">0\", \">1\", ... Records hold the k-mer, two integers and the\n"
    "p-value, separated by tabs or spaces; blank lines are skipped. Other\n"
    "arguments are ignored.\n"
    "\n"
    "      --total-file=FILE   the number of k-mers tested, a whole number >= 1\n"
    "                          (default: total_kmers.txt)\n"
    "  -n, --total=N           the number of k-mers tested, given here instead of\n"
    "                          in a file (1 to 9223372036854775807)\n"
    "  -a, --alpha=A           the family-wise significance level, 0 < A <= 1\n"
    "                          (default: 0.05)\n"
    "      --case=FILE         case records (default: case_out_wo_bonf.kmerDiff)\n"
    "      --control=FILE      control records (default: control_out_wo_bonf.kmerDiff)\n"
    "      --case-out=FILE     passing case k-mers (default: case_out_sig.fasta)\n"
    "      --control-out=FILE  passing control k-mers (default: control_out_sig.fasta)\n"
    "  -C, --directory=DIR     change to DIR before opening any file\n"
    "  -@, --threads=N         extra threads for compression work (default: 0)\n"
    "  -q, --quiet             no progress line on a terminal\n"
    "  -h, --help              show this help and exit\n"
    "      --version           show the version and exit\n"
    "\n"
    "FILE '-' is standard input or output (one input at most; not both outputs).\n"
    "Input compressed with gzip or zstd is recognised by its first bytes; an\n"
    "output named *.gz or *.zst is compressed.\n"
    "\n"
    "Example: sigsieve -a 0.01 -n 2500000000 --case=case.kmerDiff.gz --case-out=-\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written or holds\n"
    "a malformed record, 2 for invalid options.\n";

}  // namespace

int64_t readTotalKmers(const char* path) {
    const char* totalName = inputName(path);
    const auto source = openInputSource(path, "--total-file");
    LineReader reader(*source);
    std::string_view line;
    while (reader.next(line)) {
        const char* p = line.data();
        const char* end = p + line.size();
        while (p != end && isCSpace(*p)) ++p;
        if (p == end) continue;  // a blank line: white space before the number
        const uint64_t at = reader.lineNumber();
        const std::string_view rest(p, static_cast<size_t>(end - p));
        const WholeNumber n = scanWhole(rest);
        const bool good = n.used != 0 && !n.negative && !n.overflow && n.magnitude != 0 &&
                          n.magnitude <= INT64_MAX;
        if (!good) failIfDamaged(reader, totalName);
        if (n.used == 0)
            fail("%s:%" PRIu64 ": expected the number of k-mers tested, found '%.*s'", totalName,
                 at, shown(rest.size()), rest.data());
        const std::string_view number = rest.substr(0, n.used);
        if (!n.negative && (n.overflow || n.magnitude > INT64_MAX))
            fail("%s:%" PRIu64 ": number of k-mers tested %.*s is out of range", totalName, at,
                 shown(number.size()), number.data());
        if (n.negative || n.magnitude == 0)
            fail("%s:%" PRIu64 ": number of k-mers tested must be at least 1, found %.*s",
                 totalName, at, shown(number.size()), number.data());
        return static_cast<int64_t>(n.magnitude);
    }
    if (reader.error()) failRead(reader, totalName);
    fail("%s:%" PRIu64 ": expected the number of k-mers tested, found the end of the file",
         totalName, reader.lineNumber() + 1);
}

void filter(ByteSource& in, const char* inName, OutputFile& out, const Threshold& threshold,
            size_t bufferSize) {
    LineReader reader(in, 0, bufferSize, true);
    int64_t index = 0;
    std::string_view line, field[4];
    while (reader.next(line)) {
        FieldCursor cursor(reader, line);
        const int fields = splitFields(cursor, 4, field);
        if (fields == 0) continue;  // a blank line
        if (fields < 4) {
            failIfDamaged(reader, inName);
            fail("%s:%" PRIu64 ": %d field%s, a record needs 4 (k-mer, two integers, p-value)",
                 inName, reader.lineNumber(), fields, fields == 1 ? "" : "s");
        }
        const std::string_view kmer = field[0], pvalue = field[3];
        switch (verdict(pvalue, threshold)) {
            case Verdict::Pass: {
                char* header = out.reserve(22);
                header[0] = '>';
                size_t n = 1 + formatDecimal(header + 1, static_cast<uint64_t>(index++));
                header[n] = '\n';
                out.commit(n + 1);
                out.write(kmer.data(), kmer.size());
                out.put('\n');
                break;
            }
            case Verdict::NotANumber:
                failIfDamaged(reader, inName);
                fail("%s:%" PRIu64 ": p-value '%.*s' is not a number", inName, reader.lineNumber(),
                     shown(pvalue.size()), pvalue.data());
            default:
                break;
        }
    }
    if (reader.error()) failRead(reader, inName);
}

int runSigsieve(int argc, char** argv) {
    startTool("sigsieve");
    const char* totalFile = nullptr;
    const char* totalText = nullptr;
    const char* alphaText = nullptr;
    const char* inputs[] = {"case_out_wo_bonf.kmerDiff", "control_out_wo_bonf.kmerDiff"};
    const char* outputs[] = {"case_out_sig.fasta", "control_out_sig.fasta"};
    const Option options[] = {
        {"total-file", 0, "FILE", &totalFile},  {"total", 'n', "N", &totalText},
        {"alpha", 'a', "A", &alphaText},        {"case", 0, "FILE", &inputs[0]},
        {"control", 0, "FILE", &inputs[1]},     {"case-out", 0, "FILE", &outputs[0]},
        {"control-out", 0, "FILE", &outputs[1]}};
    parseOptions(argc, argv, options, std::size(options), usage);
    double alpha = defaultAlpha;
    if (alphaText && !(parseRealArgument(alphaText, alpha) && alpha > 0 && alpha <= 1))
        failUsage("invalid significance level: '%s' (a number above 0 and at most 1)", alphaText);
    int64_t total = 0;
    if (totalText) {
        if (totalFile) failUsage("--total and --total-file cannot be used together");
        uint64_t n = 0;
        if (parseWholeArgument(totalText, INT64_MAX, n) != ArgumentStatus::Ok || n == 0)
            failUsage("invalid number of k-mers tested: '%s' (a whole number from 1 to %" PRId64
                      ")",
                      totalText, INT64_MAX);
        total = static_cast<int64_t>(n);
    }
    if (!totalFile) totalFile = "total_kmers.txt";
    const char* const allInputs[] = {inputs[0], inputs[1], totalFile};
    checkOneStandard(allInputs, totalText ? 2 : 3, "input");
    checkOneStandard(outputs, 2, "output");
    enterDirectory();
    checkDistinct(allInputs, totalText ? 2 : 3, outputs, 2);

    // Every input is opened, and the number of k-mers checked, before any
    // output is created: a run that cannot start leaves the outputs alone.
    if (!totalText) total = readTotalKmers(totalFile);
    const Threshold threshold = makeThreshold(total, alpha);
    const auto caseIn = openInputSource(inputs[0], "--case");
    const auto controlIn = openInputSource(inputs[1], "--control");
    int outFds[2];
    createOutputs(outputs, outFds, 2);
    OutputFile caseOut(outFds[0], outputName(outputs[0]), size_t{256} << 10, outputs[0]);
    OutputFile controlOut(outFds[1], outputName(outputs[1]), size_t{256} << 10, outputs[1]);

    filter(*caseIn, inputName(inputs[0]), caseOut, threshold);
    caseOut.close();
    filter(*controlIn, inputName(inputs[1]), controlOut, threshold);
    controlOut.close();
    return finishTool();
}
