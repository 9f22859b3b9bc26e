#include "quorvantis/base/random.hpp"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <vector>

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

TEST(Random, BoundedIsUniformIncludingAwkwardBounds) {
    Rng rng(7);
    const int draws = 60000;
    for (const std::uint64_t bound : {1ULL, 3ULL, 10ULL}) {
        std::vector<int> counts(bound, 0);
        for (int i = 0; i < draws; ++i) {
            const std::uint64_t v = rng.bounded(bound);
            ASSERT_LT(v, bound);
            ++counts[v];
        }
        for (const int c : counts) EXPECT_NEAR(c, draws / static_cast<double>(bound), draws * 0.01) << bound;
    }
    // A plain 64-bit modulo by 2^63 + 1 would put two thirds of the draws in
    // the lower half.
    const std::uint64_t bound = (1ULL << 63) + 1;
    int lower = 0;
    for (int i = 0; i < draws; ++i) lower += rng.bounded(bound) < bound / 2;
    EXPECT_NEAR(lower, draws / 2.0, draws * 0.01);
}

TEST(Random, ShuffleGivesEveryPermutationEqually) {
    Rng rng(11);
    std::map<std::array<int, 3>, int> seen;
    const int rounds = 60000;
    for (int i = 0; i < rounds; ++i) {
        std::array<int, 3> a{0, 1, 2};
        rng.shuffle(std::span<int>(a));
        ++seen[a];
    }
    ASSERT_EQ(seen.size(), 6u);
    for (const auto& [perm, count] : seen) EXPECT_NEAR(count, rounds / 6.0, rounds * 0.01);
}

TEST(Random, StreamsAreReproducibleAndDistinct) {
    EXPECT_EQ(Rng::stream(5, 1).next(), Rng::stream(5, 1).next());
    EXPECT_NE(Rng::stream(5, 1).next(), Rng::stream(5, 2).next());
    EXPECT_NE(Rng::stream(5, 1).next(), Rng::stream(6, 1).next());
    EXPECT_NE(entropy_seed(), entropy_seed());
}

}  // namespace
}  // namespace quorvantis
