// The feature matrix as small codes: per feature, quantile cut points turn a
// value into the number of cuts below it, and NaN into one missing code. A fit
// bins its matrix once; every later pass reads one byte per value instead of
// eight, and the rows are small enough to stay in cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvantis/base/page_buffer.hpp"
#include "quorvantis/base/serial_frame.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::engine {

// Codes of a matrix, row-major: the codes of one row are contiguous.
struct CodedRows {
    PageBuffer<std::uint8_t> codes;
    std::size_t rows = 0, cols = 0;

    const std::uint8_t* row(std::size_t r) const noexcept { return codes.data() + r * cols; }
};

class BinCuts {
public:
    static constexpr std::size_t kMaxBins = 256;

    BinCuts() = default;
    // Cut points from the values of `x` (NaN is missing): at most
    // max_bins - 1 value codes per feature and the missing code max_bins - 1.
    // Runs on the pool when called inside a job.
    // `categories[f]` > 0 marks feature f categorical with that many
    // categories, coded 0 .. categories[f] - 1 in x (at most max_bins - 1):
    // each its own code, whatever the rows show.
    static BinCuts fit(const MatrixView& x, std::size_t max_bins, std::span<const std::uint16_t> categories = {});

    std::size_t features() const noexcept { return cuts_.size(); }
    std::uint8_t missing_code() const noexcept { return missing_; }
    // Value codes 0 .. value_codes(f) - 1 occur for feature f.
    std::size_t value_codes(std::size_t f) const noexcept { return cuts_[f].size() + 1; }
    const std::vector<double>& cuts(std::size_t f) const noexcept { return cuts_[f]; }
    std::uint8_t code(std::size_t f, double v) const noexcept;
    bool categorical(std::size_t f) const noexcept { return f < categories_.size() && categories_[f] > 0; }
    bool any_categorical() const noexcept { return !categories_.empty(); }
    // Per feature, its number of categories (0: ordered); empty when none is.
    const std::vector<std::uint16_t>& categories() const noexcept { return categories_; }

    // The codes of `x`, which has at least features() columns (more are ignored).
    CodedRows encode(const MatrixView& x) const;

    void write(ByteWriter& w) const;
    // False with `error` set when the bytes do not hold valid cuts.
    bool read(ByteReader& r, std::string& error);
    // The categorical features, which the newer formats store after the cuts.
    void write_categories(ByteWriter& w) const;
    bool read_categories(ByteReader& r, std::string& error);

private:
    std::vector<std::vector<double>> cuts_;  // ascending, distinct
    std::uint8_t missing_ = kMaxBins - 1;
    std::vector<std::uint16_t> categories_;
};

}  // namespace quorvantis::engine
