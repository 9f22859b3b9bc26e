// The process-wide work-stealing pool and the two operations built on it.
//
// One worker per CPU in the affinity mask, created on first use and rebuilt in
// a forked child. A caller that is not a worker hands its work to the pool and
// blocks, polling its Interrupt; a worker that calls in (nested parallelism)
// splits its range only while other workers are idle and, when it has to wait,
// runs other tasks instead of blocking, so nesting cannot deadlock.
//
// Exceptions thrown by tasks (std::bad_alloc included) are rethrown on the
// thread that called parallel_map / parallel_reduce.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvantis/estimator.hpp"

namespace quorvantis {

// Raised in tasks once their caller has asked to stop, and out of the
// parallel call on the calling thread.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

namespace parallel {

// Number of workers of the pool (creating it if needed).
std::size_t worker_count();

// True when the caller of the computation this task belongs to has asked to
// stop. Long tasks check it at convenient points.
bool cancel_requested() noexcept;
inline void check_cancel() {
    if (cancel_requested()) throw Cancelled();
}

namespace detail {

struct Context {
    std::atomic<bool> cancel{false};
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

bool in_worker() noexcept;
bool should_split() noexcept;  // true while some worker is idle
void fork(Task& task);         // push onto this worker's deque
void join(Task& task) noexcept;  // wait for a forked task, running others meanwhile
// Runs `task` on the pool from a non-worker thread and waits for it, polling
// `interrupt`; throws Cancelled if the interrupt fired.
void run_external(Task& task, const Interrupt& interrupt);

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
// earlier piece as the first argument.
template <class T, class Map, class Combine>
T reduce_range(std::size_t lo, std::size_t hi, const T& identity, const Map& map, const Combine& combine) {
    using P = Piece<T, Map, Combine>;
    std::vector<std::unique_ptr<P>> forks;
    T acc = identity;
    try {
        while (lo < hi) {
            if (hi - lo > 1 && should_split()) {
                const std::size_t mid = lo + (hi - lo) / 2;
                forks.push_back(std::make_unique<P>(mid, hi, identity, map, combine));
                fork(*forks.back());
                hi = mid;
                continue;
            }
            check_cancel();
            acc = combine(std::move(acc), map(lo));
            ++lo;
        }
    } catch (...) {
        for (auto it = forks.rbegin(); it != forks.rend(); ++it) join(**it);
        throw;
    }
    std::exception_ptr error;
    for (auto it = forks.rbegin(); it != forks.rend(); ++it) {
        join(**it);
        if (error) continue;
        if ((*it)->error) {
            error = (*it)->error;
        } else {
            acc = combine(std::move(acc), std::move(*(*it)->result));
        }
    }
    if (error) std::rethrow_exception(error);
    return acc;
}

}  // namespace detail

// combine(... combine(combine(identity, map(0)), map(1)) ..., map(n-1)) with the
// grouping left to the pool; `combine` must be associative.
template <class T, class Map, class Combine>
T parallel_reduce(std::size_t n, T identity, Map map, Combine combine, const Interrupt& interrupt = {}) {
    if (detail::in_worker()) return detail::reduce_range(0, n, identity, map, combine);
    detail::Piece<T, Map, Combine> root(0, n, identity, map, combine);
    detail::run_external(root, interrupt);
    if (root.error) std::rethrow_exception(root.error);
    return std::move(*root.result);
}

// f(i) for every i in [0, n).
template <class F>
void parallel_for(std::size_t n, F f, const Interrupt& interrupt = {}) {
    struct Unit {};
    parallel_reduce(
        n, Unit{},
        [&f](std::size_t i) {
            f(i);
            return Unit{};
        },
        [](Unit, Unit) { return Unit{}; }, interrupt);
}

// {f(0), ..., f(n-1)} in index order; the result type must be default-constructible.
template <class F>
auto parallel_map(std::size_t n, F f, const Interrupt& interrupt = {}) {
    using R = std::decay_t<std::invoke_result_t<F&, std::size_t>>;
    std::vector<R> out(n);
    parallel_for(n, [&](std::size_t i) { out[i] = f(i); }, interrupt);
    return out;
}

}  // namespace parallel
}  // namespace quorvantis
