// Record work on several threads against one thread: random records (blank
// lines, CRLF, long lines, a bad line anywhere) read in chunks of random
// sizes by 1 to 4 workers, cut in memory or read as byte ranges of the
// file, give the same output and the same message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "cohortmeans.h"
#include "memory_file.h"
#include "sigsieve.h"
#include "task_pool.h"

namespace {

std::string randomLines(std::mt19937_64& rng) {
    std::string text;
    const int lines = static_cast<int>(rng() % 300);
    for (int i = 0; i < lines; ++i) {
        switch (rng() % 40) {
            case 0:
                text += "\n";  // blank
                continue;
            case 1:
                text += "x 1 2\n";  // too few fields
                continue;
            case 2:
                text += std::string(rng() % 5000, 'A') + " 1 2 0.001\r\n";  // long
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
        const std::string input = randomLines(rng);
        const int workers = 1 + static_cast<int>(rng() % 4);
        const size_t chunkSize = 1 + rng() % 4096;
        // Chunks cut by the calling thread, or byte ranges of the file cut
        // by the workers.
        enum Mode { One, Cut, Ranges };
        const auto run = [&](Mode mode) {
            return outcome([&](OutputFile& out) {
                const int fd = memoryFile(input);
                const auto source =
                    mode == Ranges ? openSource(fd, "in", 0, nullptr) : plainSource(fd);
                if (mode == One)
                    filter(*source, "in", out, threshold);
                else
                    filter(*source, "in", out, threshold, {workers, chunkSize, 1 << 16, true});
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
        const int workers = 1 + static_cast<int>(rng() % 4);
        const size_t chunkSize = 1 + rng() % 2048;
        auto sum = [&](int mode) {
            std::string message;
            Totals t;
            try {
                const int fd = memoryFile(table);
                const auto in = mode == 2 ? openSource(fd, "t", 0, nullptr) : plainSource(fd);
                t = mode ? sumTable(*in, "t", 2, 2, {workers, chunkSize, 1 << 16, true})
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

}  // namespace
