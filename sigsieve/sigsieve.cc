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
//
// The other methods, the report and the plot first survey the p-values of
// both inputs (family.h) and find the cutoff, then filter with it as
// Bonferroni does.
#include "sigsieve.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "family.h"
#include "files.h"
#include "numbers.h"
#include "qqplot.h"
#include "report.h"
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
    "  -m, --method=NAME       the correction (default: bonferroni); with the p-values\n"
    "                          of both inputs sorted, p(1) <= ... <= p(N), the k-mers\n"
    "                          tested but absent counting as 1:\n"
    "                            bonferroni  p < ALPHA / N\n"
    "                            holm        p < p(i), i the first rank with\n"
    "                                        p(i) >= ALPHA / (N - i + 1)\n"
    "                            bh          p <= p(k), k the last rank with\n"
    "                                        p(k) <= k * ALPHA / N (false discovery rate)\n"
    "                            by          bh with ALPHA / (1 + 1/2 + ... + 1/N)\n"
    "      --report=FILE       a table of the cutoff applied, the records read and\n"
    "                          passing, the smallest p-value and the genomic-control\n"
    "                          lambda, for each input and both\n"
    "      --qq-plot=FILE      the QQ plot of the p-values, as SVG\n"
    "      --compress-level=N  the level of .gz outputs, 0 to 3 (default: 1), or of\n"
    "                          .zst outputs, 1 to 19 (default: 3)\n"
    "  -C, --directory=DIR     change to DIR before opening any file\n"
    "  -@, --threads=N         extra threads for compression and records (default: 0)\n"
    "  -q, --quiet             no progress line on a terminal\n"
    "  -h, --help              show this help and exit\n"
    "      --version           show the version and exit\n"
    "\n"
    "FILE '-' is standard input or output (one input at most; not both outputs).\n"
    "Input compressed with gzip or zstd is recognised by its first bytes; an\n"
    "output named *.gz is written as BGZF (blocked gzip), *.zst as zstd.\n"
    "\n"
    "Other methods, the report and the plot read the records more than once: the\n"
    "case and control inputs must then be files, not pipes.\n"
    "\n"
    "Example: sigsieve -a 0.01 -n 2500000000 --case=case.kmerDiff.gz --case-out=-\n"
    "         sigsieve -m bh --report=report.tsv --qq-plot=qq.svg\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written or holds\n"
    "a malformed record, 2 for invalid options.\n";

}  // namespace

int64_t readTotalKmers(const char* path, int threads) {
    const char* totalName = inputName(path);
    const auto source = openInputSource(path, "--total-file", threads);
    LineReader reader(*source);
    std::string_view line;
    while (reader.next(line)) {
        const char* p = line.data();
        const char* end = p + line.size();
        while (p != end && isCSpace(*p)) ++p;
        if (p == end) continue;  // a blank line: white space before the number
        const uint64_t at = reader.lineNumber();
        const std::string_view rest(p, static_cast<size_t>(end - p));
        // The first token: a whole number, perhaps written with a point and
        // zeros ("1000000.0"); any other number ("1e+09", "2.5", "5,000")
        // is refused rather than read up to its first other character.
        size_t length = 0;
        while (length < rest.size() && !isCSpace(rest[length])) ++length;
        const std::string_view token = rest.substr(0, length);
        const WholeNumber n = scanWhole(token);
        size_t after = n.used;
        if (after != 0 && after < token.size() && token[after] == '.')
            while (++after < token.size() && token[after] == '0') {
            }
        const bool whole = n.used != 0 && after == token.size();
        const bool good =
            whole && !n.negative && !n.overflow && n.magnitude != 0 && n.magnitude <= INT64_MAX;
        if (!good) failIfDamaged(reader, totalName);
        if (n.used == 0)
            fail("%s:%" PRIu64 ": expected the number of k-mers tested, found '%.*s'", totalName,
                 at, shown(rest.size()), rest.data());
        if (!whole)
            fail("%s:%" PRIu64 ": the number of k-mers tested must be a whole number, found '%.*s'",
                 totalName, at, shown(token.size()), token.data());
        const std::string_view number = token.substr(0, n.used);
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

namespace {

// Writes the FASTA record of a passing k-mer.
void writeRecord(OutputFile& out, int64_t index, std::string_view kmer) {
    char* header = out.reserve(22);
    header[0] = '>';
    const size_t n = 1 + formatDecimal(header + 1, static_cast<uint64_t>(index));
    header[n] = '\n';
    out.commit(n + 1);
    out.write(kmer.data(), kmer.size());
    out.put('\n');
}

// The passing k-mers, written at once on one thread...
struct Writer {
    OutputFile& out;
    int64_t index = 0;
    void pass(std::string_view kmer) { writeRecord(out, index++, kmer); }
};
// ... or kept by a chunk, each followed by a newline, until it is merged.
struct Passing {
    std::string kmers;
    void pass(std::string_view kmer) { kmers.append(kmer).push_back('\n'); }
};

}  // namespace

int64_t filter(ByteSource& in, const char* inName, OutputFile& out, const Threshold& threshold,
               const RecordThreads& threads) {
    Writer writer{out};
    readPValues<Passing>(
        in, inName, threads, writer,
        [&](auto& into, std::string_view kmer, std::string_view pvalue) {
            const Verdict v = verdict(pvalue, threshold, true);
            if (v == Verdict::Pass) into.pass(kmer);
            return v != Verdict::NotANumber;
        },
        [&](const Passing& chunk) {
            // The records before a bad one are written, as by one thread.
            const std::string_view kmers = chunk.kmers;
            for (size_t at = 0, end; at < kmers.size(); at = end + 1) {
                end = kmers.find('\n', at);
                writer.pass(kmers.substr(at, end - at));
            }
        });
    return writer.index;
}

namespace {

// What a run was asked to do.
struct Run {
    const char* inputs[2] = {"case_out_wo_bonf.kmerDiff", "control_out_wo_bonf.kmerDiff"};
    const char* totalFile = nullptr;
    // The FASTA outputs (case, control), then the report and the plot when
    // asked for.
    const char* outputs[4] = {"case_out_sig.fasta", "control_out_sig.fasta"};
    int outputCount = 2;
    const char* report = nullptr;
    const char* plot = nullptr;
    Method method = Method::Bonferroni;
    double alpha = defaultAlpha;
    int64_t total = 0;  // 0 until read from totalFile
    OutputOptions output;
    RecordThreads threads;
};

// Opens both inputs, creates every output of the run (their descriptors in
// fds), and filters each input into its FASTA output with `threshold`;
// sets the records passing in each.
void filterBoth(const Run& run, const Threshold& threshold, int* fds, int64_t passing[2]) {
    std::unique_ptr<ByteSource> in[2];
    for (int i = 0; i < 2; ++i)
        in[i] = openInputSource(run.inputs[i], i ? "--control" : "--case", run.threads.workers);
    createOutputs(run.outputs, fds, run.outputCount);
    for (int i = 0; i < 2; ++i) {
        OutputFile out(fds[i], outputName(run.outputs[i]), size_t{256} << 10, run.outputs[i],
                       run.output);
        passing[i] = filter(*in[i], inputName(run.inputs[i]), out, threshold, run.threads);
        out.close();
        in[i].reset();
    }
}

// Writes `text` to the output `path`, opened as fds.
void writeWhole(int fd, const char* path, const std::string& text, const OutputOptions& options) {
    OutputFile out(fd, outputName(path), size_t{64} << 10, path, options);
    out.write(text.data(), text.size());
    out.close();
}

// The other methods, the report and the plot: passes over the records find
// the cutoff (and the medians), the last one writes the FASTA files.
void correctAndWrite(const Run& run) {
    const Inputs in{{run.inputs[0], run.inputs[1]}, {"--case", "--control"}, run.threads};
    const bool full = run.report || run.plot;
    Survey survey(in, run.alpha, full, run.plot != nullptr);
    Cutoff cutoff{run.alpha / static_cast<double>(run.total), false};
    if (run.method != Method::Bonferroni)
        cutoff = familyCutoff(in, survey, run.method, run.alpha, run.total, full);
    const double applied = cutoff.inclusive ? std::nextafter(cutoff.value, INFINITY) : cutoff.value;

    // Each input's median, and both together's, for lambda.
    Histogram both = survey.cells[0];
    both.merge(survey.cells[1]);
    Cells cells[3] = {survey.cells[0].cells(), survey.cells[1].cells(), both.cells()};
    const uint64_t counts[3] = {survey.present[0], survey.present[1],
                                survey.present[0] + survey.present[1]};
    double lambda[3] = {NAN, NAN, NAN};
    if (full)
        for (int g = 0; g < 3; ++g)
            lambda[g] = genomicControl(medianPValue(in, g < 2 ? 1 << g : 3, cells[g], counts[g]));

    int fds[4];
    int64_t passing[2];
    filterBoth(run, makeThreshold(applied), fds, passing);

    const char* names[3] = {inputName(run.inputs[0]), inputName(run.inputs[1]), "both"};
    int next = 2;
    if (run.report) {
        const int64_t records[3] = {survey.records[0], survey.records[1],
                                    survey.records[0] + survey.records[1]};
        const int64_t passed[3] = {passing[0], passing[1], passing[0] + passing[1]};
        ReportRow rows[3];
        for (int g = 0; g < 3; ++g)
            rows[g] = {names[g], records[g], counts[g], passed[g], &cells[g], lambda[g]};
        writeWhole(fds[next], run.report,
                   reportText(methodName(run.method), run.alpha, run.total, cutoff, rows),
                   run.output);
        ++next;
    }
    if (run.plot) {
        std::vector<double> merged;
        std::merge(survey.lowest[0].begin(), survey.lowest[0].end(), survey.lowest[1].begin(),
                   survey.lowest[1].end(), std::back_inserter(merged));
        merged.resize(std::min(merged.size(), qqPoints));
        std::vector<QQSeries> series;
        for (int g = 0; g < 3; ++g)
            series.push_back({names[g], counts[g], lambda[g], std::move(cells[g]),
                              g < 2 ? survey.lowest[g] : merged});
        writeWhole(fds[next], run.plot, qqPlotSvg(series, methodName(run.method), cutoff.value),
                   run.output);
    }
}

// The run, from the options to the outputs written.
void run(int argc, char** argv) {
    Run run;
    const char* totalText = nullptr;
    const char* alphaText = nullptr;
    const char* methodText = nullptr;
    const char* level = nullptr;
    const Option options[] = {{"total-file", 0, "FILE", &run.totalFile},
                              {"total", 'n', "N", &totalText},
                              {"alpha", 'a', "A", &alphaText},
                              {"case", 0, "FILE", &run.inputs[0]},
                              {"control", 0, "FILE", &run.inputs[1]},
                              {"case-out", 0, "FILE", &run.outputs[0]},
                              {"control-out", 0, "FILE", &run.outputs[1]},
                              {"method", 'm', "NAME", &methodText},
                              {"report", 0, "FILE", &run.report},
                              {"qq-plot", 0, "FILE", &run.plot},
                              {"compress-level", 0, "N", &level}};
    const Command command = parseOptions(argc, argv, options, std::size(options), usage);
    if (alphaText && !(parseRealArgument(alphaText, run.alpha) && run.alpha > 0 && run.alpha <= 1))
        failUsage("invalid significance level: '%s' (a number above 0 and at most 1)", alphaText);
    if (totalText) {
        if (run.totalFile) failUsage("--total and --total-file cannot be used together");
        uint64_t n = 0;
        if (parseWholeArgument(totalText, INT64_MAX, n) != ArgumentStatus::Ok || n == 0)
            failUsage("invalid number of k-mers tested: '%s' (a whole number from 1 to %" PRId64
                      ")",
                      totalText, INT64_MAX);
        run.total = static_cast<int64_t>(n);
    }
    run.output = {command.threads, parseCompressLevel(level)};
    run.threads.workers = command.threads;
    if (methodText && !parseMethod(methodText, run.method))
        failUsage("invalid method: '%s' (bonferroni, holm, bh or by)", methodText);
    if (!run.totalFile) run.totalFile = "total_kmers.txt";
    const char* const allInputs[] = {run.inputs[0], run.inputs[1], run.totalFile};
    if (run.report) run.outputs[run.outputCount++] = run.report;
    if (run.plot) run.outputs[run.outputCount++] = run.plot;
    const size_t outputCount = static_cast<size_t>(run.outputCount);
    checkOneStandard(allInputs, totalText ? 2 : 3, "input");
    checkOneStandard(run.outputs, outputCount, "output");
    checkCompressLevel(run.outputs, outputCount, run.output.level);
    enterDirectory(command);
    checkDistinct(allInputs, totalText ? 2 : 3, run.outputs, outputCount);
    // Other methods, the report and the plot read the records more than
    // once: a pipe cannot be read again.
    const char* rereads = run.method != Method::Bonferroni ? "--method"
                          : run.report                     ? "--report"
                          : run.plot                       ? "--qq-plot"
                                                           : nullptr;
    for (const char* input : run.inputs) {
        struct stat info;  // (a missing input fails when it is opened)
        const bool pipe =
            std::strcmp(input, "-") == 0 || (stat(input, &info) == 0 && !S_ISREG(info.st_mode));
        if (rereads && pipe)
            failUsage(
                "%s reads the records more than once: '%s' is not a regular file (save it "
                "to a file first)",
                rereads, inputName(input));
    }

    // Every input is opened, and the number of k-mers checked, before any
    // output is created: a run that cannot start leaves the outputs alone.
    if (!totalText) run.total = readTotalKmers(run.totalFile, command.threads);
    if (rereads) return correctAndWrite(run);
    int fds[2];
    int64_t passing[2];
    filterBoth(run, makeThreshold(run.total, run.alpha), fds, passing);
}

}  // namespace

int runSigsieve(int argc, char** argv) {
    return runTool("sigsieve", [&] { run(argc, argv); });
}
