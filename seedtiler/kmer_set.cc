#include "kmer_set.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "failure.h"
#include "ordered_pipeline.h"
#include "sink.h"
#include "task_pool.h"

// Sorted records of a fixed size, handed out one at a time.
class KmerRecords {
  public:
    virtual ~KmerRecords() = default;
    // The next record, or null at the end.
    virtual const char* next() = 0;
};

namespace {

// Sorts n keys of W words (the most significant first) by their `bits`
// low bits, 8-bit digits, least significant first, the counts of every
// digit taken in one pass; returns where the sorted keys are (keys or
// scratch).
template <size_t W>
uint64_t* radixSort(uint64_t* keys, uint64_t* scratch, size_t n, int bits) {
    constexpr int digit = 8;
    constexpr size_t buckets = size_t{1} << digit;
    const int passes = (bits + digit - 1) / digit;
    const auto digitOf = [](const uint64_t* key, int d) {
        const int bit = digit * d;
        return (key[W - 1 - bit / 64] >> (bit % 64)) & (buckets - 1);
    };
    std::vector<size_t> count(buckets * static_cast<size_t>(passes));
    for (size_t i = 0; i < n; ++i)
        for (int d = 0; d < passes; ++d)
            ++count[buckets * static_cast<size_t>(d) + digitOf(keys + W * i, d)];
    for (int d = 0; d < passes; ++d) {
        size_t* c = count.data() + buckets * static_cast<size_t>(d);
        if (std::count(c, c + buckets, size_t{0}) == buckets - 1) continue;  // one digit: in order
        size_t sum = 0;
        for (size_t b = 0; b < buckets; ++b) sum += std::exchange(c[b], sum);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t* key = keys + W * i;
            uint64_t* to = scratch + W * c[digitOf(key, d)]++;
            for (size_t w = 0; w < W; ++w) to[w] = key[w];
        }
        std::swap(keys, scratch);
    }
    return keys;
}

class MemoryRecords : public KmerRecords {
  public:
    MemoryRecords(const char* begin, size_t count, size_t size)
        : at_(begin), end_(begin + count * size), size_(size) {}
    const char* next() override {
        if (at_ == end_) return nullptr;
        const char* r = at_;
        at_ += size_;
        return r;
    }

  private:
    const char *at_, *end_;
    size_t size_;
};

// Text records in the order of their indexes.
class IndexedRecords : public KmerRecords {
  public:
    IndexedRecords(const char* text, std::vector<uint32_t> order, size_t size)
        : text_(text), order_(std::move(order)), size_(size) {}
    const char* next() override {
        return at_ == order_.size() ? nullptr : text_ + size_t{order_[at_++]} * size_;
    }

  private:
    const char* text_;
    std::vector<uint32_t> order_;
    size_t size_, at_ = 0;
};

[[noreturn]] void failTemporary(const char* what, const std::string& dir, int err) {
    fail("cannot %s a temporary file in '%s': %s", what, dir.c_str(), std::strerror(err));
}

}  // namespace

// Room for n keys, mapped as it is touched, in huge pages where the kernel
// gives them: the radix sort's scatter then misses the TLB far less.
KmerSet::Keys KmerSet::bigArray(size_t n) {
    const size_t bytes = n * sizeof(uint64_t);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);
    return Keys(static_cast<uint64_t*>(p), Unmap{bytes});
}

void KmerSet::Unmap::operator()(uint64_t* p) const {
    munmap(p, bytes);
}

// A run on disk: sorted, distinct records of one kind, zstd-compressed in
// a file already unlinked.
struct KmerSet::Run {
    int fd = -1;
    bool packed = false;
    ~Run() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

// Writes records to a new run in `dir`.
class RunWriter {
  public:
    RunWriter(const std::string& dir, KmerSet::Run& run) : dir_(dir), run_(run) {
#ifdef O_TMPFILE
        run_.fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
        if (run_.fd < 0) {
            std::string name = dir + "/.kmt-sort.XXXXXX";
            run_.fd = mkostemp(name.data(), O_CLOEXEC);
            if (run_.fd < 0) failTemporary("create", dir, errno);
            ::unlink(name.c_str());
        }
        ctx_ = ZSTD_createCCtx();
        if (!ctx_) throw std::bad_alloc();
        ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, 1);
    }
    ~RunWriter() {
        ZSTD_freeCCtx(ctx_);
    }
    void write(const char* record, size_t size) {
        if (in_.size() + size > chunk) flush(ZSTD_e_continue);
        in_.insert(in_.end(), record, record + size);
    }
    void finish() {
        flush(ZSTD_e_end);
        if (lseek(run_.fd, 0, SEEK_SET) != 0) failTemporary("read", dir_, errno);
    }

  private:
    static constexpr size_t chunk = size_t{1} << 20;
    void flush(ZSTD_EndDirective mode) {
        ZSTD_inBuffer input{in_.data(), in_.size(), 0};
        out_.resize(ZSTD_CStreamOutSize());
        for (;;) {
            ZSTD_outBuffer output{out_.data(), out_.size(), 0};
            const size_t left = ZSTD_compressStream2(ctx_, &output, &input, mode);
            if (ZSTD_isError(left)) failTemporary("write", dir_, EINVAL);
            if (int err = writeAll(run_.fd, out_.data(), output.pos))
                failTemporary("write", dir_, err);
            if (mode == ZSTD_e_end ? left == 0 : input.pos == input.size) break;
        }
        in_.clear();
    }
    const std::string& dir_;
    KmerSet::Run& run_;
    ZSTD_CCtx* ctx_;
    std::vector<char> in_, out_;
};

// The records of a run, read back.
class RunRecords : public KmerRecords {
  public:
    RunRecords(const std::string& dir, const KmerSet::Run& run, size_t size)
        : dir_(dir), fd_(run.fd), size_(size), in_(ZSTD_DStreamInSize()), out_(size << 14) {
        ctx_ = ZSTD_createDCtx();
        if (!ctx_) throw std::bad_alloc();
    }
    ~RunRecords() override { ZSTD_freeDCtx(ctx_); }
    const char* next() override {
        if (at_ + size_ <= end_) {
            at_ += size_;
            return out_.data() + at_ - size_;
        }
        // Refill: what is left of a record, then as much as decodes.
        std::memmove(out_.data(), out_.data() + at_, end_ - at_);
        end_ -= at_, at_ = 0;
        while (end_ < size_ && !(ended_ && input_.pos == input_.size)) {
            if (input_.pos == input_.size) {
                const ssize_t got = ::read(fd_, in_.data(), in_.size());
                if (got < 0) failTemporary("read", dir_, errno);
                ended_ = got == 0;
                input_ = {in_.data(), static_cast<size_t>(got), 0};
                if (ended_) break;
            }
            ZSTD_outBuffer output{out_.data() + end_, out_.size() - end_, 0};
            const size_t r = ZSTD_decompressStream(ctx_, &output, &input_);
            if (ZSTD_isError(r)) failTemporary("read", dir_, EIO);
            end_ += output.pos;
        }
        if (end_ < size_) return nullptr;
        return next();
    }

  private:
    const std::string& dir_;
    int fd_;
    size_t size_;
    ZSTD_DCtx* ctx_;
    std::vector<char> in_, out_;
    ZSTD_inBuffer input_{nullptr, 0, 0};
    size_t at_ = 0, end_ = 0;
    bool ended_ = false;
};

// The distinct records of sorted sources, in order: a merge that drops
// repeats; `less` orders two records of `size` bytes.
class Distinct : public KmerRecords {
    using Head = std::pair<const char*, size_t>;  // a record and its source

  public:
    using Less = bool (*)(const char*, const char*, size_t);
    Distinct(std::vector<std::unique_ptr<KmerRecords>> sources, size_t size, Less less)
        : sources_(std::move(sources)), size_(size), less_(less), last_(size) {
        for (size_t s = 0; s < sources_.size(); ++s)
            if (const char* r = sources_[s]->next()) push({r, s});
    }

  private:
    auto after() const {
        return [this](const Head& a, const Head& b) { return less_(b.first, a.first, size_); };
    }
    void push(Head h) {
        heads_.push_back(h);
        std::push_heap(heads_.begin(), heads_.end(), after());
    }

  public:
    const char* next() override {
        while (!heads_.empty()) {
            std::pop_heap(heads_.begin(), heads_.end(), after());
            const Head h = heads_.back();
            heads_.pop_back();
            const bool fresh = !any_ || less_(last_.data(), h.first, size_);
            if (fresh) std::memcpy(last_.data(), h.first, size_), any_ = true;
            if (const char* r = sources_[h.second]->next()) push({r, h.second});
            if (fresh) return last_.data();
        }
        return nullptr;
    }

  private:
    std::vector<std::unique_ptr<KmerRecords>> sources_;
    size_t size_;
    Less less_;
    std::vector<Head> heads_;
    std::vector<char> last_;
    bool any_ = false;
};

// Packed keys of one or two words (size 8 or 16), the first the higher.
bool packedLess(const char* a, const char* b, size_t size) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y || size == 8) return x < y;
    std::memcpy(&x, a + 8, 8);
    std::memcpy(&y, b + 8, 8);
    return x < y;
}

bool textLess(const char* a, const char* b, size_t size) {
    return std::memcmp(a, b, size) < 0;
}

}  // namespace

KmerSet::KmerSet(size_t k, uint64_t bufferBytes, std::string tempDir, int workers)
    : k_(k),
      budget_(bufferBytes),
      tempDir_(std::move(tempDir)),
      workers_(workers),
      pool_(std::make_unique<TaskPool>(workers)) {
    // A packed window costs 16 bytes (itself and its place in the radix
    // sort's scratch), a text window its k bytes and a 4-byte index; both
    // kinds share the buffer and are spilled together.
    words_ = k <= 32 ? 1 : k <= 64 ? 2 : 0;
    packedCapacity_ = words_ ? std::max<uint64_t>(bufferBytes / (16 * words_), 16) : 0;
    packedLimit_ = packedCapacity_;
    if (packedCapacity_) {
        packed_ = bigArray(packedCapacity_ * words_);
        scratch_ = bigArray(packedCapacity_ * words_);
    }
}

KmerSet::~KmerSet() = default;

void KmerSet::addText(const char* window) {
    if ((k_ + 4) * (textCount_ + 1) + 16 * words_ * packedCount_ > budget_ ||
        textCount_ == UINT32_MAX)
        spill();
    // Room for all the buffer can hold, taken once and touched as it is
    // filled: growing by doubling would hold two copies at a time.
    if (text_.capacity() == 0) text_.reserve(budget_ / (k_ + 4) * k_ + k_);
    text_.insert(text_.end(), window, window + k_);
    ++textCount_;
    const uint64_t used = (k_ + 4) * textCount_;
    // What the text leaves of the buffer, for the packed windows.
    const uint64_t left = used < budget_ && words_ ? (budget_ - used) / (16 * words_) : 0;
    packedLimit_ = std::min<uint64_t>(packedCapacity_, left);
}

namespace {

// The sorted parts of the packed windows, as record sources: sorted on the
// workers in as many parts as there are threads.
// The packed windows sorted on the workers in as many parts as there are
// threads: each part's first key and its end.
using Part = std::pair<const uint64_t*, const uint64_t*>;
std::vector<Part> sortPackedParts(uint64_t* keys, uint64_t* scratch, size_t n, size_t words,
                                  size_t k, int workers, TaskPool& pool) {
    const size_t parts = std::max<size_t>(1, std::min<size_t>(size_t(workers) + 1, n / 65536 + 1));
    std::vector<uint64_t*> sorted(parts);
    std::vector<size_t> from(parts + 1);
    for (size_t p = 0; p <= parts; ++p) from[p] = n * p / parts;
    std::vector<TaskPool::Done> done(parts);
    for (size_t p = 0; p < parts; ++p)
        pool.submit(
            [&, p] {
                const size_t at = words * from[p], count = from[p + 1] - from[p];
                const int bits = static_cast<int>(2 * k);
                sorted[p] = words == 1 ? radixSort<1>(keys + at, scratch + at, count, bits)
                                       : radixSort<2>(keys + at, scratch + at, count, bits);
            },
            done[p]);
    for (auto& d : done) pool.wait(d);
    std::vector<Part> result;
    for (size_t p = 0; p < parts; ++p)
        result.push_back({sorted[p], sorted[p] + words * (from[p + 1] - from[p])});
    return result;
}

// The same as record sources.
std::vector<std::unique_ptr<KmerRecords>> sortPacked(uint64_t* keys, uint64_t* scratch, size_t n,
                                                     size_t words, size_t k, int workers,
                                                     TaskPool& pool) {
    std::vector<std::unique_ptr<KmerRecords>> sources;
    for (const Part& part : sortPackedParts(keys, scratch, n, words, k, workers, pool))
        sources.push_back(std::make_unique<MemoryRecords>(
            reinterpret_cast<const char*>(part.first),
            static_cast<size_t>(part.second - part.first) / words, 8 * words));
    return sources;
}

// Writes the `bases` bases of a code at p, four at a time from a table,
// the first base highest; up to 3 bytes past them are written too.
void decode(char* p, uint64_t code, size_t bases) {
    static const auto quads = [] {
        std::array<std::array<char, 4>, 256> table{};
        for (size_t b = 0; b < 256; ++b)
            for (size_t i = 0; i < 4; ++i) table[b][i] = "ACGT"[(b >> (6 - 2 * i)) & 3];
        return table;
    }();
    const size_t groups = (bases + 3) / 4;
    const uint64_t aligned = code << (2 * (4 * groups - bases));
    for (size_t g = 0; g < groups; ++g)
        std::memcpy(p + 4 * g, quads[(aligned >> (8 * (groups - 1 - g))) & 0xff].data(), 4);
}

// A packed window (one word for k <= 32, else two) as text at p.
void decodeKey(char* p, const uint64_t* key, size_t k) {
    if (k <= 32) return decode(p, key[0], k);
    decode(p, key[0], k - 32);
    decode(p + (k - 32), key[1], 32);
}

void writePacked(OutputFile& out, const uint64_t* key, size_t k) {
    char* p = out.reserve(k + 4);
    decodeKey(p, key, k);
    p[k] = '\n';
    out.commit(k + 1);
}

}  // namespace

void KmerSet::spill() {
    const auto toRun = [&](std::unique_ptr<KmerRecords> records, bool packed) {
        runs_.push_back(std::make_unique<Run>());
        runs_.back()->packed = packed;
        RunWriter writer(tempDir_, *runs_.back());
        const size_t size = packed ? 8 * words_ : k_;
        while (const char* r = records->next()) writer.write(r, size);
        writer.finish();
    };
    if (packedCount_)
        toRun(std::make_unique<Distinct>(sortPacked(packed_.get(), scratch_.get(), packedCount_,
                                                    words_, k_, workers_, *pool_),
                                         8 * words_, packedLess),
              true);
    if (textCount_) toRun(sortedText(), false);
    packedCount_ = textCount_ = 0;
    text_.clear();
    packedLimit_ = packedCapacity_;
}

std::unique_ptr<KmerRecords> KmerSet::sortedText() {
    std::vector<uint32_t> order(textCount_);
    std::iota(order.begin(), order.end(), 0);
    const char* text = text_.data();
    const size_t k = k_;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return std::memcmp(text + size_t{a} * k, text + size_t{b} * k, k) < 0;
    });
    std::vector<std::unique_ptr<KmerRecords>> one;
    one.push_back(std::make_unique<IndexedRecords>(text, std::move(order), k));
    return std::make_unique<Distinct>(std::move(one), k, textLess);
}

void KmerSet::write(OutputFile& out) {
    if (runs_.empty() && textCount_ == 0 && words_ != 0) {
        // All in memory and packed: the sorted parts merged straight, in
        // slices of the key range cut at keys of the largest part, each
        // merged and written as text on the threads, handed back in order.
        const std::vector<Part> parts = sortPackedParts(packed_.get(), scratch_.get(), packedCount_,
                                                        words_, k_, workers_, *pool_);
        const size_t w = words_, k = k_;
        const auto less = [w](const uint64_t* x, const uint64_t* y) {
            return x[0] != y[0] || w == 1 ? x[0] < y[0] : x[1] < y[1];
        };
        const Part* largest = &parts[0];
        for (const Part& part : parts)
            if (part.second - part.first > largest->second - largest->first) largest = &part;
        const size_t keys = static_cast<size_t>(largest->second - largest->first) / w;
        const size_t slices = std::max<size_t>(1, packedCount_ >> 16);  // 65536 keys each, about
        // The first key of each part at or after slice s's cut.
        const auto cut = [&](size_t s, const Part& part) {
            if (s == 0) return part.first;
            if (s == slices) return part.second;
            const uint64_t* at = largest->first + w * (keys * s / slices);
            size_t lo = 0, hi = static_cast<size_t>(part.second - part.first) / w;
            while (lo < hi) {
                const size_t mid = (lo + hi) / 2;
                if (less(part.first + w * mid, at))
                    lo = mid + 1;
                else
                    hi = mid;
            }
            return part.first + w * lo;
        };
        struct Slice {
            std::vector<char> text;
            size_t size = 0;
        };
        OrderedPipeline<Slice> pipeline(workers_);
        const auto writeOldest = [&] {
            const Slice& slice = pipeline.oldest();
            out.write(slice.text.data(), slice.size);
            pipeline.release();
        };
        for (size_t s = 0; s < slices; ++s) {
            pipeline.next();
            pipeline.submit([&, s](Slice& slice) {
                std::vector<Part> heads;
                size_t count = 0;
                for (const Part& part : parts) {
                    heads.push_back({cut(s, part), cut(s + 1, part)});
                    count += static_cast<size_t>(heads.back().second - heads.back().first) / w;
                }
                if (slice.text.size() < count * (k + 1) + 4) slice.text.resize(count * (k + 1) + 4);
                char* p = slice.text.data();
                const uint64_t* last = nullptr;
                for (;;) {
                    Part* best = nullptr;
                    for (Part& head : heads)
                        if (head.first != head.second && (!best || less(head.first, best->first)))
                            best = &head;
                    if (!best) break;
                    const uint64_t* key = best->first;
                    best->first += w;
                    if (last && !less(last, key)) continue;  // the same as the last one written
                    last = key;
                    decodeKey(p, key, k);
                    p[k] = '\n';
                    p += k + 1;
                }
                slice.size = static_cast<size_t>(p - slice.text.data());
            });
            if (pipeline.size() > static_cast<size_t>(workers_) + 1) writeOldest();
        }
        while (!pipeline.empty()) writeOldest();
        return;
    }
    // What is held joins the runs as it is, sorted in memory.
    std::vector<std::unique_ptr<KmerRecords>> packed, text;
    if (packedCount_)
        packed =
            sortPacked(packed_.get(), scratch_.get(), packedCount_, words_, k_, workers_, *pool_);
    if (textCount_) text.push_back(sortedText());
    for (const auto& run : runs_)
        (run->packed ? packed : text)
            .push_back(std::make_unique<RunRecords>(tempDir_, *run, run->packed ? 8 * words_ : k_));
    Distinct packedWindows(std::move(packed), 8 * words_, packedLess);
    Distinct textWindows(std::move(text), k_, textLess);

    // The two kinds merged in byte order: a packed window is never a text
    // one, which holds another character.
    const size_t k = k_;
    std::vector<char> decoded(k);
    const auto line = [&](const char* window) {
        char* p = out.reserve(k + 1);
        std::memcpy(p, window, k);
        p[k] = '\n';
        out.commit(k + 1);
    };
    const char* nextText = textWindows.next();
    uint64_t key[2];
    decoded.resize(k + 4);
    while (const char* r = packedWindows.next()) {
        std::memcpy(key, r, 8 * words_);
        if (nextText) {
            decodeKey(decoded.data(), key, k);
            for (; nextText && std::memcmp(nextText, decoded.data(), k) < 0;
                 nextText = textWindows.next())
                line(nextText);
        }
        writePacked(out, key, k);
    }
    for (; nextText; nextText = textWindows.next()) line(nextText);
}
