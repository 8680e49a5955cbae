#include "core/eval.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "core/backtest.hpp"
#include "core/bootstrap.hpp"
#include "core/ops/rotation.hpp"
#include "core/ops/ta.hpp"
#include "core/report.hpp"
#include "quaro/spec.hpp"

namespace zorv {

namespace {

using quaro::spec::Expr;
using quaro::spec::Op;

constexpr std::uint64_t kBootstrapSeed = 0x5D3E91;

// A panel that is either borrowed from the context (Data nodes: no copy of the cells) or owned
// (every operator result). Operators only read their inputs, so a borrowed panel is safe.
class Handle {
public:
  static Handle borrow(const Panel &p) { return Handle(&p); }
  static Handle own(Panel &&p) { return Handle(std::move(p)); }

  const Panel &get() const { return owned_ ? *owned_ : *borrowed_; }
  Panel take() && { return owned_ ? std::move(*owned_) : *borrowed_; }

private:
  explicit Handle(const Panel *p) : borrowed_(p) {}
  explicit Handle(Panel &&p) : owned_(std::move(p)) {}

  std::optional<Panel> owned_;
  const Panel *borrowed_ = nullptr;
};

using HResult = Result<Handle>;

HResult owned(Panel &&p) { return Handle::own(std::move(p)); }

HResult owned(Result<Panel> &&r) {
  UTIL_ASSIGN_OR_RETURN(Panel p, std::move(r));
  return Handle::own(std::move(p));
}

// Plain decimal, fewest digits that read back as the same double, no exponent, no ".0". The
// shortest digits come from the scientific form; fixed notation would spell out every digit of
// a large integer (2^64 as 18446744073709551616 rather than 18446744073709552000).
std::string plain_decimal(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e = sci.find('e');
  if (!std::isfinite(v) || e == std::string_view::npos) {
    return std::string(sci);
  }
  std::string out;
  std::string_view mantissa = sci.substr(0, e);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') {
      digits += c;
    }
  }
  std::string_view exp_text = sci.substr(e + 1);
  const bool negative_exp = exp_text.front() == '-';
  exp_text.remove_prefix(1); // the exponent's sign is always written
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  // Digits before the decimal point.
  const long point = 1 + (negative_exp ? -exp : exp);
  const auto n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

// Names the field indexes of the nodes the walk reads, in each operator's declaration order.
namespace f {
constexpr std::size_t of = 0, n = 1;
constexpr std::size_t high = 0, low = 1, close = 2, hlc_n = 3, stoch_d = 4;
constexpr std::size_t l = 0, r = 1;
} // namespace f

class Walker {
public:
  explicit Walker(const EvalContext &ctx) : ctx_(ctx) {}

  HResult walk(const Expr &e) {
    switch (e.op) {
    case Op::Data: {
      const std::string &name = e.text(0);
      auto it = ctx_.panels.find(name);
      if (it == ctx_.panels.end()) {
        return eval_error("unknown series '" + name + "'");
      }
      return Handle::borrow(it->second);
    }
    case Op::Const:
      return eval_error("bare Const " + plain_decimal(e.number(0)) + " not allowed at top level");
    case Op::Average:
      return unary(e, [&](const Panel &p) { return p.average(e.count(f::n)); });
    case Op::Ema:
      return unary(e, [&](const Panel &p) { return p.ema(e.count(f::n)); });
    case Op::Std:
      return unary(e, [&](const Panel &p) { return p.rolling_std(e.count(f::n)); });
    case Op::Rsi:
      return unary(e, [&](const Panel &p) { return p.rsi(e.count(f::n)); });
    case Op::PctChange:
      return unary(e, [&](const Panel &p) { return p.pct_change(e.count(f::n)); });
    case Op::Rise:
      return unary(e, [&](const Panel &p) { return p.rise(e.count(f::n)); });
    case Op::Shift:
      return unary(e, [&](const Panel &p) { return p.shift(e.count(f::n)); });
    case Op::RollingMax:
      return unary(e, [&](const Panel &p) { return p.rolling_max(e.count(f::n)); });
    case Op::Atr:
      return hlc(e, [&](auto &h, auto &l, auto &c) { return ta::atr(h, l, c, e.count(f::hlc_n)); });
    case Op::Natr:
      return hlc(e,
                 [&](auto &h, auto &l, auto &c) { return ta::natr(h, l, c, e.count(f::hlc_n)); });
    case Op::WillR:
      return hlc(e,
                 [&](auto &h, auto &l, auto &c) { return ta::willr(h, l, c, e.count(f::hlc_n)); });
    case Op::Cci:
      return hlc(e, [&](auto &h, auto &l, auto &c) { return ta::cci(h, l, c, e.count(f::hlc_n)); });
    case Op::StochK:
      return hlc(
          e, [&](auto &h, auto &l, auto &c) { return ta::stoch_k(h, l, c, e.count(f::hlc_n)); });
    case Op::StochD:
      return hlc(e, [&](auto &h, auto &l, auto &c) {
        return ta::stoch_d(h, l, c, e.count(f::hlc_n), e.count(f::stoch_d));
      });
    case Op::AroonUp:
      return unary(e, [&](const Panel &p) { return ta::aroon_dir(p, e.count(f::n), true); });
    case Op::AroonDown:
      return unary(e, [&](const Panel &p) { return ta::aroon_dir(p, e.count(f::n), false); });
    case Op::Adx:
      return hlc(e, [&](auto &h, auto &l, auto &c) { return ta::adx(h, l, c, e.count(f::hlc_n)); });
    case Op::PlusDi:
      return hlc(e, [&](auto &h, auto &l, auto &c) {
        return ta::di_panel(h, l, c, e.count(f::hlc_n), true);
      });
    case Op::MinusDi:
      return hlc(e, [&](auto &h, auto &l, auto &c) {
        return ta::di_panel(h, l, c, e.count(f::hlc_n), false);
      });
    case Op::Obv:
      return binary(e, [](const Panel &c, const Panel &v) { return ta::obv(c, v); });
    case Op::Mfi:
      return hlcv(
          e, [&](auto &h, auto &l, auto &c, auto &v) { return ta::mfi(h, l, c, v, e.count(4)); });
    case Op::Vwap:
      return hlcv(
          e, [&](auto &h, auto &l, auto &c, auto &v) { return ta::vwap(h, l, c, v, e.count(4)); });
    case Op::Fall:
      return unary(e, [&](const Panel &p) { return p.fall(e.count(f::n)); });
    case Op::IsLargest:
      return unary(e, [&](const Panel &p) { return p.top_n(e.count(f::n), true); });
    case Op::IsSmallest:
      return unary(e, [&](const Panel &p) { return p.top_n(e.count(f::n), false); });
    case Op::Sustain:
      return unary(e, [&](const Panel &p) {
        std::optional<std::size_t> nsatisfy;
        if (auto v = e.opt_count(2)) {
          nsatisfy = static_cast<std::size_t>(*v);
        }
        return p.sustain(e.count(1), nsatisfy);
      });
    case Op::IsEntry:
      return unary(e, [](const Panel &p) { return p.is_entry(); });
    case Op::IsExit:
      return unary(e, [](const Panel &p) { return p.is_exit(); });
    case Op::Gt:
      return num_binop<BinOp::Gt>(e);
    case Op::Lt:
      return num_binop<BinOp::Lt>(e);
    case Op::Ge:
      return num_binop<BinOp::Ge>(e);
    case Op::Le:
      return num_binop<BinOp::Le>(e);
    case Op::And:
      return binary(e, [](const Panel &a, const Panel &b) { return a.and_(b); });
    case Op::Or:
      return binary(e, [](const Panel &a, const Panel &b) { return a.or_(b); });
    case Op::Not:
      return unary(e, [](const Panel &p) { return p.not_(); });
    case Op::Add:
      return num_binop<BinOp::Add>(e);
    case Op::Sub:
      return num_binop<BinOp::Sub>(e);
    case Op::Mul:
      return num_binop<BinOp::Mul>(e);
    case Op::Div:
      return num_binop<BinOp::Div>(e);
    case Op::Neg:
      return unary(e, [](const Panel &p) { return p.neg(); });
    case Op::Ceil:
      return unary(e, [](const Panel &p) { return p.ceil(); });
    case Op::Rank:
      return unary(e, [&](const Panel &p) { return p.rank_cs(e.flag(1), e.flag(2)); });
    case Op::Mask:
      return binary(e, [](const Panel &a, const Panel &b) { return a.mask(b); });
    case Op::NormalizeRow:
      return unary(e, [](const Panel &p) { return p.normalize_row(); });
    case Op::HoldUntil:
      return hold_until(e);
    case Op::Rebalance:
      return rebalance(e);
    case Op::Neutralize:
      return neutralize(e);
    case Op::NeutralizeIndustry:
      return unary(e, [&](const Panel &p) { return p.neutralize_industry(ctx_.industry); });
    case Op::IndustryRank:
      return unary(e, [&](const Panel &p) {
        std::optional<std::vector<std::string>> categories;
        if (const auto *c = e.opt_texts(1)) {
          categories = *c;
        }
        return p.industry_rank(ctx_.industry, categories);
      });
    case Op::GroupbyCategory:
      return unary(e, [&](const Panel &p) { return p.groupby_category(ctx_.industry, e.text(1)); });
    }
    return eval_error("unknown operator");
  }

private:
  template <class F> HResult unary(const Expr &e, F &&fn) {
    UTIL_ASSIGN_OR_RETURN(Handle a, walk(e.expr(f::of)));
    return owned(fn(a.get()));
  }

  template <class F> HResult binary(const Expr &e, F &&fn) {
    UTIL_ASSIGN_OR_RETURN(Handle a, walk(e.expr(0)));
    UTIL_ASSIGN_OR_RETURN(Handle b, walk(e.expr(1)));
    return owned(fn(a.get(), b.get()));
  }

  template <class F> HResult hlc(const Expr &e, F &&fn) {
    UTIL_ASSIGN_OR_RETURN(Handle h, walk(e.expr(f::high)));
    UTIL_ASSIGN_OR_RETURN(Handle l, walk(e.expr(f::low)));
    UTIL_ASSIGN_OR_RETURN(Handle c, walk(e.expr(f::close)));
    return owned(fn(h.get(), l.get(), c.get()));
  }

  template <class F> HResult hlcv(const Expr &e, F &&fn) {
    UTIL_ASSIGN_OR_RETURN(Handle h, walk(e.expr(0)));
    UTIL_ASSIGN_OR_RETURN(Handle l, walk(e.expr(1)));
    UTIL_ASSIGN_OR_RETURN(Handle c, walk(e.expr(2)));
    UTIL_ASSIGN_OR_RETURN(Handle v, walk(e.expr(3)));
    return owned(fn(h.get(), l.get(), c.get(), v.get()));
  }

  // The only place a Const operand is legal.
  template <BinOp Op> HResult num_binop(const Expr &e) {
    const Expr &l = e.expr(f::l);
    const Expr &r = e.expr(f::r);
    const bool lc = l.op == quaro::spec::Op::Const;
    const bool rc = r.op == quaro::spec::Op::Const;
    if (lc && rc) {
      return eval_error("both operands of a binary op are Const");
    }
    if (lc) {
      UTIL_ASSIGN_OR_RETURN(Handle x, walk(r));
      return owned(x.get().template scalar_lhs<Op>(l.number(0)));
    }
    if (rc) {
      UTIL_ASSIGN_OR_RETURN(Handle x, walk(l));
      return owned(x.get().template scalar_rhs<Op>(r.number(0)));
    }
    UTIL_ASSIGN_OR_RETURN(Handle a, walk(l));
    UTIL_ASSIGN_OR_RETURN(Handle b, walk(r));
    return owned(a.get().template ewise<Op>(b.get()));
  }

  HResult hold_until(const Expr &e) {
    UTIL_ASSIGN_OR_RETURN(Handle entry, walk(e.expr(0)));
    UTIL_ASSIGN_OR_RETURN(Handle exit, walk(e.expr(1)));
    std::optional<Handle> rank;
    if (const Expr *r = e.opt_expr(3)) {
      UTIL_ASSIGN_OR_RETURN(Handle h, walk(*r));
      rank.emplace(std::move(h));
    }
    HoldUntilOpts opts;
    if (auto lim = e.opt_count(2)) {
      opts.nstocks_limit = static_cast<std::size_t>(*lim);
    }
    if (rank) {
      opts.rank = &rank->get();
    }
    const auto stop_loss = e.opt_number(4);
    const auto take_profit = e.opt_number(5);
    const auto trail_stop = e.opt_number(6);
    const double inf = std::numeric_limits<double>::infinity();
    opts.stop_loss = stop_loss.value_or(-inf);
    opts.take_profit = take_profit.value_or(inf);
    opts.trail_stop = trail_stop.value_or(inf);
    opts.trail_stop_activation = e.opt_number(7).value_or(0.0);
    if (stop_loss || take_profit || trail_stop) {
      // Stops always price off the series named "close", whatever the road's price key.
      auto it = ctx_.panels.find("close");
      if (it == ctx_.panels.end()) {
        return eval_error("HoldUntil stops require a 'close' panel");
      }
      opts.price = &it->second;
    }
    return owned(entry.get().hold_until(exit.get(), opts));
  }

  HResult rebalance(const Expr &e) {
    UTIL_ASSIGN_OR_RETURN(Handle of, walk(e.expr(0)));
    const std::string *freq = e.opt_text(1);
    const Expr *on = e.opt_expr(2);
    if (freq && on) {
      return eval_error("Rebalance takes either freq or on, not both");
    }
    if (freq) {
      std::uint8_t code;
      if (*freq == "W") {
        code = 0;
      } else if (*freq == "ME") {
        code = 1;
      } else if (*freq == "QE") {
        code = 2;
      } else if (*freq == "YE") {
        code = 3;
      } else {
        return eval_error("bad freq '" + *freq + "'");
      }
      return owned(of.get().rebalance_freq(code));
    }
    if (!on) {
      return eval_error("Rebalance needs freq or on");
    }
    UTIL_ASSIGN_OR_RETURN(Handle on_panel, walk(*on));
    const Panel &p = on_panel.get();
    std::vector<std::int32_t> keep;
    for (std::size_t t = 0; t < p.rows(); ++t) {
      const auto row = p.data.row(static_cast<Eigen::Index>(t));
      for (Eigen::Index j = 0; j < row.size(); ++j) {
        if (std::isfinite(row(j)) && row(j) != 0.0) {
          keep.push_back(p.dates[t]);
          break;
        }
      }
    }
    return owned(of.get().rebalance_dates(keep));
  }

  HResult neutralize(const Expr &e) {
    UTIL_ASSIGN_OR_RETURN(Handle of, walk(e.expr(0)));
    // Factors stay in their handles: a series named directly is read in place, not copied.
    const auto &by = e.exprs(1);
    std::vector<Handle> held;
    held.reserve(by.size());
    for (const Expr &x : by) {
      UTIL_ASSIGN_OR_RETURN(Handle h, walk(x));
      held.push_back(std::move(h));
    }
    std::vector<const Panel *> factors;
    factors.reserve(held.size());
    for (const Handle &h : held) {
      factors.push_back(&h.get());
    }
    return owned(of.get().neutralize(factors, e.flag(2)));
  }

  const EvalContext &ctx_;
};

} // namespace

namespace eval {

Result<Panel> eval(const Expr &node, const EvalContext &ctx) {
  UTIL_ASSIGN_OR_RETURN(Handle h, Walker(ctx).walk(node));
  return std::move(h).take();
}

Result<Panel> run_strategy(std::string_view json_text, const EvalContext &ctx) {
  auto tree = quaro::spec::read_expr(json_text);
  if (!tree) {
    return eval_error(std::move(tree).error());
  }
  return eval(*tree, ctx);
}

Result<Report> run_backtest(std::string_view json_text, const EvalContext &ctx,
                            const std::string &price_key, const BacktestConfig &config) {
  Result<BacktestRun> run = [&]() -> Result<BacktestRun> {
    auto tree = quaro::spec::read_expr(json_text);
    if (!tree) {
      return eval_error(std::move(tree).error());
    }
    UTIL_ASSIGN_OR_RETURN(const Handle weights, Walker(ctx).walk(*tree));
    auto price = ctx.panels.find(price_key);
    if (price == ctx.panels.end()) {
      return eval_error("unknown price series '" + price_key + "'");
    }
    auto optional_panel = [&](const char *name) -> const Panel * {
      auto it = ctx.panels.find(name);
      return it == ctx.panels.end() ? nullptr : &it->second;
    };
    return backtest::run(weights.get(), price->second, optional_panel("high"),
                         optional_panel("low"), optional_panel("volume"), config);
  }();
  UTIL_TRY(run);

  std::optional<std::vector<double>> bench;
  if (config.benchmark_key) {
    const std::string &key = *config.benchmark_key;
    auto it = ctx.panels.find(key);
    if (it == ctx.panels.end()) {
      return eval_error("unknown benchmark series '" + key + "'");
    }
    const Panel &b = it->second;
    if (b.cols() == 0) {
      return eval_error("benchmark series '" + key + "' has no symbols");
    }
    std::vector<double> values(b.rows());
    for (std::size_t t = 0; t < b.rows(); ++t) {
      values[t] = b.data(static_cast<Eigen::Index>(t), 0);
    }
    bench = report::benchmark_equity(run->dates, b.dates, values);
  }

  Report rep = report::build_report_with_benchmark(std::move(run).value(), std::move(bench));
  if (config.bootstrap_samples != 0) {
    UTIL_ASSIGN_OR_RETURN(rep.bootstrap,
                          bootstrap::bootstrap(rep.dates, rep.equity, config.bootstrap_samples,
                                               config.bootstrap_block, kBootstrapSeed));
  }
  return rep;
}

} // namespace eval
} // namespace zorv
