// combinatorial._core: the compiled core of the package. Registration only;
// the entry functions live in the headers beside this file.
#include "numpy.hpp"  // first: it defines how NumPy's C API is imported

#include "binomial.hpp"
#include "enumeration.hpp"
#include "faces.hpp"
#include "parallel.hpp"
#include "ranking.hpp"
#include "sampling.hpp"

namespace nb = nanobind;

NB_MODULE(_core, m) {
  core::import_numpy();
  core::create_uint128();
  core::create_caches();
  core::ThreadBudget::instance();
  core::installed_stop_check() = &core::python_interrupted;
  nb::register_exception_translator([](const std::exception_ptr& error, void*) {
    try {
      std::rethrow_exception(error);
    } catch (const core::ElementError& element_error) {
      core::raise_element_error(element_error);
    } catch (const core::Interrupted&) {
      core::raise_interrupt();
    }
  });
  m.doc() = "The compiled core of the combinatorial package";
  // Every argument is taken as the object passed, None included: the core
  // checks each itself, with its own messages.
  const auto arg = [](const char* name) { return nb::arg(name).none(); };
  m.def("comb", &core::comb, arg("family"), arg("n"), arg("k"), arg("workers"), arg("origin"))
      .def("rank", &core::rank, arg("family"), arg("combs"), arg("n"), arg("order"), arg("assume_sorted"), arg("dtype"),
           arg("workers"), arg("origin"))
      .def("unrank", &core::unrank, arg("family"), arg("ranks"), arg("n"), arg("k"), arg("order"), arg("out"), arg("workers"),
           arg("origin"))
      .def("faces", &core::neighbours<core::Neighbours::faces>, arg("ranks"), arg("n"), arg("k"), arg("order"),
           arg("dtype"), arg("workers"), arg("origin"))
      .def("cofaces", &core::neighbours<core::Neighbours::cofaces>, arg("ranks"), arg("n"), arg("k"),
           arg("order"), arg("dtype"), arg("workers"), arg("origin"))
      .def("to_int", &core::to_int, arg("ranks"))
      .def("rank_dtype", &core::rank_dtype, arg("family"), arg("n"), arg("k"), arg("dtype"))
      .def("vertex_dtype", &core::vertex_dtype, arg("family"), arg("n"), arg("k"))
      .def("combinations", &core::combinations, arg("family"), arg("n"), arg("k"), arg("order"), arg("start"), arg("stop"),
           arg("out"), arg("workers"))
      .def("slice_arguments", &core::slice_arguments, arg("family"), arg("n"), arg("k"), arg("order"), arg("start"), arg("stop"),
           arg("chunk_rows"), arg("workers"))
      .def("sample", &core::sample, arg("family"), arg("n"), arg("k"), arg("size"), arg("seed"), arg("replace"), arg("out"),
           arg("workers"))
      .def("distinct_ranks", &core::distinct_ranks, arg("seed"), arg("population"), arg("count"))
      .def("sample_arguments", &core::sample_arguments, arg("family"), arg("n"), arg("k"), arg("size"), arg("replace"))
      .def("count", &core::count, arg("value"), nb::arg("name"))
      .def("resolve_workers", &core::parse_workers, arg("workers"))
      .def("usable_cores", &core::usable_cores);
  m.attr("uint128") = nb::borrow(reinterpret_cast<PyObject*>(core::uint128_descr));
}
