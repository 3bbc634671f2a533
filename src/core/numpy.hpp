// NumPy arrays as the core reads and writes them, through NumPy's C API:
// inputs of any integer dtype, any strides (broadcast, negative, Fortran
// order, unaligned) read in place; results allocated as new C-ordered arrays.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL combinatorial_core_ARRAY_API
#include <numpy/arrayobject.h>

#include <nanobind/nanobind.h>

#include "combinatorial/types.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace core {

namespace nb = nanobind;

// Loads NumPy's C API; called once when the module is imported.
inline void import_numpy() {
  if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();
}

using Shape = std::vector<npy_intp>;

// The integer element types an input may have, in native byte order.
// u128: the package's uint128 dtype, two words high first (StoredWideRank).
enum class Element { i8, u8, i16, u16, i32, u32, i64, u64, u128 };

using combinatorial::StoredWideRank;
using combinatorial::WideRank;

// The uint128 dtype, made once at import: [("hi", "<u8"), ("lo", "<u8")].
inline PyArray_Descr* uint128_descr = nullptr;

inline void create_uint128() {
  PyObject* fields = Py_BuildValue("[(ss)(ss)]", "hi", "<u8", "lo", "<u8");
  if (fields == nullptr) throw nb::python_error();
  const int made = PyArray_DescrConverter(fields, &uint128_descr);
  Py_DECREF(fields);
  if (!made) throw nb::python_error();
}

// Whether a dtype is uint128 exactly: those field names, in that order,
// little-endian 64-bit words at offsets 0 and 8, no padding.
inline bool is_uint128(PyArray_Descr* dtype) {
  return PyDataType_HASFIELDS(dtype) && PyArray_EquivTypes(dtype, uint128_descr);
}

// The decimal digits of a 128-bit value.
inline std::string wide_text(WideRank value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// Calls body(T{}) with T the C type of the element type.
template <typename Body>
decltype(auto) with_element(Element element, Body&& body) {
  switch (element) {
    case Element::i8: return body(std::int8_t{});
    case Element::u8: return body(std::uint8_t{});
    case Element::i16: return body(std::int16_t{});
    case Element::u16: return body(std::uint16_t{});
    case Element::i32: return body(std::int32_t{});
    case Element::u32: return body(std::uint32_t{});
    case Element::i64: return body(std::int64_t{});
    case Element::u64: return body(std::uint64_t{});
    case Element::u128: return body(StoredWideRank{});
  }
  __builtin_unreachable();
}

template <typename T>
constexpr Element element_of() noexcept {
  if constexpr (std::is_same_v<T, std::int8_t>) return Element::i8;
  else if constexpr (std::is_same_v<T, std::uint8_t>) return Element::u8;
  else if constexpr (std::is_same_v<T, std::int16_t>) return Element::i16;
  else if constexpr (std::is_same_v<T, std::uint16_t>) return Element::u16;
  else if constexpr (std::is_same_v<T, std::int32_t>) return Element::i32;
  else if constexpr (std::is_same_v<T, std::uint32_t>) return Element::u32;
  else if constexpr (std::is_same_v<T, std::int64_t>) return Element::i64;
  else if constexpr (std::is_same_v<T, StoredWideRank>) return Element::u128;
  else {
    // No other type may pass for one of these: a WideRank is stored as a
    // StoredWideRank, and nothing else has a dtype to be read or written as.
    static_assert(std::is_same_v<T, std::uint64_t>, "an integer type with a NumPy dtype");
    return Element::u64;
  }
}

template <typename T>
int type_number() noexcept {
  switch (element_of<T>()) {
    case Element::i8: return NPY_INT8;
    case Element::u8: return NPY_UINT8;
    case Element::i16: return NPY_INT16;
    case Element::u16: return NPY_UINT16;
    case Element::i32: return NPY_INT32;
    case Element::u32: return NPY_UINT32;
    case Element::i64: return NPY_INT64;
    case Element::u64: return NPY_UINT64;
    case Element::u128: return NPY_VOID;
  }
  __builtin_unreachable();
}

// A new reference to the dtype of T's arrays.
template <typename T>
PyArray_Descr* descr_of() noexcept {
  if constexpr (std::is_same_v<T, StoredWideRank>) {
    Py_INCREF(uint128_descr);
    return uint128_descr;
  } else if constexpr (std::is_same_v<T, PyObject*>) {
    return PyArray_DescrFromType(NPY_OBJECT);
  } else {
    return PyArray_DescrFromType(type_number<T>());
  }
}

// The dtype's name, as messages give it.
template <typename T>
constexpr const char* dtype_name() noexcept {
  switch (element_of<T>()) {
    case Element::i8: return "int8";
    case Element::u8: return "uint8";
    case Element::i16: return "int16";
    case Element::u16: return "uint16";
    case Element::i32: return "int32";
    case Element::u32: return "uint32";
    case Element::i64: return "int64";
    case Element::u64: return "uint64";
    case Element::u128: return "uint128";
  }
  __builtin_unreachable();
}

// An input array's elements where they lie: byte strides, any of them zero
// or negative, any alignment. The array is borrowed for the call, which
// holds a reference to it.
struct ArrayView {
  const char* data = nullptr;
  Element element = Element::u64;
  Shape shape;
  Shape strides;  // bytes
  std::size_t size = 1;
  // For an object array read through a converted copy: the Python ints as
  // passed, C-contiguous, for the messages that name one.
  PyObject* const* objects = nullptr;

  int ndim() const noexcept { return static_cast<int>(shape.size()); }

  // Whether the elements are of type T, C-contiguous and aligned, so that a
  // kernel may read them as a plain T array.
  template <typename T>
  bool is_plain() const noexcept {
    if (element != element_of<T>() || reinterpret_cast<std::uintptr_t>(data) % alignof(T)) return false;
    npy_intp step = sizeof(T);
    for (int axis = ndim(); axis-- > 0;) {
      if (shape[axis] != 1 && strides[axis] != step) return size == 0;
      step *= shape[axis];
    }
    return true;
  }
};

// Element `flat` (in C order) as a value of its own type, widened.
struct Value {
  bool negative;
  std::uint64_t magnitude;  // the value itself when not negative, saturated at 2^64 - 1
  std::string exact = {};   // the text of a value beyond 64 bits
  std::string text() const {
    if (!exact.empty()) return exact;
    return negative ? "-" + std::to_string(magnitude) : std::to_string(magnitude);
  }
};

template <typename T>
T load(const char* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);  // any alignment
  return value;
}

// The byte offset of element `flat` in C order.
inline npy_intp offset_of(const ArrayView& array, std::size_t flat) noexcept {
  npy_intp offset = 0;
  for (int axis = array.ndim(); axis-- > 0;) {
    const auto extent = static_cast<std::size_t>(array.shape[axis]);
    offset += static_cast<npy_intp>(flat % extent) * array.strides[axis];
    flat /= extent;
  }
  return offset;
}

// Precondition: the interpreter lock is held when the array holds objects.
inline Value value_at(const ArrayView& array, std::size_t flat) {
  if (array.objects != nullptr) {
    PyObject* item = array.objects[flat];
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow == 0) {
      return small < 0 ? Value{true, static_cast<std::uint64_t>(-(small + 1)) + 1}
                       : Value{false, static_cast<std::uint64_t>(small)};
    }
    PyObject* text = PyObject_Str(item);
    Value value{overflow < 0, ~std::uint64_t{0}, text ? PyUnicode_AsUTF8(text) : "a huge integer"};
    Py_XDECREF(text);
    return value;
  }
  const char* at = array.data + offset_of(array, flat);
  return with_element(array.element, [&](auto zero) {
    using T = decltype(zero);
    const T v = load<T>(at);
    if constexpr (std::is_same_v<T, StoredWideRank>) {
      if (v.hi != 0) return Value{false, ~std::uint64_t{0}, wide_text(v)};
      return Value{false, v.lo};
    } else {
      if constexpr (std::is_signed_v<T>) {
        if (v < 0) return Value{true, static_cast<std::uint64_t>(-(v + 1)) + 1};
      }
      return Value{false, static_cast<std::uint64_t>(v)};
    }
  });
}

// Copies elements [begin, begin + count) in C order into out as Out, uint64
// or WideRank: negative values, and values too wide for Out, become the
// largest Out, above every bound the core checks against (a rank below
// C(n, k) < 2^64 or < 2^128, a vertex below n <= 2^32). Reads one run of the
// last axis at a time. Does not allocate.
template <typename T, typename Out>
void gather_as(const ArrayView& array, std::size_t begin, std::size_t count, Out* out) noexcept {
  const auto convert = [](T v) -> Out {
    if constexpr (std::is_same_v<T, StoredWideRank>) {
      if constexpr (std::is_same_v<Out, WideRank>) {
        return v;
      } else {
        return v.hi != 0 ? ~Out{0} : static_cast<Out>(v.lo);
      }
    } else if constexpr (std::is_signed_v<T>) {
      return v < 0 ? ~Out{0} : static_cast<Out>(v);
    } else {
      return static_cast<Out>(v);
    }
  };
  if (array.ndim() == 0) {
    for (std::size_t i = 0; i < count; ++i) out[i] = convert(load<T>(array.data));
    return;
  }
  const int last = array.ndim() - 1;
  const auto extent = static_cast<std::size_t>(array.shape[last]);
  const npy_intp step = array.strides[last];
  std::size_t flat = begin;
  while (count > 0) {
    const std::size_t column = flat % extent;
    const std::size_t run = std::min(count, extent - column);
    const char* at = array.data + offset_of(array, flat);
    if (step == static_cast<npy_intp>(sizeof(T))) {
      for (std::size_t j = 0; j < run; ++j) out[j] = convert(load<T>(at + j * sizeof(T)));
    } else {
      for (std::size_t j = 0; j < run; ++j, at += step) out[j] = convert(load<T>(at));
    }
    out += run;
    flat += run;
    count -= run;
  }
}

template <typename Out>
void gather(const ArrayView& array, std::size_t begin, std::size_t count, Out* out) noexcept {
  with_element(array.element, [&](auto zero) { gather_as<decltype(zero)>(array, begin, count, out); });
}

// The bytes [first, last) that an array's elements span.
inline std::pair<std::uintptr_t, std::uintptr_t> byte_extent(PyArrayObject* array) noexcept {
  auto first = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)), last = first;
  if (PyArray_SIZE(array) == 0) return {first, first};
  last += static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
  for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
    const npy_intp reach = (PyArray_DIM(array, axis) - 1) * PyArray_STRIDE(array, axis);
    if (reach < 0) first -= static_cast<std::uintptr_t>(-reach);
    else last += static_cast<std::uintptr_t>(reach);
  }
  return {first, last};
}

// Whether two arrays may share a byte: their extents overlap.
inline bool may_overlap(PyArrayObject* a, PyArrayObject* b) noexcept {
  const auto [a0, a1] = byte_extent(a);
  const auto [b0, b1] = byte_extent(b);
  return a0 < a1 && b0 < b1 && a0 < b1 && b0 < a1;
}

}  // namespace core
