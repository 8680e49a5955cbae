#include "python/intake.hpp"

#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "core/eval.hpp"
#include "core/metrics.hpp"
#include "core/ops/kernel.hpp"
#include "python/buffer.hpp"
#include "python/convert.hpp"
#include "python/pyref.hpp"

#include "core/report.hpp"
#include "quaro/dsl/parse.hpp"
#include "util/utf8.hpp"

namespace zorv {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Whether the first character that is not Unicode white space is "{". The text is valid UTF-8
// (it comes from a Python str).
bool starts_as_json(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp;
    const std::size_t len = util::utf8::decode(s, i, cp);
    if (len == 0) {
      return false;
    }
    if (!is_white_space(cp)) {
      return cp == U'{';
    }
    i += len;
  }
  return false;
}

// Reads a decimal 32-bit signed integer (optional sign, then digits only, read left to right);
// returns the reason when the text does not read.
const char *read_i32(std::string_view s, std::int32_t &out) {
  constexpr const char *kEmpty = "cannot parse integer from empty string";
  constexpr const char *kInvalid = "invalid digit found in string";
  constexpr const char *kTooLarge = "number too large to fit in target type";
  constexpr const char *kTooSmall = "number too small to fit in target type";
  if (s.empty()) {
    return kEmpty;
  }
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    if (s.size() == 1) {
      return kInvalid;
    }
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  std::int64_t acc = 0;
  for (char c : s) {
    if (c < '0' || c > '9') {
      return kInvalid;
    }
    acc *= 10;
    if (acc < lo || acc > hi) {
      return negative ? kTooSmall : kTooLarge;
    }
    acc = negative ? acc - (c - '0') : acc + (c - '0');
    if (acc < lo || acc > hi) {
      return negative ? kTooSmall : kTooLarge;
    }
  }
  out = static_cast<std::int32_t>(acc);
  return nullptr;
}

// Looks up an attribute that may be missing: 1 found, 0 missing (AttributeError), -1 raised.
int lookup_attr(PyObject *obj, const char *name, PyRef &out) {
  out = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (out) {
    return 1;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

bool has_slot(PyObject *obj, int slot) { return PyType_GetSlot(Py_TYPE(obj), slot) != nullptr; }

// The YYYYMMDD number of a day counted from 1970-01-01 in the proleptic Gregorian calendar, the
// calendar of numpy and of Python's dates; false outside the years 1000 to 9999.
bool civil_date(std::int64_t days, std::int32_t &out) {
  const std::int64_t z = days + 719468; // days from 0000-03-01
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 1000 || year > 9999) {
    return false;
  }
  out = static_cast<std::int32_t>(year * 10000 + month * 100 + day);
  return true;
}

// Dates from a 1-D numpy array of integers; false when one is outside the 32-bit range.
bool integer_dates(PyObject *array, std::vector<std::int32_t> &dates) {
  NumericArray view;
  std::vector<std::int64_t> values;
  if (!view.acquire(array, 1) || !view.integers(values)) {
    return false;
  }
  for (std::int64_t v : values) {
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
      dates.clear();
      return false;
    }
    dates.push_back(static_cast<std::int32_t>(v));
  }
  return true;
}

// Dates of a pandas DatetimeIndex without a time zone, from its tick counts: the calendar day of
// each timestamp, as its strftime("%Y%m%d") reads. False for NaT and for years strftime may
// write otherwise.
bool timestamp_dates(PyObject *index, std::vector<std::int32_t> &dates) {
  PyRef tz = PyRef::steal(PyObject_GetAttrString(index, "tz"));
  PyRef unit = tz ? PyRef::steal(PyObject_GetAttrString(index, "unit")) : PyRef();
  PyRef ticks = unit ? PyRef::steal(PyObject_GetAttrString(index, "asi8")) : PyRef();
  std::string unit_name;
  if (!ticks || !PyUnicode_Check(unit.get()) || !utf8_of(unit.get(), unit_name)) {
    PyErr_Clear();
    return false;
  }
  constexpr std::int64_t kSecondsPerDay = 86400;
  const std::int64_t per_day = unit_name == "s"    ? kSecondsPerDay
                               : unit_name == "ms" ? kSecondsPerDay * 1000
                               : unit_name == "us" ? kSecondsPerDay * 1000000
                               : unit_name == "ns" ? kSecondsPerDay * 1000000000
                                                   : 0;
  NumericArray view;
  std::vector<std::int64_t> values;
  if (tz.get() != Py_None || per_day == 0 || !view.acquire(ticks.get(), 1) ||
      view.kind() != NumericArray::Kind::Signed || !view.integers(values)) {
    return false;
  }
  for (std::int64_t v : values) {
    std::int32_t date = 0;
    // The lowest count is NaT, which has no date.
    const std::int64_t days = v / per_day - (v % per_day < 0 ? 1 : 0);
    if (v == std::numeric_limits<std::int64_t>::min() || !civil_date(days, date)) {
      dates.clear();
      return false;
    }
    dates.push_back(date);
  }
  return true;
}

// Reads dates in bulk where reading them one by one would give the same dates: numpy integer
// arrays, pandas integer indexes and pandas timestamps without a time zone. False, with nothing
// read and no error set, for anything else, and wherever one date would be refused, so that the
// element-wise read reports it.
bool bulk_dates(PyObject *seq, std::vector<std::int32_t> &dates) {
  if (is_exact_type(seq, "numpy", "ndarray")) {
    return integer_dates(seq, dates);
  }
  if (is_exact_type(seq, "pandas", "DatetimeIndex")) {
    return timestamp_dates(seq, dates);
  }
  if (!is_exact_type(seq, "pandas", "Index") && !is_exact_type(seq, "pandas", "RangeIndex")) {
    return false;
  }
  PyRef values = PyRef::steal(PyObject_CallMethod(seq, "to_numpy", nullptr));
  if (!values) {
    PyErr_Clear();
    return false;
  }
  return integer_dates(values.get(), dates);
}

// The cells of a 2-D numpy array of numbers, read in bulk; nullopt, with no error set, when the
// array must be read element by element (other element types, or a shape that the element-wise
// read refuses, so that it reports the failure).
std::optional<Matrix> bulk_grid(PyObject *rows, std::size_t n_rows, std::size_t n_cols) {
  NumericArray view;
  if (!view.acquire(rows, 2) || view.extent(0) > n_rows || view.extent(1) > n_cols) {
    return std::nullopt;
  }
  const auto r = static_cast<Eigen::Index>(n_rows);
  const auto c = static_cast<Eigen::Index>(n_cols);
  const bool covered = view.extent(0) == n_rows && view.extent(1) == n_cols;
  Matrix grid = covered ? Matrix(r, c) : Matrix::Constant(r, c, ops::kNaN);
  view.copy_to(grid);
  return grid;
}

// Whether the pending exception is a failed conversion of the interpreter or of a library type
// (a TypeError, ValueError or OverflowError that never unwound through Python code, so not one
// raised by the caller's own __float__ or __index__); if so it is cleared, otherwise it stays.
bool clear_conversion_failure() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return false;
  }
  PyObject *type = nullptr;
  PyObject *value = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  Py_DecRef(type);
  Py_DecRef(value);
  return true;
}

// The integer reading of a date: an int, or an object with __index__, within 32 bits. True with
// `out` empty where the value does not read so (the other readings follow); false with the
// error set where the caller's own __index__ raised.
bool integer_date(PyObject *value, std::optional<std::int32_t> &out) {
  if (!PyLong_Check(value) && !has_slot(value, Py_nb_index)) {
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    return clear_conversion_failure();
  }
  long long n = PyLong_AsLongLong(index.get());
  if (!(n == -1 && PyErr_Occurred()) && n >= std::numeric_limits<std::int32_t>::min() &&
      n <= std::numeric_limits<std::int32_t>::max()) {
    out = static_cast<std::int32_t>(n);
    return true;
  }
  PyErr_Clear();
  return true;
}

// The YYYYMMDD number in `digits`; a text that does not read is reported as `shown`.
std::optional<std::int32_t> read_date(std::string_view digits, const std::string &shown) {
  std::int32_t date = 0;
  if (const char *reason = read_i32(digits, date)) {
    raise(PyExc_ValueError, "bad date `" + shown + "`: " + reason);
    return std::nullopt;
  }
  return date;
}

// A date from what the value's strftime method writes for "%Y%m%d".
std::optional<std::int32_t> strftime_date(PyObject *strftime) {
  PyRef fmt = PyRef::steal(PyUnicode_FromString("%Y%m%d"));
  if (!fmt) {
    return std::nullopt;
  }
  PyRef text = PyRef::steal(PyObject_CallFunctionObjArgs(strftime, fmt.get(), nullptr));
  if (!text) {
    return std::nullopt;
  }
  if (!PyUnicode_Check(text.get())) {
    raise(PyExc_TypeError, "strftime() returned " + type_name(text.get()) + ", not str");
    return std::nullopt;
  }
  std::string s;
  if (!utf8_of(text.get(), s)) {
    return std::nullopt;
  }
  return read_date(s, s);
}

// A date from a str: its decimal digits, whatever stands between them ("2024-01-02"), which
// must spell a calendar date YYYYMMDD.
std::optional<std::int32_t> text_date(PyObject *str) {
  std::string s;
  if (!utf8_of(str, s)) {
    return std::nullopt;
  }
  std::string digits;
  for (char c : s) {
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    }
  }
  const std::optional<std::int32_t> date = read_date(digits, s);
  if (!date) {
    return std::nullopt;
  }
  // Only eight digits that name a real day: US order ("01/03/2022") or unpadded fields
  // ("2024-1-3") would otherwise read as some other number and sort among the dates wrongly.
  // Eight digits with a year of 0 make a number below 10000.
  if (digits.size() != 8 || *date < 10000 || !metrics::calendar_day(*date)) {
    raise(PyExc_ValueError, "bad date `" + s + "`: not a YYYYMMDD calendar date");
    return std::nullopt;
  }
  return date;
}

bool collect_dates(PyObject *iterable, std::vector<std::int32_t> &dates) {
  if (bulk_dates(iterable, dates)) {
    return true;
  }
  return for_each_item(iterable, [&](PyObject *item) {
    auto d = date_to_i32(item);
    if (d) {
      dates.push_back(*d);
    }
    return d.has_value();
  });
}

bool fail_panel(const std::string &name, std::string_view what) {
  raise(PyExc_ValueError, "panel `" + name + "`" + std::string(what));
  return false;
}

bool str_key(PyObject *key, const char *what, std::string &out) {
  if (!PyUnicode_Check(key)) {
    raise(PyExc_TypeError, std::string(what) + " must be str, not " + type_name(key));
    return false;
  }
  return utf8_of(key, out);
}

struct FloatKnob {
  const char *name;
  double BacktestConfig::*field;
};
constexpr FloatKnob kFloatKnobs[] = {
    {"fee_ratio", &BacktestConfig::fee_ratio},
    {"tax_ratio", &BacktestConfig::tax_ratio},
    {"position_limit", &BacktestConfig::position_limit},
    {"slippage_ratio", &BacktestConfig::slippage_ratio},
    {"initial_capital", &BacktestConfig::initial_capital},
    {"max_participation", &BacktestConfig::max_participation},
    {"impact_coef", &BacktestConfig::impact_coef},
    {"delist_haircut", &BacktestConfig::delist_haircut},
};
struct CountKnob {
  const char *name;
  std::uint64_t BacktestConfig::*field;
};
constexpr CountKnob kCountKnobs[] = {
    {"delist_after", &BacktestConfig::delist_after},
    {"bootstrap_samples", &BacktestConfig::bootstrap_samples},
    {"bootstrap_block", &BacktestConfig::bootstrap_block},
};

bool set_knob(BacktestConfig &cfg, const std::string &key, PyObject *value) {
  for (const auto &knob : kFloatKnobs) {
    if (key == knob.name) {
      double d = PyFloat_AsDouble(value);
      if (d == -1.0 && PyErr_Occurred()) {
        return false;
      }
      cfg.*knob.field = d;
      return true;
    }
  }
  for (const auto &knob : kCountKnobs) {
    if (key == knob.name) {
      PyRef index = PyRef::steal(PyNumber_Index(value));
      if (!index) {
        return false;
      }
      unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
      if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
      }
      cfg.*knob.field = n;
      return true;
    }
  }
  if (key == "benchmark_key") {
    if (value == Py_None) {
      cfg.benchmark_key.reset();
      return true;
    }
    if (!PyUnicode_Check(value)) {
      raise(PyExc_TypeError, "expected None or str, not " + type_name(value));
      return false;
    }
    std::string text;
    if (!utf8_of(value, text)) {
      return false;
    }
    cfg.benchmark_key = std::move(text);
    return true;
  }
  raise(PyExc_ValueError, "unknown config key `" + key + "`");
  return false;
}

// One cell as a float. None is a missing value. A cell that does not convert gets this module's
// message, while an exception raised by the caller's own conversion code passes on.
bool cell_to_double(PyObject *cell, double &out) {
  if (cell == Py_None) {
    out = ops::kNaN;
    return true;
  }
  out = PyFloat_AsDouble(cell);
  if (out == -1.0 && PyErr_Occurred()) {
    if (clear_conversion_failure()) {
      raise(PyExc_ValueError, "panel cells must be numbers or None");
    }
    return false;
  }
  return true;
}

std::optional<Panel> make_panel(const std::string &name, std::vector<std::int32_t> dates,
                                std::vector<std::string> symbols, Matrix grid) {
  auto panel = Panel::create(std::move(dates), std::move(symbols), std::move(grid));
  if (!panel) {
    fail_panel(name, ": " + panel.error().to_string());
    return std::nullopt;
  }
  return std::move(*panel);
}

// A DataFrame-like object: dates from its index, symbols from str() of its columns, cells from
// to_numpy(), in bulk where the array allows it.
std::optional<Panel> frame_to_panel(const std::string &name, PyObject *frame, PyObject *index,
                                    PyObject *columns) {
  std::vector<std::int32_t> dates;
  if (!collect_dates(index, dates)) {
    return std::nullopt;
  }
  std::vector<std::string> symbols;
  bool ok = for_each_item(columns, [&](PyObject *col) {
    PyRef text = PyRef::steal(PyObject_Str(col));
    std::string s;
    if (!text || !utf8_of(text.get(), s)) {
      return false;
    }
    symbols.push_back(std::move(s));
    return true;
  });
  if (!ok) {
    return std::nullopt;
  }
  PyRef array = PyRef::steal(PyObject_CallMethod(frame, "to_numpy", nullptr));
  if (!array) {
    return std::nullopt;
  }
  if (auto bulk = bulk_grid(array.get(), dates.size(), symbols.size())) {
    return make_panel(name, std::move(dates), std::move(symbols), std::move(*bulk));
  }
  PyRef rows = PyRef::steal(PyObject_CallMethod(array.get(), "tolist", nullptr));
  if (!rows) {
    return std::nullopt;
  }
  return rows_to_panel(name, std::move(dates), std::move(symbols), rows.get());
}

// A dict with the keys "dates", "symbols" (str) and "data" (rows of cells), read in that order.
std::optional<Panel> dict_to_panel(const std::string &name, PyObject *dict) {
  auto get = [&](const char *key) -> PyRef {
    PyRef k = PyRef::steal(PyUnicode_FromString(key));
    if (!k) {
      return PyRef();
    }
    PyObject *item = PyDict_GetItemWithError(dict, k.get());
    if (item == nullptr && !PyErr_Occurred()) {
      fail_panel(name, ": missing key `" + std::string(key) + "`");
    }
    return item ? PyRef::borrow(item) : PyRef();
  };
  std::vector<std::int32_t> dates;
  PyRef dates_obj = get("dates");
  if (!dates_obj || !collect_dates(dates_obj.get(), dates)) {
    return std::nullopt;
  }
  PyRef symbols_obj = get("symbols");
  if (!symbols_obj) {
    return std::nullopt;
  }
  std::vector<std::string> symbols;
  bool ok = for_each_item(symbols_obj.get(), [&](PyObject *sym) {
    std::string s;
    if (!str_key(sym, "symbols", s)) {
      return false;
    }
    symbols.push_back(std::move(s));
    return true;
  });
  if (!ok) {
    return std::nullopt;
  }
  PyRef data = get("data");
  if (!data) {
    return std::nullopt;
  }
  return rows_to_panel(name, std::move(dates), std::move(symbols), data.get());
}

} // namespace

std::optional<std::int32_t> date_to_i32(PyObject *value) {
  std::optional<std::int32_t> date;
  if (!integer_date(value, date)) {
    return std::nullopt;
  }
  if (date) {
    return date;
  }
  PyRef strftime;
  int found = lookup_attr(value, "strftime", strftime);
  if (found < 0) {
    return std::nullopt;
  }
  if (found > 0) {
    return strftime_date(strftime.get());
  }
  if (PyUnicode_Check(value)) {
    return text_date(value);
  }
  raise(PyExc_ValueError, "cannot interpret `" + type_name(value) + "` as a YYYYMMDD date");
  return std::nullopt;
}

std::optional<Panel> rows_to_panel(const std::string &name, std::vector<std::int32_t> dates,
                                   std::vector<std::string> symbols, PyObject *rows) {
  const std::size_t n_rows = dates.size();
  const std::size_t n_cols = symbols.size();
  if (auto bulk = bulk_grid(rows, n_rows, n_cols)) {
    return make_panel(name, std::move(dates), std::move(symbols), std::move(*bulk));
  }
  Matrix grid = Matrix::Constant(static_cast<Eigen::Index>(n_rows),
                                 static_cast<Eigen::Index>(n_cols), ops::kNaN);
  std::size_t r = 0;
  bool ok = for_each_item(rows, [&](PyObject *row) {
    if (r == n_rows) {
      return fail_panel(name, ": more data rows than dates");
    }
    std::size_t c = 0;
    bool row_ok = for_each_item(row, [&](PyObject *cell) {
      if (c == n_cols) {
        return fail_panel(name, ": row " + std::to_string(r) + " has more cells than symbols");
      }
      double d = 0.0;
      if (!cell_to_double(cell, d)) {
        return false;
      }
      grid(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = d;
      ++c;
      return true;
    });
    ++r;
    return row_ok;
  });
  if (!ok) {
    return std::nullopt;
  }
  return make_panel(name, std::move(dates), std::move(symbols), std::move(grid));
}

std::optional<Panel> panel_from_py(const std::string &name, PyObject *value) {
  PyRef columns;
  PyRef index;
  int has_columns = lookup_attr(value, "columns", columns);
  if (has_columns < 0) {
    return std::nullopt;
  }
  int has_index = has_columns > 0 ? lookup_attr(value, "index", index) : 0;
  if (has_index < 0) {
    return std::nullopt;
  }
  if (has_index > 0) {
    return frame_to_panel(name, value, index.get(), columns.get());
  }
  if (!PyDict_Check(value)) {
    fail_panel(name, " must be a DataFrame or a dict with dates/symbols/data");
    return std::nullopt;
  }
  return dict_to_panel(name, value);
}

std::optional<std::string> spec_to_json_text(PyObject *spec) {
  if (PyUnicode_Check(spec)) {
    std::string text;
    if (!utf8_of(spec, text)) {
      return std::nullopt;
    }
    if (starts_as_json(text)) {
      return text;
    }
    auto tree = quaro::parse::parse(text);
    if (!tree) {
      raise(PyExc_ValueError, "quaro parse: " + tree.error().to_string());
      return std::nullopt;
    }
    return tree->dump();
  }
  auto tree = py_to_json(spec);
  if (!tree) {
    return std::nullopt;
  }
  if (!tree->is_object()) {
    raise(PyExc_ValueError, "spec must be quaro source, a JSON string, or an Expr dict");
    return std::nullopt;
  }
  return tree->dump();
}

std::optional<BacktestConfig> config_from_py(PyObject *config) {
  BacktestConfig cfg;
  if (config == nullptr) {
    return cfg;
  }
  bool ok = for_each_entry(config, [&](PyObject *key, PyObject *value) {
    std::string name;
    return str_key(key, "config keys", name) && set_knob(cfg, name, value);
  });
  if (!ok) {
    return std::nullopt;
  }
  return cfg;
}

PyObject *run_backtest(PyObject *spec, PyObject *panels, PyObject *config,
                       const std::string &price_key, IndustryMap industry) {
  auto json_text = spec_to_json_text(spec);
  if (!json_text) {
    return nullptr;
  }
  auto cfg = config_from_py(config);
  if (!cfg) {
    return nullptr;
  }
  EvalContext ctx;
  bool ok = for_each_entry(panels, [&](PyObject *key, PyObject *value) {
    std::string name;
    if (!str_key(key, "panel names", name)) {
      return false;
    }
    auto panel = panel_from_py(name, value);
    if (panel) {
      ctx.panels.insert_or_assign(std::move(name), std::move(*panel));
    }
    return panel.has_value();
  });
  if (!ok) {
    return nullptr;
  }
  ctx.industry = std::move(industry);
  auto report = eval::run_backtest(*json_text, ctx, price_key, *cfg);
  if (!report) {
    raise(PyExc_ValueError, report.error().to_string());
    return nullptr;
  }
  return json_to_py(report::to_json(*report));
}

} // namespace zorv
