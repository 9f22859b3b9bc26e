// Samples drawn by cluster: every half-sample and every tree's bag holds
// whole clusters, a half holds half of them, and the honest parts split the
// bag's rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "quorvantis/engine/sampling/row_sampler.hpp"

namespace quorvantis {
namespace {

using engine::bit;

class ClusterSampling : public ::testing::TestWithParam<std::tuple<std::size_t, double, bool>> {};

TEST_P(ClusterSampling, BagsHoldWholeClusters) {
    const auto [group, fraction, honesty] = GetParam();
    const std::size_t n = 700, count = 37;
    std::mt19937_64 g(11);
    std::vector<std::uint32_t> clusters(n);
    for (auto& c : clusters) c = static_cast<std::uint32_t>(g() % count);
    const engine::SampleOptions options{fraction, group, honesty, 0.5};
    const engine::RowSampler sampler(n, options, 5, &clusters);
    auto whole = [&](const std::vector<std::uint64_t>& bits, std::size_t& taken) {
        std::vector<int> in(count, -1);
        taken = 0;
        for (std::size_t r = 0; r < n; ++r) {
            const int b = bit(bits, r) ? 1 : 0;
            if (in[clusters[r]] < 0) taken += static_cast<std::size_t>(b);
            if (in[clusters[r]] >= 0 && in[clusters[r]] != b) return false;
            in[clusters[r]] = b;
        }
        return true;
    };
    engine::TreeRows rows;
    for (std::size_t k = 0; k < 6; ++k) {
        const std::vector<std::uint64_t> pool = sampler.group_pool(k);
        std::size_t in_pool = 0, in_bag = 0;
        ASSERT_TRUE(whole(pool, in_pool));
        EXPECT_EQ(in_pool, group > 1 ? count / 2 : count);
        sampler.tree_rows(k * group, pool, rows);
        ASSERT_TRUE(whole(rows.in_bag, in_bag));
        EXPECT_LE(in_bag, in_pool);
        std::vector<std::uint32_t> all = rows.split;
        if (honesty) all.insert(all.end(), rows.estimation.begin(), rows.estimation.end());
        std::sort(all.begin(), all.end());
        std::vector<std::uint32_t> bag;
        for (std::uint32_t r = 0; r < n; ++r)
            if (bit(rows.in_bag, r)) {
                bag.push_back(r);
                EXPECT_TRUE(bit(pool, r));
            }
        EXPECT_EQ(all, bag);
    }
}

INSTANTIATE_TEST_SUITE_P(Options, ClusterSampling,
                         ::testing::Values(std::make_tuple(2, 0.5, true), std::make_tuple(2, 0.3, false),
                                           std::make_tuple(1, 0.5, true), std::make_tuple(4, 0.2, true)));

}  // namespace
}  // namespace quorvantis
