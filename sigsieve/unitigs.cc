#include "unitigs.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "failure.h"
#include "large_memory.h"
#include "numbers.h"
#include "output_file.h"
#include "pvalue.h"
#include "simd/kernels.h"

namespace {

// Eight bytes at once: 0x80 in each byte of x that is 0, else 0 (exact,
// with no carry from one byte into the next).
constexpr uint64_t byteOnes = 0x0101010101010101u;
inline uint64_t zeroBytes(uint64_t x) {
    constexpr uint64_t low = 0x7F7F7F7F7F7F7F7Fu;
    return ~(((x & low) + low) | x | low);
}

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

// A p-value text's length in a byte below this, else this and four bytes.
constexpr uint8_t longText = 255;

// The reverse complement of the 32 bases of x.
inline uint64_t reverseComplement64(uint64_t x) {
    x = ~x;
    x = (x >> 2 & 0x3333333333333333u) | (x & 0x3333333333333333u) << 2;
    x = (x >> 4 & 0x0F0F0F0F0F0F0F0Fu) | (x & 0x0F0F0F0F0F0F0F0Fu) << 4;
    return __builtin_bswap64(x);
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
    void decode(W x, char* out) const {
        for (int i = k - 1; i >= 0; --i, x >>= 2) out[i] = bases[static_cast<unsigned>(x & 3)];
    }
};

}  // namespace

// The nodes of a group and their joins, for one width of packed k-mer.
struct GroupUnitigs::Graph {
    virtual ~Graph() = default;
    virtual void add(const uint64_t* packed, std::string_view texts, size_t count) = 0;
    virtual UnitigCounts write(UnitigSink& sink, const char* group,
                               const std::function<double(double)>& adjust) = 0;
    LargeVector<uint32_t> records;  // after write, the unitig of each record added
    uint64_t base = 0;
};

namespace {

constexpr uint32_t none = UINT32_MAX;
// The path of a node alone, entered by its left side: kept in no list, as
// most passing k-mers are such unitigs. No other path's number, as a group
// holds fewer than 2^31 nodes.
constexpr uint32_t single = UINT32_MAX >> 1;

// An item to sort by its key, and what it stands for: a side of a node,
// or (for GFA) a node. Packed: there are two per node.
template <class W>
struct __attribute__((packed)) Keyed {
    W key;
    uint32_t id;
};

// Sorts make(0), ..., make(n - 1) by their keys (of `bits` bits), equal
// keys in the order made, in `parts` parts (a power of 2) by the keys' top
// bits, in `buffer`, which holds the largest part: each(first, last) gets
// the sorted items a stretch at a time, in order, items whose keys differ
// only in their `together` low bits in one stretch. Two counting sorts,
// each on few enough buckets to stay in the caches: one pass counts the
// items of each bucket of top bits; then for each part one places its
// items by bucket, and each bucket (about 2000 items, or as a whole when
// skewed keys make it far larger) is sorted by its next bits in a small
// buffer and finished by insertion, which moves an item only among those
// of its own small bucket (sorted as a whole when one holds more than 32).
// Unless `ordered`, the items of a stretch are only grouped: those whose
// keys differ only in their `together` low bits next to each other, equal
// keys in the order made. Such items share a small bucket, so only the
// small buckets of three or more are finished, in the small buffer, which
// each() then gets.
template <class Item, class Make, class Each>
void sortInParts(size_t n, int bits, int together, int parts, bool ordered,
                 LargeVector<Item>& buffer, Make&& make, Each&& each) {
    const int partBits = std::countr_zero(static_cast<unsigned>(parts));
    const int topBits =
        std::clamp(static_cast<int>(std::bit_width(n)) - 11, std::max(partBits, 1), 16);
    const int shift = std::max({together, bits - topBits, 0});
    const int perPartBits = topBits - partBits;  // a bucket's part: its top bits
    const size_t buckets = size_t{1} << topBits, perPart = size_t{1} << perPartBits;
    const auto bucket = [shift](const Item& item) {
        return static_cast<size_t>(item.key >> shift);
    };
    std::vector<uint32_t> at(buckets + 1, 0);  // n is below 2^32
    // So that each part makes only its own: padded to whole words, with
    // no part's number.
    LargeVector<uint8_t> partOf(parts > 1 ? (n + 63) / 64 * 64 : 0, 0xFF);
    for (size_t i = 0; i < n; ++i) {
        const size_t b = bucket(make(i));
        ++at[b + 1];
        if (parts > 1) partOf[i] = static_cast<uint8_t>(b >> perPartBits);
    }
    size_t largest = 0, largestBucket = 0;
    for (size_t b = 1; b < at.size(); ++b) {
        largestBucket = std::max<size_t>(largestBucket, at[b]);
        at[b] += at[b - 1];
    }
    for (int part = 0; part < parts; ++part)
        largest = std::max<size_t>(largest, at[(part + 1) * perPart] - at[part * perPart]);
    buffer.resize(largest);
    constexpr size_t smallest = 32, largestSmall = size_t{1} << 16;
    std::vector<Item> small(std::min(largestBucket, largestSmall));
    std::vector<uint32_t> smallAt;
    const auto byKey = [](const Item& a, const Item& b) { return a.key < b.key; };
    const auto insertionSort = [](Item* first, Item* last) {
        for (Item* i = first + 1; i < last; ++i) {
            const Item item = *i;
            Item* j = i;
            for (; j > first && item.key < j[-1].key; --j) *j = j[-1];
            *j = item;
        }
    };
    for (int part = 0; part < parts; ++part) {
        const size_t from = at[part * perPart], to = at[(part + 1) * perPart];
        if (from == to) continue;
        Item* out = buffer.data() - from;  // item j of the part at out[j]
        const auto place = [&](size_t i) {
            const Item item = make(i);
            out[at[bucket(item)]++] = item;
        };
        if (parts == 1) {
            for (size_t i = 0; i < n; ++i) place(i);
        } else {
            // The part's items 64 at a time, from a mask of them: no branch
            // on each item's part, which is as good as random.
            const uint64_t wanted = byteOnes * static_cast<uint8_t>(part);
            for (size_t i = 0; i < n; i += 64) {
                uint64_t mask = 0;
                for (int w = 0; w < 8; ++w) {
                    uint64_t x;
                    std::memcpy(&x, &partOf[i + 8 * static_cast<size_t>(w)], 8);
                    const uint64_t in = zeroBytes(x ^ wanted) >> 7;  // 1 in its bytes
                    mask |= (in * 0x0102040810204080u >> 56) << (8 * w);
                }
                for (; mask; mask &= mask - 1)
                    place(i + static_cast<size_t>(std::countr_zero(mask)));
            }
        }
        // at[b] is now where bucket b ends, and at[b - 1] where it starts.
        for (size_t b = part * perPart, start = from; b < (part + 1) * perPart; start = at[b++]) {
            Item* first = out + start;
            const size_t m = at[b] - start;
            // By the next bits, about one item to a small bucket.
            const int smallBits = std::min(static_cast<int>(std::bit_width(m)), shift);
            if (m > smallest && m <= largestSmall && smallBits > 0) {
                const int smallShift = shift - smallBits;
                const uint64_t smallMask = (uint64_t{1} << smallBits) - 1;
                const auto smallBucket = [&](const Item& item) {
                    return static_cast<size_t>(static_cast<uint64_t>(item.key >> smallShift) &
                                               smallMask);
                };
                smallAt.assign((size_t{1} << smallBits) + 1, 0);
                for (size_t i = 0; i < m; ++i) ++smallAt[smallBucket(first[i]) + 1];
                uint32_t most = 0;
                for (size_t s = 1; s < smallAt.size(); ++s) {
                    most = std::max(most, smallAt[s]);
                    smallAt[s] += smallAt[s - 1];
                }
                for (size_t i = 0; i < m; ++i) small[smallAt[smallBucket(first[i])]++] = first[i];
                if (!ordered && smallShift >= together) {
                    Item* const to = small.data();
                    for (size_t s = 0, begin = 0; s + 1 < smallAt.size(); begin = smallAt[s++])
                        if (smallAt[s] - begin > smallest)
                            std::stable_sort(to + begin, to + smallAt[s], byKey);
                        else if (smallAt[s] - begin > 2)
                            insertionSort(to + begin, to + smallAt[s]);
                    each(to, to + m);
                    continue;
                }
                std::memcpy(static_cast<void*>(first), small.data(), m * sizeof(Item));
                if (most > smallest)  // (skewed keys) the large ones sorted on their own
                    for (size_t s = 0, begin = 0; s + 1 < smallAt.size(); begin = smallAt[s++])
                        if (smallAt[s] - begin > smallest)
                            std::stable_sort(first + begin, first + smallAt[s], byKey);
            } else if (m > smallest) {
                std::stable_sort(first, first + m, byKey);
                each(first, first + m);
                continue;
            }
            insertionSort(first, first + m);
            each(first, first + m);  // while it is in the caches
        }
    }
}

template <class W>
class Graph final : public GroupUnitigs::Graph {
  public:
    explicit Graph(int k) : pack_(k), ends_(k - 1) {}

    void add(const uint64_t* packed, std::string_view texts, size_t count) override {
        if (count > maxKmers - kmers_.size()) fail("--unitigs: too many k-mers in a group");
        static_assert(sizeof(W) % sizeof(uint64_t) == 0 &&
                      std::endian::native == std::endian::little);
        kmers_.insert(kmers_.end(), reinterpret_cast<const W*>(packed),
                      reinterpret_cast<const W*>(packed) + count);
        texts_.insert(texts_.end(), texts.begin(), texts.end());
    }

    UnitigCounts write(UnitigSink& sink, const char* group,
                       const std::function<double(double)>& adjust) override;

  private:
    // Sides are numbered 2 n + s, so a group holds fewer nodes than this.
    static constexpr size_t maxKmers = size_t{1} << 31;

    W endComplement(W e) const { return ends_.k ? ends_.reverseComplement(e) : 0; }
    // The key of a side: the canonical form of its exit (the k - 1
    // characters left by it: the k-mer's last ones read onwards on the
    // right, the reverse complement of its first ones on the left), then
    // whether the exit is the reverse complement of that. Two sides join
    // when their exits are each other's reverse complements.
    W sideKey(W c, int side) const {
        const W back = pack_.reverseComplement(c);
        const W exit = (side ? c : back) & ends_.mask, exitBack = (side ? back : c) >> 2;
        return std::min(exit, exitBack) << 1 | W{exit > exitBack};
    }

    // Calls f(m, t) for each join of side `side` of node n: side t of node
    // m, in the order of the base they add, then t.
    template <class F>
    void forEachJoin(uint32_t n, int side, F&& f) const;
    bool step(uint32_t n, int side, uint32_t& next, int& into) const {
        const uint32_t link = links_[2 * size_t{n} + static_cast<size_t>(side)];
        if (link == none) return false;
        next = link >> 1, into = static_cast<int>(link & 1);
        return next != n;
    }

    Packing<W> pack_, ends_;
    LargeVector<W> kmers_;  // of each record, canonical
    // The p-value texts, each after its length (see appendPText).
    LargeVector<char> texts_;
    // The text at `at`, which is moved on to the next one.
    std::string_view nextText(size_t& at) const {
        size_t length = static_cast<uint8_t>(texts_.data()[at++]);
        if (length == longText) {
            uint32_t longer;
            std::memcpy(&longer, texts_.data() + at, sizeof longer);
            length = longer, at += sizeof longer;
        }
        at += length;
        return {texts_.data() + at - length, length};
    }
    // The nodes are the records (numbered as added, their k-mers in
    // kmers_), but for a record whose k-mer, or its reverse complement, an
    // earlier record holds: that is no node, but a copy (see write). Of
    // each node: of each side 2 n + s with an inner join, the side 2 m + t
    // it joins; the number of its path (or `single`, then its unitig's
    // number, marked as written); its first letter's code times 4 plus its
    // last one's (so that a walk reads the letter it adds from one byte of
    // the node).
    LargeVector<uint8_t> letters_;
    LargeVector<uint32_t> links_, unitig_;
    LargeVector<uint64_t> joined_;  // for GFA: a bit for each side with a join
    LargeVector<Keyed<W>> sorted_;  // for GFA: nodes by k-mer (see write)
    LargeVector<uint8_t> endsOf_;   // for GFA: which end of its unitig each side is
    // The paths between two ends, each node as 2 n + the side it is
    // entered by (but those of one node: see `single`).
    LargeVector<uint32_t> paths_;
    // Where each path starts in paths_, then where they end; the cycles'
    // after the others', from cycles_ on.
    LargeVector<uint32_t> spans_;
    uint32_t cycles_ = 0;
    void findPaths();
};

template <class W>
template <class F>
void Graph<W>::forEachJoin(uint32_t n, int side, F&& f) const {
    const size_t id = 2 * size_t{n} + static_cast<size_t>(side);
    if (!(joined_[id / 64] >> (id % 64) & 1)) return;
    // The k-mers read in after the side's last k - 1 letters, looked up
    // among the nodes with ends sorted by k-mer.
    const W c = kmers_[n];
    const W out = ((side ? c : pack_.reverseComplement(c)) << 2) & pack_.mask;
    for (unsigned b = 0; b < 4; ++b) {
        const W into = out | b, back = pack_.reverseComplement(into), key = std::min(into, back);
        const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), key,
                                         [](const Keyed<W>& a, W v) { return a.key < v; });
        if (it == sorted_.end() || it->key != key) continue;
        const uint32_t m = it->id;
        if (into <= back) f(m, 0);  // read as its canonical form: in by the left
        if (into >= back) f(m, 1);
    }
}

// Walks every path from one of its ends to the other, many at once: each
// walk's next node is fetched while the others take their steps. A side
// ends a path when it has no inner join, or one to its own node. Both ends
// of a path may start a walk; the one from the lower side keeps it. Then
// walks each cycle (a path with no end) from its smallest k-mer, read as
// its canonical form (entered by its left side).
template <class W>
void Graph<W>::findPaths() {
    const size_t nodes = kmers_.size(), sides = 2 * nodes;
    paths_.reserve(nodes);
    spans_.reserve(nodes + 1);
    const auto keep = [this](const auto& path, auto side) {
        const uint32_t label = static_cast<uint32_t>(spans_.size());
        spans_.push_back(static_cast<uint32_t>(paths_.size()));
        for (const auto& s : path) {
            paths_.push_back(side(s));
            unitig_[side(s) >> 1] = label;
        }
    };
    const auto ends = [this](uint32_t n, int s) {
        const uint32_t link = links_[2 * size_t{n} + static_cast<size_t>(s)];
        return link == none || link >> 1 == n;
    };
    struct Walk {
        uint32_t node = 0, from = 0;
        int entered = 0;
        bool busy = false;
        std::vector<uint32_t> path;
    };
    constexpr int lanes = 16;
    Walk walks[lanes];
    size_t side = 0;  // the next side to start from
    for (bool busy = true; busy;) {
        busy = false;
        for (Walk& w : walks) {
            if (!w.busy) {
                while (side < sides && (unitig_[side >> 1] != none || !ends(side >> 1, side & 1)))
                    ++side;
                if (side == sides) continue;
                w.from = static_cast<uint32_t>(side);
                w.node = static_cast<uint32_t>(side >> 1), w.entered = static_cast<int>(side & 1);
                w.path.assign(1, w.from);
                w.busy = busy = true;
                ++side;
                continue;
            }
            busy = true;
            const int out = 1 - w.entered;
            const uint32_t link = links_[2 * size_t{w.node} + static_cast<size_t>(out)];
            if (!ends(w.node, out) && w.path.size() <= nodes) {
                w.node = link >> 1, w.entered = static_cast<int>(link & 1);
                w.path.push_back(link);
                __builtin_prefetch(&links_[2 * size_t{w.node}]);
                __builtin_prefetch(&unitig_[w.node], 1);  // for keep
                continue;
            }
            w.busy = false;
            if (w.from > 2 * w.node + static_cast<uint32_t>(out)) continue;
            if (w.path.size() == 1) {
                unitig_[w.node] = single;  // (entered by its left side, as kept)
                continue;
            }
            keep(w.path, [](uint32_t s) { return s; });
        }
    }
    cycles_ = static_cast<uint32_t>(spans_.size());
    std::vector<std::pair<uint32_t, int>> path;
    const auto around = [&](uint32_t start) {
        uint32_t next = none;
        int into = 0;
        path.assign(1, {start, 0});
        while (path.size() <= nodes &&
               step(path.back().first, 1 - path.back().second, next, into) && next != start)
            path.emplace_back(next, into);
        if (next != start) throw std::logic_error("a unitig on no path that is no cycle");
    };
    for (uint32_t start = 0; start < nodes; ++start) {
        if (unitig_[start] != none) continue;
        around(start);
        uint32_t smallest = start;
        for (const auto& [n, entered] : path)
            if (kmers_[n] < kmers_[smallest]) smallest = n;
        if (smallest != start) around(smallest);
        keep(path, [](const std::pair<uint32_t, int>& e) {
            return e.first << 1 | static_cast<uint32_t>(e.second);
        });
    }
    spans_.push_back(static_cast<uint32_t>(paths_.size()));
}

template <class W>
UnitigCounts Graph<W>::write(UnitigSink& sink, const char* group,
                             const std::function<double(double)>& adjust) {
    base = sink.next;
    const size_t added = kmers_.size();
    const int k = pack_.k;
    // Each record's node is itself, but for the copies: the records whose
    // k-mer (or its reverse complement) an earlier one has, each with the
    // first record with it, found as the sides are joined.
    std::vector<std::pair<uint32_t, uint32_t>> copies;

    // The joins: the sides by key, an eighth of them at a time. A side
    // has one join when its key's group holds exactly one side that it
    // joins and that one joins no other; a side whose exit is its own
    // reverse complement joins every side of its group, itself too. For
    // GFA, which sides have a join at all.
    links_.assign(2 * added, none);
    if (sink.gfa) joined_.assign((2 * added + 63) / 64, 0);
    const auto mark = [this](uint32_t id) { joined_[id / 64] |= uint64_t{1} << (id % 64); };
    // A group's sides less those of copies.
    std::vector<Keyed<W>> distinct;
    const auto join = [&](const Keyed<W>* first, const Keyed<W>* last) {
        for (const Keyed<W>* from = first; from < last;) {
            const W canonical = from->key >> 1;
            const Keyed<W>* to = from + 1;
            bool alike = false;
            for (; to < last && to->key >> 1 == canonical; ++to) alike |= to->key == to[-1].key;
            if (alike) {
                // The sides of one key are left by k-mers that read one of
                // four letters, then the exit: a side of a record whose
                // k-mer an earlier side of the key has is of that k-mer
                // listed again, and joins nothing. The k-mer's node is its
                // first record, as the sides of a key come in the order of
                // their records. (Both sides of a k-mer that is its own
                // reverse complement have one key: they are no copies.)
                distinct.clear();
                for (const Keyed<W>* side = from; side < to; ++side) {
                    const uint32_t node = side->id >> 1;
                    bool again = false;
                    for (auto d = distinct.rbegin(); d != distinct.rend() && d->key == side->key;
                         ++d) {
                        const uint32_t other = d->id >> 1;
                        if (other != node && kmers_[other] == kmers_[node]) {
                            // (Kept once: as met by its left side.)
                            if (!(side->id & 1)) copies.emplace_back(node, other);
                            again = true;
                            break;
                        }
                    }
                    if (!again) distinct.push_back(*side);
                }
            }
            const Keyed<W>* begin = alike ? distinct.data() : from;
            const Keyed<W>* end = alike ? distinct.data() + distinct.size() : to;
            const bool palindrome = endComplement(canonical) == canonical;
            const bool pair =
                palindrome ? end - begin == 1 : end - begin == 2 && begin[0].key != begin[1].key;
            if (pair) {
                const uint32_t a = begin->id, b = end[-1].id;
                links_[a] = b;
                links_[b] = a;
            }
            if (sink.gfa) {
                // Sides whose exits are each other's reverse complements
                // join: those of the two keys of a canonical form.
                const bool both = palindrome || ((begin->key ^ end[-1].key) & 1);
                if (both)
                    for (const Keyed<W>* side = begin; side < end; ++side) mark(side->id);
            }
            from = to;
        }
    };
    LargeVector<Keyed<W>> sides;
    sortInParts(
        2 * added, 2 * k - 1, 1, 8, false, sides,
        [&](size_t id) {
            return Keyed<W>{sideKey(kmers_.data()[id >> 1], static_cast<int>(id & 1)),
                            static_cast<uint32_t>(id)};
        },
        join);
    LargeVector<Keyed<W>>().swap(sides);
    if (sink.gfa) endsOf_.assign(2 * added, 0);
    // (A copy is on no path.)
    std::sort(copies.begin(), copies.end());  // (each once: see join)
    constexpr uint32_t listedBefore = single - 1;
    unitig_.assign(added, none);
    for (const auto& [copy, node] : copies) unitig_[copy] = listedBefore;
    // The node of each record in turn.
    const auto nodes = [&copies, next = size_t{0}](uint32_t r) mutable {
        return next < copies.size() && copies[next].first == r ? copies[next++].second : r;
    };
    UnitigCounts counts;
    // A unitig: each node and the side it is entered by, read left to right.
    std::vector<std::pair<uint32_t, int>> path;
    std::string sequence;
    char text[shortestLength + 24];
    findPaths();
    LargeVector<uint32_t>().swap(links_);
    if (sink.gfa) {
        // The nodes with an end of a unitig that has a join, by k-mer, for
        // the joins of the ends to be looked up: those joins are all to such
        // ends (a side with one join that is no inner one joins a side with
        // more, or its own node; a side with more joins only sides with
        // more). A cycle's ends are where it is cut.
        std::vector<uint32_t> ends;
        const auto end = [&](uint32_t side) {
            if (joined_[side / 64] >> (side % 64) & 1) ends.push_back(side >> 1);
        };
        for (uint32_t n = 0; n < added; ++n)
            if (unitig_[n] == single) end(2 * n), end(2 * n + 1);
        for (size_t label = 0; label + 1 < spans_.size(); ++label) {
            end(paths_[spans_[label]]);
            end(paths_[spans_[label + 1] - 1] ^ 1);
        }
        std::sort(ends.begin(), ends.end());
        ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
        sortInParts(
            ends.size(), 2 * k, 0, 1, true, sorted_,
            [&](size_t i) {
                return Keyed<W>{kmers_.data()[ends[i]], ends[i]};
            },
            [](Keyed<W>*, Keyed<W>*) {});
    }
    // The smallest p-value of each unitig and where its text starts, from
    // one pass over the texts in the order of their records, each read as
    // the records' p-values are: of a path's in one entry for the path, of a
    // node alone in the node's (so that a long unitig's nodes are not
    // visited again for it). The smallest is of the first record with it
    // among those of the node with the first record among the nodes with it.
    struct Best {
        double p;
        uint64_t text;
    };
    struct PathBest : Best {
        uint32_t node;
    };
    // (The arrays read in full first, so that they take the pages the
    // joins gave back.)
    records.resize(added);
    letters_.resize(added);
    for (size_t n = 0; n < added; ++n)
        letters_[n] = static_cast<uint8_t>((kmers_[n] >> (2 * k - 2)) << 2 | (kmers_[n] & 3));
    const size_t labels = spans_.size() - 1;
    LargeVector<PathBest> pathBest(labels, {{HUGE_VAL, 0}, none});
    LargeVector<Best> nodeBest(added);  // (touched for the nodes alone only)
    texts_.resize(texts_.size() + 32);  // (each text followed by 32 bytes)
    auto nodeOfText = nodes;
    for (size_t r = 0, at = 0; r < added; ++r) {
        const size_t textAt = at;
        const double p = paddedPValue(nextText(at));
        const uint32_t n = nodeOfText(static_cast<uint32_t>(r)), label = unitig_[n];
        const bool firstOfNode = n == r;
        if (label == single) {
            Best& b = nodeBest[n];
            if (firstOfNode || p < b.p) b = {p, textAt};
        } else {
            PathBest& b = pathBest[label];
            if (p < b.p || (p == b.p && n < b.node)) b = {{p, textAt}, n};
        }
    }
    // Once written, a path's unitig has its number in the group, and a node
    // alone has it in place of `single`, marked as written.
    constexpr uint32_t written = uint32_t{1} << 31;
    LargeVector<uint32_t> numbers(labels, none);
    const auto numberOf = [&](uint32_t n) {
        const uint32_t label = unitig_[n];
        return label == single ? none : label & written ? label & ~written : numbers[label];
    };
    auto nodeOfRecord = nodes;
    for (size_t record = 0; record < added; ++record) {
        // (What a path yet to be written holds, fetched a few records
        // ahead; all else is read in the order of the records.)
        constexpr size_t ahead = 8;
        if (record + ahead < added) {
            const uint32_t label = unitig_[record + ahead];
            if (label < labels && numbers[label] == none)
                __builtin_prefetch(&paths_[spans_[label]]);
        }
        const uint32_t start = nodeOfRecord(static_cast<uint32_t>(record));
        const uint32_t label = unitig_[start];
        if (const uint32_t number = numberOf(start); number != none) {
            records[record] = number;
            continue;
        }
        const bool cycle = label != single && label >= cycles_;
        if (label == single) {
            path.assign(1, {start, 0});
        } else {
            path.resize(spans_[label + 1] - spans_[label]);
            for (size_t i = 0; i < path.size(); ++i) {
                const uint32_t side = paths_[spans_[label] + i];
                path[i] = {side >> 1, static_cast<int>(side & 1)};
            }
        }
        // A cycle is kept cut before its smallest k-mer, read as its
        // canonical form; a path is read with `start` entered by its left
        // side.
        const auto readBackwards = [&path] {
            std::reverse(path.begin(), path.end());
            for (auto& [node, entered] : path) entered = 1 - entered;
        };
        if (!cycle && std::find_if(path.begin(), path.end(), [start](const auto& e) {
                          return e.first == start;
                      })->second == 1)
            readBackwards();
        // The sequence: the first k-mer as entered, then one base a node.
        sequence.resize(path.size() + static_cast<size_t>(k) - 1);
        {
            const auto [n, entered] = path.front();
            const W kmer = kmers_[n];
            pack_.decode(entered ? pack_.reverseComplement(kmer) : kmer, sequence.data());
        }
        // (The nodes of a path lie anywhere: those ahead are fetched.)
        constexpr size_t nodesAhead = 48;
        for (size_t i = 1; i < std::min(nodesAhead, path.size()); ++i)
            __builtin_prefetch(&letters_[path[i].first]);
        for (size_t i = 1; i < path.size(); ++i) {
            if (i + nodesAhead < path.size())
                __builtin_prefetch(&letters_[path[i + nodesAhead].first]);
            const auto [n, entered] = path[i];
            const unsigned letters = letters_[n];
            sequence[i + static_cast<size_t>(k) - 1] =
                bases[entered ? 3 - (letters >> 2) : letters & 3];
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
                readBackwards();
            }
        }

        const uint64_t number = sink.next++;
        records[record] = static_cast<uint32_t>(number - base);
        if (label == single)
            unitig_[start] = static_cast<uint32_t>(number - base) | written;
        else
            numbers[label] = static_cast<uint32_t>(number - base);
        const Best& best = label == single ? nodeBest[start] : pathBest[label];
        const double p = best.p;
        size_t textAt = best.text;
        const std::string_view pText = nextText(textAt);

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
        out.write(pText.data(), pText.size());
        out.put(separator);
        out.put("PA:f:");
        out.write(text, formatShortest(text, adjust(p)));
        out.put('\n');
        if (!sink.gfa) {
            out.write(sequence.data(), sequence.size());
            out.put('\n');
            continue;
        }
        // The ends: the side entered first, and the side left last.
        endsOf_[2 * size_t{path.front().first} + static_cast<size_t>(path.front().second)] |= 1;
        endsOf_[2 * size_t{path.back().first} + static_cast<size_t>(1 - path.back().second)] |= 2;
        // The joins of this unitig's ends to unitigs written before it, or
        // to its own ends (each once).
        const std::pair<uint32_t, int> ends[2] = {path.front(),
                                                  {path.back().first, 1 - path.back().second}};
        for (int e = 0; e < 2; ++e) {
            const uint32_t n = ends[e].first;
            const int s = ends[e].second;
            forEachJoin(n, s, [&](uint32_t m, int t) {
                const uint32_t of = numberOf(m);
                if (of == none) return;
                const uint64_t other = base + of;
                if (other == number && std::pair(m, t) < std::pair(n, s)) return;
                const int end = endsOf_[2 * size_t{m} + static_cast<size_t>(t)];
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
    LargeVector<W>().swap(kmers_);
    LargeVector<Keyed<W>>().swap(sorted_);
    LargeVector<uint64_t>().swap(joined_);
    LargeVector<uint8_t>().swap(endsOf_);
    LargeVector<uint8_t>().swap(letters_);
    LargeVector<PathBest>().swap(pathBest);
    LargeVector<Best>().swap(nodeBest);
    LargeVector<uint32_t>().swap(numbers);
    LargeVector<uint32_t>().swap(unitig_);
    LargeVector<uint32_t>().swap(paths_);
    LargeVector<uint32_t>().swap(spans_);
    LargeVector<char>().swap(texts_);
    releaseLargePages();
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

void GroupUnitigs::add(const uint64_t* packed, std::string_view texts, size_t count) {
    graph_->add(packed, texts, count);
}

UnitigCounts GroupUnitigs::write(UnitigSink& sink, const char* group,
                                 const std::function<double(double)>& adjust) {
    return graph_->write(sink, group, adjust);
}

std::span<const uint32_t> GroupUnitigs::unitigOfRecords() const {
    return {graph_->records.data(), graph_->records.size()};
}

uint64_t GroupUnitigs::base() const {
    return graph_->base;
}

bool packCanonical(std::string_view kmer, uint64_t* words) {
    // Packed with the first letter lowest, the letters' complements read
    // as packed with the first highest: the reverse complement.
    uint64_t bases[2];
    if (!simd::kernels().packBases(kmer.data(), kmer.size(), bases)) return false;
    if (kmer.size() <= 32) {
        const Packing<uint64_t> pack(static_cast<int>(kmer.size()));
        const uint64_t back = ~bases[0] & pack.mask;
        words[0] = pack.canonical(back);
    } else {
        const Packing<Word128> pack(static_cast<int>(kmer.size()));
        const Word128 back = ~(Word128{bases[1]} << 64 | bases[0]) & pack.mask;
        const Word128 x = pack.canonical(back);
        words[0] = static_cast<uint64_t>(x), words[1] = static_cast<uint64_t>(x >> 64);
    }
    return true;
}

void appendPText(std::string& texts, std::string_view text) {
    if (text.size() < longText) {
        texts.push_back(static_cast<char>(text.size()));
    } else {
        const uint32_t length = static_cast<uint32_t>(text.size());  // a line's part
        texts.push_back(static_cast<char>(longText));
        texts.append(reinterpret_cast<const char*>(&length), sizeof length);
    }
    texts.append(text);
}
