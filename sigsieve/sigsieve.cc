// sigsieve: keeps the k-mers that stay significant after a Bonferroni
// correction and writes them as FASTA.
//
// Reads the number of k-mers tested from "total_kmers.txt", then the case
// records from "case_out_wo_bonf.kmerDiff" and the control records from
// "control_out_wo_bonf.kmerDiff". A record is a line of at least four fields:
// the k-mer, two integers (not used), and the p-value. A k-mer passes when
// 0.05 / (number of k-mers tested) is strictly greater than its p-value; the
// passing case k-mers go to "case_out_sig.fasta" and the control ones to
// "control_out_sig.fasta", each as a record ">INDEX" followed by the k-mer,
// INDEX counting 0, 1, 2, ... in each file.
#include "sigsieve.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string_view>

#include "record_input.h"
#include "tool.h"

namespace {

const char totalName[] = "total_kmers.txt";
const char caseName[] = "case_out_wo_bonf.kmerDiff";
const char controlName[] = "control_out_wo_bonf.kmerDiff";
const char caseOutName[] = "case_out_sig.fasta";
const char controlOutName[] = "control_out_sig.fasta";

const char usage[] =
    "Usage: sigsieve\n"
    "Keeps the k-mers whose p-value passes a Bonferroni correction.\n"
    "\n"
    "Reads, in the current directory:\n"
    "  total_kmers.txt                the number of k-mers tested (a whole number >= 1)\n"
    "  case_out_wo_bonf.kmerDiff      case records: k-mer, two integers, p-value, ...\n"
    "  control_out_wo_bonf.kmerDiff   control records, likewise\n"
    "and writes the k-mers whose p-value is below 0.05 / (number of k-mers tested)\n"
    "as FASTA records \">0\", \">1\", ... to case_out_sig.fasta and\n"
    "control_out_sig.fasta. Fields are separated by tabs or spaces; blank lines\n"
    "are skipped. Arguments are ignored.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written or holds\n"
    "a malformed record.\n";

}  // namespace

int64_t readTotalKmers() {
    int fd = openInput(totalName);
    LineReader reader(fd);
    std::string_view line;
    while (reader.next(line)) {
        const char* p = line.data();
        const char* end = p + line.size();
        while (p != end && isCSpace(*p)) ++p;
        if (p == end) continue;  // a blank line: white space before the number
        const uint64_t at = reader.lineNumber();
        const std::string_view rest(p, static_cast<size_t>(end - p));
        const WholeNumber n = scanWhole(rest);
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
        close(fd);
        return static_cast<int64_t>(n.magnitude);
    }
    if (reader.error()) fail("cannot read '%s': %s", totalName, std::strerror(reader.error()));
    fail("%s:%" PRIu64 ": expected the number of k-mers tested, found the end of the file",
         totalName, reader.lineNumber() + 1);
}

void filter(int in, const char* inName, OutputFile& out, const Threshold& threshold,
            size_t bufferSize) {
    LineReader reader(in, 0, bufferSize, true);
    int64_t index = 0;
    std::string_view line, field[4];
    while (reader.next(line)) {
        FieldCursor cursor(reader, line);
        const int fields = splitFields(cursor, 4, field);
        if (fields == 0) continue;  // a blank line
        if (fields < 4)
            fail("%s:%" PRIu64 ": %d field%s, a record needs 4 (k-mer, two integers, p-value)",
                 inName, reader.lineNumber(), fields, fields == 1 ? "" : "s");
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
                fail("%s:%" PRIu64 ": p-value '%.*s' is not a number", inName, reader.lineNumber(),
                     shown(pvalue.size()), pvalue.data());
            default:
                break;
        }
    }
    if (reader.error()) fail("cannot read '%s': %s", inName, std::strerror(reader.error()));
}

int runSigsieve(int argc, char** argv) {
    startTool("sigsieve", argc, argv, usage);

    // Every input is opened, and the number of k-mers checked, before any
    // output is created: a run that cannot start leaves the outputs alone.
    const Threshold threshold = makeThreshold(readTotalKmers());
    int caseIn = openInput(caseName);
    int controlIn = openInput(controlName);
    const char* const outNames[] = {caseOutName, controlOutName};
    int outFds[2];
    createOutputs(outNames, outFds, 2);
    OutputFile caseOut(outFds[0], caseOutName, size_t{256} << 10);
    OutputFile controlOut(outFds[1], controlOutName, size_t{256} << 10);

    filter(caseIn, caseName, caseOut, threshold);
    caseOut.close();
    filter(controlIn, controlName, controlOut, threshold);
    controlOut.close();
    return finishTool();
}
