// The linter on arbitrary source, without and with a list of known series, checked against the
// parser's analysis. Input: the source, optionally followed by a NUL byte and the known series,
// one per line (nothing after the NUL gives the empty list); without a NUL the list is fixed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "quaro/dsl/lint.hpp"
#include "quaro/dsl/parse.hpp"

namespace {

using quaro::lint::Lint;

std::string ticked(std::string_view s) { return "`" + std::string(s) + "`"; }

std::string show(const std::vector<Lint> &lints) {
  std::string out;
  for (const Lint &l : lints)
    out += std::to_string(l.line) + ":" + std::to_string(l.col) + ": " + l.message + "\n";
  return out;
}

// The lints the analysis calls for, made independently of the linter.
std::vector<Lint> expected(const quaro::parse::Analysis &a,
                           const std::vector<std::string> *series) {
  std::vector<Lint> out;
  for (const auto &b : a.unused)
    out.push_back({"unused let binding " + ticked(b.name), b.line, b.col});
  if (series) {
    std::set<std::string> reported;
    for (const auto &r : a.refs) {
      if (std::find(series->begin(), series->end(), r.name) != series->end() ||
          !reported.insert(r.name).second)
        continue;
      const std::string *best = nullptr;
      std::size_t best_d = 0;
      for (const std::string &s : *series) {
        const std::size_t d = quaro::lint::levenshtein(r.name, s);
        if (d <= 2 && (!best || d < best_d)) {
          best = &s;
          best_d = d;
        }
      }
      std::string message = "unknown series " + ticked(r.name);
      if (best)
        message += " \u2014 did you mean " + ticked(*best) + "?";
      out.push_back({message, r.line, r.col});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const Lint &x, const Lint &y) {
    return x.line != y.line ? x.line < y.line : x.col < y.col;
  });
  return out;
}

void check_levenshtein(std::string_view a, std::string_view b) {
  if (a.size() > 64 || b.size() > 64) // the distance to itself costs the length squared
    return;
  const std::size_t d = quaro::lint::levenshtein(a, b);
  FUZZ_CHECK(d == quaro::lint::levenshtein(b, a), "edit distance not symmetric",
             std::string(a) + " / " + std::string(b));
  FUZZ_CHECK(quaro::lint::levenshtein(a, a) == 0, "edit distance to itself not 0", std::string(a));
  FUZZ_CHECK(d <= std::max(a.size(), b.size()), "edit distance above the longer length",
             std::string(a) + " / " + std::string(b));
  FUZZ_CHECK((d == 0) == (a == b), "edit distance 0 for different texts",
             std::string(a) + " / " + std::string(b));
}

void run(std::string_view src, const std::vector<std::string> *series) {
  const auto lints = quaro::lint::lint(src, series);
  const auto analysis = quaro::parse::parse_analyzed(src);
  FUZZ_CHECK(lints.has_value() == analysis.has_value(), "lint and parse disagree on validity");
  if (!lints) {
    const quaro::ParseError &e = lints.error(), &p = analysis.error();
    FUZZ_CHECK(e.message == p.message && e.line == p.line && e.col == p.col,
               "lint error differs from the parse error", e.to_string() + " / " + p.to_string());
    return;
  }
  const std::vector<Lint> want = expected(*analysis, series);
  bool same = want.size() == lints->size();
  for (std::size_t i = 0; same && i < want.size(); ++i)
    same = want[i].message == (*lints)[i].message && want[i].line == (*lints)[i].line &&
           want[i].col == (*lints)[i].col;
  FUZZ_CHECK(same, "lints differ from the analysis",
             "got:\n" + show(*lints) + "want:\n" + show(want));
  if (series) // a sample of pairs keeps runs fast on long inputs
    for (std::size_t i = 0; i < analysis->refs.size() && i < 8; ++i)
      for (std::size_t k = 0; k < series->size() && k < 8; ++k)
        check_levenshtein(analysis->refs[i].name, (*series)[k]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input = fuzz::text(data, size);
  const std::size_t nul = input.find('\0');
  const std::string_view src = input.substr(0, nul);
  std::vector<std::string> series;
  if (nul == std::string_view::npos) {
    series = {"close", "open", "high", "low", "volume", "Close", "vol"};
  } else {
    std::string_view rest = input.substr(nul + 1);
    while (!rest.empty() && series.size() < 32) { // more names only slow the search down
      const std::size_t nl = rest.find('\n');
      series.emplace_back(rest.substr(0, nl));
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
  }
  run(src, nullptr);
  run(src, &series);
  return 0;
}
