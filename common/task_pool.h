// A few worker threads that run tasks in the order they are handed in; the
// caller waits for the one it needs next, running queued tasks meanwhile.
// Shared by the BGZF writer and reader and by record work on several
// threads, which hand results back in input order.
#pragma once

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class TaskPool {
  public:
    // A task's state: set when it has run, with what it raised, if
    // anything, for wait() to raise on the thread that waits for it.
    struct Done {
        bool value = false;
        std::exception_ptr raised;
    };

    // Starts `threads` workers, but no more than the cores this process
    // may run on leave beside the calling thread, which works too: more
    // would only take turns with each other. Unless `callerWorks` is
    // false: then a wait only waits, and with one worker the tasks run one
    // after another in the order they were handed in.
    explicit TaskPool(int threads, bool callerWorks = true) : callerWorks_(callerWorks) {
        threads = std::min(threads, usableCores() - 1);
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }
    static int usableCores() {
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) != 0) return 1 << 16;
        return std::max(1, CPU_COUNT(&set));
    }
    ~TaskPool() { stop(); }
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

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
    // the calling thread, so that it works rather than idles: with N
    // workers, N + 1 threads share the tasks. Raises what the task raised.
    void wait(Done& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done.value) {
            if (queue_.empty() || closing_ || !callerWorks_) {
                changed_.wait(lock, [&] {
                    return done.value || (!queue_.empty() && !closing_ && callerWorks_);
                });
                continue;
            }
            runFront(lock);
        }
        if (done.raised) std::rethrow_exception(std::exchange(done.raised, nullptr));
    }
    // Drops the tasks not started and waits for the running ones.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
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

    const bool callerWorks_;
    std::vector<std::thread> threads_;
    std::deque<Task> queue_;
    bool closing_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
};
