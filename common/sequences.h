// Sequences as the tools read them: one per line, or FASTA and FASTQ
// records (both may be mixed), read line by line as kseq reads them. The
// one reader of sequence formats, for every tool that reads sequences.
#pragma once

#include <cstddef>

#include "lines.h"

// Where the characters of the sequences go.
class SequenceSink {
  public:
    virtual ~SequenceSink() = default;
    // The next characters of the current sequence.
    virtual void add(const char* p, size_t n) = 0;
    // The sequence ends (nothing spans it and the next).
    virtual void end() = 0;
};

// One sequence per line: a line's text, its terminator left out.
void readSequenceLines(LineReader& reader, SequenceSink& sink);

// FASTA and FASTQ records: a ">" line starts a FASTA record whose sequence
// lines are joined; an "@" line starts a FASTQ record whose sequence lines
// end at a "+" line, and its quality lines at the sequence's length. Blank
// lines are ignored. Text before the first record, a FASTQ record without
// its '+' line or whose quality is shorter or longer than its sequence, and
// text after a FASTQ record that does not start another record fail the
// run naming `name` and the line (or the damage of compressed data there).
// A failed read is the caller's to report (reader.error()).
void readSequenceRecords(LineReader& reader, const char* name, SequenceSink& sink);
