#include "command.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstring>

#include "help.h"
#include "numbers.h"

Command readCommandLine(int argc, char** argv, Run& run) {
    const char* totalText = nullptr;
    std::vector<Choice> methods;
    for (Method m : allMethods()) methods.push_back({methodName(m), methodDescription(m)});
    std::vector<Option>& options = run.options;
    options = {
        {.name = "total-file",
         .argument = "FILE",
         .help = "the number of k-mers tested, a whole number >= 1\n"
                 "(default: total_kmers.txt)",
         .parse = [&](const char* a) { run.totalFile = a; },
         .brief = "the number of k-mers tested, a whole number >= 1"},
        {.name = "total",
         .shortName = 'n',
         .argument = "N",
         .help = "the number of k-mers tested, given here instead of\n"
                 "in a file (1 to 9223372036854775807)",
         .parse = [&](const char* a) { totalText = a; },
         .brief = "the number of k-mers tested, given here instead of in a file"},
        {.name = "alpha",
         .shortName = 'a',
         .argument = "A",
         .help = "the family-wise significance level, 0 < A <= 1\n"
                 "(default: 0.05)",
         .parse =
             [&](const char* a) {
                 if (!(parseRealArgument(a, run.alpha) && run.alpha > 0 && run.alpha <= 1))
                     failUsage("invalid significance level: '%s' (a number above 0 and at most 1)",
                               a);
             },
         .brief = "the family-wise significance level, 0 < A <= 1"},
        {.name = "case",
         .argument = "FILE",
         .help = "case records (default: case_out_wo_bonf.kmerDiff)",
         .parse = [&](const char* a) { run.inputs[0] = a; },
         .brief = "the case group's records"},
        {.name = "control",
         .argument = "FILE",
         .help = "control records (default:\ncontrol_out_wo_bonf.kmerDiff)",
         .parse = [&](const char* a) { run.inputs[1] = a; },
         .brief = "the control group's records"},
        {.name = "case-out",
         .argument = "FILE",
         .help = "passing case k-mers (default: case_out_sig.fasta)",
         .parse = [&](const char* a) { run.fasta[0] = a; },
         .brief = "the passing case k-mers, as FASTA"},
        {.name = "control-out",
         .argument = "FILE",
         .help = "passing control k-mers (default:\ncontrol_out_sig.fasta)",
         .parse = [&](const char* a) { run.fasta[1] = a; },
         .brief = "the passing control k-mers, as FASTA"},
        {.name = "method",
         .shortName = 'm',
         .argument = "NAME",
         .help = methodHelp,
         .parse =
             [&](const char* a) {
                 if (!parseMethod(a, run.method))
                     failUsage("invalid method: '%s' (%s)", a, methodNames(", ", " or ").c_str());
             },
         .brief = "the multiple-testing correction",
         .choices = methods},
        {.name = "pi0",
         .argument = "X",
         .help = "storey's proportion of true nulls, 0 < X <= 1; by\n"
                 "default estimated as R's qvalue::pi0est does: a\n"
                 "cubic smoothing spline (3 degrees of freedom) through\n"
                 "#{p >= L} / (N (1 - L)) for L = 0.05, 0.10, ...,\n"
                 "0.95, its value at 0.95, capped at 1",
         .parse =
             [&](const char* a) {
                 if (!(parseRealArgument(a, run.pi0) && run.pi0 > 0 && run.pi0 <= 1))
                     failUsage("invalid pi0: '%s' (a number above 0 and at most 1)", a);
             },
         .brief = "storey's proportion of true nulls, 0 < X <= 1"},
        {.name = "table",
         .argument = "FILE",
         .help = "the passing records as a tab-separated table: group,\n"
                 "index, kmer, field2, field3, p, p_adjusted (R's\n"
                 "p.adjust(p, METHOD, n = N); storey: PI0 times bh's),\n"
                 "neg_log10_p",
         .parse = [&](const char* a) { run.table = a; },
         .brief = "the passing records as a tab-separated table"},
        {.name = "unitigs",
         .argument = "FILE",
         .help = "each group's passing k-mers joined into unitigs, with\n"
                 "their smallest p-value, as FASTA, or GFA for *.gfa;\n"
                 "the table gains a column unitig",
         .parse = [&](const char* a) { run.unitigs = a; },
         .brief = "the passing k-mers joined into unitigs: FASTA, or GFA for *.gfa"},
        {.name = "report",
         .argument = "FILE",
         .help = "a table of the cutoff applied, the records read and\n"
                 "passing, the smallest p-value, pi0 and the genomic-\n"
                 "control lambda, for each input and both; as\n"
                 "MultiQC's custom-content JSON when FILE ends in .json",
         .parse = [&](const char* a) { run.report = a; },
         .brief = "a summary of the run: TSV, or MultiQC's JSON for *.json"},
        {.name = "qq-plot",
         .argument = "FILE",
         .help = "the QQ plot of the p-values, as SVG",
         .parse = [&](const char* a) { run.plot = a; },
         .brief = "the QQ plot of the p-values, as SVG"},
        {.name = "hist-plot",
         .argument = "FILE",
         .help = "the histogram of the p-values present, as SVG, with\n"
                 "the line at pi0",
         .parse = [&](const char* a) { run.hist = a; },
         .brief = "the histogram of the p-values present, as SVG, with the line at pi0"},
        {.name = "compress-level",
         .argument = "N",
         .help = "the level of .gz outputs, 0 to 9 (default: 1), or of\n"
                 ".zst outputs, 1 to 19 (default: 3)",
         .parse = [&](const char* a) { run.level = parseCompressLevel(a); },
         .brief = "the level of .gz (0 to 9) and .zst (1 to 19) outputs"}};
    run.totalOption = &options[0];
    run.inputOptions[0] = &options[3];
    run.inputOptions[1] = &options[4];
    const Command command = parseOptions(argc, argv, options, help);
    if (totalText) {
        if (run.totalFile) failUsage("--total and --total-file cannot be used together");
        uint64_t n = 0;
        if (parseWholeArgument(totalText, INT64_MAX, n) != ArgumentStatus::Ok || n == 0)
            failUsage("invalid number of k-mers tested: '%s' (a whole number from 1 to %" PRId64
                      ")",
                      totalText, INT64_MAX);
        run.total = static_cast<int64_t>(n);
    }
    if (!run.totalFile) run.totalFile = "total_kmers.txt";
    const char* const allInputs[] = {run.inputs[0], run.inputs[1], run.totalFile};
    const std::vector<const char*> outputs = run.outputs();
    checkOneStandard(allInputs, totalText ? 2 : 3, "input");
    checkOneStandard(outputs.data(), outputs.size(), "output");
    checkCompressLevel(outputs.data(), outputs.size(), run.level);
    enterDirectory(command);
    checkDistinct(allInputs, totalText ? 2 : 3, outputs.data(), outputs.size());
    // The methods that need ranks, the report and the plots read the
    // records more than once: a pipe cannot be read again.
    run.rereads = methodNeedsRanks(run.method) ? "--method"
                  : run.report                 ? "--report"
                  : run.plot                   ? "--qq-plot"
                  : run.hist                   ? "--hist-plot"
                                               : nullptr;
    for (const char* input : run.inputs) {
        if (!run.rereads) break;
        struct stat info;  // (a missing input fails when it is opened)
        if (std::strcmp(input, "-") == 0)
            failUsage(
                "%s reads the records more than once, and standard input cannot be read twice "
                "(save it to a file first)",
                run.rereads);
        if (stat(input, &info) == 0 && !S_ISREG(info.st_mode))
            failUsage(
                "%s reads the records more than once: '%s' is not a regular file (save it "
                "to a file first)",
                run.rereads, input);
    }
    return command;
}
