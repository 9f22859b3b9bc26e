// Fit and predict times of the general forest engine on a Wager-Athey-style
// design (X ~ U[0,1]^p, e = 0.5, tau = zeta(x1) zeta(x2)), printed per stage,
// with CPU time and peak memory, for profiling the hot paths.
//   engine_bench [n] [p] [trees] [predict rows]
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "quorvantis/engine/estimators/causal_forest.hpp"
#include "quorvantis/base/random.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double peak_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

double zeta(double u) {
    return 1.0 + 1.0 / (1.0 + std::exp(-20.0 * (u - 1.0 / 3.0)));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorvantis;
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::size_t p = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20;
    const std::size_t trees = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 500;
    const std::size_t m = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 100000;
    Rng rng(1);
    auto gauss = [&] {
        const double u1 = rng.uniform() + 1e-300, u2 = rng.uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    };
    std::vector<double> x(n * p), w(n), y(n), xt(m * p);
    for (double& v : x) v = rng.uniform();
    for (double& v : xt) v = rng.uniform();
    for (std::size_t i = 0; i < n; ++i) {
        w[i] = rng.uniform() < 0.5 ? 1.0 : 0.0;
        y[i] = (w[i] - 0.5) * zeta(x[i * p]) * zeta(x[i * p + 1]) + gauss();
    }
    const double base = peak_mib();
    engine::ForestOptions options;
    options.n_trees = trees;
    options.seed = 7;
    engine::FitInput input{MatrixView::of(x.data(), n, p), VectorView::of(w.data(), n), VectorView::of(y.data(), n)};
    engine::FitProgress progress;
    double cpu = cpu_seconds();
    auto start = Clock::now();
    int last_stage = -1;
    Clock::time_point stage_start = start;
    double stage_cpu = cpu;
    const Interrupt report = [&] {
        const int s = progress.stage.load();
        if (s != last_stage) {
            if (last_stage >= 0)
                std::printf("  stage %d: %.2f s wall, %.2f s cpu\n", last_stage,
                            std::chrono::duration<double>(Clock::now() - stage_start).count(),
                            cpu_seconds() - stage_cpu);
            last_stage = s;
            stage_start = Clock::now();
            stage_cpu = cpu_seconds();
        }
        return false;
    };
    auto fitted = engine::CausalForestModel::fit(input, options, &progress, report);
    const double fit_s = std::chrono::duration<double>(Clock::now() - start).count(), fit_cpu = cpu_seconds() - cpu;
    if (!fitted.ok()) {
        std::printf("fit failed: %s\n", fitted.error().message().c_str());
        return 1;
    }
    cpu = cpu_seconds();
    start = Clock::now();
    auto predicted = fitted.value().predict(MatrixView::of(xt.data(), m, p), true);
    const double predict_s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "n=%zu p=%zu trees=%zu  fit %.2f s (cpu %.2f)  predict+variance %zu rows %.2f s (cpu %.2f)  peak +%.0f MiB  "
        "serialised %.1f MiB\n",
        n, p, trees, fit_s, fit_cpu, m, predict_s, cpu_seconds() - cpu, peak_mib() - base,
        static_cast<double>(fitted.value().serialize().size()) / 1048576.0);
    return predicted.ok() ? 0 : 1;
}
