#include "core/panel.hpp"

#include <cstdint>
#include <utility>

#include "core/ops/kernel.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zorv {

Matrix uninit_matrix(Eigen::Index rows, Eigen::Index cols) {
  Matrix m(rows, cols);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Smaller blocks mostly come from heap memory already touched, where the advice cannot help.
  constexpr std::size_t kMinBytes = std::size_t{4} << 20;
  constexpr std::uintptr_t kPage = 4096;
  const std::size_t bytes = static_cast<std::size_t>(m.size()) * sizeof(double);
  if (bytes >= kMinBytes) {
    const auto start = reinterpret_cast<std::uintptr_t>(m.data());
    const std::uintptr_t begin = (start + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kPage - 1);
    if (end > begin) {
      // Advice only: where it is refused the memory is ordinary pages, as without it.
      (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
  }
#endif
  return m;
}

Panel::Panel(std::vector<std::int32_t> d, std::vector<std::string> s)
    : dates(std::move(d)), symbols(std::move(s)),
      data(uninit_matrix(static_cast<Eigen::Index>(dates.size()),
                         static_cast<Eigen::Index>(symbols.size()))) {
  data.setConstant(ops::kNaN);
}

Panel::Panel(std::vector<std::int32_t> d, std::vector<std::string> s, Matrix m)
    : dates(std::move(d)), symbols(std::move(s)), data(std::move(m)) {}

Result<Panel> Panel::create(std::vector<std::int32_t> dates, std::vector<std::string> symbols,
                            Matrix data) {
  if (static_cast<std::size_t>(data.rows()) != dates.size() ||
      static_cast<std::size_t>(data.cols()) != symbols.size()) {
    return util::unexpected(EngineError::shape(dates.size(), symbols.size(),
                                               static_cast<std::size_t>(data.rows()) *
                                                   static_cast<std::size_t>(data.cols())));
  }
  return Panel(std::move(dates), std::move(symbols), std::move(data));
}

Panel Panel::shift(std::size_t n) const {
  Matrix m = uninit_matrix(data.rows(), data.cols());
  const std::size_t r = rows();
  const auto lead = static_cast<Eigen::Index>(n < r ? n : r);
  const auto keep = static_cast<Eigen::Index>(r) - lead;
  m.topRows(lead).setConstant(ops::kNaN);
  m.bottomRows(keep) = data.topRows(keep);
  return Panel(dates, symbols, std::move(m));
}

} // namespace zorv
