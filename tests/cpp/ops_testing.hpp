// Helpers shared by the operator tests: panel builders, bitwise comparison, random panels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/panel.hpp"

namespace zorv::testing {

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double Inf = std::numeric_limits<double>::infinity();

inline std::vector<std::int32_t> day_dates(std::size_t n) {
  std::vector<std::int32_t> d(n);
  for (std::size_t i = 0; i < n; ++i) {
    d[i] = 20240101 + static_cast<std::int32_t>(i);
  }
  return d;
}

inline std::vector<std::string> sym_names(std::size_t n) {
  std::vector<std::string> s(n);
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = "S" + std::to_string(i);
  }
  return s;
}

// A panel from row-major cells, on consecutive dates and symbols S0, S1, ...
inline Panel grid(std::size_t rows, std::size_t cols, std::vector<double> v) {
  Matrix m(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
  for (std::size_t i = 0; i < rows * cols; ++i) {
    m(static_cast<Eigen::Index>(i / cols), static_cast<Eigen::Index>(i % cols)) = v.at(i);
  }
  return Panel(day_dates(rows), sym_names(cols), std::move(m));
}

// One column.
inline Panel column(std::vector<double> v) {
  const std::size_t n = v.size();
  return grid(n, 1, std::move(v));
}

// One row.
inline Panel row(std::vector<double> v) {
  const std::size_t n = v.size();
  return grid(1, n, std::move(v));
}

// Equal bit for bit, except that any NaN matches any NaN.
inline bool same_bits(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b);
  }
  std::uint64_t ua, ub;
  std::memcpy(&ua, &a, sizeof a);
  std::memcpy(&ub, &b, sizeof b);
  return ua == ub;
}

inline std::vector<double> cells(const Panel &p) {
  std::vector<double> v;
  for (Eigen::Index i = 0; i < p.data.rows(); ++i) {
    for (Eigen::Index j = 0; j < p.data.cols(); ++j) {
      v.push_back(p.data(i, j));
    }
  }
  return v;
}

inline ::testing::AssertionResult same_panel(const Panel &got, const Panel &want) {
  if (got.dates != want.dates || got.symbols != want.symbols) {
    return ::testing::AssertionFailure() << "grids differ";
  }
  if (got.data.rows() != want.data.rows() || got.data.cols() != want.data.cols()) {
    return ::testing::AssertionFailure() << "shapes differ";
  }
  for (Eigen::Index i = 0; i < got.data.rows(); ++i) {
    for (Eigen::Index j = 0; j < got.data.cols(); ++j) {
      if (!same_bits(got.data(i, j), want.data(i, j))) {
        return ::testing::AssertionFailure() << "cell (" << i << "," << j << "): got "
                                             << got.data(i, j) << " want " << want.data(i, j);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_cells(const Panel &got, const std::vector<double> &want) {
  const auto v = cells(got);
  if (v.size() != want.size()) {
    return ::testing::AssertionFailure() << "size " << v.size() << " != " << want.size();
  }
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!same_bits(v[i], want[i])) {
      return ::testing::AssertionFailure()
             << "cell " << i << ": got " << v[i] << " want " << want[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// One operator's result and the cells it should hold.
struct Outcome {
  const char *name;
  Panel got;
  const std::vector<double> &want;
};

// Checks each outcome; `n` is the count the operators were called with.
inline void expect_outcomes(std::initializer_list<Outcome> outcomes, std::size_t n) {
  for (const auto &o : outcomes) {
    EXPECT_TRUE(same_cells(o.got, o.want)) << o.name << " n=" << n;
  }
}

// The (column, value) pairs of row r's non-NaN cells, stably sorted by value.
inline std::vector<std::pair<Eigen::Index, double>> sorted_row(const Panel &p, Eigen::Index r,
                                                               bool descending) {
  std::vector<std::pair<Eigen::Index, double>> v;
  for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
    if (!std::isnan(p.data(r, c))) {
      v.emplace_back(c, p.data(r, c));
    }
  }
  std::stable_sort(v.begin(), v.end(), [&](const auto &a, const auto &b) {
    return descending ? a.second > b.second : a.second < b.second;
  });
  return v;
}

// Random cells drawn from a small pool, so that ties, signed zeros, NaN and infinities meet in
// the same windows and rows; `spread` adds ordinary values.
inline Panel random_panel(std::mt19937_64 &rng, std::size_t rows, std::size_t cols,
                          bool spread = true) {
  static const double pool[] = {NaN, Inf, -Inf, 0.0, -0.0, 1.0, -1.0, 2.0, 1.0, 0.5};
  std::uniform_int_distribution<int> pick(0, spread ? 19 : 9);
  std::uniform_real_distribution<double> real(-100.0, 100.0);
  Matrix m(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
      const int k = pick(rng);
      m(i, j) = k < 10 ? pool[k] : real(rng);
    }
  }
  return Panel(day_dates(rows), sym_names(cols), std::move(m));
}

} // namespace zorv::testing
