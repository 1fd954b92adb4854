#include "average.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using samples = std::vector<double>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct average_case {
  const char* behaviour;
  samples values;
  std::string method;
  std::optional<samples> weights;
  double mean;
  double se;
  bool exact = true;  // false: the last bits may differ (log and exp)
};

std::ostream& operator<<(std::ostream& out, const average_case& row) {
  return out << row.behaviour;
}

// Equal to the last bit, with NaN equal to NaN and +0.0 unequal to -0.0.
bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b);
  }
  return a == b && std::signbit(a) == std::signbit(b);
}

class average_test : public ::testing::TestWithParam<average_case> {};

TEST_P(average_test, gives_mean_and_standard_error) {
  const average_case& row = GetParam();
  const tarnwell::AverageResult result =
      tarnwell::average(row.values, row.method, row.weights ? &*row.weights : nullptr);
  if (row.exact) {
    EXPECT_TRUE(same_double(result.mean, row.mean)) << result.mean << " != " << row.mean;
    EXPECT_TRUE(same_double(result.se, row.se)) << result.se << " != " << row.se;
  } else {
    EXPECT_DOUBLE_EQ(result.mean, row.mean);
    EXPECT_DOUBLE_EQ(result.se, row.se);
  }
}

INSTANTIATE_TEST_SUITE_P(
    methods, average_test,
    ::testing::Values(
        average_case{"arithmetic", {1, 2, 3, 4}, "arithmetic", {}, 2.5, std::sqrt(0.3125)},
        average_case{"divisor_is_n", {1, 3}, "arithmetic", {}, 2.0, std::sqrt(0.5)},
        average_case{"single_sample_has_no_error", {7}, "arithmetic", {}, 7.0, 0.0},
        average_case{"empty_arithmetic", {}, "arithmetic", {}, 0.0, 0.0},
        average_case{"empty_harmonic", {}, "harmonic", {}, 0.0, 0.0},
        average_case{"empty_geometric_does_not_throw", {}, "geometric", {}, 0.0, 0.0},
        average_case{"empty_weighted", {}, "weighted", samples{}, 0.0, 0.0},
        average_case{"harmonic_skips_zeros_but_counts_them",
                     {0, 2, 2},
                     "harmonic",
                     {},
                     3.0,
                     std::sqrt(11.0 / 3.0 / 3.0)},
        average_case{"harmonic_all_zero", {0.0, -0.0}, "harmonic", {}, 0.0, 0.0},
        average_case{"harmonic_nan_is_not_skipped", {nan, 2}, "harmonic", {}, nan, nan},
        average_case{"geometric", {1, 4}, "geometric", {}, 2.0, std::sqrt(1.25), false},
        average_case{"geometric_nan_passes", {nan, 4}, "geometric", {}, nan, nan},
        average_case{"weighted",
                     {1, 2, 3},
                     "weighted",
                     samples{1, 1, 2},
                     2.25,
                     std::sqrt(2.1875 / 3.0 / 3.0)},
        average_case{"weighted_zero_weights", {3, 4}, "weighted", samples{0, 0}, 0.0, 2.5},
        average_case{"weighted_nan_weight_sum", {3, 4}, "weighted", samples{nan, 1}, nan, nan},
        average_case{"weighted_other_length_is_arithmetic",
                     {1, 2, 3},
                     "weighted",
                     samples{1, 1},
                     2.0,
                     std::sqrt(2.0 / 3.0 / 3.0)},
        average_case{"weighted_without_weights_is_arithmetic",
                     {1, 2, 3},
                     "weighted",
                     {},
                     2.0,
                     std::sqrt(2.0 / 3.0 / 3.0)},
        average_case{"weights_ignored_by_other_methods",
                     {1, 3},
                     "arithmetic",
                     samples{0, 1},
                     2.0,
                     std::sqrt(0.5)},
        average_case{
            "case_ignored_harmonic", {0, 2, 2}, "Harmonic", {}, 3.0, std::sqrt(11.0 / 3.0 / 3.0)},
        average_case{
            "case_ignored_geometric", {1, 4}, "GEOMETRIC", {}, 2.0, std::sqrt(1.25), false},
        average_case{"case_ignored_weighted",
                     {1, 2, 3},
                     "Weighted",
                     samples{1, 1, 2},
                     2.25,
                     std::sqrt(2.1875 / 3.0 / 3.0)},
        average_case{"leading_blank_is_arithmetic", {1, 3}, " harmonic", {}, 2.0, std::sqrt(0.5)},
        average_case{
            "unknown_name_is_arithmetic", {1, 2, 3, 4}, "median", {}, 2.5, std::sqrt(0.3125)},
        average_case{"empty_name_is_arithmetic", {1, 2, 3, 4}, "", {}, 2.5, std::sqrt(0.3125)}),
    [](const ::testing::TestParamInfo<average_case>& info) { return info.param.behaviour; });

class geometric_refusal_test : public ::testing::TestWithParam<samples> {};

TEST_P(geometric_refusal_test, throws_invalid_argument) {
  try {
    tarnwell::average(GetParam(), "geometric", nullptr);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "geometric mean is only defined for positive values");
  }
}

INSTANTIATE_TEST_SUITE_P(samples_at_or_below_zero, geometric_refusal_test,
                         ::testing::Values(samples{0.0}, samples{-0.0}, samples{-1.0},
                                           samples{1.0, 4.0, 0.0}, samples{nan, -2.0}));

TEST(average_test, leaves_the_method_name_unchanged) {
  const std::string method = "HARMONIC";
  tarnwell::average({1, 2}, method, nullptr);
  EXPECT_EQ(method, "HARMONIC");
}

TEST(vector_sum_test, empty_gives_positive_zero) {
  const double sum = tarnwell::vector_sum({});
  EXPECT_EQ(sum, 0.0);
  EXPECT_FALSE(std::signbit(sum));
}

TEST(vector_sum_test, starts_at_positive_zero) {
  EXPECT_FALSE(std::signbit(tarnwell::vector_sum({-0.0, -0.0})));
}

// In index order 1e16 + 1 rounds back to 1e16, so only the last 1 survives; any other order
// of adding (sorted, pairwise, several accumulators) gives 0 or 2.
TEST(vector_sum_test, adds_in_index_order) {
  EXPECT_EQ(tarnwell::vector_sum({1e16, 1.0, -1e16, 1.0}), 1.0);
  EXPECT_EQ(tarnwell::average({1e16, 1.0, -1e16, 1.0}, "arithmetic", nullptr).mean, 0.25);
}

}  // namespace
