// Fixed-seed forests checked against stored bytes and predictions, so that any
// change of behaviour shows. Regenerate on purpose only:
//   QUORVANTIS_UPDATE_GOLDEN=1 ctest -R Golden
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quorvantis/fixed/fixed_forest.hpp"
#include "quorvantis/base/parallel.hpp"
#include "quorvantis/base/random.hpp"
#include "quorvantis/fixed/fixed_codec.hpp"

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

// Integer outcomes keep every sum exact, so the stored trees pin the splits
// and not the order in which a grower happens to add.
struct GoldenData {
    std::size_t n, p;
    std::vector<double> x, t, y;

    GoldenData(std::size_t rows, std::size_t cols, std::uint64_t seed) : n(rows), p(cols), x(n * p), t(n), y(n) {
        Rng rng(seed);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < p; ++c)
                x[i * p + c] = c % 3 == 2 ? std::floor(rng.uniform() * 5.0) : rng.uniform();
            t[i] = rng.uniform() < 0.5 ? 1.0 : 0.0;
            y[i] = static_cast<double>(rng.bounded(10)) + t[i] * (x[i * p] > 0.5 ? 3.0 : 1.0) + (x[i * p + 1] > 0.3);
        }
    }
    MatrixView features() const { return MatrixView::of(x.data(), n, p); }
    VectorView treatment() const { return VectorView::of(t.data(), n); }
    VectorView outcome() const { return VectorView::of(y.data(), n); }
};

std::string hex(const unsigned char* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

std::string golden_path(const std::string& name) {
    return std::string(QUORVANTIS_GOLDEN_DIR) + "/" + name + ".txt";
}

struct Golden {
    const char* name;
    std::size_t n, p;
    std::uint64_t seed;
};

class GoldenForest : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenForest, BytesAndPredictionsAreUnchanged) {
    const Golden g = GetParam();
    const GoldenData d(g.n, g.p, g.seed);
    FixedForest forest;
    ASSERT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), g.seed).ok());
    const std::vector<unsigned char> bytes = serialize(Estimator(forest));
    const auto predicted = forest.predict_result(d.features());
    ASSERT_TRUE(predicted.ok());
    const std::vector<double>& pred = predicted.value().predictions;

    std::ostringstream text;
    text << "bytes " << hex(bytes.data(), bytes.size()) << "\npredictions "
         << hex(reinterpret_cast<const unsigned char*>(pred.data()), pred.size() * sizeof(double)) << "\n";

    const std::string path = golden_path(g.name);
    if (std::getenv("QUORVANTIS_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(path) << text.str();
        GTEST_SKIP() << "rewrote " << path;
    }
    std::ifstream in(path);
    ASSERT_TRUE(in.good()) << "missing " << path << " (QUORVANTIS_UPDATE_GOLDEN=1 writes it)";
    std::stringstream stored;
    stored << in.rdbuf();
    // Compare line by line so that a failure says which part moved.
    std::istringstream want(stored.str()), got(text.str());
    std::string w, o;
    while (std::getline(want, w) && std::getline(got, o))
        EXPECT_TRUE(w == o) << w.substr(0, w.find(' ')) << " differ from " << path;
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenForest,
                         ::testing::Values(Golden{"forest_p16", 2500, 16, 7}, Golden{"forest_p100", 1500, 100, 8},
                                           Golden{"forest_p3", 400, 3, 9}),
                         [](const auto& info) { return std::string(info.param.name); });

// Real-valued outcomes this time: sums depend on their order, and the order
// must not depend on how many threads run the fit.
TEST(Determinism, SameBytesOnOneThreadAndOnThePool) {
    const std::size_t n = 300000, p = 12;
    std::vector<double> x(n * p), t(n), y(n);
    Rng rng(5);
    for (double& v : x) v = rng.uniform();
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = rng.uniform() < 0.5 ? 1.0 : 0.0;
        y[i] = x[i * p] + t[i] * (1.0 + x[i * p + 1]) + rng.uniform();
    }
    const auto X = MatrixView::of(x.data(), n, p);
    const auto T = VectorView::of(t.data(), n), Y = VectorView::of(y.data(), n);
    ASSERT_GE(parallel::worker_count(), 1u);
    FixedForest pooled, single;
    ASSERT_TRUE(pooled.fit_result(X, T, Y, 77).ok());
    parallel::JobOptions one;
    one.max_threads = 1;
    Status fitted;
    ASSERT_FALSE(parallel::run_job([&] { fitted = single.fit_result(X, T, Y, 77); }, one));
    ASSERT_TRUE(fitted.ok());
    EXPECT_TRUE(serialize(Estimator(pooled)) == serialize(Estimator(single)));
}

}  // namespace
}  // namespace quorvantis
