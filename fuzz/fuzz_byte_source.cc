// The byte sources over arbitrary bytes, and over valid gzip and zstd
// streams (made by the tools' own sinks) that are then cut or damaged.
// A valid stream must decode to exactly its text; a cut or damaged one
// must end in an error or in exactly its text, never in other text. When
// a one-member stream is damaged, a record error at any point of it is
// never reported: checking the rest of the member finds the damage, unless
// the damage lies after the member, whose text then came out whole.
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "sink.h"
#include "source.h"
#include "task_pool.h"

namespace {

// Reads the whole source in reads of at most `step` bytes. Returns false
// when it failed.
// A pool of one thread, for the decoders that use threads.
TaskPool& poolOf(int threads) {
    static TaskPool one(1);
    return threads ? one : RunThreads::none().pool();
}

bool readAll(int fd, int threads, size_t step, std::string& text) {
    text.clear();
    std::string problem;
    const auto source = openSource(fd, "input", poolOf(threads), &problem);
    if (!source) {
        CHECK(!problem.empty());
        return false;
    }
    char buf[4096];
    for (;;) {
        const ssize_t got = source->read(buf, step);
        CHECK(got >= -1 && got <= static_cast<ssize_t>(step));
        if (got < 0) {
            CHECK(source->errorNumber() != 0);
            return false;
        }
        if (got == 0) return true;
        text.append(buf, static_cast<size_t>(got));
    }
}

// Reads `reads` reads of the source, then asks whether the member holding
// the last byte read is whole. Returns that answer, or false when the
// source failed first or gave no byte (no record can be blamed then).
bool memberWhole(int fd, int threads, size_t step, int reads) {
    std::string problem;
    const auto source = openSource(fd, "input", poolOf(threads), &problem);
    if (!source) return false;
    char buf[4096];
    uint64_t offset = 0;
    for (int i = 0; i < reads; ++i) {
        const ssize_t got = source->read(buf, step);
        if (got < 0) return false;
        if (got == 0) break;
        offset += static_cast<uint64_t>(got);
    }
    return offset > 0 && source->verifyThrough(offset);
}

// Whether the bytes start like a compressed format, read or refused.
bool compressedMagic(const std::string& s) {
    for (const char* magic :
         {"\x1f\x8b", "\x28\xb5\x2f\xfd", "\x04\x22\x4d\x18", "PK\x03\x04", "BZh"})
        if (s.rfind(magic, 0) == 0) return true;
    return s.size() >= 4 && (s[0] & 0xf0) == 0x50 && s.compare(1, 3, "\x2a\x4d\x18") == 0;
}

// `text` compressed by the sink for `name`, in `members` parts.
std::string compressed(const std::string& text, const char* name, int members) {
    const int fd = memoryFile("", 1);
    const size_t bounds[] = {0, members > 1 ? text.size() / 2 : text.size(), text.size()};
    for (int m = 0; m < members; ++m) {
        const auto sink = openSink(fd, name, RunThreads::none());
        const size_t from = bounds[m], to = bounds[m + 1];
        CHECK(sink->write(text.data() + from, to - from) == 0 && sink->finish() == 0);
    }
    return contents(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t mode = data[0], where = data[1], how = data[2];
    const int threads = mode & 1;
    const size_t step = size_t{1} << (mode >> 1) % 13;
    const std::string rest(reinterpret_cast<const char*>(data) + 4, size - 4);
    std::string text;

    if ((mode & 6) == 0) {
        // Arbitrary bytes: no crash, and text stays as it is. Binary data
        // (a NUL in the first 64 KiB) is refused.
        const bool ok = readAll(memoryFile(rest), threads, step, text);
        const bool binary = rest.substr(0, 65536).find('\0') != std::string::npos;
        if (!compressedMagic(rest)) CHECK(ok == !binary && (binary || text == rest));
        return 0;
    }
    const bool gzip = mode & 2;
    const int members = 1 + (data[3] & 1);
    std::string stream = compressed(rest, gzip ? "x.gz" : "x.zst", members);
    CHECK(readAll(memoryFile(stream), threads, step, text) && text == rest);

    const size_t at = (size_t{where} << 8 | how) % stream.size();
    const size_t magicSize = gzip ? 2 : 4;
    if (data[3] & 2) {
        // Cut at `at`: an error, unless the cut falls where a member ends
        // or so early that the data is no longer recognised.
        stream.resize(at);
        const bool ok = readAll(memoryFile(stream), threads, step, text);
        if (at < magicSize) {
            CHECK(ok && text == stream);
        } else if (ok) {
            CHECK(members == 2 && text == rest.substr(0, rest.size() / 2));
        } else if (members == 1 &&
                   memberWhole(memoryFile(stream), threads, step, 1 + (data[3] >> 3))) {
            CHECK(text == rest);
        }
    } else {
        // One byte changed at `at`.
        stream[at] = static_cast<char>(stream[at] ^ (data[3] | 4));
        const bool ok = readAll(memoryFile(stream), threads, step, text);
        if (at < magicSize) {
            if (ok) CHECK(text == stream);
        } else if (ok) {
            CHECK(text == rest);
        } else if (members == 1 &&
                   memberWhole(memoryFile(stream), threads, step, 1 + (data[3] >> 3))) {
            CHECK(text == rest);
        }
    }
    return 0;
}
