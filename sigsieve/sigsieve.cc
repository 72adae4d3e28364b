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
// The methods whose cutoff depends on the ranks, the report and the plots
// first survey the p-values of both inputs (family.h) and find the cutoff,
// then filter with it as Bonferroni does.
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

#include "command.h"
#include "family.h"
#include "files.h"
#include "numbers.h"
#include "pi0.h"
#include "qqplot.h"
#include "report.h"
#include "tool.h"

int64_t readTotalKmers(const char* path, const Option& option, TaskPool& pool) {
    const char* totalName = inputName(path);
    const auto source = openInputSource(path, option, pool);
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

// The run's outputs, once created.
struct Outputs {
    Output* fasta[2];
    Output *table = nullptr, *report = nullptr, *plot = nullptr, *hist = nullptr,
           *unitigs = nullptr;
};

// Creates every output of the run, all or none.
Outputs createOutputs(const Run& run, OutputSet& set) {
    const std::vector<Output*> made = set.create(run.outputs());
    Outputs o{{made[0], made[1]}};
    size_t next = 2;
    for (auto [path, slot] : {std::pair{run.report, &o.report}, std::pair{run.plot, &o.plot},
                              std::pair{run.hist, &o.hist}, std::pair{run.table, &o.table},
                              std::pair{run.unitigs, &o.unitigs}})
        if (path) *slot = made[next++];
    return o;
}

const char* const groups[2] = {"case", "control"};

// What the last pass learns: the records passing in each input and, with
// --unitigs, what the report gives of their unitigs.
struct Passed {
    int64_t records[2] = {};
    UnitigCounts unitigs[2];
};

// Copies the table rows spooled in `fd` to the table, each ended by the
// number of its k-mer's unitig: the rows of the case input, then those of
// the control input.
void copySpooledRows(int fd, OutputFile& table, const Passed& passed,
                     const std::unique_ptr<GroupUnitigs> unitigs[2]) {
    std::vector<char> buffer(size_t{1} << 20);
    std::string row;  // a row that spans two reads
    uint64_t offset = 0;
    int group = 0;
    uint64_t index = 0;
    const auto take = [&](const char* text, size_t length) {
        while (index == static_cast<uint64_t>(passed.records[group])) ++group, index = 0;
        table.write(text, length);
        table.put('\t');
        const GroupUnitigs& u = *unitigs[group];
        table.commit(formatDecimal(table.reserve(21), u.base() + u.unitigOfRecords()[index++]));
        table.put('\n');
    };
    for (;;) {
        const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            fail("cannot read a temporary file in '%s': %s", temporaryDirectory(),
                 std::strerror(errno));
        if (n == 0) break;
        offset += static_cast<uint64_t>(n);
        const char* p = buffer.data();
        const char* end = p + n;
        while (const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p))) {
            if (row.empty()) {
                take(p, static_cast<size_t>(nl - p));
            } else {
                row.append(p, nl);
                take(row.data(), row.size());
                row.clear();
            }
            p = nl + 1;
        }
        row.append(p, end);
    }
}

// Filters each input into its FASTA output with the cutoff (reading the
// source given for it, else opening it); with --table, writes the table
// too: at once when p_adjusted depends on p alone, else in a pass over the
// inputs once every passing p-value is known; with --unitigs, joins each
// input's passing k-mers into unitigs once both are read (the table's rows
// wait for them in a temporary file when written at once).
void filterBoth(const Run& run, Inputs& in, std::unique_ptr<ByteSource> first[2],
                const Outputs& outputs, const Cutoff& cutoff, double pi0, Passed& passed) {
    const double applied = cutoff.inclusive ? std::nextafter(cutoff.value, INFINITY) : cutoff.value;
    const Threshold threshold = makeThreshold(applied);
    std::unique_ptr<OutputFile> table;
    if (run.table) {
        table = std::make_unique<OutputFile>(*outputs.table, size_t{256} << 10, run.output());
        if (run.unitigs) {
            table->write(tableHeader, sizeof tableHeader - 2);
            table->put("\tunitig\n");
        } else {
            table->put(tableHeader);
        }
    }
    const bool ranks = methodNeedsRanks(run.method);
    const bool ranked = table && ranks;
    std::unique_ptr<OutputFile> spool;
    int spoolFd = -1;
    if (table && run.unitigs && !ranks) {
        spoolFd = openTemporaryFile(temporaryDirectory());
        if (spoolFd < 0)
            fail("cannot create a temporary file in '%s': %s", temporaryDirectory(),
                 std::strerror(errno));
        spool = std::make_unique<OutputFile>(spoolFd, "a temporary file", size_t{256} << 10);
    }
    int unitigK = 0;
    std::unique_ptr<GroupUnitigs> unitigs[2];
    std::deque<double> values;  // passing, in blocks: no growth beyond them
    for (int i = 0; i < 2; ++i) {
        OutputFile out(*outputs.fasta[i], size_t{256} << 10, run.output());
        Sieve sieve(threshold, &out,
                    ranked  ? nullptr
                    : spool ? spool.get()
                            : table.get(),
                    groups[i]);
        sieve.adjust = [&](double p) { return singleStepAdjusted(run.method, run.total, p); };
        if (ranks && (table || run.unitigs)) sieve.passing = &values;
        if (run.unitigs) sieve.unitigK = &unitigK, sieve.unitigs = &unitigs[i];
        in.pass(
            i,
            [&](ByteSource& source) {
                const Filtered filtered = filter(source, in.name(i), sieve, run.records);
                passed.records[i] = filtered.passing;
                return filtered.records;
            },
            std::move(first[i]));
        out.close();
    }
    // The adjusted p-values of the methods that rank: every p-value below
    // the largest passing one passes, and their ranks are the family's,
    // the absent k-mers' 1s counting where they reach.
    std::deque<double>& sorted = values;
    std::vector<double> adjusted;
    if (ranks && (table || run.unitigs)) {
        std::sort(sorted.begin(), sorted.end());
        adjusted = adjustedPValues(run.method, run.total, sorted,
                                   static_cast<uint64_t>(run.total) - sorted.size(), pi0);
    }
    const std::function<double(double)> adjust = [&](double p) {
        if (!ranks) return singleStepAdjusted(run.method, run.total, p);
        // Every passing p-value was kept: another is a changed input.
        const auto at = std::lower_bound(sorted.begin(), sorted.end(), p);
        if (at == sorted.end() || *at != p) failChanged();
        return adjusted[static_cast<size_t>(at - sorted.begin())];
    };
    if (run.unitigs) {
        OutputFile out(*outputs.unitigs, size_t{256} << 10, run.output());
        UnitigSink sink{out, nameEndsIn(run.unitigs, ".gfa")};
        if (sink.gfa) out.put("H\tVN:Z:1.0\n");
        for (int i = 0; i < 2; ++i)
            if (unitigs[i]) passed.unitigs[i] = unitigs[i]->write(sink, groups[i], adjust);
        out.close();
    }
    if (spool) {
        spool->flush();
        copySpooledRows(spoolFd, *table, passed, unitigs);
        spool.reset();
        ::close(spoolFd);
    }
    if (ranked) {
        for (int i = 0; i < 2; ++i) {
            Sieve sieve(threshold, nullptr, table.get(), groups[i]);
            sieve.adjust = adjust;
            sieve.rowUnitigs = unitigs[i].get();
            in.pass(i, [&](ByteSource& source) {
                return filter(source, in.name(i), sieve, run.records).records;
            });
        }
    }
    if (table) table->close();
}

// The methods that need ranks, the report and the plots: passes over the
// records find the cutoff (and pi0, and the medians), the last one writes
// the FASTA files.
void correctAndWrite(const Run& run, Inputs& in, const Outputs& outputs) {
    const bool full = run.report || run.plot || run.hist;
    const bool countBins = full || (run.method == Method::Storey && std::isnan(run.pi0));
    // storey's cutoff may reach alpha / pi0: the p-values below up to twice
    // alpha are kept, so that only a small pi0 reads the inputs once more.
    // The split stays in alpha's decade, where the p-values above it (most
    // of them) are counted from their text alone.
    const double decadeEnd = 0.95 * std::pow(10, std::floor(std::log10(run.alpha)) + 1);
    const double split = run.method == Method::Storey
                             ? std::max(run.alpha, std::min({2 * run.alpha, decadeEnd, 1.0}))
                             : run.alpha;
    Survey survey(in, split, full, countBins, run.plot != nullptr);
    // More p-values than k-mers tested: the methods that rank fail, and
    // pi0, whose family that is not, is NA for the others.
    const uint64_t present = survey.present[0] + survey.present[1];
    if (methodNeedsRanks(run.method)) checkFamilySize(present, run.total);
    double pi0 = run.pi0;
    if (std::isnan(pi0) && countBins && present <= static_cast<uint64_t>(run.total))
        pi0 = estimatePi0(atOrAboveLambdas(survey, run.total), run.total);
    if (run.method == Method::Storey && !(pi0 > 0))
        fail("the estimated pi0 is %g, not above 0: give it with --pi0", pi0);
    const Cutoff cutoff =
        methodNeedsRanks(run.method)
            ? familyCutoff(in, survey, run.method, run.alpha, run.total, full, pi0)
            : methodCutoff(run.method, run.alpha, run.total, {}, {});

    // Each input's medians, and both together's, for lambda: of the N
    // tested (the absent k-mers above every p-value present), and of the
    // p-values present.
    Histogram both = survey.cells[0];
    both.merge(survey.cells[1]);
    Cells cells[3] = {survey.cells[0].cells(), survey.cells[1].cells(), both.cells()};
    const uint64_t counts[3] = {survey.present[0], survey.present[1],
                                survey.present[0] + survey.present[1]};
    double lambda[3] = {NAN, NAN, NAN}, lambdaPresent[3] = {NAN, NAN, NAN};
    if (full)
        for (int g = 0; g < 3; ++g) {
            const int inputs = g < 2 ? 1 << g : 3;
            lambdaPresent[g] = genomicControl(medianPValue(in, inputs, cells[g], counts[g]));
            lambda[g] = genomicControl(testedMedian(in, inputs, cells[g], counts[g], run.total));
        }

    Passed passed;
    std::unique_ptr<ByteSource> none[2];
    filterBoth(run, in, none, outputs, cutoff, pi0, passed);

    const char* names[3] = {in.name(0), in.name(1), "both"};
    const char* method = methodName(run.method);
    if (run.report) {
        const int64_t records[3] = {survey.records[0], survey.records[1],
                                    survey.records[0] + survey.records[1]};
        const int64_t passing[3] = {passed.records[0], passed.records[1],
                                    passed.records[0] + passed.records[1]};
        ReportRow rows[3];
        for (int g = 0; g < 3; ++g)
            rows[g] = {names[g],  records[g], counts[g],       passing[g],
                       &cells[g], lambda[g],  lambdaPresent[g]};
        if (run.unitigs) {
            const UnitigCounts* u = passed.unitigs;
            const UnitigCounts both{u[0].unitigs + u[1].unitigs,
                                    std::max(u[0].longest, u[1].longest)};
            for (int g = 0; g < 3; ++g) {
                const UnitigCounts& of = g < 2 ? u[g] : both;
                rows[g].unitigs = static_cast<int64_t>(of.unitigs);
                rows[g].longestUnitig = of.longest;
            }
        }
        writeWhole(
            *outputs.report,
            reportText(method, run.alpha, run.total, cutoff, pi0, rows, jsonReportName(run.report)),
            run.output());
    }
    if (run.hist) {
        std::array<uint64_t, pi0Lambdas + 1> bins{};
        for (int b = 0; b <= pi0Lambdas; ++b) bins[b] = survey.bins[0][b] + survey.bins[1][b];
        writeWhole(*outputs.hist, histogramSvg(bins, counts[2], pi0, method), run.output());
    }
    if (run.plot) {
        QQFamily family{
            {names[0], names[1]}, counts[2], {survey.zeros[0], survey.zeros[1]}, lambda[2],
            std::move(cells[2]),  {}};
        // The smallest of both inputs, each with the input it comes from;
        // ties (zeros, say) taken from each in turn.
        const std::vector<double>* lowest = survey.lowest;
        for (size_t at[2] = {0, 0}; family.lowest.size() < qqPoints;) {
            const bool more[2] = {at[0] < lowest[0].size(), at[1] < lowest[1].size()};
            if (!more[0] && !more[1]) break;
            const bool tie = more[0] && more[1] && lowest[0][at[0]] == lowest[1][at[1]];
            const int i = !more[0] || (more[1] && (tie ? family.lowest.size() % 2 == 1
                                                       : lowest[1][at[1]] < lowest[0][at[0]]));
            family.lowest.emplace_back(lowest[i][at[i]++], i);
        }
        writeWhole(*outputs.plot, qqPlotSvg(family, method, cutoff.value, run.total), run.output());
    }
}

// The run, from the options to the outputs written.
void run(int argc, char** argv, OutputSet& set) {
    Run run;
    const Command command = readCommandLine(argc, argv, run);
    RunThreads threads(command.threads, anyZstd(run.outputs()));
    run.threads = &threads;
    run.records.pool = &threads.pool();
    Inputs inputs(run.inputs, run.inputOptions, run.records);
    // Every input is opened, and the number of k-mers checked, before any
    // output is created: a run that cannot start leaves the outputs alone.
    // The outputs are made before the first pass, so that a file system
    // that takes no new file fails the run before any record is read.
    if (!run.total) run.total = readTotalKmers(run.totalFile, *run.totalOption, threads.pool());
    std::unique_ptr<ByteSource> first[2] = {inputs.open(0), inputs.open(1)};
    const Outputs outputs = createOutputs(run, set);
    if (run.rereads) {
        first[0].reset(), first[1].reset();
        correctAndWrite(run, inputs, outputs);
    } else {
        Passed passed;
        filterBoth(run, inputs, first, outputs,
                   methodCutoff(run.method, run.alpha, run.total, {}, {}), run.pi0, passed);
    }
    set.commit();
}

}  // namespace

int runSigsieve(int argc, char** argv) {
    return runTool("sigsieve", [&](OutputSet& outputs) { run(argc, argv, outputs); });
}
