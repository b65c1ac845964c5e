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
bool constructed(const Filter& filter) {
  return static_cast<bool>(py::detail::get_object_handle(&filter, py::detail::get_type_info(typeid(Filter))));
}

template <class F>
F& initialised(F& filter) {
  if (!constructed(filter)) {
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

// How pickle and copy rebuild a filter, on every protocol. For protocols 0 and
// 1 copyreg would reduce an instance by calling pybind11's base type, which
// aborts the interpreter; this is what Python itself gives from protocol 2 on
// (the class, the arguments that a subclass's __new__ asks for through
// __getnewargs_ex__ or __getnewargs__, and the state), so that those pickles
// are the same as before.
py::tuple reduction(const Filter& self) {
  const py::object instance = py::cast(initialised(self), py::return_value_policy::reference);
  const py::object cls = py::type::of(instance);
  const py::module_ copyreg = py::module_::import("copyreg");
  py::tuple args;
  py::dict kwargs;
  if (py::hasattr(cls, "__getnewargs_ex__")) {
    const py::tuple both = instance.attr("__getnewargs_ex__")();
    if (both.size() != 2) throw py::type_error("__getnewargs_ex__ should return a tuple of length 2");
    args = both[0];
    kwargs = both[1];
  } else if (py::hasattr(cls, "__getnewargs__")) {
    args = instance.attr("__getnewargs__")();
  }
  const py::object state = instance.attr("__getstate__")();
  if (!kwargs.empty()) return py::make_tuple(copyreg.attr("__newobj_ex__"), py::make_tuple(cls, args, kwargs), state);
  py::list cls_and_args;
  cls_and_args.append(cls);
  for (const py::handle arg : args) cls_and_args.append(arg);
  return py::make_tuple(copyreg.attr("__newobj__"), py::tuple(cls_and_args), state);
}

}  // namespace

// On Python 3.11 pybind11 takes the GIL through PyGILState_Ensure, which in a
// sub-interpreter waits for ever: it finds this thread's state of the main
// interpreter. The entry point that PYBIND11_MODULE writes is renamed here and
// kept out of the exported symbols (where another library's could take its
// place), and the module's own entry point below refuses a sub-interpreter
// before any of pybind11 runs.
#pragma push_macro("PYBIND11_EXPORT")
#undef PYBIND11_EXPORT
#define PYBIND11_EXPORT __attribute__((visibility("hidden")))
#define PyInit_tolvane tolvane_pybind11_entry_point

PYBIND11_MODULE(tolvane, module) {
  // pybind11 looks NumPy's array interface up once per process, on the first
  // array argument, holding a lock that Python code run by the lookup (a
  // finalizer calling this module with an array) would wait for for ever. Done
  // here, it runs before any filter exists to be called.
  py::detail::npy_api::get();

  module.doc() = module_doc;

  // The two constructors build the filter in the storage that the instance
  // already has, allocated by pybind11 when a method was first called on the
  // bare instance. py::init and py::pickle would free that storage first, while
  // a call still converting its arguments (an __index__ that initialises this
  // instance) holds it: that call would then act on whatever filter reuses the
  // memory.
  py::class_<Filter>(module, "bloomfilter")
      .def("__init__", [](Filter& self) { new (&self) Filter(); })
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
      .def(
          "__getstate__",
          [](const Filter& p) {
            const Filter& filter = initialised(p);
            return py::typing::Tuple<py::int_, py::int_, py::bytes>(
                py::make_tuple(filter.k, filter.m, image_of(filter)));
          },
          py::pos_only())
      .def("__setstate__",
           [](Filter& self, const py::tuple& t) {
             if (t.size() != 3) throw std::runtime_error("Invalid State in __setstate__");
             const int m = t[1].cast<int>();
             const int k = t[0].cast<int>();
             // Converting the items ran Python code, which may have initialised
             // this instance meanwhile: it is then left as it is, as is any
             // initialised filter, whatever the rest of the state.
             if (constructed(self)) return;
             Filter filter;
             filter.configure_signed(k, m);
             const contiguous_view image{py::buffer(t[2])};
             filter.frombuffer(image.data(), image.items());
             new (&self) Filter(std::move(filter));
           })
      .def("union", [](Filter& self, const Filter& other) { initialised(self).insert(initialised(other)); })
      .def("intersect", [](Filter& self, const Filter& other) { initialised(self).intersect(initialised(other)); })
      .def("get_k", [](const Filter& self) { return initialised(self).k; })
      .def("get_m", [](const Filter& self) { return initialised(self).m; })
      .def("foz", [](const Filter& self) { return initialised(self).foz(); })
      .def("__reduce__", reduction);
}

#undef PyInit_tolvane
#pragma pop_macro("PYBIND11_EXPORT")

extern "C" PYBIND11_EXPORT PyObject* PyInit_tolvane() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "tolvane cannot be imported in a sub-interpreter: pybind11 would wait there for ever "
                    "for the GIL on Python 3.11; import it in the main interpreter");
    return nullptr;
  }
  return tolvane_pybind11_entry_point();
}
