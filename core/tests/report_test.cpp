#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "quorvantis/report/text_report.hpp"
#include "names.hpp"

namespace {

const std::string kHead =
    "+----------------------------+----------------+\n"
    "| Metric                     | Value          |\n"
    "+----------------------------+----------------+\n";
const std::string kRule = "+----------------------------+----------------+\n";

std::string table(const std::string& mean, const std::string& count) {
    return kHead + "| Average Treatment Effect   | " + mean + " |\n" + "| Number of Observations     | " + count +
           " |\n" + kRule;
}

TEST(SummaryReport, WithoutNames) {
    const std::vector<double> fi = {0.6, 0.4};
    EXPECT_EQ(q::summary_report(0.5, 100, fi, std::nullopt),
              table("        0.5000", "           100") +
                  "\n[Feature Importance]\n"
                  "Feature 0           : 0.6000\n"
                  "Feature 1           : 0.4000\n"
                  "\n[Interpretation]\n"
                  "The treatment has a POSITIVE average effect of 0.5000.\n");
}

TEST(SummaryReport, NamesShorterLongerAndWide) {
    const std::vector<double> fi = {0.5, 0.25, 0.25};
    const std::string body = q::summary_report(-1.23456, 3, fi, std::vector<std::string>{"age", "income"});
    EXPECT_EQ(body, table("       -1.2346", "             3") +
                        "\n[Feature Importance]\n"
                        "age                 : 0.5000\n"
                        "income              : 0.2500\n"
                        "Feature 2           : 0.2500\n"
                        "\n[Interpretation]\n"
                        "The treatment has a NEGATIVE average effect of -1.2346.\n");
    const std::vector<double> one = {1.0};
    const std::string longer =
        q::summary_report(0.0, 1, one, std::vector<std::string>{"a_name_of_25_characters__", "unused"});
    EXPECT_NE(longer.find("\na_name_of_25_characters__: 1.0000\n"), std::string::npos);
    EXPECT_EQ(longer.find("unused"), std::string::npos);
    // Padding counts code points: "é" is one column.
    const std::string accented = q::summary_report(0.0, 1, one, std::vector<std::string>{"\xC3\xA9"});
    EXPECT_NE(accented.find("\n\xC3\xA9                   : 1.0000\n"), std::string::npos);
}

TEST(SummaryReport, SentencesAndSpecialMeans) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        double mean;
        const char* cell;
        const char* sentence;
    } rows[] = {
        {0.00001, "        0.0000", "The treatment has a POSITIVE average effect of 0.0000.\n"},
        {-0.00001, "       -0.0000", "The treatment has a NEGATIVE average effect of -0.0000.\n"},
        {0.0, "        0.0000", "The treatment has NO average effect on the outcome.\n"},
        {-0.0, "       -0.0000", "The treatment has NO average effect on the outcome.\n"},
        {nan, "           NaN", "The treatment has NO average effect on the outcome.\n"},
        {1e15, "1000000000000000.0000", "The treatment has a POSITIVE average effect of 1000000000000000.0000.\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cell);
        EXPECT_EQ(q::summary_report(r.mean, 0, {}, std::nullopt),
                  table(r.cell, "             0") + "\n[Feature Importance]\n\n[Interpretation]\n" + r.sentence);
    }
}

}  // namespace

namespace {

TEST(SummaryReportHtml, SameNumbersAndEscapedNames) {
    const std::vector<double> fi = {0.6, 0.4};
    EXPECT_EQ(q::summary_report_html(-1.23456, 7, fi, std::vector<std::string>{"<b>&\"'"}),
              "<table class=\"quorvantis-summary\">\n"
              "<thead><tr><th>Metric</th><th>Value</th></tr></thead>\n<tbody>\n"
              "<tr><td>Average Treatment Effect</td><td>-1.2346</td></tr>\n"
              "<tr><td>Number of Observations</td><td>7</td></tr>\n"
              "</tbody>\n</table>\n"
              "<table class=\"quorvantis-importance\">\n"
              "<thead><tr><th>Feature</th><th>Importance</th></tr></thead>\n<tbody>\n"
              "<tr><td>&lt;b&gt;&amp;&quot;&#39;</td><td>0.6000</td></tr>\n"
              "<tr><td>Feature 1</td><td>0.4000</td></tr>\n"
              "</tbody>\n</table>\n"
              "<p>The treatment has a NEGATIVE average effect of -1.2346.</p>\n");
}

}  // namespace
