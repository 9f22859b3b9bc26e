// Number and padding formats of the user-facing texts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvantis {

// Shortest text that reads back to the same double, never in exponent form,
// without a decimal point for whole values: 2 -> "2", 1e-7 -> "0.0000001".
std::string format_plain(double value);

// Shortest round-trip form with at least one fractional digit when the value
// is zero or 1e-4 <= |value| < 1e16 ("2.0"), exponent form otherwise ("1e-15").
std::string format_diagnostic(double value);

// JSON number: shortest round-trip, fixed for exponents -5..15 ("3.0",
// "0.00001"), exponent form with explicit sign otherwise ("1e+16", "2.5e-6");
// non-finite values give "null".
std::string format_json_number(double value);

// Exactly four decimals, exact halfway cases to even; "NaN", "inf", "-inf".
std::string format_fixed4(double value);

// Number of Unicode code points of UTF-8 text.
std::size_t code_points(std::string_view utf8);

// Pad with blanks up to `width` code points; longer text is kept whole.
std::string pad_left(std::string_view text, std::size_t width);   // right-aligned
std::string pad_right(std::string_view text, std::size_t width);  // left-aligned

}  // namespace quorvantis
