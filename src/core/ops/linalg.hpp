// Ordinary least squares through the normal equations.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/panel.hpp"

namespace zorv::linalg {

// Scratch space of solve_ols, reused across calls to avoid allocating per regression.
struct OlsWork {
  std::vector<double> a; // p x p normal matrix, row-major
  std::vector<double> b;
  std::vector<double> x; // the coefficients after a successful solve
};

// Solves X'X beta = X'y by Gaussian elimination with partial pivoting (the lowest row wins
// equal magnitudes). X is m x p, y has m values. False (nothing solved) when a pivot's
// magnitude falls below 1e-12 or the shapes disagree; otherwise the p coefficients are in
// work.x.
bool solve_ols(Eigen::Ref<const Matrix> X, std::span<const double> y, OlsWork &work);

// The same, allocating its own scratch space; absent when the system is singular.
std::optional<std::vector<double>> solve_ols(Eigen::Ref<const Matrix> X, std::span<const double> y);

} // namespace zorv::linalg
