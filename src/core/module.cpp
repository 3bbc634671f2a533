// combinatorial._core: the compiled core of the package. Registration only;
// the entry functions live in the headers beside this file.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "binomial.hpp"
#include "enumeration.hpp"
#include "faces.hpp"
#include "parallel.hpp"
#include "ranking.hpp"
#include "sampling.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled core of the combinatorial package";
  const auto no_convert = [](const char* name) { return py::arg(name).noconvert(); };
  m.def("comb", &core::comb, no_convert("n"), no_convert("k"), py::arg("workers"))
      .def("rank", &core::rank, no_convert("combs"), py::arg("n"), py::arg("order"), py::arg("assume_sorted"),
           py::arg("workers"))
      .def("unrank", &core::unrank, no_convert("ranks"), py::arg("n"), py::arg("k"), py::arg("order"),
           no_convert("out"), py::arg("workers"))
      .def("faces", &core::neighbours<core::Neighbours::faces>, no_convert("ranks"), py::arg("n"), py::arg("k"),
           py::arg("order"), py::arg("workers"))
      .def("cofaces", &core::neighbours<core::Neighbours::cofaces>, no_convert("ranks"), py::arg("n"),
           py::arg("k"), py::arg("order"), py::arg("workers"))
      .def("combinations", &core::combinations, py::arg("n"), py::arg("k"), py::arg("order"), py::arg("start"),
           py::arg("stop"), no_convert("out"), py::arg("workers"))
      .def("sample", &core::sample, py::arg("n"), py::arg("k"), py::arg("size"), py::arg("seed"),
           py::arg("replace"), no_convert("out"), py::arg("workers"))
      .def("usable_cores", &core::usable_cores);
}
