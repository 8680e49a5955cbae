// Strategy evaluation: from the strategy's JSON text and named panels to the finished report.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "core/backtest.hpp"
#include "core/panel.hpp"

namespace quaro::spec {
struct Expr;
}

namespace zorv {

struct Report;

// What one evaluation reads: the named series and the symbol -> industry map (empty when the
// caller gave none).
struct EvalContext {
  std::unordered_map<std::string, Panel> panels;
  IndustryMap industry;
};

namespace eval {

Result<Report> run_backtest(std::string_view json_text, const EvalContext &ctx,
                            const std::string &price_key, const BacktestConfig &config);
Result<Panel> run_strategy(std::string_view json_text, const EvalContext &ctx);
Result<Panel> eval(const quaro::spec::Expr &node, const EvalContext &ctx);

} // namespace eval
} // namespace zorv
