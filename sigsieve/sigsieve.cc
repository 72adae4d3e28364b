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

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "chunks.h"
#include "corrections.h"
#include "qqplot.h"
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

// Calls onRecord(k-mer, p-value text) for each record the reader gives,
// in order. At a line of one to three fields, or a p-value that is not a
// number (onRecord returns false), describes that line in `error` and
// returns false; after a failed read returns false with error.line 0.
template <class OnRecord>
bool scanRecords(LineReader& reader, OnRecord&& onRecord, RecordError& error) {
    std::string_view line;
    char what[160];
    while (reader.next(line)) {
        FieldCursor cursor(reader, line);
        std::string_view kmer, pvalue;
        const int fields = splitFirstAndFourth(cursor, kmer, pvalue);
        if (fields == 0) continue;  // a blank line
        if (fields < 4) {
            std::snprintf(what, sizeof what,
                          "%d field%s, a record needs 4 (k-mer, two integers, p-value)", fields,
                          fields == 1 ? "" : "s");
        } else if (!onRecord(kmer, pvalue)) {
            std::snprintf(what, sizeof what, "p-value '%.*s' is not a number", shown(pvalue.size()),
                          pvalue.data());
        } else {
            continue;
        }
        error = {reader.lineNumber(), reader.offset(), what};
        return false;
    }
    return !reader.error();
}

// scanRecords over a whole input, failing the run at a bad record.
template <class OnRecord>
void forEachRecord(ByteSource& in, const char* inName, size_t bufferSize, OnRecord&& onRecord) {
    LineReader reader(in, 0, bufferSize, true);
    RecordError error;
    if (scanRecords(reader, onRecord, error)) return;
    if (!error.line) failRead(reader, inName);
    failIfDamaged(reader, inName);
    fail("%s:%" PRIu64 ": %s", inName, error.line, error.what.c_str());
}

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

}  // namespace

int64_t filter(ByteSource& in, const char* inName, OutputFile& out, const Threshold& threshold,
               size_t bufferSize) {
    int64_t index = 0;
    forEachRecord(in, inName, bufferSize, [&](std::string_view kmer, std::string_view pvalue) {
        const Verdict v = verdict(pvalue, threshold, true);
        if (v == Verdict::Pass) writeRecord(out, index++, kmer);
        return v != Verdict::NotANumber;
    });
    return index;
}

int64_t filterInChunks(ByteSource& in, const char* inName, OutputFile& out,
                       const Threshold& threshold, int workers, size_t chunkSize) {
    struct Passing {
        std::string kmers;  // each followed by a newline
        uint64_t lines = 0;
        RecordError error;
    };
    int64_t index = 0;
    uint64_t linesBefore = 0;
    const int failed = forEachChunk<Passing>(
        in, workers, chunkSize,
        [&](LineReader& reader, Passing& r) {
            const auto onRecord = [&](std::string_view kmer, std::string_view pvalue) {
                const Verdict v = verdict(pvalue, threshold, true);
                if (v == Verdict::Pass) r.kmers.append(kmer).push_back('\n');
                return v != Verdict::NotANumber;
            };
            if (!scanRecords(reader, onRecord, r.error)) noteLineTooLong(reader, r.error);
            r.lines = reader.lineNumber();
        },
        [&](uint64_t offset, Passing& r) {
            // The records before a bad one are written, as by one thread.
            for (size_t at = 0, end; at < r.kmers.size(); at = end + 1) {
                end = r.kmers.find('\n', at);
                writeRecord(out, index++, std::string_view(r.kmers).substr(at, end - at));
            }
            failAtRecord(in, inName, offset, linesBefore, r.error);
            linesBefore += r.lines;
        });
    if (failed) failSource(in, inName, failed);
    return index;
}

namespace {

// The records of both inputs, read as often as the corrections, the report
// and the plot need them.
struct Inputs {
    const char* paths[2];
    const char* options[2];

    // Reads both inputs once, calling onText(input, text) with the p-value
    // text of each record; it returns false when the text is not a number.
    template <class OnText>
    void readTexts(OnText&& onText) const {
        for (int i = 0; i < 2; ++i) {
            const auto in = openInputSource(paths[i], options[i]);
            forEachRecord(*in, inputName(paths[i]), LineReader::defaultCapacity,
                          [&](std::string_view, std::string_view text) { return onText(i, text); });
        }
    }
    // The same with onValue(input, p), p the text's value.
    template <class OnValue>
    void read(OnValue&& onValue) const {
        readTexts([&](int i, std::string_view text) {
            double p;
            if (scanReal(text, p) == 0) return false;
            onValue(i, p);
            return true;
        });
    }
};

// The finer cells of a cell over the p-values of the inputs in `inputs`
// (a mask), with `ones` more p-values of 1.
Refine refineOver(const Inputs& in, int inputs, uint64_t ones) {
    return refineFrom(
        [&in, inputs](const std::function<void(double)>& each) {
            in.read([&](int i, double p) {
                if (inputs >> i & 1) each(p);
            });
        },
        ones);
}

// What a first pass over the records learns of each input. With `full`,
// every p-value is read exactly into the histograms. Otherwise (only a
// cutoff is sought, which is below alpha or the smallest p-value at or
// above it), the p-values at or above alpha are only counted, and read
// exactly only when their magnitude shows they may be the smallest such.
struct Survey {
    int64_t records[2] = {};
    uint64_t present[2] = {};  // p-values other than nan
    Histogram cells[2] = {Histogram(0, 64 - Histogram::bits), Histogram(0, 64 - Histogram::bits)};
    uint64_t high = 0;          // without `full`: p-values at or above alpha,
    double highMin = INFINITY;  // the smallest of them,
    uint64_t highMinCount = 0;  // and how many times it occurs
    // Every p-value of both inputs with a key up to lowBound (below alpha):
    // the cells there are refined without reading the inputs again.
    std::vector<double> low;
    uint64_t lowBound;
    std::vector<double> lowest[2];  // with `keepLowest`, the qqPoints smallest, as a max-heap

    Survey(const Inputs& in, double alpha, bool full, bool keepLowest)
        : lowBound(orderKey(alpha) - 1) {
        const Threshold below = makeThreshold(alpha);
        int64_t aboveHighMin = noDecade;  // values of this decade and up exceed highMin
        in.readTexts([&](int i, std::string_view text) {
            ++records[i];
            const Magnitude m = full ? Magnitude{Magnitude::Other, 0} : decimalMagnitude(text);
            const bool atOrAbove = m.kind == Magnitude::Decade && m.decade >= below.failMin;
            if (atOrAbove) {
                ++present[i], ++high;
                if (m.decade >= aboveHighMin) return true;
            }
            double p;
            if (scanReal(text, p) == 0) return false;
            if (p != p) return true;
            if (!full && !(p < alpha)) {
                if (!atOrAbove) ++present[i], ++high;
                if (p == highMin) ++highMinCount;
                if (p < highMin) {
                    highMin = p, highMinCount = 1;
                    const Threshold t = makeThreshold(highMin);
                    aboveHighMin = t.failMin + (powerOfTen(t.failMin) == highMin);
                }
                return true;
            }
            ++present[i];
            cells[i].add(orderKey(p), p);
            if (orderKey(p) <= lowBound) keepLow(p);
            if (keepLowest) keep(lowest[i], p);
            return true;
        });
        for (auto& heap : lowest) std::sort_heap(heap.begin(), heap.end());
    }

  private:
    void keepLow(double p) {
        low.push_back(p);
        if (low.size() < defaultExactCap) return;
        // Full: keep the smaller half, all of whose values lie below the new
        // bound.
        const auto middle = low.begin() + static_cast<ptrdiff_t>(low.size() / 2);
        std::nth_element(low.begin(), middle, low.end());
        lowBound = orderKey(*middle) - 1;
        low.erase(std::remove_if(low.begin(), low.end(),
                                 [&](double v) { return orderKey(v) > lowBound; }),
                  low.end());
    }
    static void keep(std::vector<double>& heap, double p) {
        if (heap.size() < qqPoints) {
            heap.push_back(p);
            std::push_heap(heap.begin(), heap.end());
        } else if (p < heap.front()) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = p;
            std::push_heap(heap.begin(), heap.end());
        }
    }
};

// A file name as a cell of the report: a tab, newline or backslash in it is
// written \t, \n or \\, so that every row keeps its columns.
std::string reportCell(const char* name) {
    std::string cell;
    for (const char* p = name; *p; ++p) {
        if (*p == '\t')
            cell += "\\t";
        else if (*p == '\n')
            cell += "\\n";
        else if (*p == '\\')
            cell += "\\\\";
        else
            cell += *p;
    }
    return cell;
}

std::string formatReal(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// Runs the corrections other than the default, the report and the plot:
// passes over the records find the cutoff, the last one writes the FASTA
// files.
void correctAndWrite(const Inputs& in, const char* const* outputs, const char* report,
                     const char* plot, Method method, double alpha, int64_t total) {
    const bool full = report || plot;
    Survey survey(in, alpha, full, plot != nullptr);
    const uint64_t present = survey.present[0] + survey.present[1];
    if (method != Method::Bonferroni && present > static_cast<uint64_t>(total))
        fail("%" PRIu64 " p-values present, more than the %" PRId64 " k-mers tested", present,
             total);
    Histogram both = survey.cells[0];
    both.merge(survey.cells[1]);
    Cutoff cutoff{alpha / static_cast<double>(total), false};
    if (method != Method::Bonferroni) {
        // The family: the p-values present and the absent k-mers as 1s.
        const uint64_t ones = static_cast<uint64_t>(total) - present;
        Histogram all = both;
        if (full) all.add(orderKey(1.0), 1.0, ones);
        Cells family = all.cells();
        if (!full) {
            // Those below alpha in cells; above them, the smallest p-value at
            // or above alpha (the 1s included) with its ties, then the rest.
            // No rank of the rest can be a cutoff: every p-value there is
            // above alpha and above a smaller one at or above alpha.
            for (Cell& c : family) c.keyTo = std::min(c.keyTo, orderKey(alpha) - 1);
            const double least = std::min(survey.highMin, ones ? 1.0 : INFINITY);
            const uint64_t ties = (survey.highMin == least ? survey.highMinCount : 0) +
                                  (ones && least == 1.0 ? ones : 0);
            const uint64_t key = orderKey(least);
            if (ties) family.push_back({ties, least, least, key, key});
            if (survey.high + ones > ties)
                family.push_back({survey.high + ones - ties, std::nextafter(least, INFINITY),
                                  INFINITY, key + 1, UINT64_MAX});
        }
        const Refine fromInputs = refineOver(in, 3, ones);
        const Refine fromLow = refineFrom(
            [&](const std::function<void(double)>& each) {
                for (const double p : survey.low) each(p);
            },
            0);
        cutoff = methodCutoff(method, alpha, total, family, [&](const Cell& c) {
            return c.keyTo <= survey.lowBound ? fromLow(c) : fromInputs(c);
        });
    }
    std::vector<double>().swap(survey.low);  // memory for the medians' passes
    const double applied = cutoff.inclusive ? std::nextafter(cutoff.value, INFINITY) : cutoff.value;

    // Each input's median, and both together's, for lambda.
    double lambda[3] = {NAN, NAN, NAN};
    Cells cells[3] = {survey.cells[0].cells(), survey.cells[1].cells(), both.cells()};
    const uint64_t counts[3] = {survey.present[0], survey.present[1], present};
    if (report || plot) {
        for (int g = 0; g < 3; ++g)
            lambda[g] =
                genomicControl(median(cells[g], counts[g], refineOver(in, g < 2 ? 1 << g : 3, 0)));
    }

    const char* paths[4] = {outputs[0], outputs[1]};
    int count = 2;
    if (report) paths[count++] = report;
    if (plot) paths[count++] = plot;
    int fds[4];
    createOutputs(paths, fds, count);
    OutputFile caseOut(fds[0], outputName(outputs[0]), size_t{256} << 10, outputs[0]);
    OutputFile controlOut(fds[1], outputName(outputs[1]), size_t{256} << 10, outputs[1]);
    const Threshold threshold = makeThreshold(applied);
    int64_t passing[3];
    for (int i = 0; i < 2; ++i) {
        const auto source = openInputSource(in.paths[i], in.options[i]);
        OutputFile& out = i ? controlOut : caseOut;
        passing[i] = filter(*source, inputName(in.paths[i]), out, threshold);
        out.close();
    }
    passing[2] = passing[0] + passing[1];

    int next = 2;
    if (report) {
        std::string text =
            "input\tmethod\talpha\ttested\tcutoff\trule\trecords\tp_values\tpassing\tsmallest_p\t"
            "lambda\n";
        for (int g = 0; g < 3; ++g) {
            const std::vector<Cell>& c = cells[g];
            text +=
                reportCell(g < 2 ? inputName(in.paths[g]) : "both") + "\t" + methodName(method) +
                "\t" + formatReal("%.17g", alpha) + "\t" + std::to_string(total) + "\t" +
                formatReal("%.17g", cutoff.value) + "\t" + (cutoff.inclusive ? "<=" : "<") + "\t" +
                std::to_string(g < 2 ? survey.records[g] : survey.records[0] + survey.records[1]) +
                "\t" + std::to_string(counts[g]) + "\t" + std::to_string(passing[g]) + "\t" +
                (c.empty() ? "NA" : formatReal("%.17g", c.front().lo)) + "\t" +
                (c.empty() ? "NA" : formatReal("%.6f", lambda[g])) + "\n";
        }
        OutputFile out(fds[next], outputName(report), 4096, report);
        out.write(text.data(), text.size());
        out.close();
        ++next;
    }
    if (plot) {
        std::vector<QQSeries> series;
        std::vector<double> merged;
        std::merge(survey.lowest[0].begin(), survey.lowest[0].end(), survey.lowest[1].begin(),
                   survey.lowest[1].end(), std::back_inserter(merged));
        merged.resize(std::min(merged.size(), qqPoints));
        for (int g = 0; g < 3; ++g)
            series.push_back({g < 2 ? inputName(in.paths[g]) : "both", counts[g], lambda[g],
                              std::move(cells[g]), g < 2 ? survey.lowest[g] : merged});
        const std::string svg = qqPlotSvg(series, methodName(method), cutoff.value);
        OutputFile out(fds[next], outputName(plot), size_t{64} << 10, plot);
        out.write(svg.data(), svg.size());
        out.close();
    }
}

}  // namespace

namespace {

// The run, from the options to the outputs written.
void run(int argc, char** argv) {
    const char* totalFile = nullptr;
    const char* totalText = nullptr;
    const char* alphaText = nullptr;
    const char* methodText = nullptr;
    const char* report = nullptr;
    const char* plot = nullptr;
    const char* level = nullptr;
    const char* inputs[] = {"case_out_wo_bonf.kmerDiff", "control_out_wo_bonf.kmerDiff"};
    const char* outputs[] = {"case_out_sig.fasta", "control_out_sig.fasta"};
    const Option options[] = {
        {"total-file", 0, "FILE", &totalFile},   {"total", 'n', "N", &totalText},
        {"alpha", 'a', "A", &alphaText},         {"case", 0, "FILE", &inputs[0]},
        {"control", 0, "FILE", &inputs[1]},      {"case-out", 0, "FILE", &outputs[0]},
        {"control-out", 0, "FILE", &outputs[1]}, {"method", 'm', "NAME", &methodText},
        {"report", 0, "FILE", &report},          {"qq-plot", 0, "FILE", &plot},
        {"compress-level", 0, "N", &level}};
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
    if (level) setCompressLevel(level);
    Method method = Method::Bonferroni;
    if (methodText && !parseMethod(methodText, method))
        failUsage("invalid method: '%s' (bonferroni, holm, bh or by)", methodText);
    if (!totalFile) totalFile = "total_kmers.txt";
    const char* const allInputs[] = {inputs[0], inputs[1], totalFile};
    const char* allOutputs[4] = {outputs[0], outputs[1]};
    size_t outputCount = 2;
    if (report) allOutputs[outputCount++] = report;
    if (plot) allOutputs[outputCount++] = plot;
    checkOneStandard(allInputs, totalText ? 2 : 3, "input");
    checkOneStandard(allOutputs, outputCount, "output");
    checkCompressLevel(allOutputs, outputCount);
    enterDirectory();
    checkDistinct(allInputs, totalText ? 2 : 3, allOutputs, outputCount);
    // Other methods, the report and the plot read the records more than
    // once: a pipe cannot be read again.
    const char* rereads = method != Method::Bonferroni ? "--method"
                          : report                     ? "--report"
                          : plot                       ? "--qq-plot"
                                                       : nullptr;
    for (const char* input : inputs) {
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
    if (!totalText) total = readTotalKmers(totalFile);
    if (rereads) {
        const Inputs in{{inputs[0], inputs[1]}, {"--case", "--control"}};
        correctAndWrite(in, outputs, report, plot, method, alpha, total);
        return;
    }
    const Threshold threshold = makeThreshold(total, alpha);
    const auto caseIn = openInputSource(inputs[0], "--case");
    const auto controlIn = openInputSource(inputs[1], "--control");
    int outFds[2];
    createOutputs(outputs, outFds, 2);
    OutputFile caseOut(outFds[0], outputName(outputs[0]), size_t{256} << 10, outputs[0]);
    OutputFile controlOut(outFds[1], outputName(outputs[1]), size_t{256} << 10, outputs[1]);

    // With -@, the records of a plain file are read on the extra threads as well.
    const int workers = extraThreads();
    for (int i = 0; i < 2; ++i) {
        ByteSource& in = i ? *controlIn : *caseIn;
        OutputFile& out = i ? controlOut : caseOut;
        if (recordsInChunks(in, workers))
            filterInChunks(in, inputName(inputs[i]), out, threshold, workers);
        else
            filter(in, inputName(inputs[i]), out, threshold);
        out.close();
    }
}

}  // namespace

int runSigsieve(int argc, char** argv) {
    return runTool("sigsieve", [&] { run(argc, argv); });
}
