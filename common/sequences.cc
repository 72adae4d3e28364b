#include "sequences.h"

#include <cinttypes>
#include <string_view>

#include "failure.h"
#include "records.h"

void readSequenceLines(LineReader& reader, SequenceSink& sink) {
    std::string_view piece;
    bool complete;
    while (reader.next(piece, complete)) {
        sink.add(piece.data(), piece.size());
        if (complete) sink.end();
    }
}

namespace {

// A FASTQ record's quality must be as long as its sequence.
void checkQuality(LineReader& reader, const char* name, uint64_t recordLine, uint64_t quality,
                  uint64_t sequence) {
    if (quality == sequence) return;
    failIfDamaged(reader, name);
    fail("%s:%" PRIu64 ": the FASTQ record's quality (%" PRIu64
         " characters) is %s than its sequence (%" PRIu64 ")",
         name, recordLine, quality, quality < sequence ? "shorter" : "longer", sequence);
}

}  // namespace

void readSequenceRecords(LineReader& reader, const char* name, SequenceSink& sink) {
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
                sink.end();
                state = c == '>' ? State::Fasta : State::FastqSequence;
                line = Line::Skipped;
                sequence = 0;
                recordLine = reader.lineNumber();
            } else if (state == State::Before || state == State::AfterFastq) {
                failIfDamaged(reader, name);
                fail("%s:%" PRIu64 ": expected a FASTA ('>') or FASTQ ('@') record, found '%.*s'",
                     name, reader.lineNumber(), shown(piece.size()), piece.data());
            } else if (state == State::FastqSequence && c == '+') {
                sink.end();
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
            sink.add(piece.data(), piece.size());
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
    sink.end();
}
