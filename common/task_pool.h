// The threads of a run: one pool that every stage shares (decoding,
// record work, the k-mer sort, BGZF output), so that -@ N means at most N
// threads beside the calling one, whatever the stages. Tasks run in the
// order they are handed in; the caller waits for the one it needs next,
// running queued tasks meanwhile.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Blocks, in the calling thread, the signals that end a run with a clean-up
// (files.h), so that their handlers run on the main thread only; threads
// started meanwhile inherit the mask.
class CleanupSignalsBlocked {
  public:
    CleanupSignalsBlocked();
    ~CleanupSignalsBlocked();
    CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
    CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;

  private:
    sigset_t old_;
};

class TaskPool {
  public:
    // A task's state: set when it has run (or was taken back), with what it
    // raised, if anything, for wait() to raise on the thread that waits.
    struct Done {
        bool value = true;
        std::exception_ptr raised;
    };

    // Starts up to `threads` workers. A thread that cannot be started (a
    // process limit, as on shared cluster nodes) is done without: the
    // tasks then run on the threads there are, the caller's at least, with
    // the same results.
    explicit TaskPool(int threads) {
        const CleanupSignalsBlocked blocked;
        for (int i = 0; i < threads; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    ~TaskPool() { stop(); }
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    // The workers beside the calling thread.
    int threads() const { return static_cast<int>(threads_.size()); }

    // The cores this process may run on.
    static int usableCores() {
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) != 0) return 1 << 16;
        return std::max(1, CPU_COUNT(&set));
    }

    // Runs `task` on a worker (on the calling thread when there is none)
    // and then sets `done`.
    void submit(std::function<void()> task, Done& done) {
        done.value = false;
        done.raised = nullptr;
        if (threads_.empty()) {
            done.raised = run(task);
            done.value = true;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back({std::move(task), &done});
        }
        changed_.notify_all();
    }
    // Waits until `done` is set, meanwhile running tasks not yet started on
    // the calling thread, so that it works rather than idles; or, without
    // `help`, only waits (a reader whose own work is elsewhere). Raises
    // what the task raised.
    void wait(Done& done, bool help = true) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done.value) {
            if (queue_.empty() || !help || threads_.empty()) {
                changed_.wait(lock, [&] { return done.value || (help && !queue_.empty()); });
                continue;
            }
            runFront(lock);
        }
        if (done.raised) std::rethrow_exception(std::exchange(done.raised, nullptr));
    }
    // Takes a task back if it has not started, else waits for it; what it
    // raised is dropped. For a stage that stops early, or unwinds.
    void settle(Done& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto queued = std::find_if(queue_.begin(), queue_.end(),
                                         [&](const Task& t) { return t.done == &done; });
        if (queued != queue_.end()) {
            queue_.erase(queued);
            done.value = true;
        }
        changed_.wait(lock, [&] { return done.value; });
        done.raised = nullptr;
    }
    // Drops the tasks not started and waits for the running ones.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
            for (Task& t : queue_) t.done->value = true;
            queue_.clear();
        }
        changed_.notify_all();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

  private:
    struct Task {
        std::function<void()> run;
        Done* done;
    };
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty() || closing_; });
            if (closing_) return;
            runFront(lock);
        }
    }
    static std::exception_ptr run(const std::function<void()>& task) {
        try {
            task();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }
    // Runs the oldest task not started, without holding the lock.
    void runFront(std::unique_lock<std::mutex>& lock) {
        Task task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        std::exception_ptr raised = run(task.run);
        lock.lock();
        task.done->raised = std::move(raised);
        task.done->value = true;
        changed_.notify_all();
    }

    std::vector<std::thread> threads_;
    std::deque<Task> queue_;
    bool closing_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// The threads of a run (-@ N): at most N beside the calling thread, and no
// more than the cores the process may use leave beside it (more would only
// take turns). When the run writes zstd, libzstd's workers are taken from
// them (one at least, so that the frames are the same whatever N); the
// rest form the pool every other stage shares.
class RunThreads {
  public:
    explicit RunThreads(int requested = 0, bool zstdOutput = false)
        : budget_(std::max(0, std::min(requested, TaskPool::usableCores() - 1))),
          zstdWorkers_(zstdOutput ? std::max(1, (budget_ + 1) / 2) : 0),
          pool_(std::max(0, budget_ - zstdWorkers_)) {}
    RunThreads(const RunThreads&) = delete;
    RunThreads& operator=(const RunThreads&) = delete;

    TaskPool& pool() { return pool_; }
    // libzstd's workers for every zstd output of the run.
    int zstdWorkers() const { return zstdWorkers_; }
    // libzstd's thread pool, shared by the run's zstd outputs: made at the
    // first one (zstd_sink.cc), with the threads that could be started.
    std::shared_ptr<void> zstdPool;
    int zstdPoolThreads = 0;

    // A run of no extra threads, for callers outside a tool's run.
    static RunThreads& none() {
        static RunThreads threads;
        return threads;
    }

  private:
    int budget_;
    int zstdWorkers_;
    TaskPool pool_;
};
