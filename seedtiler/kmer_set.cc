#include "kmer_set.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <numeric>
#include <type_traits>

#include "failure.h"
#include "kmer_buffer.h"
#include "kmer_merge.h"
#include "numbers.h"
#include "ordered_pipeline.h"
#include "task_pool.h"

namespace {

constexpr size_t firstBytes = size_t{1} << 20;  // a buffer's first size

// The records of a run as a sorted source: distinct keys, each with its
// count (stored, or 1).
class RunKeys {
  public:
    RunKeys(RunFile& file, const RunFile::Run& run, size_t keyBytes, bool counts)
        : reader_(file, run, keyBytes + (counts ? 8 : 0)), keyBytes_(keyBytes), counts_(counts) {}
    template <class Kind>
    bool next(const Kind&, const char*& key, uint64_t& count) {
        if (started_) reader_.advance();
        started_ = true;
        key = reader_.current();
        if (!key) return false;
        count = 1;
        if (counts_) std::memcpy(&count, key + keyBytes_, 8);
        return true;
    }

  private:
    RunReader reader_;
    size_t keyBytes_;
    bool counts_;
    bool started_ = false;
};

// Writes a merge's records to a run.
template <class Kind, class Source>
RunFile::Run writeRun(RunFile& file, const Kind& kind, const std::vector<Source*>& sources,
                      bool counts, int level) {
    Merge<Kind, Source> merge(kind, sources);
    const size_t keyBytes = kind.keyBytes();
    RunWriter writer(file, keyBytes + (counts ? 8 : 0));
    std::vector<char> record(keyBytes + 8);
    const char* key;
    uint64_t count;
    while (merge.next(key, count)) {
        std::memcpy(record.data(), key, keyBytes);
        std::memcpy(record.data() + keyBytes, &count, 8);
        writer.write(record.data());
    }
    return writer.finish(level);
}

// The text of a key at p, and 3 bytes past it.
template <class Kind>
void keyText(char* p, const char* key, size_t k) {
    if constexpr (std::is_same_v<Kind, TextKind>)
        std::memcpy(p, key, k);
    else
        decodeKey(p, key, k);
}

// A line of the output: the window's text, and with counts a tab and its
// count. At most k + 22 bytes (and 3 bytes past them) are written at p.
template <class Kind>
char* writeLine(char* p, size_t k, const char* key, const uint64_t* count) {
    keyText<Kind>(p, key, k);
    p += k;
    if (count) {
        *p++ = '\t';
        p += formatDecimal(p, *count);
    }
    *p++ = '\n';
    return p;
}

// A merge of one kind handed out as lines, its keys filtered by count.
template <class Kind, class Source>
class Lines {
  public:
    Lines(const Kind& kind, const std::vector<Source*>& sources, const KmerSetOptions& options)
        : merge_(kind, sources), options_(options), text_(options.k + 4) {}
    // The next key kept, its text at text(); false at the end.
    bool next() {
        while (merge_.next(key_, count_))
            if (count_ >= options_.minCount && count_ <= options_.maxCount) {
                keyText<Kind>(text_.data(), key_, options_.k);
                return true;
            }
        return false;
    }
    const char* text() const { return text_.data(); }
    void write(OutputFile& out) const {
        char* p = out.reserve(options_.k + 32);
        out.commit(static_cast<size_t>(
            writeLine<TextKind>(p, options_.k, text_.data(), options_.counts ? &count_ : nullptr) -
            p));
    }

  private:
    Merge<Kind, Source> merge_;
    const KmerSetOptions& options_;
    const char* key_ = nullptr;
    uint64_t count_ = 0;
    std::vector<char> text_;
};

// Writes the lines of the packed kind and of the text kind merged in byte
// order: a packed window is never a text one, which holds another
// character.
template <class Packed, class Text>
void writeBoth(OutputFile& out, Packed& packed, Text& text, size_t k) {
    bool morePacked = packed.next(), moreText = text.next();
    while (morePacked || moreText) {
        if (moreText && (!morePacked || std::memcmp(text.text(), packed.text(), k) < 0)) {
            text.write(out);
            moreText = text.next();
        } else {
            packed.write(out);
            morePacked = packed.next();
        }
    }
}

}  // namespace

KmerSet::KmerSet(const KmerSetOptions& options, TaskPool& pool)
    : options_(options), pool_(pool), file_(options.tempDir) {
    // A packed window costs 16 bytes a word (itself and its place in the
    // radix sort's scratch), a text window its k bytes and a 4-byte index;
    // both kinds share the buffer and are spilled together.
    words_ = options.k <= 32 ? 1 : options.k <= 64 ? 2 : 0;
    packedMax_ = words_ ? std::max<uint64_t>(options.bufferBytes / (16 * words_), 16) : 0;
    packedLimit_ = 0;
}

KmerSet::~KmerSet() = default;

void KmerSet::makeRoom() {
    // What the text windows leave of the buffer, for the packed ones.
    const uint64_t used = (options_.k + 4) * textCount_;
    const uint64_t left =
        used < options_.bufferBytes ? (options_.bufferBytes - used) / (16 * words_) : 0;
    const uint64_t room = std::min(packedMax_, std::max<uint64_t>(left, textCount_ ? 0 : 16));
    if (packedCount_ < room) {
        // Grown by doubling (remapped, not copied), from a small start.
        const uint64_t want =
            std::min(room, std::max<uint64_t>(2 * packedCount_, firstBytes / (8 * words_)));
        const size_t bytes = static_cast<size_t>(want) * 8 * words_;
        if (keys_.reserve(bytes) && scratch_.reserve(bytes)) {
            packedLimit_ = static_cast<size_t>(want);
            return;
        }
        if (packedCount_ == 0 && textCount_ == 0)
            fail("cannot allocate the buffer of the k-mer set (-S, --buffer-size): %s",
                 std::strerror(ENOMEM));
        // The system gives no more than this: the buffer is full here.
    }
    spill();
    packedLimit_ =
        std::min<uint64_t>(packedMax_, std::min(keys_.bytes(), scratch_.bytes()) / (8 * words_));
    if (packedLimit_ == 0) makeRoom();
}

void KmerSet::addText(const char* window) {
    const size_t k = options_.k;
    if ((k + 4) * (textCount_ + 1) + 16 * words_ * packedCount_ > options_.bufferBytes ||
        textCount_ == UINT32_MAX)
        spill();
    if ((textCount_ + 1) * k > text_.bytes()) {
        const uint64_t most = std::max<uint64_t>(options_.bufferBytes / (k + 4), 1) * k;
        const uint64_t want = std::min(most, std::max<uint64_t>(2 * text_.bytes(), firstBytes));
        if (!text_.reserve(std::max<size_t>(static_cast<size_t>(want), (textCount_ + 1) * k))) {
            if (textCount_ == 0 && packedCount_ == 0)
                fail("cannot allocate the buffer of the k-mer set (-S, --buffer-size): %s",
                     std::strerror(ENOMEM));
            spill();
            return addText(window);
        }
    }
    std::memcpy(text_.data() + textCount_ * k, window, k);
    ++textCount_;
    // What the text leaves of the buffer, for the packed windows.
    const uint64_t used = (k + 4) * textCount_;
    const uint64_t left =
        used < options_.bufferBytes && words_ ? (options_.bufferBytes - used) / (16 * words_) : 0;
    packedLimit_ = std::min<uint64_t>(packedLimit_, left);
}

void KmerSet::spill() {
    if (packedCount_) {
        MemoryKeys keys(sortKeys(packed(), scratch(), packedCount_, words_, options_.k, pool_),
                        8 * words_);
        const std::vector<MemoryKeys*> sources{&keys};
        const RunFile::Run run =
            words_ == 1 ? writeRun(file_, PackedKind<1>{}, sources, options_.counts, 0)
                        : writeRun(file_, PackedKind<2>{}, sources, options_.counts, 0);
        addRun(0, run);
    }
    if (textCount_) {
        SortedText sorted(text_.data(), textCount_, options_.k);
        std::vector<SortedText*> sources{&sorted};
        addRun(1, writeRun(file_, TextKind{options_.k}, sources, options_.counts, 0));
    }
    packedCount_ = textCount_ = 0;
}

void KmerSet::addRun(int kind, RunFile::Run run) {
    std::vector<RunFile::Run>& runs = runs_[kind];
    runs.push_back(run);
    // Runs of one level are merged as soon as there are mergeFanIn of
    // them, into one of the next level, so that a run's records are read
    // again about log16 of the runs times.
    while (runs.size() >= mergeFanIn &&
           std::all_of(runs.end() - mergeFanIn, runs.end(),
                       [&](const RunFile::Run& r) { return r.level == runs.back().level; })) {
        const size_t from = runs.size() - mergeFanIn;
        const RunFile::Run merged = mergeRuns(kind, from, runs.size(), runs.back().level + 1);
        runs.resize(from);
        runs.push_back(merged);
    }
}

RunFile::Run KmerSet::mergeRuns(int kind, size_t from, size_t to, int level) {
    std::vector<RunFile::Run>& runs = runs_[kind];
    const size_t keyBytes = kind == 0 ? 8 * words_ : options_.k;
    std::vector<std::unique_ptr<RunKeys>> readers;
    std::vector<RunKeys*> sources;
    for (size_t r = from; r < to; ++r) {
        readers.push_back(std::make_unique<RunKeys>(file_, runs[r], keyBytes, options_.counts));
        sources.push_back(readers.back().get());
    }
    const RunFile::Run merged =
        kind == 1     ? writeRun(file_, TextKind{options_.k}, sources, options_.counts, level)
        : words_ == 1 ? writeRun(file_, PackedKind<1>{}, sources, options_.counts, level)
                      : writeRun(file_, PackedKind<2>{}, sources, options_.counts, level);
    readers.clear();
    for (size_t r = from; r < to; ++r) file_.release(runs[r]);
    return merged;
}

void KmerSet::write(OutputFile& out) {
    if (runs_[0].empty() && runs_[1].empty()) return writeHeld(out);
    // What is held joins the runs; then each kind is merged, at most
    // mergeFanIn runs at a time, into the output.
    spill();
    keys_.release(), scratch_.release(), text_.release();
    for (int kind = 0; kind < 2; ++kind) {
        std::vector<RunFile::Run>& runs = runs_[kind];
        while (runs.size() > mergeFanIn) {
            const RunFile::Run merged =
                mergeRuns(kind, 0, mergeFanIn, runs[mergeFanIn - 1].level + 1);
            runs.erase(runs.begin(), runs.begin() + mergeFanIn);
            runs.push_back(merged);
        }
    }
    writeRuns(out);
}

void KmerSet::writeRuns(OutputFile& out) {
    std::vector<std::unique_ptr<RunKeys>> readers[2];
    std::vector<RunKeys*> sources[2];
    for (int kind = 0; kind < 2; ++kind)
        for (const RunFile::Run& run : runs_[kind]) {
            readers[kind].push_back(std::make_unique<RunKeys>(
                file_, run, kind == 0 ? 8 * words_ : options_.k, options_.counts));
            sources[kind].push_back(readers[kind].back().get());
        }
    Lines<TextKind, RunKeys> text(TextKind{options_.k}, sources[1], options_);
    if (words_ == 2) {
        Lines<PackedKind<2>, RunKeys> packed(PackedKind<2>{}, sources[0], options_);
        writeBoth(out, packed, text, options_.k);
    } else {
        Lines<PackedKind<1>, RunKeys> packed(PackedKind<1>{}, sources[0], options_);
        writeBoth(out, packed, text, options_.k);
    }
}

namespace {

// Writes the packed windows held in memory, sorted in parts (sortKeys),
// in slices of about 65536 keys cut where a key ends, each written as
// text on the pool and handed back in order.
template <size_t W>
void writeSlices(OutputFile& out, const std::vector<Part>& parts, const KmerSetOptions& options,
                 TaskPool& pool) {
    const PackedKind<W> kind;
    constexpr size_t keyBytes = 8 * W, sliceKeys = 65536;
    std::vector<Part> slices;
    for (const Part& part : parts)
        for (const char* from = part.begin; from != part.end;) {
            const char* to = static_cast<size_t>(part.end - from) <= sliceKeys * keyBytes
                                 ? part.end
                                 : from + sliceKeys * keyBytes;
            while (to != part.end && !kind.less(to - keyBytes, to)) to += keyBytes;
            slices.push_back({from, to});
            from = to;
        }
    struct Slice {
        std::vector<char> text;
        size_t size = 0;
    };
    OrderedPipeline<Slice> pipeline(pool);
    const auto writeOldest = [&] {
        const Slice& slice = pipeline.oldest();
        out.write(slice.text.data(), slice.size);
        pipeline.release();
    };
    const size_t k = options.k;
    const size_t lineMax = k + (options.counts ? 22 : 1);
    for (const Part& range : slices) {
        pipeline.next();
        pipeline.submit([&, range](Slice& slice) {
            const size_t keys = static_cast<size_t>(range.end - range.begin) / keyBytes;
            if (slice.text.size() < keys * lineMax + 4) slice.text.resize(keys * lineMax + 4);
            MemoryKeys source({range}, keyBytes);
            char* p = slice.text.data();
            const char* key;
            uint64_t n;
            while (source.next(kind, key, n))
                if (n >= options.minCount && n <= options.maxCount)
                    p = writeLine<PackedKind<W>>(p, k, key, options.counts ? &n : nullptr);
            slice.size = static_cast<size_t>(p - slice.text.data());
        });
        if (pipeline.size() > static_cast<size_t>(pool.threads()) + 1) writeOldest();
    }
    while (!pipeline.empty()) writeOldest();
}

}  // namespace

void KmerSet::writeHeld(OutputFile& out) {
    std::vector<Part> parts;
    if (packedCount_)
        parts = sortKeys(packed(), scratch(), packedCount_, words_, options_.k, pool_);
    if (textCount_ == 0) {
        if (words_ == 1) return writeSlices<1>(out, parts, options_, pool_);
        return writeSlices<2>(out, parts, options_, pool_);
    }
    // Both kinds: each merged and written in byte order.
    SortedText sorted(text_.data(), textCount_, options_.k);
    Lines<TextKind, SortedText> text(TextKind{options_.k}, {&sorted}, options_);
    MemoryKeys keys(std::move(parts), 8 * words_);
    const std::vector<MemoryKeys*> sources{&keys};
    if (words_ == 2) {
        Lines<PackedKind<2>, MemoryKeys> packed(PackedKind<2>{}, sources, options_);
        writeBoth(out, packed, text, options_.k);
    } else {
        Lines<PackedKind<1>, MemoryKeys> packed(PackedKind<1>{}, sources, options_);
        writeBoth(out, packed, text, options_.k);
    }
}
