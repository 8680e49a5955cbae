// Shared by the bench executables: reading the synthetic market, timing, peak memory.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/resource.h>

#include "core/panel.hpp"

namespace bench {

struct Market {
  std::vector<std::int32_t> dates;
  std::vector<std::string> symbols;
  nlohmann::json meta;
};

inline Market read_meta(const std::string &dir) {
  std::ifstream f(dir + "/meta.json");
  if (!f) {
    throw std::runtime_error("cannot read " + dir + "/meta.json");
  }
  Market m;
  m.meta = nlohmann::json::parse(f);
  m.dates = m.meta.at("dates").get<std::vector<std::int32_t>>();
  m.symbols = m.meta.at("symbols").get<std::vector<std::string>>();
  return m;
}

// One raw float64 file (rows x cols, row-major) as a panel on the given grid.
inline zorv::Panel read_panel(const std::string &dir, const std::string &name,
                              const std::vector<std::int32_t> &dates,
                              const std::vector<std::string> &symbols) {
  zorv::Matrix m(static_cast<Eigen::Index>(dates.size()),
                 static_cast<Eigen::Index>(symbols.size()));
  std::ifstream f(dir + "/" + name + ".f64", std::ios::binary);
  const auto bytes = static_cast<std::streamsize>(m.size() * sizeof(double));
  if (!f.read(reinterpret_cast<char *>(m.data()), bytes)) {
    throw std::runtime_error("cannot read " + dir + "/" + name + ".f64");
  }
  return zorv::Panel(dates, symbols, std::move(m));
}

inline void write_raw(const std::string &path, const zorv::Matrix &m) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(m.data()),
          static_cast<std::streamsize>(m.size() * sizeof(double)));
}

inline double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Median and minimum of `reps` timed calls after one untimed warm-up call.
struct Timing {
  double median = 0;
  double min = 0;
};

template <class F> Timing time_calls(int reps, F &&f) {
  f();
  std::vector<double> t;
  for (int i = 0; i < reps; ++i) {
    const double t0 = now_s();
    f();
    t.push_back(now_s() - t0);
  }
  std::sort(t.begin(), t.end());
  const std::size_t k = t.size();
  return {k % 2 ? t[k / 2] : 0.5 * (t[k / 2 - 1] + t[k / 2]), t.front()};
}

struct Options {
  int reps;
  std::string dump; // empty: no dump
};

// "--reps K" and "--dump FILE" from argv[first] on.
inline Options parse_options(int argc, char **argv, int first, int default_reps) {
  Options o{default_reps, {}};
  for (int i = first; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--reps") == 0) {
      o.reps = std::max(1, std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--dump") == 0) {
      o.dump = argv[i + 1];
    }
  }
  return o;
}

// User and system CPU seconds of the process so far.
inline std::pair<double, double> cpu_times() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const auto secs = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  return {secs(u.ru_utime), secs(u.ru_stime)};
}

inline long maxrss_kb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

} // namespace bench
