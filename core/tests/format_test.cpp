#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "quorvantis/base/format.hpp"
#include "names.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Row {
    double value;
    const char* plain;
    const char* diagnostic;
    const char* json;
    const char* fixed4;
};

TEST(Format, NumberForms) {
    const std::vector<Row> rows = {
        {2.0, "2", "2.0", "2.0", "2.0000"},
        {0.5, "0.5", "0.5", "0.5", "0.5000"},
        {-1.0, "-1", "-1.0", "-1.0", "-1.0000"},
        {1e-7, "0.0000001", "1e-7", "1e-7", "0.0000"},
        {1e-15, "0.000000000000001", "1e-15", "1e-15", "0.0000"},
        {1e-4, "0.0001", "0.0001", "0.0001", "0.0001"},
        {1e-5, "0.00001", "1e-5", "0.00001", "0.0000"},
        {1e-6, "0.000001", "1e-6", "1e-6", "0.0000"},
        {2.5e-6, "0.0000025", "2.5e-6", "2.5e-6", "0.0000"},
        {1e16, "10000000000000000", "1e16", "1e+16", "10000000000000000.0000"},
        {1e15, "1000000000000000", "1000000000000000.0", "1000000000000000.0", "1000000000000000.0000"},
        {1.5e300, nullptr, "1.5e300", "1.5e+300", nullptr},
        {123.456, "123.456", "123.456", "123.456", "123.4560"},
        {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004", "0.30000000000000004", "0.3000"},
        {0.0, "0", "0.0", "0.0", "0.0000"},
        {-0.0, "-0", "-0.0", "-0.0", "-0.0000"},
        {0.03125, "0.03125", "0.03125", "0.03125", "0.0312"},
        {0.09375, "0.09375", "0.09375", "0.09375", "0.0938"},
        {-0.00001, "-0.00001", "-1e-5", "-0.00001", "-0.0000"},
        {0.123456, "0.123456", "0.123456", "0.123456", "0.1235"},
        {-1.23456, "-1.23456", "-1.23456", "-1.23456", "-1.2346"},
        {kNaN, "NaN", "NaN", "null", "NaN"},
        {kInf, "inf", "inf", "null", "inf"},
        {-kInf, "-inf", "-inf", "null", "-inf"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.json);
        if (r.plain) {
            EXPECT_EQ(q::format_plain(r.value), r.plain);
        }
        EXPECT_EQ(q::format_diagnostic(r.value), r.diagnostic);
        EXPECT_EQ(q::format_json_number(r.value), r.json);
        if (r.fixed4) {
            EXPECT_EQ(q::format_fixed4(r.value), r.fixed4);
        }
    }
}

TEST(Format, PlainFormRoundTrips) {
    for (double v : {1.0 / 3.0, 2.0 / 3.0 * 1e-12, 123456789.125, 5e-324, 1.7976931348623157e308}) {
        EXPECT_EQ(std::strtod(q::format_plain(v).c_str(), nullptr), v);
    }
}

TEST(Format, PaddingCountsCodePointsAndNeverCuts) {
    EXPECT_EQ(q::pad_left("0.5000", 14), "        0.5000");
    EXPECT_EQ(q::pad_right("0", 12), "0           ");
    EXPECT_EQ(q::pad_right("\xC3\xA9t\xC3\xA9", 5), "\xC3\xA9t\xC3\xA9  ");  // "ete" with accents
    EXPECT_EQ(q::pad_right("\xF0\x9F\x98\x80", 2), "\xF0\x9F\x98\x80 ");     // one emoji
    EXPECT_EQ(q::pad_left("123456789012345", 14), "123456789012345");
    EXPECT_EQ(q::code_points("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 4u);
}

}  // namespace
