// The Prometheus text writer: exact bytes of families, escaping, numbers
// and histograms.
#include "service/exposition.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

namespace zt {
namespace {

TEST(Exposition, WritesFamiliesAndEscapesLabelValuesAndHelp) {
  Exposition out;
  out.Family("zt_x_total", "counter", "Back\\slash and\nnew line.");
  out.Sample("zt_x_total", {{"a", "q\"uote"}, {"b", "back\\slash\nline"}}, uint64_t{7});
  out.Sample("zt_x_total", uint64_t{18446744073709551615u});
  EXPECT_EQ(out.text(),
            "# HELP zt_x_total Back\\\\slash and\\nnew line.\n"
            "# TYPE zt_x_total counter\n"
            "zt_x_total{a=\"q\\\"uote\",b=\"back\\\\slash\\nline\"} 7\n"
            "zt_x_total 18446744073709551615\n");
}

TEST(Exposition, NumbersAreShortestWithoutExponent) {
  struct Case {
    double value;
    const char* text;
  };
  for (const Case& c : {Case{0, "0"}, Case{1, "1"}, Case{0.00001, "0.00001"},
                        Case{0.000025, "0.000025"}, Case{12.5, "12.5"}, Case{1e20,
                        "100000000000000000000"}, Case{-3.25, "-3.25"},
                        Case{std::numeric_limits<double>::infinity(), "+Inf"},
                        Case{-std::numeric_limits<double>::infinity(), "-Inf"},
                        Case{std::nan(""), "NaN"}}) {
    EXPECT_EQ(FormatNumber(c.value), c.text);
  }
}

TEST(Exposition, HistogramBucketsAreCumulativeAndEndInInf) {
  const std::array<double, 2> bounds = {0.001, 0.5};
  const std::array<uint64_t, 3> counts = {2, 0, 3};  // non-cumulative, last is +Inf
  Exposition out;
  out.Histogram("zt_d_seconds", {{"group", "g"}}, bounds, counts, 7.25);
  EXPECT_EQ(out.text(),
            "zt_d_seconds_bucket{group=\"g\",le=\"0.001\"} 2\n"
            "zt_d_seconds_bucket{group=\"g\",le=\"0.5\"} 2\n"
            "zt_d_seconds_bucket{group=\"g\",le=\"+Inf\"} 5\n"
            "zt_d_seconds_sum{group=\"g\"} 7.25\n"
            "zt_d_seconds_count{group=\"g\"} 5\n");
}

}  // namespace
}  // namespace zt
