#include "quaro/dsl/lint.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_set>

#include "quaro/dsl/parse.hpp"
#include "quaro/dsl/utf8.hpp"

namespace quaro::lint {
namespace {

// Scalar values of s; a malformed byte stands for itself, offset past the scalar range so it
// never equals a decoded character.
std::vector<char32_t> scalars(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    const std::size_t n = utf8::decode(s, i, cp);
    out.push_back(n ? cp : 0x110000 + static_cast<unsigned char>(s[i]));
    i += n ? n : 1;
  }
  return out;
}

std::string ticked(std::string_view s) { return "`" + std::string(s) + "`"; }

} // namespace

std::size_t levenshtein(std::string_view a, std::string_view b) {
  const std::vector<char32_t> x = scalars(a), y = scalars(b);
  std::vector<std::size_t> prev(y.size() + 1), cur(y.size() + 1);
  std::iota(prev.begin(), prev.end(), std::size_t{0});
  for (std::size_t i = 1; i <= x.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j)
      cur[j] =
          std::min({cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
    std::swap(prev, cur);
  }
  return prev[y.size()];
}

util::Expected<std::vector<Lint>, ParseError> lint(std::string_view src,
                                                   const std::vector<std::string> *series) {
  auto analysis = parse::parse_analyzed(src);
  if (!analysis)
    return util::unexpected(std::move(analysis).error());
  std::vector<Lint> out;
  for (const parse::LetBinding &b : analysis->unused)
    out.push_back(Lint{"unused let binding " + ticked(b.name), b.line, b.col});

  if (series) {
    const std::unordered_set<std::string_view> known(series->begin(), series->end());
    std::unordered_set<std::string_view> reported;
    for (const parse::SeriesRef &r : analysis->refs) {
      if (known.count(r.name) || !reported.insert(r.name).second)
        continue;
      const std::string *suggestion = nullptr;
      std::size_t best = 3; // suggest only within distance 2; the earliest name wins ties
      for (const std::string &name : *series) {
        const std::size_t d = levenshtein(r.name, name);
        if (d < best) {
          best = d;
          suggestion = &name;
        }
      }
      std::string message = "unknown series " + ticked(r.name);
      if (suggestion)
        message += " \u2014 did you mean " + ticked(*suggestion) + "?";
      out.push_back(Lint{std::move(message), r.line, r.col});
    }
  }

  std::stable_sort(out.begin(), out.end(), [](const Lint &a, const Lint &b) {
    return a.line != b.line ? a.line < b.line : a.col < b.col;
  });
  return out;
}

} // namespace quaro::lint
