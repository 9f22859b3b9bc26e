#include "quorvantis/parallel.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>

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

TEST(Parallel, InterruptCancelsRunningWork) {
    std::atomic<int> polls{0};
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> polled_elsewhere{false};
    const auto start = std::chrono::steady_clock::now();
    const Interrupt interrupt = [&] {
        if (std::this_thread::get_id() != caller) polled_elsewhere = true;
        return ++polls >= 3;
    };
    // Without the cancel flag these tasks would never end.
    EXPECT_THROW(parallel::parallel_for(
                     4,
                     [](std::size_t) {
                         for (;;) {
                             parallel::check_cancel();
                             std::this_thread::yield();
                         }
                     },
                     interrupt),
                 Cancelled);
    EXPECT_GE(polls.load(), 3);
    EXPECT_FALSE(polled_elsewhere.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    const Interrupt failing = [] () -> bool { throw std::logic_error("callback failed"); };
    EXPECT_THROW(parallel::parallel_for(
                     2, [](std::size_t) { while (!parallel::cancel_requested()) std::this_thread::yield(); }, failing),
                 std::logic_error);
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

}  // namespace
}  // namespace quorvantis
