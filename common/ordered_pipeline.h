// Work handed to the run's pool in input order and taken back in the same
// order: the calling thread fills a job, a task works on it on one of the
// pool's threads (or on the calling thread while it waits), and the jobs
// are handed back oldest first. Jobs handed back are kept, with their
// buffers, and filled again, so that steady work allocates nothing.
//
// The one loop beneath the BGZF reader and writer, the zstd frame decoder,
// records read in chunks and the k-mer slices.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "task_pool.h"

template <class Job>
class OrderedPipeline {
  public:
    // With `help`, the calling thread runs queued tasks while it waits for
    // the oldest job (see TaskPool::wait).
    explicit OrderedPipeline(TaskPool& pool, bool help = true) : pool_(pool), help_(help) {}
    ~OrderedPipeline() { stop(); }
    OrderedPipeline(const OrderedPipeline&) = delete;
    OrderedPipeline& operator=(const OrderedPipeline&) = delete;

    // The pool's threads beside the calling one.
    int workers() const { return pool_.threads(); }

    // The job to fill next: one handed back earlier, as its last use left
    // it, or a new one. The same job until it is submitted.
    Job& next() {
        if (!next_) {
            if (spare_.empty()) {
                next_ = std::make_unique<Slot>();
            } else {
                next_ = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        return next_->job;
    }
    // Runs task(job) on the job next() gave, after the jobs submitted
    // before it have started.
    template <class Task>
    void submit(Task task) {
        Slot* slot = next_.get();
        jobs_.push_back(std::move(next_));
        pool_.submit([slot, task] { task(slot->job); }, slot->done);
    }

    // Jobs submitted and not handed back yet.
    size_t size() const { return jobs_.size(); }
    bool empty() const { return jobs_.empty(); }

    // The oldest job, once its task has run; raises what the task raised.
    Job& oldest() {
        Slot& slot = *jobs_.front();
        pool_.wait(slot.done, help_);
        return slot.job;
    }
    // Hands the oldest job back (after oldest()), to be filled again.
    void release() {
        spare_.push_back(std::move(jobs_.front()));
        jobs_.pop_front();
    }

    // Calls f(job) for every job not handed back, oldest first, whether or
    // not its task has run: only what the task does not change may be read.
    template <class F>
    void forEachPending(F&& f) const {
        for (const auto& slot : jobs_) f(slot->job);
    }

    // Drops every job: takes back the tasks not started and waits for the
    // running ones.
    void stop() {
        for (auto& slot : jobs_) pool_.settle(slot->done);
        jobs_.clear();
        spare_.clear();
        next_.reset();
    }
    // Frees the jobs handed back, and their buffers.
    void dropSpare() { spare_.clear(); }

  private:
    struct Slot {
        Job job;
        TaskPool::Done done;
    };
    TaskPool& pool_;
    bool help_;
    std::unique_ptr<Slot> next_;
    std::deque<std::unique_ptr<Slot>> jobs_;    // submitted, oldest first
    std::vector<std::unique_ptr<Slot>> spare_;  // handed back
};
