// Bulk reads of numpy arrays through the buffer protocol, giving exactly the values that reading
// the arrays element by element through Python objects gives.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/panel.hpp"

namespace zorv {

// Whether the type of obj is exactly the class `name` of the already imported module `module`.
// Imports nothing and never leaves a Python error set.
bool is_exact_type(PyObject *obj, const char *module, const char *name);

// A read-only view of the elements of an exact numpy.ndarray holding numbers that convert to a
// double exactly as their Python objects do: 64-, 32- and 16-bit floats, integers of 1 to 8 bytes
// and bools, in native byte order. The buffer is released when the view ends; hold none across a
// call into Python code.
class NumericArray {
public:
  enum class Kind { Float, Signed, Unsigned, Bool };

  NumericArray() = default;
  NumericArray(const NumericArray &) = delete;
  NumericArray &operator=(const NumericArray &) = delete;
  ~NumericArray();

  // Takes a view of obj when it is such an array with `ndim` dimensions; false, with no Python
  // error set, for anything else.
  bool acquire(PyObject *obj, int ndim);

  Kind kind() const { return kind_; }
  std::size_t extent(int dim) const { return static_cast<std::size_t>(view_.shape[dim]); }

  // Copies a 2-D array into the top-left corner of grid, which must be at least as large, each
  // element converted as float() converts its Python object.
  void copy_to(Matrix &grid) const;

  // The elements of a 1-D integer array; false when one exceeds the signed 64-bit range.
  bool integers(std::vector<std::int64_t> &out) const;

private:
  Py_buffer view_{};
  bool held_ = false;
  Kind kind_ = Kind::Float;
};

} // namespace zorv
