#include "quorvantis/base/format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace quorvantis {
namespace {

// A finite double as its shortest round-trip significand digits and the
// decimal exponent of the first digit: value = 0.d1d2... * 10^(exp10 + 1).
struct Decimal {
    bool negative = false;
    std::string digits;
    int exp10 = 0;
};

Decimal decompose(double value) {
    std::array<char, 64> buf{};
    const double magnitude = std::fabs(value);
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), magnitude, std::chars_format::scientific);
    (void)ec;  // 64 bytes always suffice for a double
    Decimal d;
    d.negative = std::signbit(value);
    const char* p = buf.data();
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') d.digits.push_back(*p);
    }
    if (p < end) std::from_chars(p + 1 + (p[1] == '+'), end, d.exp10);
    return d;
}

std::string fixed_layout(const Decimal& d, bool force_fraction) {
    std::string out = d.negative ? "-" : "";
    const int n = static_cast<int>(d.digits.size());
    if (d.exp10 < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exp10 - 1), '0');
        out += d.digits;
        return out;
    }
    const int int_len = d.exp10 + 1;
    if (n <= int_len) {
        out += d.digits;
        out.append(static_cast<std::size_t>(int_len - n), '0');
        if (force_fraction) out += ".0";
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(int_len));
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(int_len), std::string::npos);
    }
    return out;
}

std::string exponent_layout(const Decimal& d, bool plus_sign) {
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) {
        out += '.';
        out.append(d.digits, 1, std::string::npos);
    }
    out += 'e';
    if (d.exp10 < 0) {
        out += '-';
    } else if (plus_sign) {
        out += '+';
    }
    out += std::to_string(d.exp10 < 0 ? -d.exp10 : d.exp10);
    return out;
}

const char* non_finite(double value) {
    if (std::isnan(value)) return "NaN";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace

std::string format_plain(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    if (value == 0.0) return std::signbit(value) ? "-0" : "0";
    return fixed_layout(decompose(value), false);
}

std::string format_diagnostic(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
    const double magnitude = std::fabs(value);
    const Decimal d = decompose(value);
    if (magnitude >= 1e-4 && magnitude < 1e16) return fixed_layout(d, true);
    return exponent_layout(d, false);
}

std::string format_json_number(double value) {
    if (!std::isfinite(value)) return "null";
    if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
    const Decimal d = decompose(value);
    if (d.exp10 >= -5 && d.exp10 <= 15) return fixed_layout(d, true);
    return exponent_layout(d, true);
}

std::string format_fixed4(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    // to_chars with a precision rounds the exact binary value, ties to even.
    std::array<char, 400> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 4);
    (void)ec;  // |double| < 2^1024 has at most 309 integer digits
    return std::string(buf.data(), end);
}

std::size_t code_points(std::string_view utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

std::string pad_left(std::string_view text, std::size_t width) {
    const std::size_t len = code_points(text);
    std::string out(len < width ? width - len : 0, ' ');
    out += text;
    return out;
}

std::string pad_right(std::string_view text, std::size_t width) {
    const std::size_t len = code_points(text);
    std::string out(text);
    if (len < width) out.append(width - len, ' ');
    return out;
}

}  // namespace quorvantis
