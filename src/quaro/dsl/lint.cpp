#include "quaro/dsl/lint.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_set>

#include "quaro/dsl/parse.hpp"
#include "util/utf8.hpp"

namespace quaro::lint {
namespace {

// Scalar values of s; a malformed byte stands for itself, offset past the scalar range so it
// never equals a decoded character.
std::vector<char32_t> scalars(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    const std::size_t n = util::utf8::decode(s, i, cp);
    out.push_back(n ? cp : 0x110000 + static_cast<unsigned char>(s[i]));
    i += n ? n : 1;
  }
  return out;
}

// min(edit distance, 3). Any alignment that strays more than two cells off the diagonal costs at
// least 3, so a band of width 5 gives the exact capped value in linear time, whatever the lengths.
std::size_t capped_distance(const std::vector<char32_t> &x, const std::vector<char32_t> &y) {
  constexpr std::size_t cap = 3;
  const std::size_t m = x.size(), n = y.size();
  if ((m > n ? m - n : n - m) >= cap) {
    return cap;
  }
  std::vector<std::size_t> prev(n + 1, cap), cur(n + 1, cap);
  for (std::size_t j = 0; j <= std::min(n, cap - 1); ++j) {
    prev[j] = j;
  }
  for (std::size_t i = 1; i <= m; ++i) {
    const std::size_t lo = i > cap - 1 ? i - (cap - 1) : 0;
    const std::size_t hi = std::min(n, i + cap - 1);
    // Only the band's neighbours are read: the cell left of it and the one right of it.
    if (lo == 0) {
      cur[0] = std::min(i, cap);
    } else {
      cur[lo - 1] = cap;
    }
    if (hi + 1 <= n) {
      cur[hi + 1] = cap;
    }
    for (std::size_t j = std::max<std::size_t>(lo, 1); j <= hi; ++j) {
      cur[j] = std::min(
          {cap, cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
    }
    std::swap(prev, cur);
  }
  return prev[n];
}

} // namespace

std::size_t levenshtein(std::string_view a, std::string_view b) {
  const std::vector<char32_t> x = scalars(a), y = scalars(b);
  std::vector<std::size_t> prev(y.size() + 1), cur(y.size() + 1);
  std::iota(prev.begin(), prev.end(), std::size_t{0});
  for (std::size_t i = 1; i <= x.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      cur[j] =
          std::min({cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
    }
    std::swap(prev, cur);
  }
  return prev[y.size()];
}

util::Expected<std::vector<Lint>, ParseError> lint(std::string_view src,
                                                   const std::vector<std::string> *series) {
  UTIL_ASSIGN_OR_RETURN(parse::Analysis analysis, parse::parse_analyzed(src));
  std::vector<Lint> out;
  for (const parse::LetBinding &b : analysis.unused) {
    out.push_back(Lint{"unused let binding " + ticked(b.name), b.line, b.col});
  }

  if (series) {
    const std::unordered_set<std::string_view> known(series->begin(), series->end());
    std::unordered_set<std::string_view> reported;
    std::vector<std::vector<char32_t>> known_scalars;
    known_scalars.reserve(series->size());
    for (const std::string &name : *series) {
      known_scalars.push_back(scalars(name));
    }
    for (const parse::SeriesRef &r : analysis.refs) {
      if (known.count(r.name) || !reported.insert(r.name).second) {
        continue;
      }
      const std::vector<char32_t> name_scalars = scalars(r.name);
      const std::string *suggestion = nullptr;
      std::size_t best = 3; // suggest only within distance 2; the earliest name wins ties
      for (std::size_t k = 0; k < series->size(); ++k) {
        const std::string &name = (*series)[k];
        const std::size_t d = capped_distance(name_scalars, known_scalars[k]);
        if (d < best) {
          best = d;
          suggestion = &name;
        }
      }
      std::string message = "unknown series " + ticked(r.name);
      if (suggestion) {
        message += " \u2014 did you mean " + ticked(*suggestion) + "?";
      }
      out.push_back(Lint{std::move(message), r.line, r.col});
    }
  }

  std::stable_sort(out.begin(), out.end(), [](const Lint &a, const Lint &b) {
    return a.line != b.line ? a.line < b.line : a.col < b.col;
  });
  return out;
}

} // namespace quaro::lint
