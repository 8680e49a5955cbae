// The extension module `zorv`, on the stable ABI: initialisation and the four functions.
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/intake.hpp"
#include "python/pyref.hpp"
#include "quaro/json.hpp"

#include "quaro/dsl/lint.hpp"
#include "quaro/dsl/parse.hpp"
#include "quaro/dsl/print.hpp"

namespace zorv {
namespace {

// ---- argument binding ----

// Binds positional and keyword arguments to parameter names; out[i] is a borrowed reference or
// nullptr when the parameter was not given.
bool bind_args(const char *fn, const std::vector<const char *> &names, std::size_t required,
               PyObject *args, PyObject *kwargs, std::vector<PyObject *> &out) {
  out.assign(names.size(), nullptr);
  Py_ssize_t n_pos = PyTuple_Size(args);
  if (n_pos < 0) {
    return false;
  }
  if (static_cast<std::size_t>(n_pos) > names.size()) {
    raise(PyExc_TypeError, std::string(fn) + "() takes at most " + std::to_string(names.size()) +
                               " arguments (" + std::to_string(n_pos) + " given)");
    return false;
  }
  for (Py_ssize_t i = 0; i < n_pos; ++i) {
    out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise(PyExc_TypeError, std::string(fn) + "() keywords must be strings");
        return false;
      }
      // Compared without encoding: a name that is no valid UTF-8 (a lone surrogate) is still
      // just an unexpected keyword.
      std::size_t i = 0;
      while (i < names.size() && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) {
        ++i;
      }
      if (i == names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
        return false;
      }
      if (out[i] != nullptr) {
        raise(PyExc_TypeError,
              std::string(fn) + "() got multiple values for argument '" + names[i] + "'");
        return false;
      }
      out[i] = value;
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      raise(PyExc_TypeError, std::string(fn) + "() missing required argument '" + names[i] +
                                 "' (pos " + std::to_string(i + 1) + ")");
      return false;
    }
  }
  return true;
}

void wrong_type(const char *fn, const char *param, const char *expected, PyObject *got) {
  raise(PyExc_TypeError, std::string(fn) + "() argument '" + param + "' must be " + expected +
                             ", not " + type_name(got));
}

// A str argument as text.
bool text_arg(const char *fn, const char *param, PyObject *obj, std::string &out) {
  if (!PyUnicode_Check(obj)) {
    wrong_type(fn, param, "str", obj);
    return false;
  }
  return utf8_of(obj, out);
}

bool industry_arg(PyObject *obj, IndustryMap &out) {
  constexpr const char *kWant = "a dict of str to str";
  if (!PyDict_Check(obj)) {
    wrong_type("run_backtest", "industry", kWant, obj);
    return false;
  }
  return for_each_entry(obj, [&](PyObject *key, PyObject *value) {
    PyObject *bad = !PyUnicode_Check(key) ? key : !PyUnicode_Check(value) ? value : nullptr;
    if (bad != nullptr) {
      wrong_type("run_backtest", "industry", kWant, bad);
      return false;
    }
    std::string k;
    std::string v;
    if (!utf8_of(key, k) || !utf8_of(value, v)) {
      return false;
    }
    out.insert_or_assign(std::move(k), std::move(v));
    return true;
  });
}

bool series_arg(PyObject *obj, std::vector<std::string> &out) {
  constexpr const char *kWant = "a sequence of str";
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    wrong_type("lint", "series", kWant, obj);
    return false;
  }
  return for_each_item(obj, [&](PyObject *item) {
    if (!PyUnicode_Check(item)) {
      wrong_type("lint", "series", kWant, item);
      return false;
    }
    std::string name;
    if (!utf8_of(item, name)) {
      return false;
    }
    out.push_back(std::move(name));
    return true;
  });
}

bool is_absent(PyObject *obj) { return obj == nullptr || obj == Py_None; }

// No C++ exception may cross into the interpreter.
template <class F> PyObject *guarded(F &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  } catch (const std::exception &e) {
    raise(PyExc_ValueError, e.what());
    return nullptr;
  }
}

// ---- the four functions ----

PyObject *py_run_backtest(PyObject *, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    constexpr const char *fn = "run_backtest";
    std::vector<PyObject *> a;
    if (!bind_args(fn, {"spec", "panels", "config", "price_key", "industry"}, 2, args, kwargs, a)) {
      return nullptr;
    }
    if (!PyDict_Check(a[1])) {
      wrong_type(fn, "panels", "dict", a[1]);
      return nullptr;
    }
    PyObject *config = is_absent(a[2]) ? nullptr : a[2];
    if (config != nullptr && !PyDict_Check(config)) {
      wrong_type(fn, "config", "None or dict", config);
      return nullptr;
    }
    std::string price_key = "close";
    if (a[3] != nullptr && !text_arg(fn, "price_key", a[3], price_key)) {
      return nullptr;
    }
    IndustryMap industry;
    if (!is_absent(a[4]) && !industry_arg(a[4], industry)) {
      return nullptr;
    }
    return run_backtest(a[0], a[1], config, price_key, std::move(industry));
  });
}

PyObject *py_parse(PyObject *, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    std::vector<PyObject *> a;
    std::string src;
    if (!bind_args("parse", {"src"}, 1, args, kwargs, a) || !text_arg("parse", "src", a[0], src)) {
      return nullptr;
    }
    auto tree = quaro::parse::parse(src);
    if (!tree) {
      raise(PyExc_ValueError, tree.error().to_string());
      return nullptr;
    }
    return json_to_py(*tree);
  });
}

PyObject *py_format(PyObject *, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    std::vector<PyObject *> a;
    if (!bind_args("format", {"tree"}, 1, args, kwargs, a)) {
      return nullptr;
    }
    std::optional<quaro::Value> tree;
    if (PyUnicode_Check(a[0])) {
      std::string text;
      if (!utf8_of(a[0], text)) {
        return nullptr;
      }
      auto read = quaro::json::parse(text);
      if (!read) {
        raise(PyExc_ValueError, read.error());
        return nullptr;
      }
      tree = std::move(*read);
    } else {
      tree = py_to_json(a[0]);
      if (!tree) {
        return nullptr;
      }
    }
    std::string source = quaro::print::format(*tree);
    return PyUnicode_FromStringAndSize(source.data(), static_cast<Py_ssize_t>(source.size()));
  });
}

PyObject *py_lint(PyObject *, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    std::vector<PyObject *> a;
    std::string src;
    if (!bind_args("lint", {"src", "series"}, 1, args, kwargs, a) ||
        !text_arg("lint", "src", a[0], src)) {
      return nullptr;
    }
    std::optional<std::vector<std::string>> series;
    if (!is_absent(a[1])) {
      series.emplace();
      if (!series_arg(a[1], *series)) {
        return nullptr;
      }
    }
    auto records = quaro::lint::lint(src, series ? &*series : nullptr);
    if (!records) {
      raise(PyExc_ValueError, records.error().to_string());
      return nullptr;
    }
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) {
      return nullptr;
    }
    for (const auto &rec : *records) {
      PyRef d = PyRef::steal(PyDict_New());
      PyRef line = PyRef::steal(PyLong_FromLongLong(static_cast<long long>(rec.line)));
      PyRef col = PyRef::steal(PyLong_FromLongLong(static_cast<long long>(rec.col)));
      PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(
          rec.message.data(), static_cast<Py_ssize_t>(rec.message.size())));
      if (!d || !line || !col || !msg || PyDict_SetItemString(d.get(), "line", line.get()) < 0 ||
          PyDict_SetItemString(d.get(), "col", col.get()) < 0 ||
          PyDict_SetItemString(d.get(), "message", msg.get()) < 0 ||
          PyList_Append(out.get(), d.get()) < 0) {
        return nullptr;
      }
    }
    return out.release();
  });
}

// ---- the module ----

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"run_backtest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_run_backtest)),
     kFlags,
     "run_backtest(spec, panels, config=None, price_key=\"close\", industry=None)\n--\n\n"
     "Run a backtest. `spec` is quaro source, a JSON string, or an Expr dict;\n"
     "`panels` maps series names to DataFrames or `{dates, symbols, data}` dicts;\n"
     "`config` takes the `BacktestConfig` knobs by name. Returns the Report as a\n"
     "dict."},
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_parse)), kFlags,
     "parse(src)\n--\n\n"
     "Parse quaro source into the JSON Expr tree (as a dict)."},
    {"format", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_format)), kFlags,
     "format(tree)\n--\n\n"
     "Render an Expr tree (dict or JSON string) back to canonical quaro source."},
    {"lint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_lint)), kFlags,
     "lint(src, series=None)\n--\n\n"
     "Lint quaro source. `series` enables the unknown-series check; unused-`let`\n"
     "is always checked. Returns `[{\"line\", \"col\", \"message\"}, ...]`."},
};

// No per-module state (size 0): the import system then calls the init function again on a later
// import, here or from another interpreter, which is where the one module object is handed out
// or another interpreter is refused.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "zorv", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject *g_module = nullptr;
std::int64_t g_interpreter = -1;

// Sets a module attribute and appends its name to __all__ (made on first use).
bool add_public(PyObject *module, const char *name, PyObject *value) {
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyObject_SetAttr(module, key.get(), value) < 0) {
    return false;
  }
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return false;
    }
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return false;
    }
  }
  return PyList_Append(all.get(), key.get()) == 0;
}

PyObject *create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) {
    return nullptr;
  }
  PyRef module_name = PyRef::steal(PyUnicode_FromString("zorv"));
  if (!module_name) {
    return nullptr;
  }
  for (PyMethodDef &def : kFunctions) {
    PyRef fn = PyRef::steal(PyCMethod_New(&def, module.get(), module_name.get(), nullptr));
    if (!fn || !add_public(module.get(), def.ml_name, fn.get())) {
      return nullptr;
    }
  }
  PyRef version = PyRef::steal(PyUnicode_FromString("0.2.0"));
  if (!version || !add_public(module.get(), "__version__", version.get())) {
    return nullptr;
  }
  return module.release();
}

} // namespace
} // namespace zorv

PyMODINIT_FUNC PyInit_zorv(void) {
  using namespace zorv;
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    return nullptr;
  }
  if (g_interpreter < 0) {
    g_interpreter = id;
  } else if (g_interpreter != id) {
    raise(PyExc_ImportError, "zorv can be imported in only one interpreter per process");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = guarded([] { return create_module(); });
    if (g_module == nullptr) {
      return nullptr;
    }
  }
  Py_IncRef(g_module);
  return g_module;
}
