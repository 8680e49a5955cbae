// Times the engine's phases of one end-to-end strategy (no Python): evaluation of the strategy
// into weights, the simulation, the report, its JSON form, and the whole eval::run_backtest.
// Prints one JSON line; the strategies come from `python3 bench/strategies.py`.
//
//   e2e_bench DATA_DIR STRATEGIES_JSON NAME [--reps K] [--dump FILE]  (FILE: the weights, raw)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/common.hpp"

#include "core/backtest.hpp"
#include "core/eval.hpp"
#include "core/report.hpp"

namespace {

zorv::BacktestConfig config_from(const nlohmann::json &j) {
  using C = zorv::BacktestConfig;
  static const std::pair<const char *, double C::*> reals[] = {
      {"fee_ratio", &C::fee_ratio},
      {"tax_ratio", &C::tax_ratio},
      {"position_limit", &C::position_limit},
      {"slippage_ratio", &C::slippage_ratio},
      {"initial_capital", &C::initial_capital},
      {"max_participation", &C::max_participation},
      {"impact_coef", &C::impact_coef},
      {"delist_haircut", &C::delist_haircut}};
  static const std::pair<const char *, std::uint64_t C::*> counts[] = {
      {"delist_after", &C::delist_after},
      {"bootstrap_samples", &C::bootstrap_samples},
      {"bootstrap_block", &C::bootstrap_block}};
  C c;
  for (const auto &[k, v] : j.items()) {
    bool known = false;
    for (const auto &[name, field] : reals) {
      if (k == name) {
        c.*field = v.get<double>();
        known = true;
      }
    }
    for (const auto &[name, field] : counts) {
      if (k == name) {
        c.*field = v.get<std::uint64_t>();
        known = true;
      }
    }
    if (k == "benchmark_key") {
      c.benchmark_key = v.get<std::string>();
    } else if (!known) {
      throw std::runtime_error("unknown config key " + k);
    }
  }
  return c;
}

template <class T> T value(zorv::Result<T> r, const char *what) {
  if (!r) {
    std::fprintf(stderr, "%s failed: %s\n", what, r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

void print_phase(const char *name, const bench::Timing &t, bool last = false) {
  std::printf("\"%s\": {\"median_s\": %.9g, \"min_s\": %.9g}%s", name, t.median, t.min,
              last ? "" : ", ");
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: e2e_bench DATA_DIR STRATEGIES_JSON NAME [--reps K] [--dump FILE]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string name = argv[3];
  const auto [reps, dump] = bench::parse_options(argc, argv, 4, 3);
  std::ifstream sf(argv[2]);
  const nlohmann::json all = nlohmann::json::parse(sf);
  const nlohmann::json &st = all.at(name);
  const std::string spec = st.at("spec").get<std::string>();
  const zorv::BacktestConfig config = config_from(st.at("config"));

  const bench::Market m = bench::read_meta(dir);
  zorv::EvalContext ctx;
  for (const char *series : {"close", "high", "low", "volume"}) {
    ctx.panels.emplace(series, bench::read_panel(dir, series, m.dates, m.symbols));
  }
  ctx.panels.emplace("bench", bench::read_panel(dir, "bench", m.dates, {"INDEX"}));
  if (st.at("industry").get<bool>()) {
    ctx.industry = m.meta.at("industry").get<zorv::IndustryMap>();
  }
  const zorv::Panel &close = ctx.panels.at("close");
  const zorv::Panel &high = ctx.panels.at("high");
  const zorv::Panel &low = ctx.panels.at("low");
  const zorv::Panel &volume = ctx.panels.at("volume");
  const zorv::Panel &bench_panel = ctx.panels.at("bench");
  const long rss_loaded = bench::maxrss_kb();

  // Each phase is timed on its own, fed by one untimed run of the phases before it.
  const bench::Timing t_eval =
      bench::time_calls(reps, [&] { value(zorv::eval::run_strategy(spec, ctx), "run_strategy"); });
  const zorv::Panel weights = value(zorv::eval::run_strategy(spec, ctx), "run_strategy");
  const bench::Timing t_sim = bench::time_calls(reps, [&] {
    value(zorv::backtest::run(weights, close, &high, &low, &volume, config), "backtest");
  });
  const zorv::BacktestRun run =
      value(zorv::backtest::run(weights, close, &high, &low, &volume, config), "backtest");
  const std::vector<double> bench_values(bench_panel.data.data(),
                                         bench_panel.data.data() + bench_panel.data.size());
  const auto make_report = [&] {
    std::optional<std::vector<double>> curve;
    if (config.benchmark_key) {
      curve = zorv::report::benchmark_equity(run.dates, bench_panel.dates, bench_values);
    }
    return zorv::report::build_report_with_benchmark(run, std::move(curve));
  };
  const bench::Timing t_report = bench::time_calls(reps, [&] { make_report(); });
  const zorv::Report report = make_report();
  std::size_t json_bytes = 0;
  const bench::Timing t_json =
      bench::time_calls(reps, [&] { json_bytes = zorv::report::to_json(report).dump().size(); });
  const bench::Timing t_total = bench::time_calls(
      reps, [&] { value(zorv::eval::run_backtest(spec, ctx, "close", config), "run_backtest"); });
  if (!dump.empty()) {
    bench::write_raw(dump, weights.data);
  }
  std::printf("{\"strategy\": \"%s\", \"impl\": \"zorv-engine\", \"rows\": %zu, \"cols\": %zu, "
              "\"reps\": %d, \"weights_rows\": %zu, \"trades\": %zu, \"json_bytes\": %zu, ",
              name.c_str(), m.dates.size(), m.symbols.size(), reps, weights.rows(),
              report.trades.size(), json_bytes);
  print_phase("eval", t_eval);
  print_phase("simulate", t_sim);
  print_phase("report", t_report);
  print_phase("to_json", t_json);
  print_phase("total", t_total);
  std::printf("\"rss_loaded_kb\": %ld, \"maxrss_kb\": %ld}\n", rss_loaded, bench::maxrss_kb());
  return 0;
}
