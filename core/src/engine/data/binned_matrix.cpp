#include "quorvantis/engine/data/binned_matrix.hpp"

#include <algorithm>
#include <cmath>

#include "quorvantis/base/parallel.hpp"

namespace quorvantis::engine {
namespace {

// Quantiles come from at most this many rows, evenly spaced: enough for 255
// cut points, and the cost stays flat in n.
constexpr std::size_t kQuantileRows = 262144;
constexpr std::size_t kEncodeRows = 16384, kMinEncodeRows = 1024;

std::vector<double> feature_cuts(const MatrixView& x, std::size_t f, std::size_t value_codes) {
    const std::size_t n = x.rows;
    const std::size_t step = n > kQuantileRows ? (n + kQuantileRows - 1) / kQuantileRows : 1;
    std::vector<double> values;
    values.reserve(n / step + 1);
    for (std::size_t r = 0; r < n; r += step) {
        const double v = x(r, f);
        if (!std::isnan(v)) values.push_back(v);
    }
    std::sort(values.begin(), values.end());
    std::vector<double> cuts;
    if (values.empty()) return cuts;
    std::size_t distinct = 1;
    for (std::size_t i = 1; i < values.size(); ++i) distinct += values[i] != values[i - 1];
    if (distinct <= value_codes) {
        // Every distinct value its own code: cut at each value but the largest.
        for (std::size_t i = 0; i + 1 < values.size(); ++i)
            if (values[i] != values[i + 1]) cuts.push_back(values[i]);
        return cuts;
    }
    for (std::size_t j = 1; j < value_codes; ++j) {
        const double c = values[j * values.size() / value_codes];
        if ((cuts.empty() || c > cuts.back()) && c < values.back()) cuts.push_back(c);
    }
    return cuts;
}

}  // namespace

BinCuts BinCuts::fit(const MatrixView& x, std::size_t max_bins, std::span<const std::uint16_t> categories) {
    BinCuts out;
    max_bins = std::clamp<std::size_t>(max_bins, 2, kMaxBins);
    out.missing_ = static_cast<std::uint8_t>(max_bins - 1);
    bool any = false;
    for (std::size_t f = 0; f < categories.size() && f < x.cols; ++f) any |= categories[f] > 0;
    if (any) {
        out.categories_.assign(x.cols, 0);
        for (std::size_t f = 0; f < categories.size() && f < x.cols; ++f)
            out.categories_[f] = static_cast<std::uint16_t>(std::min<std::size_t>(categories[f], max_bins - 1));
    }
    out.cuts_ = parallel::parallel_map(x.cols, [&](std::size_t f) {
        parallel::checkpoint();
        if (out.categorical(f)) {
            // Code c is category c: cut at each category but the last.
            std::vector<double> cuts(out.categories_[f] - 1u);
            for (std::size_t c = 0; c < cuts.size(); ++c) cuts[c] = static_cast<double>(c);
            return cuts;
        }
        return feature_cuts(x, f, max_bins - 1);
    });
    return out;
}

std::uint8_t BinCuts::code(std::size_t f, double v) const noexcept {
    if (std::isnan(v)) return missing_;
    const auto& c = cuts_[f];
    if (c.empty()) return 0;
    // std::lower_bound without its branches, which mispredict about every
    // other step on new rows: halves the range by a conditional move.
    const double* base = c.data();
    for (std::size_t n = c.size(); n > 1; n -= n / 2) base = base[n / 2] < v ? base + n / 2 : base;
    return static_cast<std::uint8_t>(base - c.data() + (*base < v));
}

CodedRows BinCuts::encode(const MatrixView& x) const {
    CodedRows out;
    out.rows = x.rows;
    out.cols = cuts_.size();
    out.codes = PageBuffer<std::uint8_t>(out.rows * out.cols);
    // A few thousand rows still go to every worker.
    const std::size_t workers = parallel::job_threads();
    const std::size_t block = std::clamp<std::size_t>((x.rows + workers - 1) / workers, kMinEncodeRows, kEncodeRows);
    const std::size_t blocks = (x.rows + block - 1) / block;
    parallel::parallel_for(blocks, [&](std::size_t b) {
        const std::size_t lo = b * block, hi = std::min(x.rows, lo + block);
        for (std::size_t r = lo; r < hi; ++r) {
            std::uint8_t* dst = out.codes.data() + r * out.cols;
            const std::byte* src = x.row_ptr(r);
            for (std::size_t f = 0; f < out.cols; ++f)
                dst[f] = code(f, load_double(src + static_cast<std::ptrdiff_t>(f) * x.col_stride));
        }
    });
    return out;
}

void BinCuts::write(ByteWriter& w) const {
    w.u8(missing_);
    w.u64(cuts_.size());
    for (const auto& c : cuts_) {
        w.u16(static_cast<std::uint16_t>(c.size()));
        for (const double v : c) w.f64(v);
    }
}

bool BinCuts::read(ByteReader& r, std::string& error) {
    missing_ = r.u8();
    const std::uint64_t p = r.u64();
    if (r.failed || p > r.remaining() / 2) {
        error = "bin cuts are truncated";
        return false;
    }
    cuts_.assign(static_cast<std::size_t>(p), {});
    for (auto& c : cuts_) {
        const std::uint16_t k = r.u16();
        if (r.failed || k >= missing_ || k > r.remaining() / 8) {
            error = "bin cuts are truncated or exceed the missing code";
            return false;
        }
        c.resize(k);
        for (double& v : c) v = r.f64();
        for (std::size_t i = 1; i < c.size(); ++i)
            if (!(c[i - 1] < c[i])) {
                error = "bin cuts are not ascending";
                return false;
            }
    }
    return !r.failed;
}

void BinCuts::write_categories(ByteWriter& w) const {
    w.u64(categories_.size());
    for (const std::uint16_t k : categories_) w.u16(k);
}

bool BinCuts::read_categories(ByteReader& r, std::string& error) {
    const std::uint64_t p = r.u64();
    if (r.failed || (p != 0 && p != cuts_.size())) {
        error = "categorical features truncated or of another count";
        return false;
    }
    categories_.assign(static_cast<std::size_t>(p), 0);
    for (std::size_t f = 0; f < categories_.size(); ++f) {
        categories_[f] = r.u16();
        // A categorical feature's codes are its categories, each its own.
        if (categories_[f] > 0 && (categories_[f] > missing_ || cuts_[f].size() + 1 != categories_[f])) {
            error = "a categorical feature's categories do not match its cuts";
            return false;
        }
    }
    return !r.failed;
}

}  // namespace quorvantis::engine
