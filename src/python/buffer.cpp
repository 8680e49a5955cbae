#include "python/buffer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "python/pyref.hpp"

namespace zorv {
namespace {

static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559);

using Kind = NumericArray::Kind;

// Element types whose C++ value is not the stored bits read as one arithmetic type.
struct Half {
  std::uint16_t bits;
};
struct Bool8 {
  std::uint8_t byte;
};

template <class T> struct Tag { using type = T; };

template <class T> T load(const char *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T> double to_double(T v) { return static_cast<double>(v); }

// Any nonzero byte is true, as numpy reads it.
double to_double(Bool8 v) { return v.byte != 0 ? 1.0 : 0.0; }

// Exact widening, NaN payloads moved to the top of the wider mantissa as numpy does.
double to_double(Half v) {
  const std::uint64_t sign = static_cast<std::uint64_t>(v.bits & 0x8000U) << 48;
  const unsigned exponent = (v.bits >> 10) & 0x1FU;
  const std::uint64_t mantissa = v.bits & 0x3FFU;
  if (exponent == 0) {
    const double magnitude = std::ldexp(static_cast<double>(mantissa), -24);
    return sign != 0 ? -magnitude : magnitude;
  }
  const std::uint64_t biased = exponent == 0x1F ? 0x7FF : exponent - 15 + 1023;
  return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

// Reads the element kind from a buffer format of one native-order item; false for anything else.
bool parse_format(const char *format, Py_ssize_t itemsize, Kind &kind) {
  if (format == nullptr) {
    return false;
  }
  constexpr char kOwnOrder = std::endian::native == std::endian::little ? '<' : '>';
  bool native_sizes = true;
  if (*format == '@') {
    ++format;
  } else if (*format == '=' || *format == kOwnOrder ||
             (*format == '!' && std::endian::native == std::endian::big)) {
    native_sizes = false;
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') {
    return false;
  }
  const char code = format[0];
  std::size_t size = 0;
  switch (code) {
  case '?':
  case 'b':
  case 'B':
    size = 1;
    break;
  case 'h':
  case 'H':
  case 'e':
    size = 2;
    break;
  case 'i':
  case 'I':
    size = native_sizes ? sizeof(int) : 4;
    break;
  case 'l':
  case 'L':
    size = native_sizes ? sizeof(long) : 4;
    break;
  case 'q':
  case 'Q':
    size = native_sizes ? sizeof(long long) : 8;
    break;
  case 'n':
  case 'N':
    if (!native_sizes) {
      return false;
    }
    size = sizeof(Py_ssize_t);
    break;
  case 'f':
    size = 4;
    break;
  case 'd':
    size = 8;
    break;
  default:
    return false;
  }
  if (static_cast<std::size_t>(itemsize) != size) {
    return false;
  }
  kind = code == '?'                                 ? Kind::Bool
         : code == 'e' || code == 'f' || code == 'd' ? Kind::Float
         : code >= 'a' && code <= 'z'                ? Kind::Signed
                                                     : Kind::Unsigned;
  return true;
}

// Calls fn(Tag<T>{}) with the C++ type of the elements.
template <class F> void dispatch(Kind kind, Py_ssize_t itemsize, F &&fn) {
  switch (kind) {
  case Kind::Bool:
    return fn(Tag<Bool8>{});
  case Kind::Float:
    return itemsize == 8 ? fn(Tag<double>{}) : itemsize == 4 ? fn(Tag<float>{}) : fn(Tag<Half>{});
  case Kind::Signed:
    return itemsize == 8   ? fn(Tag<std::int64_t>{})
           : itemsize == 4 ? fn(Tag<std::int32_t>{})
           : itemsize == 2 ? fn(Tag<std::int16_t>{})
                           : fn(Tag<std::int8_t>{});
  case Kind::Unsigned:
    return itemsize == 8   ? fn(Tag<std::uint64_t>{})
           : itemsize == 4 ? fn(Tag<std::uint32_t>{})
           : itemsize == 2 ? fn(Tag<std::uint16_t>{})
                           : fn(Tag<std::uint8_t>{});
  }
}

// Copies rows x cols elements at base (strides in bytes, any sign) into the row-major grid.
// Rows of the source that are not contiguous are read in tiles so that a column-major source
// stays in cache.
template <class T>
void copy_cells(const char *base, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t row_stride,
                Py_ssize_t col_stride, Matrix &grid) {
  double *out = grid.data();
  const Py_ssize_t out_stride = grid.cols();
  const Py_ssize_t tile = col_stride == static_cast<Py_ssize_t>(sizeof(T)) ? cols : 32;
  for (Py_ssize_t c0 = 0; c0 < cols; c0 += tile) {
    const Py_ssize_t c1 = std::min(cols, c0 + tile);
    for (Py_ssize_t r = 0; r < rows; ++r) {
      const char *src = base + r * row_stride;
      double *dst = out + r * out_stride;
      for (Py_ssize_t c = c0; c < c1; ++c) {
        dst[c] = to_double(load<T>(src + c * col_stride));
      }
    }
  }
}

} // namespace

bool is_exact_type(PyObject *obj, const char *module, const char *name) {
  PyRef module_name = PyRef::steal(PyUnicode_FromString(module));
  PyRef mod = module_name ? PyRef::steal(PyImport_GetModule(module_name.get())) : PyRef();
  PyRef type = mod ? PyRef::steal(PyObject_GetAttrString(mod.get(), name)) : PyRef();
  PyErr_Clear();
  return type && reinterpret_cast<PyObject *>(Py_TYPE(obj)) == type.get();
}

NumericArray::~NumericArray() {
  if (held_) {
    PyBuffer_Release(&view_);
  }
}

bool NumericArray::acquire(PyObject *obj, int ndim) {
  if (held_ || !is_exact_type(obj, "numpy", "ndarray")) {
    return false;
  }
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  if (view_.ndim == ndim && view_.shape != nullptr && view_.strides != nullptr &&
      view_.suboffsets == nullptr && parse_format(view_.format, view_.itemsize, kind_)) {
    held_ = true;
    return true;
  }
  PyBuffer_Release(&view_);
  return false;
}

void NumericArray::copy_to(Matrix &grid) const {
  const auto *base = static_cast<const char *>(view_.buf);
  dispatch(kind_, view_.itemsize, [&](auto tag) {
    using T = typename decltype(tag)::type;
    copy_cells<T>(base, view_.shape[0], view_.shape[1], view_.strides[0], view_.strides[1], grid);
  });
}

bool NumericArray::integers(std::vector<std::int64_t> &out) const {
  if (kind_ != Kind::Signed && kind_ != Kind::Unsigned) {
    return false;
  }
  const auto *base = static_cast<const char *>(view_.buf);
  bool fits = true;
  dispatch(kind_, view_.itemsize, [&](auto tag) {
    using T = typename decltype(tag)::type;
    if constexpr (std::is_integral_v<T>) {
      out.reserve(static_cast<std::size_t>(view_.shape[0]));
      for (Py_ssize_t i = 0; i < view_.shape[0] && fits; ++i) {
        const T v = load<T>(base + i * view_.strides[0]);
        fits = std::is_signed_v<T> ||
               static_cast<std::uint64_t>(v) <=
                   static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        out.push_back(static_cast<std::int64_t>(v));
      }
    }
  });
  return fits;
}

} // namespace zorv
