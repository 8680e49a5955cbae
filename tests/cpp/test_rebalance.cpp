#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "core/ops/rebalance.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// One column whose cell on row i is i, so a kept row shows where it came from.
Panel indexed(std::vector<std::int32_t> dates) {
  Panel p(std::move(dates), {"A"});
  for (Eigen::Index i = 0; i < p.data.rows(); ++i) {
    p.data(i, 0) = static_cast<double>(i);
  }
  return p;
}

std::vector<double> column(const Panel &p) {
  std::vector<double> v;
  for (Eigen::Index i = 0; i < p.data.rows(); ++i) {
    v.push_back(p.data(i, 0));
  }
  return v;
}

} // namespace

TEST(PeriodKey, Table) {
  struct Case {
    std::int32_t date;
    std::uint8_t code;
    std::optional<std::int64_t> want;
  } cases[] = {
      // ISO weeks around year ends.
      {20201231, 0, 202053},
      {20210101, 0, 202053},
      {20210103, 0, 202053},
      {20210104, 0, 202101},
      {20241230, 0, 202501},
      {20241229, 0, 202452},
      {20240101, 0, 202401},
      {20230101, 0, 202252},
      {20151231, 0, 201553},
      {20160103, 0, 201553},
      {20260101, 0, 202601},
      // 0000-01-01 is a Saturday in week 52 of year -1.
      {101, 0, -100 + 52},
      {327671231, 0, 3276752},
      // Years beyond 32767 are calendar years too.
      {327680101, 0, 3276801},
      {400000101, 0, 3999952},
      {400000229, 1, 4000002},
      {2147481231, 0, 21474853},
      {2147481231, 2, 2147483},
      {2147481231, 3, 214748},
      {20240229, 1, 202402},
      {20241231, 1, 202412},
      {20240331, 2, 20240},
      {20240401, 2, 20241},
      {20241231, 2, 20243},
      {20240102, 3, 2024},
      // Not calendar dates.
      {20230229, 1, std::nullopt},
      {20241301, 0, std::nullopt},
      {20240100, 3, std::nullopt},
      {20240431, 2, std::nullopt},
      {400010229, 1, std::nullopt},
      {0, 3, std::nullopt},
      {-20240101, 1, std::nullopt},
      {std::numeric_limits<std::int32_t>::max(), 0, std::nullopt},
      {std::numeric_limits<std::int32_t>::min(), 0, std::nullopt},
      // Codes outside 0-3.
      {20240101, 4, std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(rebalance::period_key(c.date, c.code), c.want) << c.date << " code " << int(c.code);
  }
}

TEST(RebalanceFreq, KeepsLatestRowPerPeriod) {
  struct Case {
    const char *name;
    std::uint8_t code;
    std::vector<std::int32_t> dates;
    std::vector<std::int32_t> want_dates;
    std::vector<double> want_rows;
  } cases[] = {
      {"monthly", 1, {20240130, 20240131, 20240201, 20240229}, {20240131, 20240229}, {1, 3}},
      {"weekly over the year end",
       0,
       {20201231, 20210101, 20210103, 20210104},
       {20210103, 20210104},
       {2, 3}},
      {"quarterly", 2, {20240331, 20240401}, {20240331, 20240401}, {0, 1}},
      {"yearly", 3, {20231229, 20240102}, {20231229, 20240102}, {0, 1}},
      {"unsorted input keeps stored order",
       1,
       {20240215, 20240105, 20240110, 20240201},
       {20240215, 20240110},
       {0, 2}},
      {"first of equal latest dates", 1, {20240131, 20240105, 20240131}, {20240131}, {0}},
      {"no rows", 0, {}, {}, {}},
  };
  for (const auto &c : cases) {
    auto res = indexed(c.dates).rebalance_freq(c.code);
    ASSERT_TRUE(res.has_value()) << c.name;
    EXPECT_EQ(res->dates, c.want_dates) << c.name;
    EXPECT_EQ(res->symbols, std::vector<std::string>{"A"}) << c.name;
    EXPECT_EQ(column(*res), c.want_rows) << c.name;
  }
}

TEST(RebalanceFreq, Failures) {
  struct Case {
    std::uint8_t code;
    std::vector<std::int32_t> dates;
    const char *err;
  } cases[] = {
      {1, {20240101, 20240230, 20241301}, "eval error: date 20240230 is not a calendar date"},
      {0, {20241301}, "eval error: date 20241301 is not a calendar date"},
      {4, {20240101}, "eval error: bad rebalance frequency code 4"},
  };
  for (const auto &c : cases) {
    auto res = indexed(c.dates).rebalance_freq(c.code);
    ASSERT_FALSE(res.has_value()) << c.err;
    EXPECT_EQ(res.error().to_string(), c.err);
  }
}

TEST(RebalanceDates, ListedDatesInGivenOrder) {
  // 20240102 appears twice: its last row (2) is the one kept.
  Panel p = indexed({20240101, 20240102, 20240102, 20240103});
  struct Case {
    std::vector<std::int32_t> keep;
    std::vector<double> want;
  } cases[] = {
      {{20240103, 20240101, 20240103}, {3, 0, 3}},
      {{20240102, 20249999}, {2, NaN}},
      {{}, {}},
  };
  for (const auto &c : cases) {
    Panel r = p.rebalance_dates(c.keep);
    EXPECT_EQ(r.dates, c.keep);
    ASSERT_EQ(r.data.rows(), static_cast<Eigen::Index>(c.want.size()));
    for (std::size_t i = 0; i < c.want.size(); ++i) {
      const double got = r.data(static_cast<Eigen::Index>(i), 0);
      EXPECT_TRUE(std::isnan(c.want[i]) ? std::isnan(got) : got == c.want[i]) << i;
    }
  }
  EXPECT_EQ(Panel({}, {"A"}).rebalance_dates({20240101}).data.rows(), 1);
}
