// The process-wide work-stealing pool, jobs on it, and the map and reduce
// operations built on it.
//
// One worker per CPU in the affinity mask, created on first use and rebuilt
// in a forked child. A job is one caller's computation: the caller hands it
// to the pool and waits, polling its Interrupt. Before each poll it pauses
// the job: tasks read caller memory only between checkpoints, and a paused
// job has every task parked at one, so the poll may run code that changes
// that memory (Python signal handlers). Parked workers keep serving other
// jobs meanwhile, so one paused job never starves another.
//
// A worker that calls in (nested parallelism) splits its range only while
// other workers are idle and, when it has to wait, runs other tasks instead
// of blocking, so nesting cannot deadlock. When no worker thread can be
// started, or the job asks for one thread, it runs on the calling thread and
// its checkpoints poll the interrupt themselves.
//
// Exceptions thrown by tasks (std::bad_alloc included) are rethrown on the
// thread that called in; the first one also stops the job's other tasks at
// their next checkpoint.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvantis/base/errors.hpp"
#include "quorvantis/base/interrupt.hpp"

namespace quorvantis {

// Thrown at a checkpoint once the job is to stop; caught by run_job.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "the computation was stopped"; }
};

namespace parallel {

struct JobOptions {
    Interrupt interrupt;          // polled about every 20 ms; true asks the job to stop
    std::size_t max_threads = 0;  // 0: every worker; 1: on the calling thread
};

// Runs `body` as one job and waits for it. Returns nothing when the body ran
// to its end, otherwise why it stopped: the interrupt asked (Interrupted) or
// the process forked while the job ran and this is the child (Forked).
// Exceptions from the body or the interrupt are rethrown. Called from inside
// a job, the body simply runs as part of that job.
std::optional<Halt> run_job(const std::function<void()>& body, const JobOptions& options = {});

// Number of workers of the pool (creating it if needed); 0 if none can start.
std::size_t worker_count();

// Threads the calling job may use (1 when it runs on the calling thread), for
// sizing its pieces of work; outside a job, the pool's workers (at least 1).
// Inside a job it never starts the pool.
std::size_t job_threads();

// Inside a job: waits while the caller has paused it; throws Cancelled once
// the job is to stop. Tasks call it before each piece of work that reads
// caller memory, a few times per millisecond at least.
void checkpoint();
bool cancel_requested() noexcept;

namespace detail {

struct Context {
    std::atomic<bool> cancel{false};  // the caller asked to stop
    std::atomic<bool> failed{false};  // a task threw
    std::atomic<bool> pause{false};
    std::atomic<int> active{0};  // threads running tasks of the job, not parked
    std::size_t max_threads = 0;
    std::mutex mu;
    std::condition_variable cv;
    // Set when the job runs on the calling thread: checkpoints poll directly.
    const Interrupt* inline_interrupt = nullptr;
    std::uint64_t next_poll_ns = 0;
    std::uint64_t fork_generation = 0;
    bool stopped = false;
    std::exception_ptr interrupt_error;
};

class Task {
public:
    virtual void execute() = 0;

    std::atomic<bool> done{false};
    bool root = false;  // completion is signalled by the task itself
    std::exception_ptr error;
    Context* context = nullptr;

protected:
    ~Task() = default;
};

bool inside_job() noexcept;
bool should_split() noexcept;        // true while some worker is idle and the job may use it
bool try_fork(Task& task) noexcept;  // queue on this worker; false when its queue is full
void join(Task& task);               // wait for a forked task, running others meanwhile
void join_quietly(Task& task) noexcept;
// Runs `task` as a job of its own from outside any job and waits for it.
void run_external(Task& task);
// The exception to report of two: a real failure wins over Cancelled.
std::exception_ptr first_failure(std::exception_ptr a, std::exception_ptr b) noexcept;

template <class T, class Map, class Combine>
T reduce_range(std::size_t lo, std::size_t hi, const T& identity, const Map& map, const Combine& combine);

template <class T, class Map, class Combine>
class Piece final : public Task {
public:
    Piece(std::size_t lo, std::size_t hi, const T& identity, const Map& map, const Combine& combine)
        : lo_(lo), hi_(hi), identity_(identity), map_(map), combine_(combine) {}
    void execute() override { result.emplace(reduce_range(lo_, hi_, identity_, map_, combine_)); }

    std::optional<T> result;

private:
    std::size_t lo_, hi_;
    const T& identity_;
    const Map& map_;
    const Combine& combine_;
};

// Items of a piece run in order; while other workers are idle the later half
// of what remains is split off for them. Partial results are merged with the
// earlier piece as the first argument. Each split halves the range, so a
// piece forks at most 64 times, and queueing never allocates.
template <class T, class Map, class Combine>
T reduce_range(std::size_t lo, std::size_t hi, const T& identity, const Map& map, const Combine& combine) {
    using P = Piece<T, Map, Combine>;
    constexpr std::size_t kMaxForks = 64;
    std::unique_ptr<P> forks[kMaxForks];
    std::size_t n_forks = 0;
    T acc = identity;
    try {
        while (lo < hi) {
            if (hi - lo > 1 && n_forks < kMaxForks && should_split()) {
                const std::size_t mid = lo + (hi - lo) / 2;
                auto piece = std::make_unique<P>(mid, hi, identity, map, combine);  // throws before anything is queued
                if (try_fork(*piece)) {
                    forks[n_forks++] = std::move(piece);
                    hi = mid;
                    continue;
                }
            }
            checkpoint();
            acc = combine(std::move(acc), map(lo));
            ++lo;
        }
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        for (std::size_t k = n_forks; k-- > 0;) {
            join_quietly(*forks[k]);
            error = first_failure(error, forks[k]->error);
        }
        std::rethrow_exception(error);
    }
    std::exception_ptr error;
    for (std::size_t k = n_forks; k-- > 0;) {
        join_quietly(*forks[k]);
        if (forks[k]->error) {
            error = first_failure(error, forks[k]->error);
        } else if (!error) {
            acc = combine(std::move(acc), std::move(*forks[k]->result));
        }
    }
    if (error) std::rethrow_exception(error);
    if (n_forks > 0) checkpoint();  // this thread waited: the job may have been stopped meanwhile
    return acc;
}

}  // namespace detail

// combine(... combine(combine(identity, map(0)), map(1)) ..., map(n-1)) with the
// grouping left to the pool; `combine` must be associative.
template <class T, class Map, class Combine>
T parallel_reduce(std::size_t n, T identity, Map map, Combine combine) {
    if (detail::inside_job()) return detail::reduce_range(0, n, identity, map, combine);
    detail::Piece<T, Map, Combine> root(0, n, identity, map, combine);
    detail::run_external(root);
    if (root.error) std::rethrow_exception(root.error);
    return std::move(*root.result);
}

// f(i) for every i in [0, n).
template <class F>
void parallel_for(std::size_t n, F f) {
    struct Unit {};
    parallel_reduce(
        n, Unit{},
        [&f](std::size_t i) {
            f(i);
            return Unit{};
        },
        [](Unit, Unit) { return Unit{}; });
}

// {f(0), ..., f(n-1)} in index order; the result type must be default-constructible.
template <class F>
auto parallel_map(std::size_t n, F f) {
    using R = std::decay_t<std::invoke_result_t<F&, std::size_t>>;
    std::vector<R> out(n);
    parallel_for(n, [&](std::size_t i) { out[i] = f(i); });
    return out;
}

}  // namespace parallel
}  // namespace quorvantis
