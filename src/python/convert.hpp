// Conversion between Python objects and the system's JSON value.
#pragma once

#include <Python.h>

#include <optional>

#include "quaro/json.hpp"

namespace zorv {

// A strategy tree given as Python objects (dicts, lists, str, int, float, bool, None) as a JSON
// value. Returns nullopt with a Python exception set on failure.
std::optional<quaro::Value> py_to_json(PyObject *obj);

// A new Python object for a JSON value (objects become dicts with sorted keys), or nullptr with a
// Python exception set.
PyObject *json_to_py(const quaro::Value &value);

} // namespace zorv
