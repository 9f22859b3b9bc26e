#include "quorvantis/base/parallel.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <chrono>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>

// Allocation failure injection: when armed, the countdown-th allocation from
// now (on any thread; of g_fail_size bytes only, unless that is 0) throws.
// AddressSanitizer owns operator new itself, so there it is left alone.
std::atomic<long> g_fail_countdown{-1};
std::atomic<std::size_t> g_fail_size{0};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCanInjectAllocationFailures = false;
#else
constexpr bool kCanInjectAllocationFailures = true;
// The replacement pair is malloc/free on both sides.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    const std::size_t only = g_fail_size.load(std::memory_order_relaxed);
    if ((only == 0 || n == only) && g_fail_countdown.load(std::memory_order_relaxed) > 0 &&
        g_fail_countdown.fetch_sub(1) == 1)
        throw std::bad_alloc();
    if (void* p = std::malloc(n > 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace quorvantis {
namespace {

using parallel::parallel_map;
using parallel::parallel_reduce;

// Concatenation is not commutative, so any merge out of order shows.
std::string ordered_concat(std::size_t n) {
    return parallel_reduce(
        n, std::string{}, [](std::size_t i) { return std::to_string(i) + ","; },
        [](std::string a, std::string b) { return a + b; });
}

TEST(Parallel, ReduceKeepsPieceOrder) {
    for (const std::size_t n : {0u, 1u, 2u, 17u, 1000u}) {
        std::string expected;
        for (std::size_t i = 0; i < n; ++i) expected += std::to_string(i) + ",";
        EXPECT_EQ(ordered_concat(n), expected) << n;
    }
}

TEST(Parallel, NestedReduceInsideMapCompletes) {
    // Items of uneven cost so that workers go idle and split inner ranges.
    const auto sums = parallel_map(12, [](std::size_t k) {
        return parallel_reduce(
            std::size_t{2000} * (k + 1), std::uint64_t{0},
            [](std::size_t i) {
                std::uint64_t v = i;
                for (int r = 0; r < 50; ++r) v = v * 6364136223846793005ULL + 1;  // some work
                return static_cast<std::uint64_t>(i) + (v & 0);
            },
            [](std::uint64_t a, std::uint64_t b) { return a + b; });
    });
    for (std::size_t k = 0; k < sums.size(); ++k) {
        const std::uint64_t m = 2000 * (k + 1);
        EXPECT_EQ(sums[k], m * (m - 1) / 2);
    }
}

TEST(Parallel, TaskExceptionsReachTheCaller) {
    EXPECT_THROW(parallel::parallel_for(100,
                                        [](std::size_t i) {
                                            if (i == 37) throw std::runtime_error("item 37");
                                        }),
                 std::runtime_error);
    EXPECT_THROW(parallel::parallel_for(8,
                                        [](std::size_t i) {
                                            parallel::parallel_for(64, [i](std::size_t j) {
                                                if (i == 5 && j == 60) throw std::bad_alloc();
                                            });
                                        }),
                 std::bad_alloc);
    // The pool keeps working afterwards.
    EXPECT_EQ(ordered_concat(3), "0,1,2,");
}

using parallel::JobOptions;
using parallel::run_job;

void busy(int iterations) {
    for (int k = 0; k < iterations; ++k) asm volatile("");
}

// Spins through checkpoints until the job is stopped.
void spin_until_stopped(std::atomic<int>* between = nullptr) {
    for (;;) {
        parallel::checkpoint();
        if (between) ++*between;
        busy(2000);
        if (between) --*between;
    }
}

TEST(Parallel, InterruptStopsTheJobAndPollsOnlyWhileTasksAreParked) {
    std::atomic<int> polls{0}, between{0};
    std::atomic<bool> overlap{false}, polled_elsewhere{false};
    const auto caller = std::this_thread::get_id();
    JobOptions options;
    options.interrupt = [&] {
        if (std::this_thread::get_id() != caller) polled_elsewhere = true;
        // The poll may change what tasks read: none may be between checkpoints.
        for (int k = 0; k < 3; ++k) {
            if (between.load() != 0) overlap = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return ++polls >= 5;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto halt =
        run_job([&] { parallel::parallel_for(64, [&](std::size_t) { spin_until_stopped(&between); }); }, options);
    EXPECT_EQ(halt, Halt::Interrupted);
    EXPECT_GE(polls.load(), 5);
    EXPECT_FALSE(overlap.load());
    EXPECT_FALSE(polled_elsewhere.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    options.interrupt = []() -> bool { throw std::logic_error("callback failed"); };
    EXPECT_THROW(run_job([] { parallel::parallel_for(2, [](std::size_t) { spin_until_stopped(); }); }, options),
                 std::logic_error);
    EXPECT_EQ(ordered_concat(3), "0,1,2,");
}

TEST(Parallel, OneThreadJobsRunOnTheCallerAndPollThere) {
    const auto caller = std::this_thread::get_id();
    std::atomic<int> polls{0};
    JobOptions options;
    options.max_threads = 1;
    options.interrupt = [&] { return ++polls >= 2; };
    bool on_caller = true;
    const auto halt = run_job(
        [&] {
            parallel::parallel_for(8, [&](std::size_t) {
                if (std::this_thread::get_id() != caller) on_caller = false;
                spin_until_stopped();
            });
        },
        options);
    EXPECT_EQ(halt, Halt::Interrupted);
    EXPECT_TRUE(on_caller);
    options.interrupt = {};
    std::string order;
    EXPECT_FALSE(run_job([&] { order = ordered_concat(4); }, options));
    EXPECT_EQ(order, "0,1,2,3,");
}

TEST(Parallel, JobThreadsFollowTheJobsLimit) {
    const std::size_t workers = std::max<std::size_t>(1, parallel::worker_count());
    for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{2}, workers + 3}) {
        JobOptions options;
        options.max_threads = limit;
        std::size_t seen = 0;
        EXPECT_FALSE(run_job([&] { seen = parallel::job_threads(); }, options));
        EXPECT_EQ(seen, limit == 0 ? workers : std::min(limit, workers)) << "max_threads " << limit;
    }
}

TEST(Parallel, ConcurrentCallersGetTheirOwnResults) {
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&failures, c] {
            for (int round = 0; round < 50; ++round) {
                const std::size_t n = 100 + static_cast<std::size_t>(c * 37 + round);
                const auto sum = parallel_reduce(
                    n, std::size_t{0}, [c](std::size_t i) { return i * static_cast<std::size_t>(c + 1); },
                    [](std::size_t a, std::size_t b) { return a + b; });
                if (sum != static_cast<std::size_t>(c + 1) * n * (n - 1) / 2) ++failures;
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Parallel, ForkedChildRebuildsThePool) {
    ASSERT_EQ(ordered_concat(50).size(), ordered_concat(50).size());  // pool is up
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(20);  // a hang becomes a failure instead of a stuck test
        std::string expected;
        for (int i = 0; i < 500; ++i) expected += std::to_string(i) + ",";
        const bool ok = ordered_concat(500) == expected && parallel::worker_count() >= 1;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ordered_concat(5), "0,1,2,3,4,");  // parent still fine
}

// A signal handler that forks while a job is polled: in the child the job's
// workers do not exist, so its copy of the job must end at once.
TEST(Parallel, ForkInsideThePollHaltsTheChildsCopyOfTheJob) {
    ASSERT_GE(parallel::worker_count(), 1u);
    pid_t child = -1;
    JobOptions options;
    int polls = 0;
    options.interrupt = [&] {
        if (++polls == 2) child = ::fork();
        return polls >= 4;
    };
    const auto halt = run_job([] { parallel::parallel_for(4, [](std::size_t) { spin_until_stopped(); }); }, options);
    if (child == 0) {
        ::alarm(20);
        const bool ok = halt == Halt::Forked && ordered_concat(200).size() > 0 && parallel::worker_count() >= 1;
        ::_exit(ok ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(halt, Halt::Interrupted);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Allocations fail in turn, any of the first few, or the next of 512 bytes
// (a task queue's block) again and again: the caller gets bad_alloc (or the
// result), never a hang, and the pool keeps working.
TEST(Parallel, AllocationFailuresInTasksReachTheCallerAndThePoolSurvives) {
    if (!kCanInjectAllocationFailures) GTEST_SKIP() << "the sanitizer's allocator cannot be replaced";
    struct Plan {
        std::size_t size;
        long first, last, rounds;
    };
    for (const Plan plan : {Plan{0, 1, 40, 1}, Plan{512, 1, 1, 300}}) {
        g_fail_size.store(plan.size);
        for (long countdown = plan.first; countdown <= plan.last; ++countdown) {
            for (long round = 0; round < plan.rounds; ++round) {
                try {
                    run_job([&] {
                        g_fail_countdown.store(countdown);
                        parallel::parallel_for(256, [](std::size_t i) {
                            auto v = std::make_unique<std::vector<int>>(16, static_cast<int>(i));
                            busy(20000);
                        });
                    });
                } catch (const std::bad_alloc&) {
                }
                g_fail_countdown.store(-1);
                ASSERT_EQ(ordered_concat(20).size(), 50u) << countdown;
            }
        }
    }
    g_fail_size.store(0);
}

}  // namespace
}  // namespace quorvantis
