#include "quaro/dsl/ops.hpp"

namespace quaro::ops {
namespace {

constexpr ParamSpec expr(std::string_view n) { return {ParamKind::Expr, n}; }
constexpr ParamSpec opt_expr(std::string_view n) { return {ParamKind::OptExpr, n}; }
constexpr ParamSpec number(std::string_view n) { return {ParamKind::Number, n}; }
constexpr ParamSpec opt_number(std::string_view n) { return {ParamKind::OptNumber, n}; }
constexpr ParamSpec opt_bool(std::string_view n) { return {ParamKind::OptBool, n}; }

const std::vector<ParamSpec> OF_N = {expr("of"), number("n")};
const std::vector<ParamSpec> HLC_N = {expr("high"), expr("low"), expr("close"), number("n")};
const std::vector<ParamSpec> HLCV_N = {expr("high"), expr("low"), expr("close"), expr("volume"),
                                       number("n")};
const std::vector<ParamSpec> OF = {expr("of")};

} // namespace

const std::array<OpSpec, 38> OP_TABLE{{
    {{"sma", "average"}, "Average", OF_N, "Simple moving average of `of` over `n` days."},
    {{"ema"}, "Ema", OF_N, "Exponential moving average of `of` over `n` days."},
    {{"std"}, "Std", OF_N, "Rolling standard deviation of `of` over `n` days."},
    {{"rsi"}, "Rsi", OF_N, "Relative Strength Index of `of` over `n` days."},
    {{"pct_change"}, "PctChange", OF_N, "Percentage change of `of` over `n` days."},
    {{"rise"}, "Rise", OF_N, "1 where `of` rose for `n` consecutive days, else 0."},
    {{"fall"}, "Fall", OF_N, "1 where `of` fell for `n` consecutive days, else 0."},
    {{"shift"}, "Shift", OF_N, "`of` lagged forward by `n` days."},
    {{"rolling_max"}, "RollingMax", OF_N, "Rolling maximum of `of` over `n` days."},
    {{"atr"}, "Atr", HLC_N, "Average True Range over `n` days from high/low/close."},
    {{"natr"}, "Natr", HLC_N, "Normalized ATR (percent) over `n` days."},
    {{"willr"}, "WillR", HLC_N, "Williams %R over `n` days."},
    {{"cci"}, "Cci", HLC_N, "Commodity Channel Index over `n` days."},
    {{"stoch_k"}, "StochK", HLC_N, "Stochastic %K over `n` days."},
    {{"stoch_d"},
     "StochD",
     {expr("high"), expr("low"), expr("close"), number("n"), opt_number("d")},
     "Stochastic %D: `d`-day average of %K over `n` days (d defaults to 3)."},
    {{"aroon_up"}, "AroonUp", {expr("high"), number("n")}, "Aroon Up over `n` days from high."},
    {{"aroon_down"}, "AroonDown", {expr("low"), number("n")}, "Aroon Down over `n` days from low."},
    {{"adx"}, "Adx", HLC_N, "Average Directional Index over `n` days."},
    {{"plus_di"}, "PlusDi", HLC_N, "Plus Directional Indicator (+DI) over `n` days."},
    {{"minus_di"}, "MinusDi", HLC_N, "Minus Directional Indicator (-DI) over `n` days."},
    {{"obv"}, "Obv", {expr("close"), expr("volume")}, "On-Balance Volume from close and volume."},
    {{"mfi"}, "Mfi", HLCV_N, "Money Flow Index over `n` days."},
    {{"vwap"},
     "Vwap",
     HLCV_N,
     "Volume-Weighted Average Price over `n` days from high/low/close/volume."},
    {{"is_largest"},
     "IsLargest",
     OF_N,
     "1 for the `n` highest values per row (cross-section), else 0."},
    {{"is_smallest"},
     "IsSmallest",
     OF_N,
     "1 for the `n` lowest values per row (cross-section), else 0."},
    {{"sustain"},
     "Sustain",
     {expr("of"), number("nwindow"), opt_number("nsatisfy")},
     "1 where `of` held true at least `nsatisfy` times within the last `nwindow` rows."},
    {{"is_entry"}, "IsEntry", OF, "1 on the row where `of` turns false->true (rising edge)."},
    {{"is_exit"}, "IsExit", OF, "1 on the row where `of` turns true->false (falling edge)."},
    {{"ceil"}, "Ceil", OF, "Ceiling of `of`."},
    {{"rank"},
     "Rank",
     {expr("of"), opt_bool("pct"), opt_bool("ascending")},
     "Cross-sectional rank of `of` per row; `pct` for 0..1 percentile (default true), "
     "`ascending` sets direction (default true)."},
    {{"mask"},
     "Mask",
     {expr("of"), expr("by")},
     "`of` kept only where `by` is true; elsewhere dropped."},
    {{"normalize_row"},
     "NormalizeRow",
     OF,
     "Scale each row so gross weight (sum of |w|) is 1 \u2014 turns a raw signal into explicit "
     "portfolio weights. NaN preserved; zero rows unchanged."},
    {{"hold_until"},
     "HoldUntil",
     {expr("entry"), expr("exit"), opt_number("nstocks_limit"), opt_expr("rank"),
      opt_number("stop_loss"), opt_number("take_profit"), opt_number("trail_stop"),
      opt_number("trail_stop_activation")},
     "Stateful rotation: enter on `entry`, exit on `exit`, hold up to `nstocks_limit` "
     "(prioritised by `rank`), with optional stop_loss/take_profit/trail_stop/"
     "trail_stop_activation."},
    {{"rebalance"},
     "Rebalance",
     {expr("of"), {ParamKind::OptStr, "freq"}, opt_expr("on")},
     "Hold `of`, refreshing on calendar `freq` (W/ME/QE) or on dates where `on` is true."},
    {{"neutralize"},
     "Neutralize",
     {expr("of"), {ParamKind::ExprList, "by"}, opt_bool("add_const")},
     "Cross-sectionally regress `of` against the `by` factors, optionally adding a constant "
     "(default true)."},
    {{"neutralize_industry"},
     "NeutralizeIndustry",
     {expr("of"), opt_bool("add_const")},
     "Neutralize `of` within each industry/sector (add_const defaults to true)."},
    {{"industry_rank"},
     "IndustryRank",
     {expr("of"), {ParamKind::OptStrList, "categories"}},
     "Rank `of` within each industry, optionally limited to `categories`."},
    {{"groupby_category"},
     "GroupbyCategory",
     {expr("of"), {ParamKind::Str, "agg"}},
     "Aggregate `of` within each industry using `agg` (e.g. mean)."},
}};

const OpSpec *find_by_alias(std::string_view alias) {
  for (const OpSpec &row : OP_TABLE) {
    for (const std::string_view a : row.aliases) {
      if (a == alias) {
        return &row;
      }
    }
  }
  return nullptr;
}

const OpSpec *find_by_tag(std::string_view tag) {
  for (const OpSpec &row : OP_TABLE) {
    if (row.tag == tag) {
      return &row;
    }
  }
  return nullptr;
}

std::optional<std::string_view> binop_tag(std::string_view symbol) {
  for (const BinOpSpec &b : BINOP_TABLE) {
    if (b.symbol == symbol) {
      return b.tag;
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> binop_symbol_for_tag(std::string_view tag) {
  for (const BinOpSpec &b : BINOP_TABLE) {
    if (b.tag == tag) {
      return b.symbol;
    }
  }
  return std::nullopt;
}

} // namespace quaro::ops
