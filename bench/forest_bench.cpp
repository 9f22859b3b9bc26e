// Fit and predict times of the causal forest on synthetic data, p = 16,
// C-ordered, binary treatment, effect 1 + 2 * [x0 > 0.5]. Prints wall times
// (best of a few runs) and the peak resident memory a fit adds.
//   forest_bench [rows...]   (the largest size is also run column-major)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "quorvantis/fixed/fixed_forest.hpp"
#include "quorvantis/base/random.hpp"

namespace {

using Clock = std::chrono::steady_clock;

long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void run(std::size_t n, std::size_t p, int repeats, bool column_major) {
    std::vector<double> x(n * p), t(n), y(n);
    quorvantis::Rng rng(42);
    for (double& v : x) v = rng.uniform();
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = rng.uniform() < 0.5 ? 1.0 : 0.0;
        const double tau = 1.0 + 2.0 * (x[i * p] > 0.5);
        y[i] = x[i * p + 1] + t[i] * tau + 0.5 * (rng.uniform() - 0.5);
    }
    auto features = quorvantis::MatrixView::of(x.data(), n, p);
    if (column_major) {
        // Same values stored column by column, as a Fortran-ordered array.
        std::vector<double> by_column(n * p);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t f = 0; f < p; ++f) by_column[f * n + i] = x[i * p + f];
        x.swap(by_column);
        features = {reinterpret_cast<const std::byte*>(x.data()), n, p, static_cast<std::ptrdiff_t>(sizeof(double)),
                    static_cast<std::ptrdiff_t>(n * sizeof(double))};
    }
    const auto treatment = quorvantis::VectorView::of(t.data(), n);
    const auto outcome = quorvantis::VectorView::of(y.data(), n);

    double best_fit = 1e9, best_predict = 1e9, best_cpu = 1e9;
    long peak_extra = 0;
    double mean = 0.0;
    for (int k = 0; k < repeats; ++k) {
        quorvantis::FixedForest forest;
        reset_peak();
        const long before = status_kib("VmRSS");
        const double cpu = cpu_seconds();
        auto start = Clock::now();
        const quorvantis::Status status = forest.fit_result(features, treatment, outcome, 1000 + k);
        best_fit = std::min(best_fit, seconds_since(start));
        best_cpu = std::min(best_cpu, cpu_seconds() - cpu);
        peak_extra = std::max(peak_extra, status_kib("VmHWM") - before);
        if (!status.ok()) {
            std::printf("fit failed: %s\n", status.error().message().c_str());
            return;
        }
        start = Clock::now();
        auto result = forest.predict_result(features);
        best_predict = std::min(best_predict, seconds_since(start));
        mean = result.value().mean_effect;
    }
    // Time from the interrupt first answering true to the fit returning.
    quorvantis::FixedForest forest;
    Clock::time_point asked;
    int polls = 0;
    const quorvantis::Status stopped = forest.fit_result(features, treatment, outcome, 7, [&] {
        if (++polls < 3) return false;
        asked = Clock::now();
        return true;
    });
    char stop[32] = "finished first";
    if (!stopped.ok()) std::snprintf(stop, sizeof stop, "%.3f s", seconds_since(asked));
    std::printf(
        "%s n=%8zu p=%zu  fit %7.4f s (cpu %7.4f s)  predict %7.4f s  fit peak +%5.1f MiB  "
        "interrupt stop %s  mean effect %.3f\n",
        column_major ? "F" : "C", n, p, best_fit, best_cpu, best_predict, static_cast<double>(peak_extra) / 1024.0,
        stop, mean);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {10'000, 100'000, 1'000'000};
    for (const std::size_t n : sizes) run(n, 16, n >= 1'000'000 ? 3 : 5, false);
    run(sizes.back(), 16, 1, true);
}
