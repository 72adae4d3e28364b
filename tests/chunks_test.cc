// Record work on several threads against one thread: random records (blank
// lines, CRLF, long lines, a bad line anywhere; k-mers joined into unitigs,
// one unfit for them anywhere) read in chunks of random sizes by 1 to 4
// workers, cut in memory or read as byte ranges of the file, give the same
// output and the same message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cohortmeans.h"
#include "decoders.h"
#include "filter.h"
#include "memory_file.h"
#include "ordered_pipeline.h"
#include "sigsieve.h"
#include "task_pool.h"

namespace {

// With `bases`: k-mers of five bases, most of them passing, and rarely
// one unfit for unitigs.
std::string randomLines(std::mt19937_64& rng, bool bases = false) {
    std::string text;
    const int lines = static_cast<int>(rng() % 300);
    for (int i = 0; i < lines; ++i) {
        if (bases) {
            std::string kmer;
            for (int b = 0; b < 5; ++b) kmer += "ACGTacgt"[rng() % 8];
            if (rng() % 500 == 0) kmer[rng() % 5] = 'N';
            text += kmer + " 1 2 " + std::to_string((rng() % 1000) / 999.0 * 6e-4);
            text += rng() % 5 ? "\n" : "\r\n";
            if (rng() % 10) continue;
        }
        switch (rng() % 40) {
            case 0:
                text += "\n";  // blank
                continue;
            case 1:
                text += "x 1 2\n";  // too few fields
                continue;
            case 2:
                text += std::string(rng() % 5000, 'A') +
                        (bases ? " 1 2 1e-4\r\n" : " 1 2 0.001\r\n");  // long
                continue;
            case 3:
                text += "k 1 2 " + std::string(rng() % 2 ? "nan" : "abc") + " 3 4\n";
                continue;
        }
        text += "K" + std::to_string(i) + "\t1 2 " + std::to_string((rng() % 1000) / 999.0);
        text += rng() % 5 ? "\n" : "\r\n";
    }
    if (rng() % 3 == 0 && !text.empty()) text.pop_back();  // no final newline
    return text;
}

// Runs `step` (which may fail) and gives its output and message.
template <class Step>
std::pair<std::string, std::string> outcome(Step&& step) {
    std::string message;
    const int outFd = memoryFile("", 1);
    {
        OutputFile out(outFd, "out", 64);
        try {
            step(out);
        } catch (const Failure& f) {
            message = f.message;
        }
        out.flush();
    }
    return {contents(outFd), message};
}

TEST(Chunks, ManyThreadsReadAsOne) {
    std::mt19937_64 rng(11);
    const Threshold threshold = makeThreshold(int64_t{100});
    for (int round = 0; round < 400; ++round) {
        // Every other round joins the passing k-mers into unitigs too.
        const bool unitigs = round % 2;
        const std::string input = randomLines(rng, unitigs);
        const int workers = 1 + static_cast<int>(rng() % 4);
        TaskPool pool(workers);
        const size_t chunkSize = 1 + rng() % 4096;
        // Chunks cut by the calling thread, or byte ranges of the file cut
        // by the workers.
        enum Mode { One, Cut, Ranges };
        const auto run = [&](Mode mode) {
            return outcome([&](OutputFile& out) {
                const int fd = memoryFile(input);
                const auto source = mode == Ranges
                                        ? openSource(fd, "in", RunThreads::none().pool(), nullptr)
                                        : plainSource(fd);
                Sieve sieve(threshold, &out);
                int k = 0;
                std::unique_ptr<GroupUnitigs> kmers;
                if (unitigs) sieve.unitigK = &k, sieve.unitigs = &kmers;
                if (mode == One)
                    filter(*source, "in", sieve);
                else
                    filter(*source, "in", sieve, {&pool, chunkSize, 1 << 16, true});
                if (kmers) {
                    UnitigSink sink{out, false};
                    kmers->write(sink, "case", [](double p) { return p; });
                }
            });
        };
        const auto one = run(One);
        for (Mode mode : {Cut, Ranges}) {
            const auto many = run(mode);
            ASSERT_EQ(many.second, one.second) << round << " " << mode;
            ASSERT_TRUE(many.first == one.first)
                << round << " " << mode << " [" << input << "] " << workers << " " << chunkSize
                << ": " << many.first;
        }
    }
}

// cohortmeans in chunks: the same sums to the last bit of the value (added
// in row order) and the same message, whatever the chunks.
TEST(Chunks, TableSumsAreTheSameToTheLastBit) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> value(-1e6, 1e6);
    for (int round = 0; round < 200; ++round) {
        std::string table;
        const int rows = static_cast<int>(rng() % 400);
        for (int i = 0; i < rows; ++i) {
            char number[32];
            std::snprintf(number, sizeof number, "%.17g", value(rng) * (rng() % 2 ? 1e-9 : 1));
            table += rng() % 30  ? "k 1 2 " + std::string(number) + " 7 0 -3 2147483647\n"
                     : rng() % 4 ? "\n"
                                 : "k 1 2 x 1 1 1 1\n";
        }
        TaskPool pool(1 + static_cast<int>(rng() % 4));
        const size_t chunkSize = 1 + rng() % 2048;
        auto sum = [&](int mode) {
            std::string message;
            Totals t;
            try {
                const int fd = memoryFile(table);
                const auto in = mode == 2 ? openSource(fd, "t", RunThreads::none().pool(), nullptr)
                                          : plainSource(fd);
                t = mode ? sumTable(*in, "t", 2, 2, {&pool, chunkSize, 1 << 16, true})
                         : sumTable(*in, "t", 2, 2);
            } catch (const Failure& f) {
                message = f.message;
            }
            char line[256];
            formatMeans(t, line, sizeof line);
            uint64_t bits;
            std::memcpy(&bits, &t.value, sizeof bits);
            return message + line + std::to_string(bits) + " " + std::to_string(t.lineCount);
        };
        const std::string one = sum(0);
        ASSERT_EQ(sum(1), one) << round;
        ASSERT_EQ(sum(2), one) << round;
    }
}

// A failure raised by a task, on a worker or on the waiting thread, is
// raised again by the wait for that task, and only by it.
TEST(Chunks, TaskFailuresReachTheWaitingThread) {
    for (const int threads : {0, 1, 3}) {
        TaskPool pool(threads);
        TaskPool::Done done[4];
        for (int i = 0; i < 4; ++i)
            pool.submit(
                [i] {
                    if (i == 2) fail("task %d", i);
                },
                done[i]);
        std::string raised;
        for (auto& d : done) {
            try {
                pool.wait(d);
            } catch (const Failure& f) {
                raised += f.message + ";";
            }
        }
        EXPECT_EQ(raised, "task 2;") << threads;
    }
}

// The ordered pipeline hands the jobs back in the order they were
// submitted, however long each takes on however many threads, reuses the
// jobs handed back, and a job that fails fails at its turn only; jobs still
// running when it stops are waited for.
TEST(Chunks, PipelineKeepsOrderThroughAFailure) {
    std::mt19937_64 rng(13);
    for (const int workers : {0, 1, 3}) {
        struct Job {
            int index = -1;
        };
        TaskPool pool(workers);
        OrderedPipeline<Job> jobs(pool);
        std::vector<int> order;
        std::set<const Job*> distinct;
        std::string raised;
        const auto handBack = [&] {
            try {
                order.push_back(jobs.oldest().index);
            } catch (const Failure& f) {
                order.push_back(-1);
                raised += f.message;
            }
            jobs.release();
        };
        for (int i = 0; i < 100; ++i) {
            distinct.insert(&jobs.next());
            const useconds_t delay = static_cast<useconds_t>(rng() % 300);
            jobs.submit([i, delay](Job& j) {
                usleep(delay);
                if (i == 37) fail("job %d", i);
                j.index = i;
            });
            if (jobs.size() > static_cast<size_t>(workers) + 1) handBack();
        }
        while (!jobs.empty()) handBack();
        std::vector<int> expected;
        for (int i = 0; i < 100; ++i) expected.push_back(i == 37 ? -1 : i);
        EXPECT_EQ(order, expected) << workers;
        EXPECT_EQ(raised, "job 37") << workers;
        EXPECT_LE(distinct.size(), static_cast<size_t>(workers) + 2) << workers;
        for (int i = 0; i < 8; ++i) {
            jobs.next();
            jobs.submit([](Job&) { usleep(2000); });
        }
        jobs.stop();
        EXPECT_TRUE(jobs.empty());
    }
}

// Every wrapper of a source passes on what the source says beside its
// bytes: the file to read in ranges, what those reads took, and damage
// found before a record error is reported.
TEST(Chunks, WrappersForwardWhatTheirSourceSays) {
    struct Inner : ByteSource {
        uint64_t took = 0;
        ssize_t read(char*, size_t) override { return 0; }
        bool verifyThrough(uint64_t offset) override {
            failWith("damaged at " + std::to_string(offset));
            return false;
        }
        bool rangeFile(int& fd, uint64_t& start) override {
            fd = 7, start = 3;
            return true;
        }
        void tookRanges(uint64_t bytes) override { took += bytes; }
    };
    using Wrap = std::function<std::unique_ptr<ByteSource>(std::unique_ptr<ByteSource>)>;
    const Wrap wraps[] = {
        [](std::unique_ptr<ByteSource> in) {
            return std::make_unique<KeptBytes>("", std::move(in));
        },
        [](std::unique_ptr<ByteSource> in) {
            static TaskPool pool(1);
            return readAhead(std::move(in), pool);
        },
    };
    for (const Wrap& wrap : wraps) {
        auto inner = std::make_unique<Inner>();
        const Inner& seen = *inner;
        const auto source = wrap(std::move(inner));
        int fd = 0;
        uint64_t start = 0;
        EXPECT_TRUE(source->rangeFile(fd, start));
        EXPECT_EQ(fd, 7);
        EXPECT_EQ(start, 3u);
        source->tookRanges(10);
        EXPECT_EQ(seen.took, 10u);
        EXPECT_EQ(source->consumed(), 10u);
        EXPECT_FALSE(source->verifyThrough(5));
        EXPECT_EQ(source->problem(), "damaged at 5");
    }
}

}  // namespace
