#include "python/convert.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "python/pyref.hpp"

namespace zorv {
namespace {

// Each level of nesting takes C stack; a raised interpreter recursion limit must not let a deep
// spec overflow it. Deeper than any tree the parser makes.
constexpr int kMaxDepth = 1024;

bool to_json(PyObject *obj, quaro::Value &out, int depth);

bool list_to_json(PyObject *list, quaro::Value &out, int depth) {
  out = quaro::Value::array();
  // The size is read afresh each step: converting an element may run code that shrinks the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) {
      return false;
    }
    quaro::Value v;
    if (!to_json(item.get(), v, depth)) {
      return false;
    }
    out.push_back(std::move(v));
  }
  return true;
}

bool dict_to_json(PyObject *dict, quaro::Value &out, int depth) {
  out = quaro::Value::object();
  return for_each_entry(dict, [&](PyObject *key, PyObject *value) {
    if (!PyUnicode_Check(key)) {
      raise(PyExc_TypeError, "spec dict keys must be str, not " + type_name(key));
      return false;
    }
    std::string name;
    quaro::Value converted;
    if (!utf8_of(key, name) || !to_json(value, converted, depth)) {
      return false;
    }
    out[name] = std::move(converted);
    return true;
  });
}

bool to_json(PyObject *obj, quaro::Value &out, int depth) {
  if (obj == Py_None) {
    out = nullptr;
    return true;
  }
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (PyLong_Check(obj)) {
    long long n = PyLong_AsLongLong(obj);
    if (n == -1 && PyErr_Occurred()) {
      return false;
    }
    if (n >= 0) {
      out = static_cast<std::uint64_t>(n);
    } else {
      out = static_cast<std::int64_t>(n);
    }
    return true;
  }
  if (PyFloat_Check(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      return false;
    }
    if (!std::isfinite(d)) {
      raise(PyExc_ValueError, "non-finite numbers are not valid in a spec");
      return false;
    }
    out = d;
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    std::string s;
    if (!text || !utf8_of(text.get(), s)) {
      return false;
    }
    out = std::move(s);
    return true;
  }
  if (PyList_Check(obj) || PyDict_Check(obj)) {
    if (depth == kMaxDepth) {
      raise(PyExc_RecursionError, "maximum recursion depth exceeded while converting a spec");
      return false;
    }
    RecursionGuard guard(" while converting a spec");
    if (!guard.entered()) {
      return false;
    }
    return PyList_Check(obj) ? list_to_json(obj, out, depth + 1)
                             : dict_to_json(obj, out, depth + 1);
  }
  raise(PyExc_ValueError, "unsupported value in spec: " + type_name(obj));
  return false;
}

PyObject *to_py(const quaro::Value &value) {
  using T = quaro::Value::value_t;
  switch (value.type()) {
  case T::null:
    Py_IncRef(Py_None);
    return Py_None;
  case T::boolean:
    return PyBool_FromLong(value.get<bool>() ? 1 : 0);
  case T::number_unsigned: {
    auto n = value.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return PyFloat_FromDouble(static_cast<double>(n));
    }
    return PyLong_FromUnsignedLongLong(n);
  }
  case T::number_integer:
    return PyLong_FromLongLong(value.get<std::int64_t>());
  case T::number_float:
    return PyFloat_FromDouble(value.get<double>());
  case T::string: {
    const auto &s = value.get_ref<const std::string &>();
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  }
  case T::array: {
    RecursionGuard guard(" while converting a JSON value");
    if (!guard.entered()) {
      return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) {
      return nullptr;
    }
    for (const auto &item : value) {
      PyRef obj = PyRef::steal(to_py(item));
      if (!obj || PyList_Append(list.get(), obj.get()) < 0) {
        return nullptr;
      }
    }
    return list.release();
  }
  case T::object: {
    RecursionGuard guard(" while converting a JSON value");
    if (!guard.entered()) {
      return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
      return nullptr;
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
      const std::string &k = it.key();
      PyRef key =
          PyRef::steal(PyUnicode_FromStringAndSize(k.data(), static_cast<Py_ssize_t>(k.size())));
      if (!key) {
        return nullptr;
      }
      PyRef obj = PyRef::steal(to_py(it.value()));
      if (!obj || PyDict_SetItem(dict.get(), key.get(), obj.get()) < 0) {
        return nullptr;
      }
    }
    return dict.release();
  }
  case T::binary:
  case T::discarded:
    break;
  }
  raise(PyExc_ValueError, "value has no Python form");
  return nullptr;
}

} // namespace

std::optional<quaro::Value> py_to_json(PyObject *obj) {
  quaro::Value out;
  if (!to_json(obj, out, 0)) {
    return std::nullopt;
  }
  return out;
}

PyObject *json_to_py(const quaro::Value &value) { return to_py(value); }

} // namespace zorv
