#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "ops_testing.hpp"

using namespace zorv;
using namespace zorv::testing;

namespace {

// Straight from the definition: NaN in the window gives NaN, else a scan from the identity that
// replaces the running value only on a strict improvement.
Panel ref_rolling_extreme(const Panel &p, std::size_t n, bool max) {
  Panel out(p.dates, p.symbols);
  const auto R = static_cast<std::size_t>(p.data.rows());
  if (n == 0 || n > R) {
    return out;
  }
  for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
    for (std::size_t t = n - 1; t < R; ++t) {
      double best = max ? -Inf : Inf;
      bool nan = false;
      for (std::size_t r = t + 1 - n; r <= t; ++r) {
        const double v = p.data(static_cast<Eigen::Index>(r), c);
        if (std::isnan(v)) {
          nan = true;
        } else if (max ? v > best : v < best) {
          best = v;
        }
      }
      out.data(static_cast<Eigen::Index>(t), c) = nan ? NaN : best;
    }
  }
  return out;
}

} // namespace

TEST(RollingExtreme, Examples) {
  struct Case {
    std::vector<double> col;
    std::size_t n;
    std::vector<double> max, min;
  } cases[] = {
      {{1, 5, 2, 4}, 3, {NaN, NaN, 5, 5}, {NaN, NaN, 1, 2}},
      {{1, NaN, 2, 4}, 3, {NaN, NaN, NaN, NaN}, {NaN, NaN, NaN, NaN}},
      {{1, 5, 2, 4, 3}, 2, {NaN, 5, 5, 4, 4}, {NaN, 1, 2, 2, 3}},
      {{1, 5, 2}, 3, {NaN, NaN, 5}, {NaN, NaN, 1}},
      {{1, 5, 2}, 4, {NaN, NaN, NaN}, {NaN, NaN, NaN}},
      {{1, 5, 2}, 0, {NaN, NaN, NaN}, {NaN, NaN, NaN}},
      {{1, 5, 2}, 1, {1, 5, 2}, {1, 5, 2}},
      {{1, Inf, -Inf}, 2, {NaN, Inf, Inf}, {NaN, 1, -Inf}},
      {{-Inf, -Inf}, 2, {NaN, -Inf}, {NaN, -Inf}},
      // Equal values: the earlier one is kept, so the sign of a zero follows the window.
      {{0.0, -0.0, 0.0}, 2, {NaN, 0.0, -0.0}, {NaN, 0.0, -0.0}},
      {{-0.0, 0.0, -0.0, -0.0}, 3, {NaN, NaN, -0.0, 0.0}, {NaN, NaN, -0.0, 0.0}},
      {{}, 1, {}, {}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(column(c.col).rolling_max(c.n), c.max)) << "n=" << c.n;
    EXPECT_TRUE(same_cells(column(c.col).rolling_min(c.n), c.min)) << "n=" << c.n;
  }
}

TEST(RollingExtreme, KeepsGridAndHandlesEmpty) {
  const Panel p = grid(3, 0, {});
  const Panel q = p.rolling_max(2);
  EXPECT_EQ(q.dates, p.dates);
  EXPECT_EQ(q.data.rows(), 3);
  EXPECT_EQ(q.data.cols(), 0);
  EXPECT_EQ(grid(0, 2, {}).rolling_min(0).data.cols(), 2);
}

TEST(RollingExtreme, MatchesScanOnRandomPanels) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 300; ++iter) {
    const std::size_t rows = rng() % 40;
    const std::size_t cols = rng() % 6;
    const Panel p = random_panel(rng, rows, cols, iter % 2 == 0);
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                          std::size_t{5}, std::size_t{7}, rows, rows + 1, rng() % 45}) {
      ASSERT_TRUE(same_panel(p.rolling_max(n), ref_rolling_extreme(p, n, true)))
          << "max rows=" << rows << " n=" << n;
      ASSERT_TRUE(same_panel(p.rolling_min(n), ref_rolling_extreme(p, n, false)))
          << "min rows=" << rows << " n=" << n;
    }
  }
}
