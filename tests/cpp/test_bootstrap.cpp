#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/bootstrap.hpp"
#include "core/metrics.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

std::vector<std::int32_t> dates_of(std::size_t n) {
  std::vector<std::int32_t> d(n);
  for (std::size_t i = 0; i < n; ++i)
    d[i] = 20200101 + static_cast<std::int32_t>(i % 28) +
           100 * static_cast<std::int32_t>(i / 28 % 12) +
           10000 * static_cast<std::int32_t>(i / 336);
  return d;
}

std::vector<double> wavy(std::size_t n) {
  std::vector<double> e = {1.0};
  for (std::size_t i = 1; i < n; ++i)
    e.push_back(e.back() * (1.0 + 0.02 * std::sin(static_cast<double>(i) * 1.3)));
  return e;
}

BootstrapSummary run(const std::vector<std::int32_t> &d, const std::vector<double> &e,
                     std::uint64_t samples, std::uint64_t block, std::uint64_t seed = 6110865) {
  auto r = bootstrap::bootstrap(d, e, samples, block, seed);
  EXPECT_TRUE(r.has_value());
  EXPECT_TRUE(r->has_value());
  return **r;
}

void expect_ci(const BootstrapCi &c, double p05, double p50, double p95) {
  EXPECT_PRED2(same, c.p05, p05);
  EXPECT_PRED2(same, c.p50, p50);
  EXPECT_PRED2(same, c.p95, p95);
}

} // namespace

TEST(SplitMix64, ReferenceSequence) {
  bootstrap::SplitMix64 g{0};
  EXPECT_EQ(g.next(), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(g.next(), 0x6e789e6aa1b965f4ULL);
  EXPECT_EQ(g.next(), 0x06c45d188009454fULL);
}

TEST(BlockLength, RequestedOrSquareRoot) {
  struct Case {
    std::uint64_t requested;
    std::size_t m;
    std::uint64_t expect;
  } cases[] = {{0, 2, 1}, {0, 3, 1}, {0, 9, 3}, {0, 252, 15}, {0, 1, 1}, {7, 2, 7}, {1, 100, 1}};
  for (const Case &c : cases)
    EXPECT_EQ(bootstrap::block_length(c.requested, c.m), c.expect) << c.requested << " " << c.m;
}

TEST(Ci, QuantileIndices) {
  struct Case {
    std::vector<double> values;
    double p05, p50, p95;
  } cases[] = {
      {{}, NaN, NaN, NaN},
      {{NaN, NaN}, NaN, NaN, NaN},
      {{NaN, 2.0}, 2.0, 2.0, 2.0},
      {{7.0}, 7.0, 7.0, 7.0},
      {{2.0, 1.0}, 1.0, 2.0, 2.0}, // 0.5 rounds away from zero
      {{10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, 1.0, 5.0, 10.0},
      {{INF, -INF, 0.0, NaN}, -INF, 0.0, INF},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.values.size());
    expect_ci(bootstrap::ci(c.values), c.p05, c.p50, c.p95);
  }
  // 21 values: 0.05 * 20 = 1, 0.5 * 20 = 10, 0.95 * 20 = 19.
  std::vector<double> v;
  for (int i = 20; i >= 0; --i)
    v.push_back(i);
  expect_ci(bootstrap::ci(v), 1.0, 10.0, 19.0);
}

TEST(Ci, SignedZerosKeepTheirOrder) {
  const BootstrapCi c = bootstrap::ci({0.0, -0.0});
  EXPECT_FALSE(std::signbit(c.p05));
  EXPECT_TRUE(std::signbit(c.p50));
  const BootstrapCi d = bootstrap::ci({-0.0, 0.0});
  EXPECT_TRUE(std::signbit(d.p05));
  EXPECT_FALSE(std::signbit(d.p50));
}

TEST(Bootstrap, AbsentCases) {
  const auto d3 = dates_of(3);
  const std::vector<double> e3 = {1.0, 1.1, 1.2};
  struct Case {
    std::vector<std::int32_t> dates;
    std::vector<double> equity;
    std::uint64_t samples;
  } cases[] = {
      {{}, {}, 10},
      {{20240101, 20240102}, {1.0, 1.1}, 10},
      {d3, {1.0, 1.1}, 10},
      {{20240101, 20240102}, e3, 10},
      {d3, e3, 0},
      // Too short wins over a count no allocator could serve.
      {{20240101}, {1.0}, std::numeric_limits<std::uint64_t>::max()},
  };
  for (const Case &c : cases) {
    const auto r = bootstrap::bootstrap(c.dates, c.equity, c.samples, 0, 1);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->has_value());
  }
}

TEST(Bootstrap, HugeSampleCountIsAnError) {
  std::vector<std::uint64_t> counts = {std::numeric_limits<std::uint64_t>::max(),
                                       std::uint64_t{1} << 62};
#if !defined(__SANITIZE_ADDRESS__)
  // Representable but far beyond any address space: the allocator refuses it.
  counts.push_back(std::uint64_t{1} << 59);
#endif
  for (std::uint64_t n : counts) {
    const auto r = bootstrap::bootstrap(dates_of(5), wavy(5), n, 0, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(),
              "eval error: bootstrap_samples " + std::to_string(n) + " is too large");
  }
}

TEST(Bootstrap, SameSeedGivesBitIdenticalSummary) {
  const auto d = dates_of(400);
  const auto e = wavy(400);
  const BootstrapSummary a = run(d, e, 500, 0);
  const BootstrapSummary b = run(d, e, 500, 0);
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
  EXPECT_EQ(a.n_samples, 500u);
  EXPECT_EQ(a.block_len, 19u); // floor(sqrt(399))
  const BootstrapSummary c = run(d, e, 500, 0, 7);
  EXPECT_NE(0, std::memcmp(&a.sharpe, &c.sharpe, sizeof a.sharpe));
  EXPECT_LE(a.sharpe.p05, a.sharpe.p50);
  EXPECT_LE(a.sharpe.p50, a.sharpe.p95);
  EXPECT_LE(a.max_drawdown.p95, 0.0);
}

TEST(Bootstrap, SamplesFollowTheDraws) {
  // Three points, block 1: each sample is two single returns picked by z mod 2.
  const std::vector<std::int32_t> d = {20230101, 20230102, 20240101};
  const std::vector<double> e = {1.0, 0.8, 1.2};
  const double pool[2] = {0.8 / 1.0 - 1.0, 1.2 / 0.8 - 1.0};
  const std::uint64_t seed = 42;
  bootstrap::SplitMix64 g{seed};
  std::vector<double> sharpes, growths, dds;
  const double years = metrics::year_frac(d.front(), d.back());
  for (int s = 0; s < 9; ++s) {
    std::vector<double> c = {1.0};
    for (int k = 0; k < 2; ++k)
      c.push_back(c.back() * (1.0 + pool[g.next() % 2]));
    sharpes.push_back(metrics::sharpe(c));
    growths.push_back(std::pow(c[2] / c[0], 1.0 / years) - 1.0);
    dds.push_back(metrics::max_drawdown(c));
  }
  const BootstrapSummary b = run(d, e, 9, 0, seed);
  EXPECT_EQ(b.block_len, 1u);
  const auto check = [](const BootstrapCi &got, std::vector<double> v) {
    const BootstrapCi want = bootstrap::ci(std::move(v));
    expect_ci(got, want.p05, want.p50, want.p95);
  };
  check(b.sharpe, sharpes);
  check(b.cagr, growths);
  check(b.max_drawdown, dds);
}

TEST(Bootstrap, LongBlockReadsThePoolCircularly) {
  const auto d = dates_of(6);
  const std::vector<double> e = {1.0, 1.1, 0.9, 1.0, 1.3, 1.2};
  const std::uint64_t seed = 99;
  for (std::uint64_t block : {5u, 8u}) {
    bootstrap::SplitMix64 g{seed};
    std::size_t p = g.next() % 5;
    std::vector<double> c = {1.0};
    for (int k = 0; k < 5; ++k, p = (p + 1) % 5)
      c.push_back(c.back() * (1.0 + (e[p + 1] / e[p] - 1.0)));
    const BootstrapSummary b = run(d, e, 1, block, seed);
    EXPECT_EQ(b.block_len, block);
    expect_ci(b.max_drawdown, metrics::max_drawdown(c), metrics::max_drawdown(c),
              metrics::max_drawdown(c));
    EXPECT_EQ(b.sharpe.p50, metrics::sharpe(c));
  }
}

TEST(Bootstrap, FlatNaNAndInvalidDateCurves) {
  {
    const BootstrapSummary b = run(dates_of(50), std::vector<double>(50, 1.0), 20, 0);
    expect_ci(b.sharpe, 0.0, 0.0, 0.0);
    expect_ci(b.cagr, 0.0, 0.0, 0.0);
    expect_ci(b.max_drawdown, 0.0, 0.0, 0.0);
  }
  {
    // Every sample holds the whole pool, so every growth is NaN; Sharpe and drawdown are not.
    const std::vector<double> e = {1.0, 1.1, NaN, 1.2, 1.3};
    const BootstrapSummary b = run(dates_of(5), e, 10, 4);
    expect_ci(b.cagr, NaN, NaN, NaN);
    EXPECT_FALSE(std::isnan(b.sharpe.p50));
    EXPECT_FALSE(std::isnan(b.max_drawdown.p50));
  }
  {
    const std::vector<std::int32_t> d = {20230101, 20230102, 20231301};
    const BootstrapSummary b = run(d, {1.0, 1.1, 1.2}, 10, 0);
    expect_ci(b.cagr, NaN, NaN, NaN);
    EXPECT_FALSE(std::isnan(b.sharpe.p50));
    expect_ci(run(d, {1.0, 1.0, 1.0}, 10, 0).cagr, NaN, NaN, NaN);
  }
}
