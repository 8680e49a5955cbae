// An owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace zorv {

class PyRef {
public:
  PyRef() = default;
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  PyRef(PyRef &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  PyRef &operator=(PyRef &&other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~PyRef() { Py_DecRef(p_); }

  // Takes over a new reference (or nullptr, as returned by a failed API call).
  static PyRef steal(PyObject *p) { return PyRef(p); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject *p) {
    Py_IncRef(p);
    return PyRef(p);
  }

  PyObject *get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject *release() { return std::exchange(p_, nullptr); }

private:
  explicit PyRef(PyObject *p) : p_(p) {}
  PyObject *p_ = nullptr;
};

// Leaves the interpreter's recursion guard when the scope ends.
class RecursionGuard {
public:
  explicit RecursionGuard(const char *where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
  RecursionGuard(const RecursionGuard &) = delete;
  RecursionGuard &operator=(const RecursionGuard &) = delete;
  ~RecursionGuard() {
    if (entered_) {
      Py_LeaveRecursiveCall();
    }
  }
  // False when the limit was hit; RecursionError is then set.
  bool entered() const { return entered_; }

private:
  bool entered_;
};

// Raises `type` with a UTF-8 message; undecodable bytes are replaced rather than lost.
inline void raise(PyObject *type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) {
    PyErr_SetObject(type, text.get());
  }
}

// The UTF-8 text of a str; false with the interpreter's error set (e.g. a lone surrogate).
inline bool utf8_of(PyObject *str, std::string &out) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) {
    return false;
  }
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// The __name__ of an object's type.
inline std::string type_name(PyObject *obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  std::string out;
  if (!name || !utf8_of(name.get(), out)) {
    PyErr_Clear();
    return "?";
  }
  return out;
}

// Calls fn(item) for each element of an iterable; stops at the first false.
template <class F> bool for_each_item(PyObject *iterable, F &&fn) {
  PyRef it = PyRef::steal(PyObject_GetIter(iterable));
  if (!it) {
    return false;
  }
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(it.get()));
    if (!item) {
      return !PyErr_Occurred();
    }
    if (!fn(item.get())) {
      return false;
    }
  }
}

// Iterates a dict's entries, holding both key and value while fn runs (fn may run Python code
// that changes the dict).
template <class F> bool for_each_entry(PyObject *dict, F &&fn) {
  Py_ssize_t pos = 0;
  PyObject *k = nullptr;
  PyObject *v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    PyRef key = PyRef::borrow(k);
    PyRef value = PyRef::borrow(v);
    if (!fn(key.get(), value.get())) {
      return false;
    }
  }
  return true;
}

} // namespace zorv
