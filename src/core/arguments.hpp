// The package's one place of checks: every argument and array the public
// functions take is checked here, once, and every message that names a value
// or an element is written here. The Python modules only convert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/family.hpp"
#include "combinatorial/messages.hpp"
#include "combinatorial/order.hpp"
#include "combinatorial/types.hpp"
#include "numpy.hpp"
#include "parallel.hpp"

namespace core {

using std::to_string;

// --- Errors that name an element ---------------------------------------------

// Which Python exception an error becomes.
enum class ErrorKind { value, overflow, type };

// An error about one element of an array the caller passed. Its text has
// "{}" where the element's index goes; the index is kept apart so that
// Python receives it as the exception's `index` attribute, a tuple.
struct ElementError {
  ErrorKind kind;
  std::string text;
  Shape index;
};

// Where an array passed by the caller begins inside a larger one (a block of
// a Dask array): added to every index an error names. Empty for none.
using Origin = Shape;

// The index of element `flat` of a C-ordered array of `shape`, plus `origin`
// where given (aligned to the leading axes).
inline Shape index_of(std::size_t flat, const Shape& shape, const Origin& origin) {
  Shape at(shape.size());
  for (std::size_t axis = shape.size(); axis-- > 0;) {
    const auto extent = static_cast<std::size_t>(shape[axis]);
    at[axis] = extent ? static_cast<npy_intp>(flat % extent) : 0;
    flat = extent ? flat / extent : 0;
  }
  for (std::size_t axis = 0; axis < at.size() && axis < origin.size(); ++axis) at[axis] += origin[axis];
  return at;
}

// "5" for one axis, "(1, 2)" otherwise.
inline std::string index_text(const Shape& index) {
  if (index.size() == 1) return to_string(index[0]);
  std::string text = "(";
  for (std::size_t axis = 0; axis < index.size(); ++axis) {
    if (axis) text += ", ";
    text += to_string(index[axis]);
  }
  return text + ")";
}

[[noreturn]] inline void throw_at(ErrorKind kind, std::string text, std::size_t flat, const Shape& shape,
                                  const Origin& origin) {
  throw ElementError{kind, std::move(text), index_of(flat, shape, origin)};
}

// Raises an ElementError as its Python exception, with `index` set.
inline void raise_element_error(const ElementError& error) {
  PyObject* type = error.kind == ErrorKind::overflow ? PyExc_OverflowError
                   : error.kind == ErrorKind::type   ? PyExc_TypeError
                                                     : PyExc_ValueError;
  std::string text = error.text;
  if (const auto at = text.find("{}"); at != std::string::npos) text.replace(at, 2, index_text(error.index));
  nb::object message = nb::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message.is_valid()) return;  // the failed call set its own error
  nb::object exception = nb::steal(PyObject_CallOneArg(type, message.ptr()));
  if (!exception.is_valid()) return;
  nb::list index;
  for (const npy_intp i : error.index) index.append(nb::int_(static_cast<std::int64_t>(i)));
  if (PyObject_SetAttrString(exception.ptr(), "index", nb::tuple(index).ptr()) < 0) return;
  PyErr_SetObject(type, exception.ptr());
}

// --- Interrupts ------------------------------------------------------------------

// The exception (KeyboardInterrupt, or whatever a signal handler raised) that
// stopped the calling thread's current call, held until its threads stop.
inline thread_local PyObject* pending_interrupt = nullptr;

// The stop check installed for parallel_for: runs Python's signal handlers,
// with the interpreter lock briefly re-taken; true when one raised.
inline bool python_interrupted() {
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() < 0;
  if (raised) {
    Py_XDECREF(pending_interrupt);
    pending_interrupt = PyErr_GetRaisedException();
  }
  PyGILState_Release(state);
  return raised;
}

// Raises the exception that interrupted a call, once it has stopped.
inline void raise_interrupt() {
  if (pending_interrupt == nullptr) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  PyErr_SetRaisedException(pending_interrupt);
  pending_interrupt = nullptr;
}

[[noreturn]] inline void type_error(const std::string& text) { throw nb::type_error(text.c_str()); }

inline std::string python_type_name(nb::handle value) { return Py_TYPE(value.ptr())->tp_name; }
inline std::string python_type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

// "1,234,567", as Python's format(n, ",") writes it.
inline std::string grouped(std::uint64_t value) {
  std::string digits = to_string(value), text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

// --- Integers, flags, the order, workers -------------------------------------

// A non-negative integer argument: its value, saturated at 2^64 - 1, and its
// exact text for messages (Python ints have no bound).
struct Integer {
  std::uint64_t value = 0;
  bool beyond_64_bits = false;
  std::string exact;
  const std::string& text() const { return exact; }
};

inline bool is_bool(nb::handle value) {
  return PyBool_Check(value.ptr()) || PyObject_TypeCheck(value.ptr(), &PyBoolArrType_Type);
}

// `value` as a non-negative integer: a Python int or anything with
// __index__ (NumPy integers), bools refused.
inline Integer parse_integer(nb::handle value, const char* name) {
  if (is_bool(value)) type_error(std::string(name) + " must be an integer, not a bool");
  nb::object number = nb::steal(PyNumber_Index(value.ptr()));
  if (!number.is_valid()) {
    PyErr_Clear();
    type_error(std::string(name) + " must be an integer, not " + python_type_name(value));
  }
  Integer result;
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow == 0 && small >= 0) {
    result.value = static_cast<std::uint64_t>(small);
    result.exact = to_string(result.value);
    return result;
  }
  result.exact = nb::borrow<nb::str>(nb::str(number)).c_str();
  if (overflow < 0 || (overflow == 0 && small < 0)) throw std::invalid_argument(std::string(name) + " = " + result.exact + " is negative");
  const unsigned long long wide = PyLong_AsUnsignedLongLong(number.ptr());
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    result.value = ~std::uint64_t{0};
    result.beyond_64_bits = true;
  } else {
    result.value = wide;
  }
  return result;
}

// n, the number of vertices: at most max_wide_vertex_count, 2^32.
inline std::uint64_t parse_vertex_count(nb::handle value) {
  const Integer n = parse_integer(value, "n");
  if (n.beyond_64_bits || n.value > combinatorial::max_wide_vertex_count) {
    combinatorial::throw_too_many_vertices<combinatorial::WideVertex>(n.text());
  }
  return n.value;
}

// n and k, with k <= n.
inline std::pair<std::uint64_t, std::uint64_t> parse_n_k(nb::handle n_arg, nb::handle k_arg) {
  const std::uint64_t n = parse_vertex_count(n_arg);
  const Integer k = parse_integer(k_arg, "k");
  if (k.beyond_64_bits || k.value > n) {
    throw std::invalid_argument("k = " + k.text() + " is larger than n = " + to_string(n));
  }
  return {n, k.value};
}

inline combinatorial::Order parse_order(nb::handle value) {
  if (PyUnicode_Check(value.ptr())) {
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "lex") == 0) return combinatorial::Order::lex;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "colex") == 0) return combinatorial::Order::colex;
  }
  nb::object text = nb::steal(PyObject_Repr(value.ptr()));
  if (!text.is_valid()) throw nb::python_error();
  throw std::invalid_argument(std::string("order must be \"lex\" or \"colex\", not ") +
                              nb::borrow<nb::str>(text).c_str());
}

inline bool parse_flag(nb::handle value, const char* name) {
  if (value.ptr() == Py_True) return true;
  if (value.ptr() == Py_False) return false;
  if (PyObject_TypeCheck(value.ptr(), &PyBoolArrType_Type)) return PyObject_IsTrue(value.ptr()) == 1;
  type_error(std::string(name) + " must be a bool, not " + python_type_name(value));
}

// `value` by its truth, as NumPy's choice reads `replace`.
inline bool parse_truth(nb::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw nb::python_error();
  return truth == 1;
}

// More threads than this are never useful; it keeps the count a C int.
inline constexpr long long max_workers = 1 << 16;

// The thread count that `workers` asks for, as SciPy reads it: None is
// every usable core (-1, counted only when a batch is worth splitting); a
// positive count as is; a negative one counts back from the usable cores
// (-1 all of them, -2 all but one), leaving at least one; 0 is refused.
inline int parse_workers(nb::handle value) {
  if (value.is_none()) return -1;
  if (is_bool(value) || !PyIndex_Check(value.ptr())) {
    type_error("workers must be an int or None, not " + python_type_name(value));
  }
  nb::object number = nb::steal(PyNumber_Index(value.ptr()));
  if (!number.is_valid()) throw nb::python_error();
  int overflow = 0;
  long long count = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow > 0 || count > max_workers) return static_cast<int>(max_workers);
  if (overflow < 0) count = -max_workers - 1;
  if (count > 0) return static_cast<int>(count);
  if (count == 0) throw std::invalid_argument("workers must not be 0: use None or -1 for all cores, 1 for one thread");
  return static_cast<int>(std::max<long long>(1, usable_cores() + 1 + count));
}

// Where the block an error is named in begins: a tuple of ints, or ().
inline Origin parse_origin(nb::handle value) {
  Origin origin;
  for (nb::handle item : nb::borrow<nb::tuple>(value)) origin.push_back(nb::cast<npy_intp>(item));
  return origin;
}

// A non-negative integer argument as a Python int, checked as every count is.
inline nb::object count(nb::handle value, const char* name) {
  return nb::steal(PyLong_FromString(parse_integer(value, name).exact.c_str(), nullptr, 10));
}

// --- Counts, memory ------------------------------------------------------------

// C(n, k) is 2^64 or more, n and k as the caller wrote them.
[[noreturn]] inline void throw_overflow(const std::string& n, const std::string& k) {
  combinatorial::throw_binomial_overflow(n, k);
}

// C(n, k), the number of k-combinations of n and so the bound of their
// ranks, below 2^128; OverflowError naming n and k where ranks would need
// more than 128 bits.
inline WideRank combination_count(std::uint64_t n, std::uint64_t k) {
  bool overflow = false;
  const WideRank count = combinatorial::binom_wide(n, k, overflow);
  if (overflow) {
    throw std::overflow_error("C(" + to_string(n) + ", " + to_string(k) +
                              ") is 2^128 or more: its ranks do not fit 128 bits");
  }
  return count;
}

// Whether ranks below `count` need 128 bits: count > 2^64 (it is never 2^64,
// a power of two only C(2^64, 1) is).
inline bool needs_wide_ranks(WideRank count) noexcept { return count >> 64 != 0; }

inline std::string count_text(WideRank count) { return wide_text(count); }

inline nb::object python_int(const std::string& text);

// --- Families --------------------------------------------------------------------

using combinatorial::Family;

inline Family parse_family(nb::handle value) {
  if (PyUnicode_Check(value.ptr())) {
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "subsets") == 0) return Family::subsets;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "multisets") == 0) return Family::multisets;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "permutations") == 0) return Family::permutations;
  }
  type_error("family must be \"subsets\", \"multisets\" or \"permutations\", not " + python_type_name(value));
}

// What a family's rows are called in messages.
inline const char* family_noun(Family family) {
  switch (family) {
    case Family::subsets: return "combinations";
    case Family::multisets: return "multisets";
    case Family::permutations: return "permutations";
  }
  __builtin_unreachable();
}

// The count of a family's rows as messages write it: C(n, k),
// C(n + k - 1, k) or P(n, k), n and k as the caller wrote them.
inline std::string count_name(Family family, const std::string& n, const std::string& k) {
  switch (family) {
    case Family::subsets: return "C(" + n + ", " + k + ")";
    case Family::multisets: return "C(" + n + " + " + k + " - 1, " + k + ")";
    case Family::permutations: return "P(" + n + ", " + k + ")";
  }
  __builtin_unreachable();
}

inline std::string count_name(Family family, std::uint64_t n, std::uint64_t k) {
  return count_name(family, to_string(n), to_string(k));
}

// The rows of a call: the family's k-rows over n vertices, their count, and
// the vertices its kernels run on (multisets run on the subsets of
// n + k - 1), which picks the vertex width.
struct Rows {
  Family family;
  std::uint64_t n, k;
  std::uint64_t kernel_n;
  WideRank count;  // 2^128 - 1 where not countable
  bool countable = true;  // the count is below 2^128
  std::string count_name() const { return core::count_name(family, n, k); }
  // The OverflowError of a count of 2^128 or more, for calls that rank.
  void require_countable() const {
    if (!countable) throw std::overflow_error(count_name() + " is 2^128 or more: its ranks do not fit 128 bits");
  }
};

// Whether a call needs the count below 2^128 (ranks), or also takes more
// rows than that (samples drawn as rows).
enum class Counting { below_2_128, any };

// Whether k may pass n: subsets and permutations have no rows there, and
// calls that need one refuse it; multisets have rows for every k.
enum class KBound { at_most_n, any };

// n and k of a family's rows, checked: n at most 2^32; k at most n where
// `bound` says so, for the families that need it (else their count is 0);
// the kernels' n at most 2^32 (ValueError) and the count below 2^128
// (OverflowError naming it).
inline Rows parse_rows(Family family, nb::handle n_arg, nb::handle k_arg, KBound bound,
                       Counting counting = Counting::below_2_128) {
  const std::uint64_t n = parse_vertex_count(n_arg);
  const Integer k = parse_integer(k_arg, "k");
  const bool past_n = k.beyond_64_bits || k.value > n;
  if (past_n && family != Family::multisets) {
    if (bound == KBound::at_most_n) {
      throw std::invalid_argument("k = " + k.text() + " is larger than n = " + to_string(n));
    }
    return {family, n, k.beyond_64_bits ? 0 : k.value, n, 0, true};
  }
  bool overflow = false;
  const std::uint64_t kernel_n = combinatorial::subset_vertex_count(family, n, k.value, overflow);
  if (k.beyond_64_bits || overflow || kernel_n > combinatorial::max_wide_vertex_count) {
    const nb::object sum = nb::steal(PyNumber_Subtract(
        nb::steal(PyNumber_Add(python_int(to_string(n)).ptr(), python_int(k.exact).ptr())).ptr(), nb::int_(1).ptr()));
    throw std::invalid_argument("n + k - 1 = " + std::string(nb::str(sum).c_str()) +
                                " is too large: multisets of n run on the subsets of n + k - 1 vertices, which " +
                                "must be at most " + to_string(combinatorial::max_wide_vertex_count));
  }
  const WideRank count = combinatorial::family_count(family, n, k.value, overflow);
  const Rows rows{family, n, k.value, kernel_n, count, !overflow};
  if (counting == Counting::below_2_128) rows.require_countable();
  return rows;
}

// --- Rank dtypes -------------------------------------------------------------

// The dtypes ranks are returned as.
enum class RankDtype { int64, uint64, uint128, object };

inline const char* rank_dtype_name(RankDtype dtype) {
  switch (dtype) {
    case RankDtype::int64: return "int64";
    case RankDtype::uint64: return "uint64";
    case RankDtype::uint128: return "uint128";
    case RankDtype::object: return "object";
  }
  __builtin_unreachable();
}

// The dtype for ranks below `count` (the ranks of C(n, k) subsets): the
// narrowest of int64 (count <= 2^63), uint64 (< 2^64) and uint128 where
// `dtype_arg` is None; else the numpy.dtype passed, int64, uint64, uint128
// or object, which must hold every rank. Names n and k (as the caller's
// function counts them) in the OverflowError.
inline RankDtype parse_rank_dtype(nb::handle dtype_arg, WideRank count, const std::string& counted, const char* noun) {
  const WideRank top = count == 0 ? 0 : count - 1;
  if (dtype_arg.is_none()) {
    return top < (WideRank{1} << 63) ? RankDtype::int64 : top >> 64 ? RankDtype::uint128 : RankDtype::uint64;
  }
  if (!PyArray_DescrCheck(dtype_arg.ptr())) {
    type_error("dtype must be None or a numpy.dtype of int64, uint64, uint128 or object, not " +
               python_type_name(dtype_arg));
  }
  auto* descr = reinterpret_cast<PyArray_Descr*>(dtype_arg.ptr());
  const bool native = PyArray_ISNBO(descr->byteorder);
  RankDtype dtype;
  if (descr->type_num == NPY_INT64 && native) {
    dtype = RankDtype::int64;
  } else if (descr->type_num == NPY_UINT64 && native) {
    dtype = RankDtype::uint64;
  } else if (is_uint128(descr)) {
    dtype = RankDtype::uint128;
  } else if (descr->type_num == NPY_OBJECT) {
    return RankDtype::object;
  } else {
    nb::object text = nb::steal(PyObject_Str(dtype_arg.ptr()));
    type_error(std::string("dtype must be int64, uint64, uint128 or object for ranks, not ") +
               (text.is_valid() ? nb::borrow<nb::str>(text).c_str() : "another dtype"));
  }
  const bool fits = dtype == RankDtype::uint128 || (dtype == RankDtype::uint64 && top >> 64 == 0) ||
                    top < (WideRank{1} << 63);
  if (!fits) {
    throw std::overflow_error("the ranks of " + counted + " = " + count_text(count) + " " + noun + " do not fit " +
                              rank_dtype_name(dtype));
  }
  return dtype;
}

inline RankDtype parse_rank_dtype(nb::handle dtype_arg, const Rows& rows) {
  return parse_rank_dtype(dtype_arg, rows.count, rows.count_name(), family_noun(rows.family));
}

// Results up to this size are allocated without asking the system first.
inline constexpr std::uint64_t small_result_bytes = std::uint64_t{1} << 26;

// MemAvailable from /proc/meminfo in bytes, or 0 where there is none.
inline std::uint64_t available_memory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  return 0;
}

[[noreturn]] inline void memory_error(const std::string& text) {
  PyErr_SetString(PyExc_MemoryError, text.c_str());
  throw nb::python_error();
}

// Refuses `count` items of `item_bytes` each when they are more than the
// memory available, before anything is allocated; `what` names them
// ("1,000 rows of 4 vertices").
inline void check_memory(std::uint64_t count, std::uint64_t item_bytes, const std::string& what) {
  std::uint64_t bytes = 0;
  const bool huge = __builtin_mul_overflow(count, item_bytes, &bytes);
  if (!huge && bytes <= small_result_bytes) return;
  const std::uint64_t available = available_memory();
  if (huge || (available != 0 && bytes > available)) {
    memory_error(what + " need " + (huge ? "more than 2^64" : grouped(bytes)) + " bytes, more than the " +
                 grouped(available) + " bytes of memory available");
  }
}

// --- Arrays ----------------------------------------------------------------------

inline ArrayView view_of(nb::handle value, const char* name);

// Whether the core reads `value` as an array without the Python layer's
// conversion: an ndarray of integers in native byte order, or of objects.
// Entry functions return None for anything else, and the Python layer
// converts it and calls again, so the common call costs one call.
inline bool is_readable(nb::handle value) {
  if (!PyArray_Check(value.ptr())) return false;
  PyArray_Descr* dtype = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(value.ptr()));
  // Structured dtypes come in as they are: uint128 is read, others refused here.
  return ((dtype->kind == 'i' || dtype->kind == 'u') && (PyArray_ISNBO(dtype->byteorder) || PyDataType_ELSIZE(dtype) == 1)) ||
         dtype->type_num == NPY_OBJECT || PyDataType_HASFIELDS(dtype);
}

// 2^128, for telling Python ints that fit 128 bits; made once, never freed.
inline PyObject* two_to_128() {
  static PyObject* const value = PyLong_FromString("340282366920938463463374607431768211456", nullptr, 10);
  return value;
}

// A Python int as a rank of up to 128 bits: negative ones and those of
// 2^128 or more become 2^128 - 1, outside every count.
inline WideRank wide_value(PyObject* item) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (overflow == 0) return small < 0 ? ~WideRank{0} : static_cast<WideRank>(small);
  if (overflow < 0) return ~WideRank{0};
  const int beyond = PyObject_RichCompareBool(item, two_to_128(), Py_GE);
  if (beyond < 0) throw nb::python_error();
  if (beyond) return ~WideRank{0};
  nb::object high = nb::steal(PyNumber_Rshift(item, nb::int_(64).ptr()));
  if (!high.is_valid()) throw nb::python_error();
  const unsigned long long lo = PyLong_AsUnsignedLongLongMask(item);
  const unsigned long long hi = PyLong_AsUnsignedLongLong(high.ptr());
  if (PyErr_Occurred()) throw nb::python_error();
  return static_cast<WideRank>(hi) << 64 | lo;
}

inline nb::object not_implemented() { return nb::none(); }

// An object array of Python ints as uint128, C-ordered: negative values and
// those of 2^128 or more become 2^128 - 1, outside every count and vertex
// bound (the values themselves stay in `objects` for messages). `keep`
// receives the converted array and the contiguous objects. TypeError for an
// element that is not an integer.
inline ArrayView object_view(PyArrayObject* array, const char* name, nb::object keep[2]) {
  // A copy of the pointers, C-ordered: NumPy integers in it become Python ints.
  keep[1] = nb::steal(PyArray_FromAny(reinterpret_cast<PyObject*>(array), nullptr, 0, 0,
                                      NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY, nullptr));
  if (!keep[1].is_valid()) throw nb::python_error();
  auto* objects = reinterpret_cast<PyArrayObject*>(keep[1].ptr());
  Py_INCREF(uint128_descr);
  keep[0] = nb::steal(PyArray_NewFromDescr(&PyArray_Type, uint128_descr, PyArray_NDIM(objects),
                                           PyArray_DIMS(objects), nullptr, nullptr, 0, nullptr));
  if (!keep[0].is_valid()) throw nb::python_error();
  auto* items = static_cast<PyObject**>(PyArray_DATA(objects));
  auto* values = static_cast<StoredWideRank*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(keep[0].ptr())));
  const auto size = static_cast<std::size_t>(PyArray_SIZE(objects));
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = items[i];
    if (item == nullptr || is_bool(item) || !PyIndex_Check(item)) {
      type_error(std::string(name) + " must hold integers, not " +
                 (item == nullptr ? "None" : python_type_name(item)));
    }
    if (!PyLong_Check(item)) {  // a NumPy integer: its value as a Python int, for the messages too
      PyObject* number = PyNumber_Index(item);
      if (number == nullptr) throw nb::python_error();
      items[i] = number;  // the copy owns it now
      Py_DECREF(item);
      item = number;
    }
    values[i] = wide_value(item);
  }
  ArrayView view;
  view.element = Element::u128;
  view.data = reinterpret_cast<const char*>(values);
  view.shape.assign(PyArray_DIMS(objects), PyArray_DIMS(objects) + PyArray_NDIM(objects));
  npy_intp step = sizeof(StoredWideRank);
  view.strides.assign(view.shape.size(), 0);
  for (std::size_t axis = view.shape.size(); axis-- > 0;) {
    view.strides[axis] = step;
    step *= view.shape[axis];
  }
  view.size = size;
  view.objects = items;
  return view;
}

// An input array of integers read in place, or an object array of Python
// ints through a converted copy (kept alive by `keep`). The Python layer
// converts other inputs (lists, byte-swapped arrays) before they come here.
inline ArrayView view_of(nb::handle value, const char* name, nb::object keep[2]) {
  if (PyArray_Check(value.ptr()) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(value.ptr())) == NPY_OBJECT) {
    return object_view(reinterpret_cast<PyArrayObject*>(value.ptr()), name, keep);
  }
  return view_of(value, name);
}

// An input array of integers read in place.
inline ArrayView view_of(nb::handle value, const char* name) {
  if (!PyArray_Check(value.ptr())) type_error(std::string(name) + " must be a numpy.ndarray, not " + python_type_name(value));
  auto* array = reinterpret_cast<PyArrayObject*>(value.ptr());
  PyArray_Descr* dtype = PyArray_DESCR(array);
  const bool native = PyArray_ISNBO(dtype->byteorder) || PyArray_ITEMSIZE(array) == 1;
  const char kind = dtype->kind;
  const auto width = PyArray_ITEMSIZE(array);
  ArrayView view;
  if (is_uint128(dtype)) {
    view.element = Element::u128;
  } else if (native && (kind == 'i' || kind == 'u') && (width == 1 || width == 2 || width == 4 || width == 8)) {
    const bool is_signed = kind == 'i';
    view.element = width == 1 ? (is_signed ? Element::i8 : Element::u8)
                   : width == 2 ? (is_signed ? Element::i16 : Element::u16)
                   : width == 4 ? (is_signed ? Element::i32 : Element::u32)
                                : (is_signed ? Element::i64 : Element::u64);
  } else {
    nb::object text = nb::steal(PyObject_Str(reinterpret_cast<PyObject*>(dtype)));
    const char* what = PyDataType_HASFIELDS(dtype) ? " must hold integers in native byte order or be uint128 "
                                                     "[('hi', '<u8'), ('lo', '<u8')], not "
                                                   : " must hold integers in native byte order, not ";
    type_error(std::string(name) + what + (text.is_valid() ? nb::borrow<nb::str>(text).c_str() : "this dtype"));
  }
  view.data = static_cast<const char*>(PyArray_DATA(array));
  const int ndim = PyArray_NDIM(array);
  view.shape.assign(PyArray_DIMS(array), PyArray_DIMS(array) + ndim);
  view.strides.assign(PyArray_STRIDES(array), PyArray_STRIDES(array) + ndim);
  view.size = static_cast<std::size_t>(PyArray_SIZE(array));
  return view;
}

// A new C-ordered array of T; MemoryError when it cannot be had.
template <typename T>
nb::object new_array(const Shape& shape) {
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr_of<T>(), static_cast<int>(shape.size()),
                                         const_cast<npy_intp*>(shape.data()), nullptr, nullptr, 0, nullptr);
  if (array == nullptr) throw nb::python_error();
  return nb::steal(array);
}

template <typename T>
T* data_of(const nb::object& array) noexcept {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
}

inline std::string shape_text(const Shape& shape) {
  std::string text = "(";
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (axis) text += ", ";
    text += to_string(shape[axis]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

// The array to write a result of `shape` into: `out` when it can take it in
// place (a writeable, C-contiguous, aligned ndarray of T and that shape), a
// new array when `out` is None and the memory for it is there.
template <typename T>
nb::object result_array(nb::handle out, const Shape& shape, const std::string& what) {
  if (out.is_none()) {
    std::uint64_t count = 1;
    for (const npy_intp extent : shape) {
      if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(extent), &count)) count = ~std::uint64_t{0};
    }
    check_memory(count, sizeof(T), what);
    return new_array<T>(shape);
  }
  if (!PyArray_Check(out.ptr())) {
    type_error(std::string("out must be a numpy.ndarray of ") + dtype_name<T>() + ", not " + python_type_name(out));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(out.ptr());
  PyArray_Descr* dtype = PyArray_DESCR(array);
  if (dtype->type_num != type_number<T>() || !PyArray_ISNBO(dtype->byteorder)) {
    nb::object text = nb::steal(PyObject_Str(reinterpret_cast<PyObject*>(dtype)));
    type_error(std::string("out must have dtype ") + dtype_name<T>() + ", not " +
               (text.is_valid() ? nb::borrow<nb::str>(text).c_str() : "another"));
  }
  if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
    type_error("out must be C-contiguous and aligned, such as a new numpy.empty array");
  }
  const Shape given(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array));
  if (given != shape) {
    throw std::invalid_argument("out has shape " + shape_text(given) + ", but shape " + shape_text(shape) +
                                " is expected");
  }
  if (!PyArray_ISWRITEABLE(array)) throw std::invalid_argument("out is read-only: it is not writeable");
  return nb::borrow(out);
}


// --- Wide integers -------------------------------------------------------------

// A non-negative integer argument of up to 128 bits, such as a rank: its
// value (2^128 - 1 where it is beyond) and its exact text.
struct WideInteger {
  WideRank value = 0;
  bool beyond_128_bits = false;
  std::string exact;
  const std::string& text() const { return exact; }
};

inline WideInteger parse_wide_integer(nb::handle value, const char* name) {
  const Integer narrow = parse_integer(value, name);  // type and sign checked there
  if (!narrow.beyond_64_bits) return {narrow.value, false, narrow.exact};
  nb::object number = nb::steal(PyLong_FromString(narrow.exact.c_str(), nullptr, 10));
  if (!number.is_valid()) throw nb::python_error();
  const int beyond = PyObject_RichCompareBool(number.ptr(), two_to_128(), Py_GE);
  if (beyond < 0) throw nb::python_error();
  return {wide_value(number.ptr()), beyond == 1, narrow.exact};
}

// A Python int from its decimal text.
inline nb::object python_int(const std::string& text) {
  nb::object value = nb::steal(PyLong_FromString(text.c_str(), nullptr, 10));
  if (!value.is_valid()) throw nb::python_error();
  return value;
}

// --- Rank results ------------------------------------------------------------

// A Python int of a 128-bit value.
inline nb::object python_int(WideRank value) {
  const auto lo = static_cast<std::uint64_t>(value), hi = static_cast<std::uint64_t>(value >> 64);
  if (hi == 0) return nb::steal(PyLong_FromUnsignedLongLong(lo));
  nb::object high = nb::steal(PyLong_FromUnsignedLongLong(hi)), low = nb::steal(PyLong_FromUnsignedLongLong(lo));
  if (!high.is_valid() || !low.is_valid()) throw nb::python_error();
  nb::object shifted = nb::steal(PyNumber_Lshift(high.ptr(), nb::int_(64).ptr()));
  if (!shifted.is_valid()) throw nb::python_error();
  nb::object whole = nb::steal(PyNumber_Or(shifted.ptr(), low.ptr()));
  if (!whole.is_valid()) throw nb::python_error();
  return whole;
}

// Element `flat` of an integer or uint128 array as a Python int, exactly.
inline nb::object python_int_at(const ArrayView& array, std::size_t flat) {
  const char* at = array.data + offset_of(array, flat);
  return with_element(array.element, [&](auto zero) -> nb::object {
    using T = decltype(zero);
    const T v = load<T>(at);
    if constexpr (std::is_same_v<T, StoredWideRank>) {
      return python_int(v);
    } else if constexpr (std::is_signed_v<T>) {
      return nb::steal(PyLong_FromLongLong(v));
    } else {
      return nb::steal(PyLong_FromUnsignedLongLong(v));
    }
  });
}

// A new object array of the shape of `array` holding its values as Python ints.
inline nb::object object_array_of(const ArrayView& array) {
  nb::object result = new_array<PyObject*>(array.shape);
  auto* items = data_of<PyObject*>(result);
  for (std::size_t i = 0; i < array.size; ++i) {
    nb::object value = python_int_at(array, i);
    if (!value.is_valid()) throw nb::python_error();
    Py_XDECREF(items[i]);
    items[i] = value.release().ptr();
  }
  return result;
}

// Any array of ranks as an object array of Python ints of the same shape:
// integers of any dtype, uint128, or objects (copied, NumPy integers made
// Python ints); None for what is not an ndarray, which the caller converts.
inline nb::object to_int(nb::handle ranks_arg) {
  if (!is_readable(ranks_arg)) return not_implemented();
  auto* array = reinterpret_cast<PyArrayObject*>(ranks_arg.ptr());
  if (PyArray_TYPE(array) != NPY_OBJECT) return object_array_of(view_of(ranks_arg, "ranks"));
  nb::object copy = nb::steal(PyArray_FromAny(ranks_arg.ptr(), nullptr, 0, 0,
                                              NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY,
                                              nullptr));
  if (!copy.is_valid()) throw nb::python_error();
  auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.ptr())));
  const auto size = static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(copy.ptr())));
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = items[i];
    if (item == nullptr || is_bool(item) || !PyIndex_Check(item)) {
      type_error(std::string("ranks must hold integers, not ") + (item == nullptr ? "None" : python_type_name(item)));
    }
    PyObject* number = PyNumber_Index(item);
    if (number == nullptr) throw nb::python_error();
    items[i] = number;
    Py_DECREF(item);
  }
  return copy;
}

// A new array for ranks in `dtype`, written by the kernels as int64 (the
// bits of a Rank, for int64 and uint64) or StoredWideRank (uint128, and
// object, whose Python ints are made from it once the ranks are in).
class RankResult {
 public:
  RankResult(RankDtype dtype, const Shape& shape, const std::string& what) : dtype_(dtype) {
    std::uint64_t cells = 1;
    for (const npy_intp extent : shape) {
      if (__builtin_mul_overflow(cells, static_cast<std::uint64_t>(extent), &cells)) cells = ~std::uint64_t{0};
    }
    const std::uint64_t item_bytes = dtype == RankDtype::object ? 16 + 8 + 32 : wide() ? 16 : 8;
    check_memory(cells, item_bytes, what);
    // uint64 results are written as int64 too: a rank below 2^64 keeps its bits.
    array_ = wide()                         ? new_array<StoredWideRank>(shape)
             : dtype == RankDtype::uint64 ? new_array<std::uint64_t>(shape)
                                          : new_array<std::int64_t>(shape);
  }

  bool wide() const noexcept { return dtype_ == RankDtype::uint128 || dtype_ == RankDtype::object; }

  // Calls body(out) with out the int64 or StoredWideRank data.
  template <typename Body>
  decltype(auto) write(Body&& body) {
    void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.ptr()));
    if (wide()) return body(static_cast<StoredWideRank*>(data));
    return body(static_cast<std::int64_t*>(data));
  }

  // The result: the array, or its ranks as Python ints for object.
  nb::object finish() {
    if (dtype_ != RankDtype::object) return array_;
    return object_array_of(view_of(array_, "ranks"));
  }

 private:
  RankDtype dtype_;
  nb::object array_;
};


// --- Dtypes as the package names them ------------------------------------------

inline nb::object dtype_object(PyArray_Descr* descr) { return nb::steal(reinterpret_cast<PyObject*>(descr)); }

// The dtype of the ranks of a family's k-rows of n: the rule, or `dtype`
// checked to hold them, as every function returning ranks decides it.
inline nb::object rank_dtype(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg, nb::handle dtype_arg) {
  const Rows rows = parse_rows(parse_family(family_arg), n_arg, k_arg, KBound::any);
  switch (parse_rank_dtype(dtype_arg, rows)) {
    case RankDtype::int64: return dtype_object(PyArray_DescrFromType(NPY_INT64));
    case RankDtype::uint64: return dtype_object(PyArray_DescrFromType(NPY_UINT64));
    case RankDtype::uint128: return dtype_object(descr_of<StoredWideRank>());
    case RankDtype::object: return dtype_object(PyArray_DescrFromType(NPY_OBJECT));
  }
  __builtin_unreachable();
}

// The dtype of the vertices of a family's rows: uint16 where its kernels run
// on at most 65536 vertices, uint32 up to 2^32.
inline nb::object vertex_dtype(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg) {
  const Rows rows = parse_rows(parse_family(family_arg), n_arg, k_arg, KBound::any, Counting::any);
  return dtype_object(PyArray_DescrFromType(rows.kernel_n > combinatorial::max_vertex_count ? NPY_UINT32 : NPY_UINT16));
}

}  // namespace core
