// From the Python objects of one run_backtest call to the engine's inputs, and the report back.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/backtest.hpp"
#include "core/panel.hpp"

namespace zorv {

// Every function returns nullptr / nullopt with a Python exception set on failure.

// The whole call: spec (any object), panels (a dict), config (nullptr or a dict), industry
// (empty when not given). Returns a new reference to the report dict.
PyObject *run_backtest(PyObject *spec, PyObject *panels, PyObject *config,
                       const std::string &price_key, IndustryMap industry);

// The strategy as JSON text: JSON text kept as given, source parsed, or a dict converted.
std::optional<std::string> spec_to_json_text(PyObject *spec);

// The configuration knobs from a dict (nullptr gives every default).
std::optional<BacktestConfig> config_from_py(PyObject *config);

// One panel from a DataFrame-like object or a {dates, symbols, data} dict.
std::optional<Panel> panel_from_py(const std::string &name, PyObject *value);

// An iterable of rows of cells (None or numbers) on the given grid.
std::optional<Panel> rows_to_panel(const std::string &name, std::vector<std::int32_t> dates,
                                   std::vector<std::string> symbols, PyObject *rows);

// One date value (int, object with strftime, or str) as a YYYYMMDD integer.
std::optional<std::int32_t> date_to_i32(PyObject *value);

} // namespace zorv
