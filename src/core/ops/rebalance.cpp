#include "core/ops/rebalance.hpp"

#include <algorithm>
#include <chrono>
#include <unordered_map>

namespace zorv {

namespace rebalance {

namespace {

// ISO 8601 week-numbering year * 100 + week of a valid calendar date.
std::int64_t iso_week_key(int y, std::chrono::year_month_day ymd) {
  using namespace std::chrono;
  const sys_days day{ymd};
  // The week belongs to the year holding its Thursday: y - 1, y or y + 1.
  const auto iso_wd = static_cast<int>(weekday{day}.iso_encoding()); // 1 Monday .. 7 Sunday
  const sys_days thursday = day + days{4 - iso_wd};
  const sys_days jan1{year{y} / January / 1};
  const sys_days next_jan1{year{y + 1} / January / 1};
  int iso_year = y;
  sys_days start = jan1;
  if (thursday < jan1) {
    iso_year = y - 1;
    start = sys_days{year{y - 1} / January / 1};
  } else if (thursday >= next_jan1) {
    iso_year = y + 1;
    start = next_jan1;
  }
  const auto week = (thursday - start).count() / 7 + 1;
  return static_cast<std::int64_t>(iso_year) * 100 + week;
}

} // namespace

std::optional<std::int64_t> period_key(std::int32_t date, std::uint8_t code) {
  using namespace std::chrono;
  const int y = date / 10000;
  const int m = (date / 100) % 100;
  const int d = date % 100;
  // A negative date has a negative month, so every year that gets past here is 0 or more.
  if (m < 1 || m > 12 || d < 1 || d > 31) {
    return std::nullopt;
  }
  // The Gregorian calendar repeats every 400 years, weekdays included, so days and ISO weeks are
  // worked out on the same day of 2000-2399, within the years chrono's types can hold.
  const int shift = y - (2000 + y % 400);
  const year_month_day ymd{year{y - shift}, month{static_cast<unsigned>(m)},
                           day{static_cast<unsigned>(d)}};
  if (!ymd.ok()) {
    return std::nullopt;
  }
  const auto y64 = static_cast<std::int64_t>(y);
  switch (code) {
  case 0:
    return iso_week_key(y - shift, ymd) + static_cast<std::int64_t>(shift) * 100;
  case 1:
    return y64 * 100 + m;
  case 2:
    return y64 * 10 + (m - 1) / 3;
  case 3:
    return y64;
  default:
    return std::nullopt;
  }
}

} // namespace rebalance

namespace {

// The given source rows (-1: an all-NaN row) under the given dates, with the panel's symbols.
Panel take_rows(const Panel &p, std::vector<std::int32_t> dates,
                const std::vector<std::ptrdiff_t> &src) {
  Panel out(std::move(dates), p.symbols);
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (src[i] >= 0) {
      out.data.row(static_cast<Eigen::Index>(i)) = p.data.row(src[i]);
    }
  }
  return out;
}

} // namespace

Result<Panel> Panel::rebalance_freq(std::uint8_t code) const {
  if (code > 3) {
    return eval_error("bad rebalance frequency code " + std::to_string(code));
  }
  // Period key -> slot in `kept`, which holds the row with the period's latest date.
  std::unordered_map<std::int64_t, std::size_t> slot_of;
  std::vector<std::ptrdiff_t> kept;
  for (std::size_t i = 0; i < rows(); ++i) {
    const auto key = rebalance::period_key(dates[i], code);
    if (!key) {
      return eval_error("date " + std::to_string(dates[i]) + " is not a calendar date");
    }
    const auto [it, fresh] = slot_of.try_emplace(*key, kept.size());
    if (fresh) {
      kept.push_back(static_cast<std::ptrdiff_t>(i));
    } else if (dates[i] > dates[static_cast<std::size_t>(kept[it->second])]) {
      kept[it->second] = static_cast<std::ptrdiff_t>(i);
    }
  }
  std::sort(kept.begin(), kept.end());
  std::vector<std::int32_t> out_dates;
  out_dates.reserve(kept.size());
  for (const auto r : kept) {
    out_dates.push_back(dates[static_cast<std::size_t>(r)]);
  }
  return take_rows(*this, std::move(out_dates), kept);
}

Panel Panel::rebalance_dates(const std::vector<std::int32_t> &keep) const {
  // A repeated date resolves to its last row.
  std::unordered_map<std::int32_t, std::ptrdiff_t> row_of;
  row_of.reserve(rows());
  for (std::size_t i = 0; i < rows(); ++i) {
    row_of[dates[i]] = static_cast<std::ptrdiff_t>(i);
  }
  std::vector<std::ptrdiff_t> src(keep.size(), -1);
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (const auto it = row_of.find(keep[i]); it != row_of.end()) {
      src[i] = it->second;
    }
  }
  return take_rows(*this, keep, src);
}

} // namespace zorv
