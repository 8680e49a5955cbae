#include "core/ops/neutralize.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string_view>
#include <unordered_map>

#include "core/align.hpp"
#include "core/ops/kernel.hpp"
#include "core/ops/linalg.hpp"

namespace zorv {

namespace {

using ops::kNaN;

const std::string &label_of(const IndustryMap &industry, const std::string &symbol) {
  static const std::string other = neutralize::kOtherLabel;
  const auto it = industry.find(symbol);
  return it == industry.end() ? other : it->second;
}

// Group index of every column, groups numbered in the order their labels first appear.
struct ColumnGroups {
  std::vector<IndustryGroup> groups;
  std::vector<std::size_t> group_of; // per column
};

ColumnGroups group_all_columns(const std::vector<std::string> &symbols,
                               const IndustryMap &industry) {
  std::vector<std::size_t> all(symbols.size());
  for (std::size_t j = 0; j < all.size(); ++j) {
    all[j] = j;
  }
  ColumnGroups out{Panel::group_cols_by_industry(symbols, industry, all),
                   std::vector<std::size_t>(symbols.size(), 0)};
  for (std::size_t g = 0; g < out.groups.size(); ++g) {
    for (const auto j : out.groups[g].cols) {
      out.group_of[j] = g;
    }
  }
  return out;
}

// Buckets a row's finite cells by group, columns ascending within each bucket. The buckets keep
// their capacity from row to row.
void bucket_valid_cells(const Matrix &data, Eigen::Index t, const ColumnGroups &cg,
                        std::vector<std::vector<std::size_t>> &buckets, std::size_t &valid) {
  for (auto &b : buckets) {
    b.clear();
  }
  valid = 0;
  const auto row = data.row(t);
  for (std::size_t j = 0; j < cg.group_of.size(); ++j) {
    if (std::isfinite(row(static_cast<Eigen::Index>(j)))) {
      buckets[cg.group_of[j]].push_back(j);
      ++valid;
    }
  }
}

enum class Agg { Sum, Mean, Std, Bad };

Agg parse_agg(const std::string &agg) {
  if (agg == "sum") {
    return Agg::Sum;
  }
  if (agg == "mean") {
    return Agg::Mean;
  }
  if (agg == "std") {
    return Agg::Std;
  }
  return Agg::Bad;
}

double sum_from_negative_zero(std::span<const double> values) {
  double s = -0.0;
  for (const double v : values) {
    s += v;
  }
  return s;
}

double aggregate_known(Agg agg, std::span<const double> values) {
  const double sum = sum_from_negative_zero(values);
  const auto n = static_cast<double>(values.size());
  switch (agg) {
  case Agg::Sum:
    return sum;
  case Agg::Mean:
    return sum / n;
  default: {
    if (values.size() < 2) {
      return kNaN;
    }
    const double mean = sum / n;
    double ss = 0.0;
    for (const double v : values) {
      const double d = v - mean;
      ss += d * d;
    }
    return std::sqrt(ss / (n - 1.0));
  }
  }
}

util::Unexpected<EngineError> bad_agg(const std::string &agg) {
  return eval_error("bad groupby agg '" + agg + "'");
}

} // namespace

namespace neutralize {

Result<double> aggregate(const std::string &agg, std::span<const double> values) {
  const Agg kind = parse_agg(agg);
  if (kind == Agg::Bad) {
    return bad_agg(agg);
  }
  return aggregate_known(kind, values);
}

} // namespace neutralize

Matrix Panel::project_onto(const std::vector<std::int32_t> &target_dates,
                           const std::vector<std::string> &target_symbols) const {
  return std::move(align::project(*this, target_dates, target_symbols).data);
}

Panel Panel::neutralize(const std::vector<Panel> &factors, bool add_const) const {
  std::vector<const Panel *> refs;
  refs.reserve(factors.size());
  for (const Panel &f : factors) {
    refs.push_back(&f);
  }
  return neutralize(refs, add_const);
}

Panel Panel::neutralize(const std::vector<const Panel *> &factors, bool add_const) const {
  const std::size_t k = factors.size();
  const std::size_t n = cols();
  // Aligning with the input and then projecting back onto the input's grid puts the same cells
  // in place as projecting straight onto it, without the intermediate panels.
  std::vector<Matrix> grids;
  grids.reserve(k);
  for (const Panel *f : factors) {
    grids.push_back(f->project_onto(dates, symbols));
  }

  Panel out(dates, symbols);
  const std::size_t p = k + (add_const ? 1 : 0);
  const std::size_t c0 = add_const ? 1 : 0;
  std::vector<std::size_t> valid;
  valid.reserve(n);
  Matrix x_buf(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(p));
  std::vector<double> y(n);
  linalg::OlsWork work;

  for (Eigen::Index t = 0; t < static_cast<Eigen::Index>(rows()); ++t) {
    const auto in = data.row(t);
    valid.clear();
    for (std::size_t j = 0; j < n; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      bool ok = std::isfinite(in(jj));
      for (std::size_t f = 0; ok && f < k; ++f) {
        ok = std::isfinite(grids[f](t, jj));
      }
      if (ok) {
        valid.push_back(j);
      }
    }
    const std::size_t m = valid.size();
    // The constant column does not count: add_const with one factor needs two cells.
    if (m <= k) {
      continue;
    }
    for (std::size_t i = 0; i < m; ++i) {
      const auto ii = static_cast<Eigen::Index>(i);
      const auto jj = static_cast<Eigen::Index>(valid[i]);
      if (add_const) {
        x_buf(ii, 0) = 1.0;
      }
      for (std::size_t f = 0; f < k; ++f) {
        x_buf(ii, static_cast<Eigen::Index>(c0 + f)) = grids[f](t, jj);
      }
      y[i] = in(jj);
    }
    const auto x = x_buf.topRows(static_cast<Eigen::Index>(m));
    if (!linalg::solve_ols(x, std::span<const double>(y.data(), m), work)) {
      continue;
    }
    auto res = out.data.row(t);
    for (std::size_t i = 0; i < m; ++i) {
      double fit = 0.0;
      for (std::size_t c = 0; c < p; ++c) {
        fit += x(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)) * work.x[c];
      }
      res(static_cast<Eigen::Index>(valid[i])) = y[i] - fit;
    }
  }
  return out;
}

std::vector<IndustryGroup> Panel::group_cols_by_industry(const std::vector<std::string> &symbols,
                                                         const IndustryMap &industry,
                                                         const std::vector<std::size_t> &cols) {
  std::vector<IndustryGroup> groups;
  std::unordered_map<std::string_view, std::size_t> index_of;
  for (const auto j : cols) {
    if (j >= symbols.size()) {
      continue; // a column the symbol list does not have carries no label
    }
    const std::string &label = label_of(industry, symbols[j]);
    const auto [it, fresh] = index_of.try_emplace(label, groups.size());
    if (fresh) {
      groups.push_back({label, {}});
    }
    groups[it->second].cols.push_back(j);
  }
  return groups;
}

Panel Panel::industry_rank(const IndustryMap &industry,
                           const std::optional<std::vector<std::string>> &categories) const {
  Panel out(dates, symbols);
  const ColumnGroups cg = group_all_columns(symbols, industry);
  std::vector<char> ranked(cg.groups.size(), 1);
  if (categories) {
    for (std::size_t g = 0; g < cg.groups.size(); ++g) {
      ranked[g] = std::find(categories->begin(), categories->end(), cg.groups[g].label) !=
                  categories->end();
    }
  }
  std::vector<std::vector<std::size_t>> buckets(cg.groups.size());
  std::vector<std::pair<double, std::size_t>> members;
  members.reserve(cols());
  std::size_t valid = 0;
  for (Eigen::Index t = 0; t < static_cast<Eigen::Index>(rows()); ++t) {
    bucket_valid_cells(data, t, cg, buckets, valid);
    const auto in = data.row(t);
    auto res = out.data.row(t);
    for (std::size_t g = 0; g < buckets.size(); ++g) {
      if (!ranked[g] || buckets[g].empty()) {
        continue;
      }
      members.clear();
      for (const auto j : buckets[g]) {
        members.emplace_back(in(static_cast<Eigen::Index>(j)), j);
      }
      // Sorted by value, a run of equal values starting at position s has s members below it.
      std::sort(members.begin(), members.end());
      const auto m = static_cast<double>(members.size());
      for (std::size_t s = 0; s < members.size();) {
        std::size_t e = s;
        while (e < members.size() && members[e].first == members[s].first) {
          ++e;
        }
        const double below = static_cast<double>(s);
        const double equal = static_cast<double>(e - s);
        const double r = (below + (equal + 1.0) / 2.0) / m;
        for (std::size_t i = s; i < e; ++i) {
          res(static_cast<Eigen::Index>(members[i].second)) = r;
        }
        s = e;
      }
    }
  }
  return out;
}

Panel Panel::neutralize_industry(const IndustryMap &industry) const {
  Panel out(dates, symbols);
  const ColumnGroups cg = group_all_columns(symbols, industry);
  std::vector<std::vector<std::size_t>> buckets(cg.groups.size());
  std::size_t valid = 0;
  for (Eigen::Index t = 0; t < static_cast<Eigen::Index>(rows()); ++t) {
    bucket_valid_cells(data, t, cg, buckets, valid);
    if (valid < 2) {
      continue;
    }
    const auto nonempty =
        std::count_if(buckets.begin(), buckets.end(), [](const auto &b) { return !b.empty(); });
    if (nonempty < 2) {
      continue;
    }
    const auto in = data.row(t);
    auto res = out.data.row(t);
    for (const auto &b : buckets) {
      if (b.size() == 1) {
        res(static_cast<Eigen::Index>(b[0])) = 0.0;
        continue;
      }
      double sum = -0.0;
      for (const auto j : b) {
        sum += in(static_cast<Eigen::Index>(j));
      }
      const double mean = sum / static_cast<double>(b.size());
      for (const auto j : b) {
        res(static_cast<Eigen::Index>(j)) = in(static_cast<Eigen::Index>(j)) - mean;
      }
    }
  }
  return out;
}

Result<Panel> Panel::groupby_category(const IndustryMap &industry, const std::string &agg) const {
  // Byte-wise label order; members of each category in ascending column order.
  std::map<std::string, std::vector<Eigen::Index>> by_label;
  for (std::size_t j = 0; j < cols(); ++j) {
    by_label[label_of(industry, symbols[j])].push_back(static_cast<Eigen::Index>(j));
  }
  std::vector<std::string> categories;
  std::vector<std::vector<Eigen::Index>> members;
  categories.reserve(by_label.size());
  members.reserve(by_label.size());
  for (auto &[label, member_cols] : by_label) {
    categories.push_back(label);
    members.push_back(std::move(member_cols));
  }

  const Agg kind = parse_agg(agg);
  Matrix grid = Matrix::Constant(data.rows(), static_cast<Eigen::Index>(categories.size()), kNaN);
  std::vector<double> values;
  values.reserve(cols());
  for (Eigen::Index t = 0; t < data.rows(); ++t) {
    const auto in = data.row(t);
    for (std::size_t c = 0; c < members.size(); ++c) {
      values.clear();
      for (const auto j : members[c]) {
        if (std::isfinite(in(j))) {
          values.push_back(in(j));
        }
      }
      if (!values.empty()) {
        // The name is judged only once there is something to aggregate.
        if (kind == Agg::Bad) {
          return bad_agg(agg);
        }
        grid(t, static_cast<Eigen::Index>(c)) = aggregate_known(kind, values);
      }
    }
  }
  return Panel::create(dates, std::move(categories), std::move(grid));
}

} // namespace zorv
