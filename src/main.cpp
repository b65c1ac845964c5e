// The Python binding: module docstring, class bloomfilter and its methods, in
// a fixed order. Conversions and exception translation are pybind11's own.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bloom_filter.h"

namespace {

using Filter = BloomFilterFacade;

const char* const module_doc =
    "\n        Bloom Filter - Halvorn Version\n        -----------------------\n\n"
    "        .. currentmodule:: python_example\n\n        .. autosummary::\n"
    "           :toctree: _generate\n\n\tbloomfilter\n    ";

// For an instance made by bloomfilter.__new__ alone, pybind11 hands a method
// freshly allocated storage in which no filter was ever constructed. Only a
// constructed filter is registered with its Python object, which tells the two
// apart before anything is read.
template <class F>
F& initialised(F& filter) {
  if (!py::detail::get_object_handle(&filter, py::detail::get_type_info(typeid(Filter)))) {
    throw py::value_error("bloomfilter instance is not initialised: create it with bloomfilter()");
  }
  return filter;
}

// A read-only, C-contiguous view of any buffer: an exporter that cannot give
// one refuses, so nothing outside the memory the view describes is read.
class contiguous_view {
 public:
  explicit contiguous_view(const py::buffer& source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
  }
  contiguous_view(const contiguous_view&) = delete;
  contiguous_view& operator=(const contiguous_view&) = delete;
  ~contiguous_view() { PyBuffer_Release(&view_); }

  const char* data() const { return static_cast<const char*>(view_.buf); }
  // The image is as many bytes as the view has items.
  size_t items() const { return view_.itemsize ? static_cast<size_t>(view_.len / view_.itemsize) : 0; }

 private:
  Py_buffer view_{};
};

py::bytes image_of(const Filter& filter) {
  py::bytes image(nullptr, filter.image_size());
  filter.tobuffer(PyBytes_AS_STRING(image.ptr()));
  return image;
}

}  // namespace

PYBIND11_MODULE(tolvane, module) {
  module.doc() = module_doc;

  py::class_<Filter>(module, "bloomfilter")
      .def(py::init<>())
      .def("configure", [](Filter& self, size_t k, size_t m) { initialised(self).configure(k, m); })
      .def("insert", [](Filter& self, const py::array& a) { initialised(self).insert(a, 0); })
      .def("test",
           [](const Filter& self, const py::array& a) {
             return py::typing::List<bool>(initialised(self).test(a, 0));
           })
      .def("insert_along", [](Filter& self, const py::array& a, int axis) { initialised(self).insert(a, axis); })
      .def("dbg_getrow",
           [](const Filter& self, const py::array& a, int row) { return initialised(self).debug_getrow(a, row); })
      .def("dbg_gethex",
           [](const Filter& self, const py::array& a, int row) { return initialised(self).debug_gethex(a, row); })
      .def("to_bytes", [](const Filter& self) { return image_of(initialised(self)); })
      .def("from_bytes",
           [](Filter& self, const py::bytes& bytedata, int k, int m) {
             initialised(self).restore(k, m, PyBytes_AS_STRING(bytedata.ptr()),
                                       static_cast<size_t>(PyBytes_GET_SIZE(bytedata.ptr())));
           })
      .def(py::pickle(
          [](const Filter& p) {
            const Filter& filter = initialised(p);
            return py::typing::Tuple<py::int_, py::int_, py::bytes>(
                py::make_tuple(filter.k, filter.m, image_of(filter)));
          },
          [](const py::tuple& t) {
            if (t.size() != 3) throw std::runtime_error("Invalid State in __setstate__");
            const int m = t[1].cast<int>();
            const int k = t[0].cast<int>();
            Filter filter;
            filter.configure_signed(k, m);
            const contiguous_view image{py::buffer(t[2])};
            filter.frombuffer(image.data(), image.items());
            return filter;
          }))
      .def("union", [](Filter& self, const Filter& other) { initialised(self).insert(initialised(other)); })
      .def("intersect", [](Filter& self, const Filter& other) { initialised(self).intersect(initialised(other)); })
      .def("get_k", [](const Filter& self) { return initialised(self).k; })
      .def("get_m", [](const Filter& self) { return initialised(self).m; })
      .def("foz", [](const Filter& self) { return initialised(self).foz(); });
}
