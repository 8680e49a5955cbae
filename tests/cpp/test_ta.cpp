#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/ops/ta.hpp"
#include "ops_testing.hpp"

using namespace zorv;
using namespace zorv::testing;

namespace {

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

::testing::AssertionResult same_list(const std::vector<double> &got,
                                     const std::vector<double> &want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (!same_bits(got[i], want[i]))
      return ::testing::AssertionFailure()
             << "at " << i << ": got " << got[i] << " want " << want[i];
  return ::testing::AssertionSuccess();
}

Panel ok(Result<Panel> r) {
  EXPECT_TRUE(r.has_value()) << (r.has_value() ? "" : r.error().to_string());
  return r.has_value() ? std::move(*r) : Panel();
}

// One-column high, low, close (and volume) series.
struct Hlc {
  Panel h, l, c, v;
  Hlc(std::vector<double> high, std::vector<double> low, std::vector<double> close,
      std::vector<double> volume = {})
      : h(column(std::move(high))), l(column(std::move(low))), c(column(std::move(close))),
        v(column(volume.empty() ? std::vector<double>(c.rows(), 1.0) : std::move(volume))) {}
};

using Indicator =
    std::function<Result<Panel>(const Panel &, const Panel &, const Panel &, const Panel &)>;

// Every panel indicator, called as (high, low, close, volume).
struct Named {
  const char *name;
  const char *reads; // which of high, low, volume the indicator takes: "hl", "v", "hlv"
  Indicator fn;
};

const Named kIndicators[] = {
    {"atr", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::atr(h, l, c, 3); }},
    {"natr", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::natr(h, l, c, 3); }},
    {"cci", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::cci(h, l, c, 3); }},
    {"willr", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::willr(h, l, c, 3); }},
    {"stoch_k", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::stoch_k(h, l, c, 3); }},
    {"stoch_d", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::stoch_d(h, l, c, 3, 2); }},
    {"plus_di", "hl",
     [](auto &h, auto &l, auto &c, auto &) { return ta::di_panel(h, l, c, 3, true); }},
    {"minus_di", "hl",
     [](auto &h, auto &l, auto &c, auto &) { return ta::di_panel(h, l, c, 3, false); }},
    {"adx", "hl", [](auto &h, auto &l, auto &c, auto &) { return ta::adx(h, l, c, 2); }},
    {"obv", "v", [](auto &, auto &, auto &c, auto &v) { return ta::obv(c, v); }},
    {"mfi", "hlv", [](auto &h, auto &l, auto &c, auto &v) { return ta::mfi(h, l, c, v, 3); }},
    {"vwap", "hlv", [](auto &h, auto &l, auto &c, auto &v) { return ta::vwap(h, l, c, v, 3); }},
};

} // namespace

TEST(TaWilder, SeedLeavesOutStart) {
  const std::vector<double> x{1, 2, 3, 4, 5};
  struct Case {
    std::vector<double> x;
    std::size_t start, n;
    std::vector<double> want;
  } cases[] = {
      {x, 0, 2, {NaN, NaN, 2.5, 3.25, 4.125}},
      {x, 1, 2, {NaN, NaN, NaN, 3.5, 4.25}},
      {x, 0, 1, {NaN, 2, 3, 4, 5}},
      {x, 0, 0, {NaN, NaN, NaN, NaN, NaN}},
      {x, 2, 3, {NaN, NaN, NaN, NaN, NaN}}, // start + n == length
      {x, 0, kHuge, {NaN, NaN, NaN, NaN, NaN}},
      {x, kHuge, 1, {NaN, NaN, NaN, NaN, NaN}},
      {{1, NaN, 3, 4}, 0, 2, {NaN, NaN, NaN, NaN}},
      {{NaN, 2, 3, NaN, 5}, 0, 2, {NaN, NaN, 2.5, NaN, NaN}},
      {{1, -0.0, 2}, 0, 1, {NaN, 0.0, 2}}, // the seed sum starts from +0.0
      {{}, 0, 1, {}},
  };
  for (const auto &c : cases)
    EXPECT_TRUE(same_list(ta::wilder_col(c.x, c.start, c.n), c.want))
        << "start " << c.start << " n " << c.n;
}

TEST(TaAtr, FirstValueAndSmoothing) {
  // True ranges of rows 1..4: 2, 2, 5, 6.
  Hlc in({10, 11, 12, 14, 13}, {8, 9, 10, 9, 7}, {9, 10, 11, 11, 10});
  EXPECT_TRUE(same_cells(ok(ta::atr(in.h, in.l, in.c, 3)), {NaN, NaN, NaN, 3, 4}));
  // Start row 1: the seed is rows 2..4.
  Hlc late({10, 11, 12, 14, 13}, {8, 9, 10, 9, 7}, {NaN, 10, 11, 11, 10});
  EXPECT_TRUE(same_cells(ok(ta::atr(late.h, late.l, late.c, 3)), {NaN, NaN, NaN, NaN, 13.0 / 3}));
  Hlc three({10, 11, 12}, {8, 9, 10}, {9, 10, 11});
  EXPECT_TRUE(same_cells(ok(ta::atr(three.h, three.l, three.c, 3)), {NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::atr(in.h, in.l, in.c, 0)), {NaN, NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::atr(in.h, in.l, in.c, kHuge)), {NaN, NaN, NaN, NaN, NaN}));
}

TEST(TaAtr, TrueRangeNaNRules) {
  // With n = 1 the ATR of row 1 is that row's true range.
  struct Case {
    double h, l, prev_close, want;
  } cases[] = {
      {12, 10, 11, 2},  {12, 10, 15, 5},  {12, 10, 5, 7},     {NaN, NaN, 11, NaN},
      {12, NaN, 11, 1}, {NaN, 10, 13, 3}, {Inf, 10, 11, Inf}, {Inf, Inf, 11, Inf},
  };
  for (const auto &c : cases) {
    Hlc in({0, c.h}, {0, c.l}, {c.prev_close, 1});
    EXPECT_TRUE(same_cells(ok(ta::atr(in.h, in.l, in.c, 1)), {NaN, c.want}))
        << c.h << " " << c.l << " " << c.prev_close;
  }
  // A NaN previous close leaves high - low; a row with high and low NaN poisons the rest.
  Hlc gap({0, 12, 20, 13}, {0, 10, 17, 12}, {11, NaN, 5, 12});
  EXPECT_TRUE(same_cells(ok(ta::atr(gap.h, gap.l, gap.c, 1)), {NaN, 2, 3, 8}));
  Hlc hole({10, 11, 12, 14, 13}, {8, 9, 10, 9, 7}, {9, 10, 11, 11, 10});
  hole.h.data(4, 0) = NaN;
  hole.l.data(4, 0) = NaN;
  EXPECT_TRUE(same_cells(ok(ta::atr(hole.h, hole.l, hole.c, 3)), {NaN, NaN, NaN, 3, NaN}));
  hole.h.data(2, 0) = NaN;
  hole.l.data(2, 0) = NaN;
  EXPECT_TRUE(same_cells(ok(ta::atr(hole.h, hole.l, hole.c, 2)), {NaN, NaN, NaN, NaN, NaN}));
}

TEST(TaNatr, GuardsCloseAndAtr) {
  // n = 1: the ATR of row 1 is 2, of row 2 is 4.
  struct Case {
    double close, want;
  } cases[] = {{4, 100}, {-8, -50}, {0, NaN}, {-0.0, NaN}, {NaN, NaN}};
  for (const auto &c : cases) {
    Hlc in({0, 12, 14}, {0, 10, 10}, {11, 11, c.close});
    Panel p = ok(ta::natr(in.h, in.l, in.c, 1));
    EXPECT_TRUE(std::isnan(p.data(0, 0)));
    EXPECT_TRUE(same_bits(p.data(1, 0), 2 * 100.0 / 11)) << c.close;
    EXPECT_TRUE(same_bits(p.data(2, 0), c.want)) << c.close;
  }
}

TEST(TaCci, WindowsAndFlatGuard) {
  // High = low = close, so the typical price is the close.
  auto cci = [](std::vector<double> c, std::size_t n) {
    Panel p = column(std::move(c));
    return ok(ta::cci(p, p, p, n));
  };
  const double v = (3.0 - 2.0) / ((2.0 / 3.0) * 0.015);
  EXPECT_TRUE(same_cells(cci({1, 2, 3}, 3), {NaN, NaN, v}));
  EXPECT_TRUE(same_cells(cci({5, 5, 5, 5}, 2), {NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(cci({1, 2, 3, 4}, 1), {NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(cci({1, 2, 3}, 0), {NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(cci({1, 2, 3}, kHuge), {NaN, NaN, NaN}));
  EXPECT_TRUE(
      same_cells(cci({NaN, 1, 2, 3, Inf, 1, 2, 3}, 3), {NaN, NaN, NaN, v, NaN, NaN, NaN, v}));
  // A NaN high makes the typical price non-finite even where close is finite.
  Hlc in({1, NaN, 3, 4}, {1, 2, 3, 4}, {1, 2, 3, 4});
  Panel p = ok(ta::cci(in.h, in.l, in.c, 2));
  EXPECT_TRUE(same_cells(p, {NaN, NaN, NaN, (4.0 - 3.5) / (0.5 * 0.015)}));
}

TEST(TaRange, WillrAndStochK) {
  // Highs and lows held over the 2-row window: HH 10, LL 5.
  struct Case {
    double close, willr, stoch;
  } cases[] = {{10, -0.0, 100.0}, {7.5, -50.0, 50.0}, {5, -100.0, 0.0},
               {12, 40.0, 140.0}, {NaN, NaN, NaN},    {Inf, NaN, NaN}};
  for (const auto &c : cases) {
    Hlc in({9, 10, 8}, {6, 5, 7}, {NaN, NaN, c.close});
    EXPECT_TRUE(same_cells(ok(ta::willr(in.h, in.l, in.c, 2)), {NaN, NaN, c.willr})) << c.close;
    EXPECT_TRUE(same_cells(ok(ta::stoch_k(in.h, in.l, in.c, 2)), {NaN, NaN, c.stoch})) << c.close;
  }
  // An empty range and a NaN in the high window stay NaN.
  Hlc flat({5, 5, 5}, {5, 5, 5}, {5, 4, 6});
  EXPECT_TRUE(same_cells(ok(ta::willr(flat.h, flat.l, flat.c, 1)), {NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::stoch_k(flat.h, flat.l, flat.c, 1)), {NaN, NaN, NaN}));
  Hlc gap({10, NaN, 10, 10}, {5, 5, 5, 5}, {5, 5, 5, 5});
  EXPECT_TRUE(same_cells(ok(ta::stoch_k(gap.h, gap.l, gap.c, 2)), {NaN, NaN, NaN, 0}));
}

TEST(TaStochD, AveragesFiniteK) {
  Hlc in({10, 10, 10, 10, 10}, {0, 0, 0, 0, 0}, {NaN, 20, 40, NaN, 80});
  Panel k = ok(ta::stoch_k(in.h, in.l, in.c, 1));
  EXPECT_TRUE(same_panel(ok(ta::stoch_d(in.h, in.l, in.c, 1, 1)), k));
  EXPECT_TRUE(same_cells(ok(ta::stoch_d(in.h, in.l, in.c, 1, 2)), {NaN, NaN, 300, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::stoch_d(in.h, in.l, in.c, 1, 0)), {NaN, NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::stoch_d(in.h, in.l, in.c, 1, kHuge)), {NaN, NaN, NaN, NaN, NaN}));
  // A %K of -0.0 averages to +0.0: the window sum starts from +0.0.
  Hlc zero({1, 1}, {0, 0}, {-0.0, -0.0});
  EXPECT_TRUE(same_cells(ok(ta::stoch_k(zero.h, zero.l, zero.c, 1)), {-0.0, -0.0}));
  EXPECT_TRUE(same_cells(ok(ta::stoch_d(zero.h, zero.l, zero.c, 1, 1)), {0.0, 0.0}));
}

TEST(TaAroon, TiesGoToLatestRow) {
  struct Case {
    std::vector<double> x;
    std::size_t n;
    bool up;
    std::vector<double> want;
  } cases[] = {
      {{5, 7, 7}, 2, true, {NaN, NaN, 100}},
      {{3, 3, 4}, 2, false, {NaN, NaN, 50}},
      {{9, 1, 2, 3}, 2, true, {NaN, NaN, 0, 100}},
      {{NaN, 4, 1, 2, NaN, 5, 6}, 2, false, {NaN, NaN, NaN, 50, NaN, NaN, NaN}},
      {{1, 2, 3}, 0, true, {NaN, NaN, NaN}},
      {{1, 2, 3}, kHuge, true, {NaN, NaN, NaN}},
  };
  for (const auto &c : cases)
    EXPECT_TRUE(same_cells(ta::aroon_dir(column(c.x), c.n, c.up), c.want));
}

TEST(TaAroon, MatchesWindowScan) {
  std::mt19937_64 rng(7);
  const Panel x = random_panel(rng, 300, 11, false);
  for (std::size_t n : {1, 2, 3, 7}) {
    for (bool up : {true, false}) {
      const Panel got = ta::aroon_dir(x, n, up);
      Panel want(x.dates, x.symbols);
      for (Eigen::Index j = 0; j < x.data.cols(); ++j) {
        for (auto t = static_cast<Eigen::Index>(n); t < x.data.rows(); ++t) {
          const Eigen::Index lo = t - static_cast<Eigen::Index>(n);
          bool all = true;
          Eigen::Index best = lo;
          for (Eigen::Index i = lo; i <= t; ++i) {
            const double v = x.data(i, j);
            all = all && std::isfinite(v);
            if (up ? v >= x.data(best, j) : v <= x.data(best, j))
              best = i;
          }
          if (all)
            want.data(t, j) = static_cast<double>(n - static_cast<std::size_t>(t - best)) * 100.0 /
                              static_cast<double>(n);
        }
      }
      EXPECT_TRUE(same_panel(got, want)) << "n " << n << " up " << up;
    }
  }
}

TEST(TaObv, RunningTotal) {
  struct Case {
    std::vector<double> close, volume, want;
  } cases[] = {
      {{10, 11, 11, 10}, {5, 6, 7, 8}, {5, 11, 11, 3}},
      {{NaN, 10, NaN, 12}, {1, 5, 6, 7}, {NaN, 5, 5, 5}},
      {{10, 11, 12}, {NaN, 6, 7}, {NaN, NaN, NaN}},
      {{10, 11, 11, 12}, {1, 2, NaN, 3}, {1, 3, 3, 6}},
      {{NaN, Inf}, {1, 2}, {NaN, NaN}},
      {{10, 10, 11}, {-0.0, 5, 2}, {-0.0, -0.0, 2}},
  };
  for (const auto &c : cases)
    EXPECT_TRUE(same_cells(ok(ta::obv(column(c.close), column(c.volume))), c.want));
}

TEST(TaMfi, FlowsAndGuards) {
  // Typical prices equal the closes.
  auto mfi = [](std::vector<double> c, std::vector<double> v, std::size_t n) {
    Panel p = column(std::move(c));
    return ok(ta::mfi(p, p, p, column(std::move(v)), n));
  };
  EXPECT_TRUE(same_cells(mfi({1, 2, 3, 3}, {1, 1, 1, 1}, 2), {NaN, NaN, 100, 100}));
  // An unchanged typical price is neither a positive nor a negative flow.
  EXPECT_TRUE(same_cells(mfi({1, 2, 2, 1}, {1, 1, 1, 1}, 2), {NaN, NaN, 100, 0}));
  EXPECT_TRUE(same_cells(mfi({NaN, 1, 2, 1}, {1, 1, 1, 1}, 0), {NaN, 100, 100, 100}));
  // Row 2: P = 2*2, N = 0 -> 100; row 3: P = 4, N = 1*1 -> 100 - 100 / 5.
  EXPECT_TRUE(
      same_cells(mfi({1, 2, 1}, {1, 2, 1}, 2), {NaN, NaN, 100.0 - 100.0 / (4.0 / 1.0 + 1.0)}));
  EXPECT_TRUE(same_cells(mfi({1, 2, 1, 0.5}, {1, 2, 1, 3}, 1), {NaN, 100, 0, 0}));
  EXPECT_TRUE(same_cells(mfi({1, 2, 3}, {1, 1, 1}, 3), {NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(mfi({1, 2, 3}, {1, 1, 1}, kHuge), {NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(mfi({1, 2, 1, 2}, {1, NaN, 1, 1}, 2),
                         {NaN, NaN, NaN, 100.0 - 100.0 / (2.0 / 1.0 + 1.0)}));
}

TEST(TaVwap, WeightsAndZeroVolume) {
  auto vwap = [](std::vector<double> c, std::vector<double> v, std::size_t n) {
    Panel p = column(std::move(c));
    return ok(ta::vwap(p, p, p, column(std::move(v)), n));
  };
  EXPECT_TRUE(same_cells(vwap({1, 2, 4}, {1, 0, 3}, 1), {1, NaN, 4}));
  EXPECT_TRUE(same_cells(vwap({1, 2, 4}, {1, 1, 3}, 2), {NaN, 1.5, 14.0 / 4.0}));
  EXPECT_TRUE(same_cells(vwap({1, 2, 4}, {1, -1, 3}, 2), {NaN, NaN, 10.0 / 2.0}));
  EXPECT_TRUE(same_cells(vwap({NaN, 2, 4, 5}, {1, 1, NaN, 1}, 1), {NaN, 2, NaN, 5}));
  EXPECT_TRUE(same_cells(vwap({1, 2}, {1, 1}, 0), {NaN, NaN}));
  EXPECT_TRUE(same_cells(vwap({1, 2}, {1, 1}, kHuge), {NaN, NaN}));
}

TEST(TaDirectional, FlatMovesGiveZeroDx) {
  // Constant high 11 and low 9: no directional movement, true range 2.
  Hlc in({11, 11, 11, 11, 11, 11}, {9, 9, 9, 9, 9, 9}, {NaN, 10, 10, 10, 10, 10});
  const std::vector<double> di{NaN, NaN, NaN, 0, 0, 0};
  EXPECT_TRUE(same_cells(ok(ta::di_panel(in.h, in.l, in.c, 2, true)), di));
  EXPECT_TRUE(same_cells(ok(ta::di_panel(in.h, in.l, in.c, 2, false)), di));
  EXPECT_TRUE(same_cells(ok(ta::adx(in.h, in.l, in.c, 2)), {NaN, NaN, NaN, NaN, 0, 0}));
  EXPECT_TRUE(same_cells(ok(ta::adx(in.h, in.l, in.c, 0)), {NaN, NaN, NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::adx(in.h, in.l, in.c, 3)), {NaN, NaN, NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(same_cells(ok(ta::adx(in.h, in.l, in.c, kHuge)), {NaN, NaN, NaN, NaN, NaN, NaN}));
}

TEST(TaDirectional, MovementAndRangeGuards) {
  // n = 1, so row 1 shows its own movements against its own true range.
  struct Case {
    std::vector<double> h, l, c;
    double plus, minus;
  } cases[] = {
      {{10, 12}, {8, 6}, {9, 9}, 0, 0},         // equal up and down moves both count 0
      {{9, 10}, {10, 10}, {10, 10}, NaN, NaN},  // zero true range
      {{10, 13}, {8, 7}, {9, 9}, 300.0 / 6, 0}, // the larger move wins
  };
  for (const auto &k : cases) {
    Hlc in(k.h, k.l, k.c);
    EXPECT_TRUE(same_cells(ok(ta::di_panel(in.h, in.l, in.c, 1, true)), {NaN, k.plus}));
    EXPECT_TRUE(same_cells(ok(ta::di_panel(in.h, in.l, in.c, 1, false)), {NaN, k.minus}));
  }
}

TEST(TaDirectional, TrendingColumn) {
  // Rows 1..3: up moves 2, 1, 3 against down moves -1, -1, -2; true ranges 3, 3, 4.
  Hlc in({10, 12, 13, 16}, {8, 9, 10, 12}, {9, 11, 12, 15});
  auto di = ta::di_cols(in.h, in.l, in.c, 0, 2);
  ASSERT_TRUE(di.has_value());
  const double str2 = (3.0 + 3.0) / 2.0, str3 = (str2 * 1.0 + 4.0) / 2.0;
  const double pdm2 = (2.0 + 1.0) / 2.0, pdm3 = (pdm2 * 1.0 + 3.0) / 2.0;
  EXPECT_TRUE(same_list(di->first, {NaN, NaN, pdm2 * 100.0 / str2, pdm3 * 100.0 / str3}));
  EXPECT_TRUE(same_list(di->second, {NaN, NaN, 0, 0}));
  auto other = ta::di_cols(in.h, in.l, in.c, 1, 2);
  ASSERT_TRUE(other.has_value());
  EXPECT_TRUE(same_list(other->first, {NaN, NaN, NaN, NaN}));
  // DX is 100 on rows 2 and 3, so the ADX seed at row 3 is 100.
  EXPECT_TRUE(same_cells(ok(ta::adx(in.h, in.l, in.c, 2)), {NaN, NaN, NaN, 100}));
}

TEST(TaGrid, InputsReadByPosition) {
  std::mt19937_64 rng(11);
  const Panel h = random_panel(rng, 40, 3), l = random_panel(rng, 40, 3),
              c = random_panel(rng, 40, 3), v = random_panel(rng, 40, 3);
  // Other dates and symbols, one extra row and column: only close's positions are read.
  auto moved = [](const Panel &p) {
    Matrix m = Matrix::Constant(p.data.rows() + 1, p.data.cols() + 1, 99.0);
    m.topLeftCorner(p.data.rows(), p.data.cols()) = p.data;
    std::vector<std::int32_t> d(p.dates.rbegin(), p.dates.rend());
    d.push_back(1);
    return Panel(d, {"Q", "R", "S", "T"}, std::move(m));
  };
  const Panel h2 = moved(h), l2 = moved(l), v2 = moved(v);
  for (const auto &[name, reads, fn] : kIndicators) {
    const Panel want = ok(fn(h, l, c, v));
    const Panel got = ok(fn(h2, l2, c, v2));
    EXPECT_EQ(got.dates, c.dates) << name;
    EXPECT_EQ(got.symbols, c.symbols) << name;
    EXPECT_TRUE(same_panel(got, want)) << name;
  }
}

TEST(TaGrid, SmallerInputFails) {
  const Panel big = grid(3, 2, {1, 2, 3, 4, 5, 6});
  const Panel few_rows = grid(2, 2, {1, 2, 3, 4});
  const Panel few_cols = grid(3, 1, {1, 2, 3});
  for (const auto &[name, reads, fn] : kIndicators) {
    for (const Panel *small : {&few_rows, &few_cols}) {
      const struct {
        const Panel &h, &l, &v;
        const char *culprit;
      } cases[] = {
          {*small, big, big, "high"}, {big, *small, big, "low"}, {big, big, *small, "volume"}};
      for (const auto &k : cases) {
        auto r = fn(k.h, k.l, big, k.v);
        if (std::string(reads).find(k.culprit[0]) == std::string::npos) {
          EXPECT_TRUE(r.has_value()) << name << " " << k.culprit;
          continue;
        }
        ASSERT_FALSE(r.has_value()) << name << " " << k.culprit;
        EXPECT_EQ(r.error().to_string(),
                  std::string("eval error: ") + k.culprit + " panel is smaller than close")
            << name;
      }
    }
  }
  EXPECT_FALSE(ta::di_cols(few_rows, big, big, 0, 2).has_value());
  EXPECT_FALSE(ta::di_cols(big, few_cols, big, 0, 2).has_value());
}

TEST(TaGrid, ColumnsMatchSingleColumnRuns) {
  // More columns than one gather block, with empty and degenerate shapes alongside.
  std::mt19937_64 rng(5);
  const Panel h = random_panel(rng, 30, 19), l = random_panel(rng, 30, 19),
              c = random_panel(rng, 30, 19), v = random_panel(rng, 30, 19);
  auto col = [](const Panel &p, Eigen::Index j) {
    return Panel(p.dates, {p.symbols[static_cast<std::size_t>(j)]}, p.data.col(j));
  };
  for (const auto &[name, reads, fn] : kIndicators) {
    const Panel all = ok(fn(h, l, c, v));
    for (Eigen::Index j = 0; j < c.data.cols(); ++j)
      EXPECT_TRUE(same_panel(col(all, j), ok(fn(col(h, j), col(l, j), col(c, j), col(v, j)))))
          << name << " column " << j;
    for (const Panel &e : {Panel(day_dates(0), sym_names(3)), Panel(day_dates(4), sym_names(0))}) {
      const Panel out = ok(fn(e, e, e, e));
      EXPECT_EQ(out.data.rows(), e.data.rows()) << name;
      EXPECT_EQ(out.data.cols(), e.data.cols()) << name;
    }
  }
  const Panel a = ta::aroon_dir(c, 4, true);
  for (Eigen::Index j = 0; j < c.data.cols(); ++j)
    EXPECT_TRUE(same_panel(col(a, j), ta::aroon_dir(col(c, j), 4, true))) << j;
}

TEST(TaExact, FormulasKeepTheirOperationOrder) {
  // Values picked so that a regrouped formula or a window summed in another order changes the
  // last bits somewhere. Each expectation is the indicator's formula written out row by row.
  const std::vector<double> h{10.3, 14.1, 9.7, 12.2, 9.4, 10.5, 13.7, 11.2, 12.2, 11.1, 11.3, 12.5};
  const std::vector<double> l{9.7, 11.8, 8.9, 10.8, 8.7, 8.9, 12.2, 8.8, 10.2, 9.9, 10.5, 10.8};
  const std::vector<double> c{9.9, 12.8, 9.5, 11.8, 9.3, 10.0, 13.0, 9.8, 11.6, 10.8, 10.8, 11.0};
  const std::vector<double> v{608.4, 9.0, 0.6, 608.4, 20.7, 82.4,
                              334.1, 1.4, 2.7, 325.3, 0.3,  114.1};
  const Hlc in(h, l, c, v);
  const std::size_t rows = c.size(), n = 5;
  const double nf = 5.0;
  auto tp = [&](std::size_t t) { return (h[t] + l[t] + c[t]) / 3.0; };
  auto tr = [&](std::size_t t) {
    return std::max({h[t] - l[t], std::abs(h[t] - c[t - 1]), std::abs(l[t] - c[t - 1])});
  };
  // cell(t) for rows `first` onwards, NaN before.
  auto from = [&](std::size_t first, auto cell) {
    std::vector<double> out(rows, NaN);
    for (std::size_t t = first; t < rows; ++t)
      out[t] = cell(t);
    return out;
  };
  // Sum of f(i) over the n rows ending at t, from +0.0 in ascending row order.
  auto sum = [&](std::size_t t, auto f) {
    double s = 0.0;
    for (std::size_t i = t + 1 - n; i <= t; ++i)
      s += f(i);
    return s;
  };
  auto wilder = [&](const std::vector<double> &x, std::size_t start, std::size_t w) {
    const double wf = static_cast<double>(w);
    std::vector<double> out(rows, NaN);
    double s = 0.0;
    for (std::size_t t = start + 1; t <= start + w; ++t)
      s += x[t];
    out[start + w] = s = s / wf;
    for (std::size_t t = start + w + 1; t < rows; ++t)
      out[t] = s = (s * (wf - 1.0) + x[t]) / wf;
    return out;
  };

  std::vector<double> trs(rows, NaN), pdm(rows, NaN), mdm(rows, NaN);
  for (std::size_t t = 1; t < rows; ++t) {
    const double up = h[t] - h[t - 1], down = l[t - 1] - l[t];
    pdm[t] = up > down && up > 0.0 ? up : 0.0;
    mdm[t] = down > up && down > 0.0 ? down : 0.0;
    trs[t] = tr(t);
  }
  const auto atr = wilder(trs, 0, 3);
  const auto str = wilder(trs, 0, 2), spdm = wilder(pdm, 0, 2), smdm = wilder(mdm, 0, 2);
  const auto pdi = from(2, [&](std::size_t t) { return spdm[t] * 100.0 / str[t]; });
  const auto mdi = from(2, [&](std::size_t t) { return smdm[t] * 100.0 / str[t]; });
  const auto dx =
      from(2, [&](std::size_t t) { return std::abs(pdi[t] - mdi[t]) * 100.0 / (pdi[t] + mdi[t]); });

  auto cci = [&](std::size_t t) {
    const double mean = sum(t, tp) / nf;
    const double md = sum(t, [&](std::size_t i) { return std::abs(tp(i) - mean); }) / nf;
    return (tp(t) - mean) / (md * 0.015);
  };
  auto hh = [&](std::size_t t) { return *std::max_element(&h[t + 1 - n], &h[t] + 1); };
  auto ll = [&](std::size_t t) { return *std::min_element(&l[t + 1 - n], &l[t] + 1); };
  auto k = [&](std::size_t t) { return (c[t] - ll(t)) * 100.0 / (hh(t) - ll(t)); };
  auto flow = [&](std::size_t i, bool rising) {
    const bool moved = rising ? tp(i) > tp(i - 1) : tp(i) < tp(i - 1);
    return moved ? v[i] * tp(i) : 0.0;
  };
  auto mfi = [&](std::size_t t) {
    const double p = sum(t, [&](std::size_t i) { return flow(i, true); });
    const double m = sum(t, [&](std::size_t i) { return flow(i, false); });
    return m == 0.0 ? 100.0 : 100.0 - 100.0 / (p / m + 1.0);
  };

  const struct {
    const char *name;
    Result<Panel> got;
    std::vector<double> want;
  } cases[] = {
      {"atr", ta::atr(in.h, in.l, in.c, 3), atr},
      {"natr", ta::natr(in.h, in.l, in.c, 3),
       from(3, [&](std::size_t t) { return (atr[t] * 100.0) / c[t]; })},
      {"cci", ta::cci(in.h, in.l, in.c, n), from(n - 1, cci)},
      {"willr", ta::willr(in.h, in.l, in.c, n),
       from(n - 1, [&](std::size_t t) { return (hh(t) - c[t]) * -100.0 / (hh(t) - ll(t)); })},
      {"stoch_k", ta::stoch_k(in.h, in.l, in.c, n), from(n - 1, k)},
      {"stoch_d", ta::stoch_d(in.h, in.l, in.c, n, 3),
       from(n + 1, [&](std::size_t t) { return (0.0 + k(t - 2) + k(t - 1) + k(t)) / 3.0; })},
      {"mfi", ta::mfi(in.h, in.l, in.c, in.v, n), from(n, mfi)},
      {"vwap", ta::vwap(in.h, in.l, in.c, in.v, n),
       from(n - 1,
            [&](std::size_t t) {
              return sum(t, [&](std::size_t i) { return tp(i) * v[i]; }) /
                     sum(t, [&](std::size_t i) { return v[i]; });
            })},
      {"plus_di", ta::di_panel(in.h, in.l, in.c, 2, true), pdi},
      {"minus_di", ta::di_panel(in.h, in.l, in.c, 2, false), mdi},
      {"adx", ta::adx(in.h, in.l, in.c, 2), wilder(dx, 1, 2)},
  };
  for (const auto &cs : cases)
    EXPECT_TRUE(same_cells(ok(cs.got), cs.want)) << cs.name;
}

namespace {

// The indicators as they stood before their row loops were fused and restructured for speed.
// Kept verbatim (less the input-size checks) as the reference the current ones must match bit for
// bit: every restructured loop has to keep each cell's operations and their order.
namespace before {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

bool finite(double x) { return std::isfinite(x); }

struct View {
  const double *first;
  std::size_t stride;
  explicit View(const Matrix &m, std::size_t col = 0)
      : first(m.data() + col), stride(static_cast<std::size_t>(m.cols())) {}
  const double *operator[](std::size_t t) const { return first + t * stride; }
};

struct OutView {
  double *first;
  std::size_t stride;
  explicit OutView(Matrix &m) : first(m.data()), stride(static_cast<std::size_t>(m.cols())) {}
  double *operator[](std::size_t t) const { return first + t * stride; }
};

// Per column, the first row whose cell is finite; kNone for a column without one.
std::vector<std::size_t> first_finite(View x, std::size_t rows, std::size_t width) {
  std::vector<std::size_t> s(width, kNone);
  std::size_t missing = width;
  for (std::size_t t = 0; t < rows && missing > 0; ++t) {
    const double *r = x[t];
    for (std::size_t j = 0; j < width; ++j) {
      if (s[j] == kNone && finite(r[j])) {
        s[j] = t;
        --missing;
      }
    }
  }
  return s;
}

double typical(double h, double l, double c) { return (h + l + c) / 3.0; }

// Largest of the three terms, a NaN term left out; NaN only when all three are NaN.
double true_range(double h, double l, double prev_close) {
  const double terms[] = {h - l, std::abs(h - prev_close), std::abs(l - prev_close)};
  double best = kNaN;
  for (double v : terms)
    if (!std::isnan(v) && (std::isnan(best) || v > best))
      best = v;
  return best;
}

class Wilder {
public:
  Wilder(std::size_t width, std::size_t n) : n_(n), nf_(static_cast<double>(n)), v_(width) {}

  void step(std::size_t t, const std::size_t *start, const double *x, double *out) {
    for (std::size_t j = 0; j < v_.size(); ++j) {
      out[j] = kNaN;
      if (n_ == 0 || start[j] == kNone || t <= start[j])
        continue;
      const std::size_t k = t - start[j];
      double &v = v_[j];
      if (k <= n_) {
        v = (k == 1 ? 0.0 : v) + x[j];
        if (k == n_) {
          v = v / nf_;
          out[j] = v;
        }
      } else {
        v = (v * (nf_ - 1.0) + x[j]) / nf_;
        out[j] = v;
      }
    }
  }

private:
  std::size_t n_;
  double nf_;
  std::vector<double> v_;
};

// True range of row t (t > s) for every column; NaN on rows up to a column's start.
void true_range_row(std::size_t t, const std::vector<std::size_t> &s, View h, View l, View c,
                    double *tr) {
  for (std::size_t j = 0; j < s.size(); ++j)
    tr[j] = (s[j] != kNone && t > s[j]) ? true_range(h[t][j], l[t][j], c[t - 1][j]) : kNaN;
}

// +DI and -DI of a run of columns, one row at a time.
struct Directional {
  Directional(View h, View l, View c, std::size_t rows, std::size_t width, std::size_t n)
      : h_(h), l_(l), c_(c), s(first_finite(c, rows, width)), pdi(width), mdi(width), tr_(width),
        pdm_(width), mdm_(width), str_(width), spdm_(width), smdm_(width), wtr_(width, n),
        wpdm_(width, n), wmdm_(width, n) {}

  // Fills pdi and mdi for row t; rows must come in ascending order from 0.
  void step(std::size_t t) {
    true_range_row(t, s, h_, l_, c_, tr_.data());
    for (std::size_t j = 0; j < s.size(); ++j) {
      pdm_[j] = mdm_[j] = kNaN;
      if (s[j] == kNone || t <= s[j])
        continue;
      const double up = h_[t][j] - h_[t - 1][j];
      const double down = l_[t - 1][j] - l_[t][j];
      // A NaN move fails every comparison, so both movements come out 0.0.
      pdm_[j] = (up > down && up > 0.0) ? up : 0.0;
      mdm_[j] = (down > up && down > 0.0) ? down : 0.0;
    }
    wtr_.step(t, s.data(), tr_.data(), str_.data());
    wpdm_.step(t, s.data(), pdm_.data(), spdm_.data());
    wmdm_.step(t, s.data(), mdm_.data(), smdm_.data());
    for (std::size_t j = 0; j < s.size(); ++j) {
      const double tr = str_[j];
      const bool ok = finite(tr) && tr != 0.0;
      pdi[j] = ok ? spdm_[j] * 100.0 / tr : kNaN;
      mdi[j] = ok ? smdm_[j] * 100.0 / tr : kNaN;
    }
  }

  View h_, l_, c_;
  const std::vector<std::size_t> s; // start row per column
  std::vector<double> pdi, mdi;     // of the last row stepped
  std::vector<double> tr_, pdm_, mdm_, str_, spdm_, smdm_;
  Wilder wtr_, wpdm_, wmdm_;
};

// Rows t-n+1 .. t of a derived series, kept in a ring of n rows.
class Ring {
public:
  Ring(std::size_t n, std::size_t width) : n_(n), width_(width), cells_(n * width) {}
  double *row(std::size_t t) { return cells_.data() + (t % n_) * width_; }

private:
  std::size_t n_, width_;
  std::vector<double> cells_;
};

// acc[j] = sum over rows t-n+1 .. t of row(i)[j], from +0.0 in ascending row order.
template <class RowOf>
void window_sum(std::size_t t, std::size_t n, std::size_t width, RowOf row, double *acc) {
  std::fill(acc, acc + width, 0.0);
  for (std::size_t i = t + 1 - n; i <= t; ++i) {
    const double *r = row(i);
    for (std::size_t j = 0; j < width; ++j)
      acc[j] += r[j];
  }
}

template <class Fn>
Result<Panel> range_position(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                             Fn value) {
  const Panel hh = high.rolling_max(n);
  const Panel ll = low.rolling_min(n);
  Panel out(close.dates, close.symbols);
  const View vh(hh.data), vl(ll.data), vc(close.data);
  const OutView o(out.data);
  for (std::size_t t = 0; t < close.rows(); ++t) {
    for (std::size_t j = 0; j < close.cols(); ++j) {
      const double h = vh[t][j];
      const double l = vl[t][j];
      const double c = vc[t][j];
      if (finite(h) && finite(l) && h != l && finite(c))
        o[t][j] = value(h, l, c);
    }
  }
  return out;
}

std::vector<double> wilder_col(const std::vector<double> &x, std::size_t start, std::size_t n) {
  std::vector<double> out(x.size());
  Wilder w(1, n);
  for (std::size_t t = 0; t < x.size(); ++t)
    w.step(t, &start, &x[t], &out[t]);
  return out;
}

Result<Panel> atr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  const View h(high.data), l(low.data), c(close.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  std::vector<double> tr(cols);
  Wilder w(cols, n);
  for (std::size_t t = 0; t < rows; ++t) {
    true_range_row(t, s, h, l, c, tr.data());
    w.step(t, s.data(), tr.data(), o[t]);
  }
  return out;
}

Result<Panel> natr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  auto res = atr(high, low, close, n);
  if (!res)
    return res;
  const View c(close.data);
  const OutView a(res->data);
  for (std::size_t t = 0; t < close.rows(); ++t) {
    for (std::size_t j = 0; j < close.cols(); ++j) {
      double &v = a[t][j];
      v = (finite(v) && c[t][j] != 0.0) ? (v * 100.0) / c[t][j] : kNaN;
    }
  }
  return res;
}

Result<Panel> willr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return range_position(high, low, close, n, [](double hh, double ll, double c) {
    return (hh - c) * -100.0 / (hh - ll);
  });
}

Result<Panel> stoch_k(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return range_position(high, low, close, n, [](double hh, double ll, double c) {
    return (c - ll) * 100.0 / (hh - ll);
  });
}

Result<Panel> stoch_d(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                      std::size_t d) {
  auto k = stoch_k(high, low, close, n);
  if (!k)
    return k;
  const std::size_t rows = k->rows();
  const std::size_t cols = k->cols();
  Panel out(k->dates, k->symbols);
  if (d == 0 || d > rows)
    return out;
  const View x(k->data);
  const OutView o(out.data);
  const double df = static_cast<double>(d);
  std::vector<std::size_t> run(cols, 0);
  std::vector<double> sum(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      run[j] = finite(x[t][j]) ? run[j] + 1 : 0;
      any = any || run[j] >= d;
    }
    // d finite values of %K in a row never reach above %K's first finite row.
    if (!any)
      continue;
    window_sum(
        t, d, cols, [&](std::size_t i) { return x[i]; }, sum.data());
    for (std::size_t j = 0; j < cols; ++j)
      if (run[j] >= d)
        o[t][j] = sum[j] / df;
  }
  return out;
}

Result<Panel> cci(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows)
    return out;
  const View h(high.data), l(low.data), c(close.data);
  const OutView o(out.data);
  const double nf = static_cast<double>(n);
  Ring tp(n, cols);
  std::vector<std::size_t> run(cols, 0);
  std::vector<double> mean(cols), dev(cols);
  auto tp_row = [&](std::size_t i) { return tp.row(i); };
  for (std::size_t t = 0; t < rows; ++t) {
    double *p = tp.row(t);
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      p[j] = typical(h[t][j], l[t][j], c[t][j]);
      run[j] = finite(p[j]) ? run[j] + 1 : 0;
      any = any || run[j] >= n;
    }
    // A finite typical price needs a finite close, so n finite ones in a row never reach above
    // the column's start row.
    if (!any)
      continue;
    window_sum(t, n, cols, tp_row, mean.data());
    for (std::size_t j = 0; j < cols; ++j)
      mean[j] = mean[j] / nf;
    std::fill(dev.begin(), dev.end(), 0.0);
    for (std::size_t i = t + 1 - n; i <= t; ++i) {
      const double *r = tp.row(i);
      for (std::size_t j = 0; j < cols; ++j)
        dev[j] += std::abs(r[j] - mean[j]);
    }
    for (std::size_t j = 0; j < cols; ++j) {
      const double md = dev[j] / nf;
      if (run[j] >= n && md != 0.0)
        o[t][j] = (p[j] - mean[j]) / (md * 0.015);
    }
  }
  return out;
}

Result<Panel> vwap(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                   std::size_t n) {
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows)
    return out;
  const View h(high.data), l(low.data), c(close.data), v(volume.data);
  const OutView o(out.data);
  Ring tp(n, cols);
  std::vector<std::size_t> run(cols, 0);
  std::vector<double> num(cols), den(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    double *p = tp.row(t);
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      p[j] = typical(h[t][j], l[t][j], c[t][j]);
      run[j] = (finite(p[j]) && finite(v[t][j])) ? run[j] + 1 : 0;
      any = any || run[j] >= n;
    }
    // As in cci, finite typical prices keep the window at or after the start row.
    if (!any)
      continue;
    std::fill(num.begin(), num.end(), 0.0);
    std::fill(den.begin(), den.end(), 0.0);
    for (std::size_t i = t + 1 - n; i <= t; ++i) {
      const double *pi = tp.row(i);
      const double *vi = v[i];
      for (std::size_t j = 0; j < cols; ++j) {
        num[j] += pi[j] * vi[j];
        den[j] += vi[j];
      }
    }
    for (std::size_t j = 0; j < cols; ++j)
      if (run[j] >= n && den[j] != 0.0)
        o[t][j] = num[j] / den[j];
  }
  return out;
}

Result<Panel> obv(const Panel &close, const Panel &volume) {
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  const View c(close.data), v(volume.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  std::vector<double> total(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    for (std::size_t j = 0; j < cols; ++j) {
      if (s[j] == kNone || t < s[j])
        continue;
      if (t == s[j]) {
        total[j] = v[t][j];
      } else {
        // Adding -0.0 leaves every total as it is; the table lookup keeps rises and falls off
        // the branch predictor.
        const double diff = c[t][j] - c[t - 1][j];
        const double step[3] = {-0.0, v[t][j], -v[t][j]};
        total[j] += step[int{diff > 0.0} + 2 * int{diff < 0.0}];
      }
      o[t][j] = total[j];
    }
  }
  return out;
}

Result<Panel> mfi(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                  std::size_t n) {
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n >= rows)
    return out;
  const View h(high.data), l(low.data), c(close.data), v(volume.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  // With n = 0 every window is empty: no flow is kept and every sum stays 0.0.
  Ring pos(std::max<std::size_t>(n, 1), cols), neg(std::max<std::size_t>(n, 1), cols);
  std::vector<double> tp(cols), prev_tp(cols), p(cols), m(cols);
  auto pos_row = [&](std::size_t i) { return pos.row(i); };
  auto neg_row = [&](std::size_t i) { return neg.row(i); };
  for (std::size_t t = 0; t < rows; ++t) {
    double *pr = pos.row(t);
    double *nr = neg.row(t);
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      tp[j] = typical(h[t][j], l[t][j], c[t][j]);
      pr[j] = nr[j] = 0.0;
      if (s[j] == kNone || t < s[j])
        continue;
      if (t > s[j]) {
        // Equal or NaN typical prices keep both flows at 0.0; lookups instead of branches.
        const double pick[2] = {0.0, v[t][j] * tp[j]};
        pr[j] = pick[tp[j] > prev_tp[j]];
        nr[j] = pick[tp[j] < prev_tp[j]];
      }
      any = any || t - s[j] >= n;
    }
    std::swap(tp, prev_tp);
    // Windows end at s + n or later, so they start after s.
    if (!any)
      continue;
    if (n == 0) {
      std::fill(p.begin(), p.end(), 0.0);
      std::fill(m.begin(), m.end(), 0.0);
    } else {
      window_sum(t, n, cols, pos_row, p.data());
      window_sum(t, n, cols, neg_row, m.data());
    }
    for (std::size_t j = 0; j < cols; ++j)
      if (s[j] != kNone && t >= s[j] && t - s[j] >= n)
        o[t][j] = m[j] == 0.0 ? 100.0 : 100.0 - 100.0 / (p[j] / m[j] + 1.0);
  }
  return out;
}

Result<std::pair<std::vector<double>, std::vector<double>>>
di_cols(const Panel &high, const Panel &low, const Panel &close, std::size_t col, std::size_t n) {
  const std::size_t rows = close.rows();
  std::vector<double> plus(rows, kNaN), minus(rows, kNaN);
  if (col >= close.cols() || rows == 0)
    return std::pair{std::move(plus), std::move(minus)};
  Directional di(View(high.data, col), View(low.data, col), View(close.data, col), rows, 1, n);
  for (std::size_t t = 0; t < rows; ++t) {
    di.step(t);
    plus[t] = di.pdi[0];
    minus[t] = di.mdi[0];
  }
  return std::pair{std::move(plus), std::move(minus)};
}

Result<Panel> di_panel(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                       bool plus) {
  Panel out(close.dates, close.symbols);
  const OutView o(out.data);
  Directional di(View(high.data), View(low.data), View(close.data), close.rows(), close.cols(), n);
  const std::vector<double> &side = plus ? di.pdi : di.mdi;
  for (std::size_t t = 0; t < close.rows(); ++t) {
    di.step(t);
    std::copy(side.begin(), side.end(), o[t]);
  }
  return out;
}

Result<Panel> adx(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows)
    return out;
  const OutView o(out.data);
  Directional di(View(high.data), View(low.data), View(close.data), rows, cols, n);
  // DX is smoothed from the row before the first directional values.
  std::vector<std::size_t> start(cols, kNone);
  for (std::size_t j = 0; j < cols; ++j)
    if (di.s[j] != kNone)
      start[j] = di.s[j] + n - 1;
  std::vector<double> dx(cols);
  Wilder w(cols, n);
  for (std::size_t t = 0; t < rows; ++t) {
    di.step(t);
    for (std::size_t j = 0; j < cols; ++j) {
      const double p = di.pdi[j];
      const double m = di.mdi[j];
      dx[j] = kNaN;
      if (finite(p) && finite(m)) {
        const double sum = p + m;
        dx[j] = sum == 0.0 ? 0.0 : std::abs(p - m) * 100.0 / sum;
      }
    }
    w.step(t, start.data(), dx.data(), o[t]);
  }
  return out;
}

} // namespace before

// Random cells with runs of NaN (leading ones delay a column's start), infinities, signed zeros
// and ties.
Panel random_prices(std::mt19937_64 &rng, std::size_t rows, std::size_t cols) {
  Panel p = random_panel(rng, rows, cols);
  std::uniform_int_distribution<std::size_t> at(0, rows), len(0, 6);
  for (std::size_t j = 0; j < cols; ++j) {
    for (int run = 0; run < 2; ++run) {
      const std::size_t from = run == 0 ? 0 : at(rng);
      const std::size_t to = std::min(rows, from + len(rng));
      for (std::size_t t = from; t < to; ++t)
        p.data(static_cast<Eigen::Index>(t), static_cast<Eigen::Index>(j)) = NaN;
    }
  }
  return p;
}

TEST(TaExact, MatchesEarlierImplementation) {
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<std::size_t> rows_of(0, 40), cols_of(0, 6), window(0, 6);
  for (int round = 0; round < 400; ++round) {
    // Mostly small panels; every tenth one long enough that most rows see every column settled.
    const bool big = round % 10 == 0;
    const std::size_t rows = big ? 300 : rows_of(rng), cols = big ? 9 : cols_of(rng);
    const Panel h = random_prices(rng, rows, cols), l = random_prices(rng, rows, cols),
                c = random_prices(rng, rows, cols), v = random_prices(rng, rows, cols);
    std::size_t n = big ? 1 + window(rng) * 3 : window(rng);
    if (round % 50 == 7)
      n = kHuge;
    if (round % 30 == 0) // window sums longer than one pass of the row block
      n = 70;
    const std::size_t d = window(rng) % 4;
    const std::string at = "round " + std::to_string(round) + " n=" + std::to_string(n);
    const struct {
      const char *name;
      Result<Panel> got, want;
    } cases[] = {
        {"atr", ta::atr(h, l, c, n), before::atr(h, l, c, n)},
        {"natr", ta::natr(h, l, c, n), before::natr(h, l, c, n)},
        {"willr", ta::willr(h, l, c, n), before::willr(h, l, c, n)},
        {"stoch_k", ta::stoch_k(h, l, c, n), before::stoch_k(h, l, c, n)},
        {"stoch_d", ta::stoch_d(h, l, c, n, d), before::stoch_d(h, l, c, n, d)},
        {"plus_di", ta::di_panel(h, l, c, n, true), before::di_panel(h, l, c, n, true)},
        {"minus_di", ta::di_panel(h, l, c, n, false), before::di_panel(h, l, c, n, false)},
        {"adx", ta::adx(h, l, c, n), before::adx(h, l, c, n)},
        {"obv", ta::obv(c, v), before::obv(c, v)},
        {"mfi", ta::mfi(h, l, c, v, n), before::mfi(h, l, c, v, n)},
        {"cci", ta::cci(h, l, c, n), before::cci(h, l, c, n)},
        {"vwap", ta::vwap(h, l, c, v, n), before::vwap(h, l, c, v, n)},
    };
    for (const auto &cs : cases)
      EXPECT_TRUE(same_panel(ok(cs.got), ok(cs.want))) << cs.name << " " << at << " d=" << d;
    for (std::size_t j = 0; j <= cols; ++j) {
      auto got = ta::di_cols(h, l, c, j, n), want = before::di_cols(h, l, c, j, n);
      ASSERT_TRUE(got.has_value() && want.has_value());
      EXPECT_TRUE(same_list(got->first, want->first)) << "+DI col " << j << " " << at;
      EXPECT_TRUE(same_list(got->second, want->second)) << "-DI col " << j << " " << at;
    }
    if (cols > 0) {
      std::vector<double> x(rows);
      for (std::size_t t = 0; t < rows; ++t)
        x[t] = c.data(static_cast<Eigen::Index>(t), 0);
      for (std::size_t start : {std::size_t{0}, std::size_t{2}, kHuge})
        EXPECT_TRUE(same_list(ta::wilder_col(x, start, n), before::wilder_col(x, start, n))) << at;
    }
  }
}

} // namespace
