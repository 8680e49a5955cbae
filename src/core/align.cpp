#include "core/align.hpp"

#include <set>
#include <unordered_map>
#include <unordered_set>

#include "core/ops/kernel.hpp"

namespace zorv::align {

std::pair<Panel, Panel> align(const Panel &a, const Panel &b) {
  std::set<std::int32_t> date_set(a.dates.begin(), a.dates.end());
  date_set.insert(b.dates.begin(), b.dates.end());
  std::vector<std::int32_t> dates(date_set.begin(), date_set.end());

  std::unordered_set<std::string_view> in_b(b.symbols.begin(), b.symbols.end());
  std::vector<std::string> symbols;
  for (const auto &s : a.symbols) {
    if (in_b.count(s)) {
      symbols.push_back(s);
    }
  }
  Panel pa = project(a, dates, symbols);
  Panel pb = project(b, dates, symbols);
  return {std::move(pa), std::move(pb)};
}

Panel project(const Panel &p, const std::vector<std::int32_t> &dates,
              const std::vector<std::string> &symbols) {
  std::unordered_map<std::int32_t, Eigen::Index> row_of;
  row_of.reserve(p.dates.size());
  for (std::size_t r = 0; r < p.dates.size(); ++r) {
    row_of[p.dates[r]] = static_cast<Eigen::Index>(r);
  }
  std::unordered_map<std::string_view, Eigen::Index> col_of;
  col_of.reserve(p.symbols.size());
  for (std::size_t c = 0; c < p.symbols.size(); ++c) {
    col_of[p.symbols[c]] = static_cast<Eigen::Index>(c);
  }
  // Source column per target column, -1 where the panel lacks the symbol.
  std::vector<Eigen::Index> src_col(symbols.size(), -1);
  for (std::size_t j = 0; j < symbols.size(); ++j) {
    if (auto it = col_of.find(symbols[j]); it != col_of.end()) {
      src_col[j] = it->second;
    }
  }
  // Every cell is written once: copied, or NaN where the panel lacks the date or the symbol.
  Matrix m = uninit_matrix(static_cast<Eigen::Index>(dates.size()),
                           static_cast<Eigen::Index>(symbols.size()));
  bool same_cols = symbols.size() == p.symbols.size();
  for (std::size_t j = 0; same_cols && j < symbols.size(); ++j) {
    same_cols = src_col[j] == static_cast<Eigen::Index>(j);
  }
  for (std::size_t i = 0; i < dates.size(); ++i) {
    auto dst = m.row(static_cast<Eigen::Index>(i));
    auto it = row_of.find(dates[i]);
    if (it == row_of.end()) {
      dst.setConstant(ops::kNaN);
      continue;
    }
    const auto src = p.data.row(it->second);
    if (same_cols) {
      dst = src;
      continue;
    }
    for (std::size_t j = 0; j < symbols.size(); ++j) {
      const Eigen::Index c = src_col[j];
      dst(static_cast<Eigen::Index>(j)) = c >= 0 ? src(c) : ops::kNaN;
    }
  }
  return Panel(dates, symbols, std::move(m));
}

} // namespace zorv::align
