#include "core/ops/linalg.hpp"

#include <cmath>
#include <utility>

namespace zorv::linalg {

bool solve_ols(Eigen::Ref<const Matrix> X, std::span<const double> y, OlsWork &work) {
  const auto m = static_cast<std::size_t>(X.rows());
  const auto p = static_cast<std::size_t>(X.cols());
  if (y.size() != m) {
    return false;
  }
  auto &a = work.a;
  auto &b = work.b;
  auto &x = work.x;
  a.assign(p * p, 0.0);
  b.assign(p, 0.0);
  x.assign(p, 0.0);

  // Each entry sums over the rows of X in order, from 0.0; rows outer keeps X in cache order.
  for (std::size_t r = 0; r < m; ++r) {
    const auto xr = X.row(static_cast<Eigen::Index>(r));
    for (std::size_t i = 0; i < p; ++i) {
      const double xi = xr(static_cast<Eigen::Index>(i));
      for (std::size_t j = 0; j < p; ++j) {
        a[i * p + j] += xi * xr(static_cast<Eigen::Index>(j));
      }
      b[i] += xi * y[r];
    }
  }

  for (std::size_t k = 0; k < p; ++k) {
    std::size_t piv = k;
    for (std::size_t r = k + 1; r < p; ++r) {
      if (std::fabs(a[r * p + k]) > std::fabs(a[piv * p + k])) {
        piv = r;
      }
    }
    if (std::fabs(a[piv * p + k]) < 1e-12) {
      return false;
    }
    if (piv != k) {
      for (std::size_t c = 0; c < p; ++c) {
        std::swap(a[k * p + c], a[piv * p + c]);
      }
      std::swap(b[k], b[piv]);
    }
    for (std::size_t r = k + 1; r < p; ++r) {
      const double f = a[r * p + k] / a[k * p + k];
      for (std::size_t c = k; c < p; ++c) {
        a[r * p + c] -= a[k * p + c] * f;
      }
      b[r] -= f * b[k];
    }
  }

  for (std::size_t i = p; i-- > 0;) {
    double s = 0.0;
    for (std::size_t j = i + 1; j < p; ++j) {
      s += a[i * p + j] * x[j];
    }
    x[i] = (b[i] - s) / a[i * p + i];
  }
  return true;
}

std::optional<std::vector<double>> solve_ols(Eigen::Ref<const Matrix> X,
                                             std::span<const double> y) {
  OlsWork work;
  if (!solve_ols(X, y, work)) {
    return std::nullopt;
  }
  return std::move(work.x);
}

} // namespace zorv::linalg
