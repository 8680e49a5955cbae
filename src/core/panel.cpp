#include "core/panel.hpp"

#include <limits>
#include <utility>

namespace zorv {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

Panel::Panel(std::vector<std::int32_t> d, std::vector<std::string> s)
    : dates(std::move(d)), symbols(std::move(s)),
      data(Matrix::Constant(static_cast<Eigen::Index>(dates.size()),
                            static_cast<Eigen::Index>(symbols.size()), kNaN)) {}

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
  Panel out(dates, symbols);
  const std::size_t r = rows();
  if (n < r) {
    const auto keep = static_cast<Eigen::Index>(r - n);
    out.data.bottomRows(keep) = data.topRows(keep);
  }
  return out;
}

} // namespace zorv
