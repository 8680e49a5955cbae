// Times one operator on the synthetic market and prints one JSON line:
//   {"op": ..., "impl": "zorv", "rows": R, "cols": C, "median_s": ..., "min_s": ..., "reps": K,
//    "maxrss_kb": ...}
// Only the panels the operator reads are loaded, so maxrss is that of input + work + result.
//
//   ops_bench DATA_DIR OP [--reps K] [--dump FILE]   (FILE: the result as raw float64)
//   ops_bench --list
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/common.hpp"
#include "core/panel.hpp"

#if __has_include("core/ops/ta.hpp")
#include "core/ops/ta.hpp"
#define ZORV_BENCH_HAVE_TA 1
#else
#define ZORV_BENCH_HAVE_TA 0
#endif

namespace {

using zorv::BinOp;
using zorv::Matrix;
using zorv::Panel;

struct Inputs {
  Panel close, high, low, volume;
};

struct Op {
  std::vector<std::string> reads; // of close, high, low, volume
  std::function<Matrix(const Inputs &)> run;
};

template <class T> Matrix value(T r) {
  if (!r) {
    std::fprintf(stderr, "operator failed: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(r->data);
}

// Two results stacked vertically (first above second), for operators timed as a pair.
Matrix stack(const Matrix &a, const Matrix &b) {
  Matrix m(a.rows() + b.rows(), a.cols());
  m.topRows(a.rows()) = a;
  m.bottomRows(b.rows()) = b;
  return m;
}

const std::vector<std::string> C{"close"};
const std::vector<std::string> HL{"high", "low"};
const std::vector<std::string> HLC{"high", "low", "close"};
const std::vector<std::string> HLCV{"high", "low", "close", "volume"};

std::map<std::string, Op> ops() {
  std::map<std::string, Op> t;
  t["shift"] = {C, [](const Inputs &in) { return in.close.shift(20).data; }};
  t["pct_change"] = {C, [](const Inputs &in) { return in.close.pct_change(20).data; }};
  t["rise"] = {C, [](const Inputs &in) { return in.close.rise(20).data; }};
  t["rolling_max"] = {C, [](const Inputs &in) { return in.close.rolling_max(20).data; }};
  t["rolling_min"] = {C, [](const Inputs &in) { return in.close.rolling_min(20).data; }};
  t["rolling_std"] = {C, [](const Inputs &in) { return in.close.rolling_std(20).data; }};
  t["average"] = {C, [](const Inputs &in) { return in.close.average(20).data; }};
  t["add"] = {HL, [](const Inputs &in) { return in.high.ewise<BinOp::Add>(in.low).data; }};
  t["div"] = {HL, [](const Inputs &in) { return in.high.ewise<BinOp::Div>(in.low).data; }};
  t["mul_scalar"] = {C, [](const Inputs &in) { return in.close.scalar_rhs<BinOp::Mul>(2.0).data; }};
  t["gt"] = {{"close", "high"},
             [](const Inputs &in) { return in.close.ewise<BinOp::Gt>(in.high).data; }};
  t["rank"] = {C, [](const Inputs &in) { return in.close.rank_cs(true, true).data; }};
  t["top_n"] = {C, [](const Inputs &in) { return in.close.top_n(50, true).data; }};
  t["normalize_row"] = {C, [](const Inputs &in) { return in.close.normalize_row().data; }};
  t["rebalance_month"] = {C, [](const Inputs &in) { return value(in.close.rebalance_freq(1)); }};
  t["ema"] = {C, [](const Inputs &in) { return in.close.ema(20).data; }};
  t["rsi"] = {C, [](const Inputs &in) { return in.close.rsi(14).data; }};
#if ZORV_BENCH_HAVE_TA
  namespace ta = zorv::ta;
  t["atr"] = {HLC, [](const Inputs &in) { return value(ta::atr(in.high, in.low, in.close, 14)); }};
  t["natr"] = {HLC,
               [](const Inputs &in) { return value(ta::natr(in.high, in.low, in.close, 14)); }};
  t["cci"] = {HLC, [](const Inputs &in) { return value(ta::cci(in.high, in.low, in.close, 20)); }};
  t["willr"] = {HLC,
                [](const Inputs &in) { return value(ta::willr(in.high, in.low, in.close, 14)); }};
  t["stoch_k"] = {
      HLC, [](const Inputs &in) { return value(ta::stoch_k(in.high, in.low, in.close, 14)); }};
  t["stoch_d"] = {
      HLC, [](const Inputs &in) { return value(ta::stoch_d(in.high, in.low, in.close, 14, 3)); }};
  t["aroon"] = {HL, [](const Inputs &in) {
                  return stack(ta::aroon_dir(in.high, 25, true).data,
                               ta::aroon_dir(in.low, 25, false).data);
                }};
  t["obv"] = {{"close", "volume"},
              [](const Inputs &in) { return value(ta::obv(in.close, in.volume)); }};
  t["mfi"] = {HLCV, [](const Inputs &in) {
                return value(ta::mfi(in.high, in.low, in.close, in.volume, 14));
              }};
  t["vwap"] = {HLCV, [](const Inputs &in) {
                 return value(ta::vwap(in.high, in.low, in.close, in.volume, 20));
               }};
  t["adx"] = {HLC, [](const Inputs &in) { return value(ta::adx(in.high, in.low, in.close, 14)); }};
  t["plus_di"] = {HLC, [](const Inputs &in) {
                    return value(ta::di_panel(in.high, in.low, in.close, 14, true));
                  }};
  t["minus_di"] = {HLC, [](const Inputs &in) {
                     return value(ta::di_panel(in.high, in.low, in.close, 14, false));
                   }};
#endif
  return t;
}

} // namespace

int main(int argc, char **argv) {
  const auto table = ops();
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (const auto &[name, op] : table) {
      std::printf("%s\n", name.c_str());
    }
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: ops_bench DATA_DIR OP [--reps K] [--dump FILE] | --list\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string name = argv[2];
  const auto [reps, dump] = bench::parse_options(argc, argv, 3, 5);
  const auto it = table.find(name);
  if (it == table.end()) {
    std::printf("{\"op\": \"%s\", \"impl\": \"zorv\", \"skipped\": \"not built\"}\n", name.c_str());
    return 0;
  }
  const bench::Market m = bench::read_meta(dir);
  Inputs in;
  for (const auto &series : it->second.reads) {
    Panel p = bench::read_panel(dir, series, m.dates, m.symbols);
    (series == "close"  ? in.close
     : series == "high" ? in.high
     : series == "low"  ? in.low
                        : in.volume) = std::move(p);
  }
  volatile double sink = 0;
  const auto [user0, sys0] = bench::cpu_times();
  const bench::Timing t = bench::time_calls(reps, [&] {
    const Matrix r = it->second.run(in);
    sink = sink + (r.size() ? r(r.rows() - 1, 0) : 0.0);
  });
  const auto [user1, sys1] = bench::cpu_times();
  // The kernel's share is mostly page faults on the first touch of fresh result memory.
  const double cpu = (user1 - user0) + (sys1 - sys0);
  const double sys_share = cpu > 0 ? (sys1 - sys0) / cpu : 0.0;
  if (!dump.empty()) {
    bench::write_raw(dump, it->second.run(in));
  }
  std::printf("{\"op\": \"%s\", \"impl\": \"zorv\", \"rows\": %zu, \"cols\": %zu, "
              "\"median_s\": %.9g, \"min_s\": %.9g, \"reps\": %d, \"sys_share\": %.3f, "
              "\"maxrss_kb\": %ld}\n",
              name.c_str(), m.dates.size(), m.symbols.size(), t.median, t.min, reps, sys_share,
              bench::maxrss_kb());
  return 0;
}
