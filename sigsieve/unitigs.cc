#include "unitigs.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "failure.h"
#include "numbers.h"
#include "output_file.h"

namespace {

// Two bits a base, the first base highest: A 0, C 1, G 2, T 3; 4 for any
// other character.
struct BaseCodes {
    uint8_t code[256];
    constexpr BaseCodes() : code() {
        for (uint8_t& c : code) c = 4;
        for (int i = 0; i < 4; ++i) {
            code[static_cast<uint8_t>("ACGT"[i])] = static_cast<uint8_t>(i);
            code[static_cast<uint8_t>("acgt"[i])] = static_cast<uint8_t>(i);
        }
    }
};
constexpr BaseCodes baseCodes;
constexpr char bases[] = "ACGT";

// The reverse complement of the 32 bases of x.
inline uint64_t reverseComplement64(uint64_t x) {
    x = ~x;
    x = (x >> 2 & 0x3333333333333333u) | (x & 0x3333333333333333u) << 2;
    x = (x >> 4 & 0x0F0F0F0F0F0F0F0Fu) | (x & 0x0F0F0F0F0F0F0F0Fu) << 4;
    return __builtin_bswap64(x);
}

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdu;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53u;
    return x ^ (x >> 33);
}

__extension__ typedef unsigned __int128 Word128;

// The packed k-mers of one width: k of up to 32 bases in 64 bits, or of up
// to 64 in 128.
template <class W>
struct Packing {
    int k;
    W mask;  // the low 2k bits
    explicit Packing(int kk)
        : k(kk), mask(2 * kk == 8 * int(sizeof(W)) ? ~W{0} : (W{1} << (2 * kk)) - 1) {}

    W reverseComplement(W x) const {
        if constexpr (sizeof(W) == 8) {
            return reverseComplement64(x) >> (64 - 2 * k);
        } else {
            const W whole = W{reverseComplement64(static_cast<uint64_t>(x))} << 64 |
                            reverseComplement64(static_cast<uint64_t>(x >> 64));
            return whole >> (128 - 2 * k);
        }
    }
    W canonical(W x) const { return std::min(x, reverseComplement(x)); }
    static uint64_t hash(W x) {
        if constexpr (sizeof(W) == 8)
            return mix64(x);
        else
            return mix64(static_cast<uint64_t>(x) ^ mix64(static_cast<uint64_t>(x >> 64)));
    }
    W encode(std::string_view text) const {
        W x = 0;
        for (const char c : text) x = x << 2 | baseCodes.code[static_cast<unsigned char>(c)];
        return x;
    }
    void decode(W x, char* out) const {
        for (int i = k - 1; i >= 0; --i, x >>= 2) out[i] = bases[static_cast<unsigned>(x & 3)];
    }
};

}  // namespace

// The nodes of a group and their joins, for one width of packed k-mer.
struct GroupUnitigs::Graph {
    virtual ~Graph() = default;
    virtual void add(std::string_view kmer, double p, std::string_view pText) = 0;
    virtual UnitigCounts write(UnitigSink& sink, const char* group,
                               const std::function<double(double)>& adjust) = 0;
    std::vector<uint32_t> records;  // the node of each record added, then its unitig
    uint64_t base = 0;
};

namespace {

constexpr uint32_t none = UINT32_MAX;

template <class W>
class Graph final : public GroupUnitigs::Graph {
  public:
    explicit Graph(int k) : pack_(k) { slots_.assign(1024, 0); }

    void add(std::string_view kmer, double p, std::string_view pText) override {
        const W c = pack_.canonical(pack_.encode(kmer));
        uint32_t node = find(c);
        if (node == none) {
            if (kmers_.size() >= none - 1) fail("--unitigs: too many k-mers in a group");
            node = static_cast<uint32_t>(kmers_.size());
            kmers_.push_back(c);
            value_.push_back(std::bit_cast<uint64_t>(p));
            info_.push_back(texts_.size());
            texts_.append(pText).push_back('\n');
            insert(c, node);
        } else if (p < std::bit_cast<double>(value_[node])) {
            // The k-mer's smallest p-value: its first record with it.
            value_[node] = std::bit_cast<uint64_t>(p);
            info_[node] = (info_[node] & ~offsetMask) | texts_.size();
            texts_.append(pText).push_back('\n');
        }
        records.push_back(node);
    }

    UnitigCounts write(UnitigSink& sink, const char* group,
                       const std::function<double(double)>& adjust) override;

  private:
    // info_: where the text of the node's smallest p-value starts, then
    // the joins of each side (counted to 15), whether the node is written,
    // and which end of its unitig each side is (0 none, 1 left, 2 right).
    static constexpr uint64_t offsetMask = (uint64_t{1} << 40) - 1;
    static constexpr int degreeShift = 40, writtenBit = 48, endShift = 50;

    // A slot holds node + 1 above the high half of its k-mer's hash (a
    // check that spares reading most k-mers that differ), 0 when empty;
    // the low bits of the hash place it.
    uint32_t find(W c, uint64_t hash) const {
        const size_t mask = slots_.size() - 1;
        const uint32_t check = static_cast<uint32_t>(hash >> 32);
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const uint64_t slot = slots_[i];
            if (slot == 0) return none;
            if (static_cast<uint32_t>(slot) == check && kmers_[(slot >> 32) - 1] == c)
                return static_cast<uint32_t>((slot >> 32) - 1);
        }
    }
    uint32_t find(W c) const { return find(c, Packing<W>::hash(c)); }
    void insert(W c, uint32_t node) {
        if (4 * (kmers_.size() + 1) > 3 * slots_.size()) {
            std::vector<uint64_t>().swap(slots_);
            slots_.assign(std::bit_ceil(2 * kmers_.size()), 0);  // half full
            for (uint32_t n = 0; n < kmers_.size(); ++n) place(kmers_[n], n);
        } else {
            place(c, node);
        }
    }
    void place(W c, uint32_t node) {
        const size_t mask = slots_.size() - 1;
        const uint64_t hash = Packing<W>::hash(c);
        size_t i = hash & mask;
        while (slots_[i]) i = (i + 1) & mask;
        slots_[i] = uint64_t{node + 1} << 32 | hash >> 32;
    }

    int degree(uint32_t n, int side) const {
        return static_cast<int>(info_[n] >> (degreeShift + 4 * side) & 15);
    }
    bool written(uint32_t n) const { return info_[n] >> writtenBit & 1; }
    int endOf(uint32_t n, int side) const {
        return static_cast<int>(info_[n] >> (endShift + 2 * side) & 3);
    }

    // Calls f(m, t) for each join of side `side` of node n: side t of
    // node m (both sides of a palindromic m).
    template <class F>
    void forEachJoin(uint32_t n, int side, F&& f) const {
        const W c = kmers_[n];
        const W out = ((side ? c : pack_.reverseComplement(c)) << 2) & pack_.mask;
        for (unsigned b = 0; b < 4; ++b) {
            const W into = out | b, back = pack_.reverseComplement(into);
            const uint32_t m = find(std::min(into, back));
            if (m == none) continue;
            if (into <= back) f(m, 0);  // read as its canonical form: in by the left
            if (into >= back) f(m, 1);
        }
    }
    // The side by which the inner join of side `side` of n enters the
    // next node, when there is one.
    bool step(uint32_t n, int side, uint32_t& next, int& into) const {
        if (degree(n, side) != 1) return false;
        const uint32_t joined = joined_[2 * size_t{n} + static_cast<size_t>(side)];
        next = joined >> 1, into = static_cast<int>(joined & 1);
        return next != n && degree(next, into) == 1;
    }

    Packing<W> pack_;
    std::vector<W> kmers_;         // canonical, in the order first added
    std::vector<uint64_t> value_;  // the smallest p-value's bits, then the unitig
    std::vector<uint64_t> info_;
    std::string texts_;  // p-value texts, each ended by a newline
    std::vector<uint64_t> slots_;
    std::vector<uint32_t> joined_;  // of a side with one join: 2 m + t of the side it joins
};

template <class W>
UnitigCounts Graph<W>::write(UnitigSink& sink, const char* group,
                             const std::function<double(double)>& adjust) {
    const uint32_t nodes = static_cast<uint32_t>(kmers_.size());
    base = sink.next;
    // The joins of every side, a few nodes at a time: the slots of their
    // neighbours are fetched together.
    joined_.assign(2 * size_t{nodes}, 0);
    constexpr uint32_t batch = 8;
    W keys[batch][8];
    uint64_t hashes[batch][8];
    const size_t slotMask = slots_.size() - 1;
    for (uint32_t from = 0; from < nodes; from += batch) {
        const uint32_t to = std::min(nodes, from + batch);
        for (uint32_t n = from; n < to; ++n)
            for (int side = 0; side < 2; ++side) {
                const W c = kmers_[n];
                const W out = ((side ? c : pack_.reverseComplement(c)) << 2) & pack_.mask;
                for (unsigned b = 0; b < 4; ++b) {
                    const W into = out | b;
                    W& key = keys[n - from][4 * side + b];
                    key = std::min(into, pack_.reverseComplement(into));
                    hashes[n - from][4 * side + b] = Packing<W>::hash(key);
                    __builtin_prefetch(&slots_[hashes[n - from][4 * side + b] & slotMask]);
                }
            }
        // The k-mers of the slots that look like theirs, fetched together.
        for (uint32_t n = from; n < to; ++n)
            for (int j = 0; j < 8; ++j) {
                const uint64_t slot = slots_[hashes[n - from][j] & slotMask];
                if (slot && static_cast<uint32_t>(slot) == hashes[n - from][j] >> 32)
                    __builtin_prefetch(&kmers_[(slot >> 32) - 1]);
            }
        for (uint32_t n = from; n < to; ++n)
            for (int side = 0; side < 2; ++side) {
                uint64_t joins = 0;
                for (unsigned b = 0; b < 4; ++b) {
                    const W key = keys[n - from][4 * side + b];
                    const uint32_t m = find(key, hashes[n - from][4 * side + b]);
                    if (m == none) continue;
                    // Both sides of a palindromic k-mer; else the left one
                    // when the k-mer read in is the canonical one.
                    const W into = ((side ? kmers_[n] : pack_.reverseComplement(kmers_[n])) << 2 &
                                    pack_.mask) |
                                   b;
                    joins += 1 + (key == pack_.reverseComplement(key));
                    joined_[2 * size_t{n} + static_cast<size_t>(side)] = m << 1 | (into != key);
                }
                info_[n] |= std::min<uint64_t>(joins, 15) << (degreeShift + 4 * side);
            }
    }

    UnitigCounts counts;
    // A unitig: each node and the side it is entered by, read left to right.
    std::vector<std::pair<uint32_t, int>> path, back;
    std::string sequence;
    char text[shortestLength + 24];
    const int k = pack_.k;
    for (uint32_t start = 0; start < nodes; ++start) {
        if (written(start)) continue;
        // Onwards from `start`, read as its canonical form (entered by its
        // left side), to the unitig's last node or round a cycle; then, but
        // for a cycle, back from it to the first node.
        uint32_t next = none;
        int into = 0;
        bool cycle = false;
        path.clear();
        path.emplace_back(start, 0);
        while (path.size() <= nodes &&
               step(path.back().first, 1 - path.back().second, next, into)) {
            if ((cycle = next == start)) break;
            path.emplace_back(next, into);
        }
        if (!cycle) {
            back.clear();
            uint32_t at = start;
            int side = 0;
            while (back.size() <= nodes && step(at, side, next, into)) {
                back.emplace_back(next, 1 - into);  // entered by the side not stepped in by
                at = next, side = 1 - into;
            }
            if (!back.empty()) {
                std::reverse(back.begin(), back.end());
                path.insert(path.begin(), back.begin(), back.end());
            }
        }
        if (cycle) {
            // Cut before the smallest k-mer, read as its canonical form.
            size_t at = 0;
            for (size_t i = 1; i < path.size(); ++i)
                if (kmers_[path[i].first] < kmers_[path[at].first]) at = i;
            if (path[at].second == 1) {
                // Read the other way round.
                std::reverse(path.begin(), path.end());
                for (auto& [node, entered] : path) entered = 1 - entered;
                at = path.size() - 1 - at;
            }
            std::rotate(path.begin(), path.begin() + static_cast<ptrdiff_t>(at), path.end());
        }
        // The sequence: the first k-mer as entered, then one base a node.
        sequence.resize(path.size() + static_cast<size_t>(k) - 1);
        {
            const auto [n, entered] = path.front();
            pack_.decode(entered ? pack_.reverseComplement(kmers_[n]) : kmers_[n], sequence.data());
        }
        for (size_t i = 1; i < path.size(); ++i) {
            const auto [n, entered] = path[i];
            const W kmer = entered ? pack_.reverseComplement(kmers_[n]) : kmers_[n];
            sequence[i + static_cast<size_t>(k) - 1] = bases[static_cast<unsigned>(kmer & 3)];
        }
        if (!cycle) {
            // The smaller of the sequence and its reverse complement.
            const size_t length = sequence.size();
            int order = 0;
            for (size_t i = 0; i < length && !order; ++i) {
                const char back =
                    bases[3 - baseCodes.code[static_cast<unsigned char>(sequence[length - 1 - i])]];
                order = (back > sequence[i]) - (back < sequence[i]);
            }
            if (order < 0) {
                std::reverse(sequence.begin(), sequence.end());
                for (char& b : sequence)
                    b = bases[3 - baseCodes.code[static_cast<unsigned char>(b)]];
                std::reverse(path.begin(), path.end());
                for (auto& [node, entered] : path) entered = 1 - entered;
            }
        }

        const uint64_t number = sink.next++;
        const uint32_t local = static_cast<uint32_t>(number - base);
        // The smallest p-value: of the node added first among those with it.
        uint32_t lowest = path.front().first;
        for (const auto& [n, entered] : path) {
            const double p = std::bit_cast<double>(value_[n]);
            const double best = std::bit_cast<double>(value_[lowest]);
            if (p < best || (p == best && n < lowest)) lowest = n;
        }
        const double p = std::bit_cast<double>(value_[lowest]);
        const char* pText = texts_.data() + (info_[lowest] & offsetMask);
        const size_t pLength = static_cast<size_t>(std::strchr(pText, '\n') - pText);
        for (const auto& [n, entered] : path) {
            info_[n] |= uint64_t{1} << writtenBit;
            value_[n] = local;
        }
        // The ends: the side entered first, and the side left last.
        info_[path.front().first] |= uint64_t{1} << (endShift + 2 * path.front().second);
        info_[path.back().first] |= uint64_t{2} << (endShift + 2 * (1 - path.back().second));

        ++counts.unitigs;
        counts.longest = std::max<uint64_t>(counts.longest, sequence.size());
        OutputFile& out = sink.out;
        const char separator = sink.gfa ? '\t' : ' ';
        if (sink.gfa) {
            out.put("S\t");
        } else {
            out.put('>');
        }
        out.commit(formatDecimal(out.reserve(24), number));
        if (sink.gfa) {
            out.put('\t');
            out.write(sequence.data(), sequence.size());
        }
        out.put(separator);
        out.put("LN:i:");
        out.commit(formatDecimal(out.reserve(24), sequence.size()));
        out.put(separator);
        out.put("KC:i:");
        out.commit(formatDecimal(out.reserve(24), path.size()));
        out.put(separator);
        out.put("GR:Z:");
        out.put(group);
        out.put(separator);
        out.put("PV:Z:");
        out.write(pText, pLength);
        out.put(separator);
        out.put("PA:f:");
        out.write(text, formatShortest(text, adjust(p)));
        out.put('\n');
        if (!sink.gfa) {
            out.write(sequence.data(), sequence.size());
            out.put('\n');
            continue;
        }
        // The joins of this unitig's ends to unitigs written before it, or
        // to its own ends (each once).
        const std::pair<uint32_t, int> ends[2] = {path.front(),
                                                  {path.back().first, 1 - path.back().second}};
        for (int e = 0; e < 2; ++e) {
            const uint32_t n = ends[e].first;
            const int s = ends[e].second;
            forEachJoin(n, s, [&](uint32_t m, int t) {
                if (!written(m)) return;
                const uint64_t other = base + value_[m];
                if (other == number && std::pair(m, t) < std::pair(n, s)) return;
                const int end = endOf(m, t);
                if (end == 0) throw std::logic_error("a join into a unitig's inside");
                out.put("L\t");
                out.commit(formatDecimal(out.reserve(24), number));
                out.put(e == 0 ? "\t-\t" : "\t+\t");
                out.commit(formatDecimal(out.reserve(24), other));
                out.put(end == 1 ? "\t+\t" : "\t-\t");
                out.commit(formatDecimal(out.reserve(24), static_cast<uint64_t>(k - 1)));
                out.put("M\n");
            });
        }
    }
    for (uint32_t& r : records) r = static_cast<uint32_t>(value_[r]);
    std::vector<W>().swap(kmers_);
    std::vector<uint64_t>().swap(value_);
    std::vector<uint64_t>().swap(info_);
    std::vector<uint64_t>().swap(slots_);
    std::vector<uint32_t>().swap(joined_);
    std::string().swap(texts_);
    return counts;
}

}  // namespace

GroupUnitigs::GroupUnitigs(int k) {
    if (k <= 32)
        graph_ = std::make_unique<::Graph<uint64_t>>(k);
    else
        graph_ = std::make_unique<::Graph<Word128>>(k);
}

GroupUnitigs::~GroupUnitigs() = default;

void GroupUnitigs::add(std::string_view kmer, double p, std::string_view pText) {
    graph_->add(kmer, p, pText);
}

UnitigCounts GroupUnitigs::write(UnitigSink& sink, const char* group,
                                 const std::function<double(double)>& adjust) {
    return graph_->write(sink, group, adjust);
}

const std::vector<uint32_t>& GroupUnitigs::unitigOfRecords() const {
    return graph_->records;
}

uint64_t GroupUnitigs::base() const {
    return graph_->base;
}

bool unitigAlphabet(std::string_view kmer, size_t& bad) {
    for (size_t i = 0; i < kmer.size(); ++i)
        if (baseCodes.code[static_cast<unsigned char>(kmer[i])] == 4) return bad = i, false;
    return true;
}
