// The Python binding: module docstring, class bloomfilter and its methods, in
// a fixed order. Conversions and exception translation are pybind11's own.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <string>
#include <variant>

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

// k and m of an image or a state: any size that configure takes. A negative
// value, which an unsigned parameter would refuse as an incompatible argument,
// is refused by name.
using size_argument = std::variant<size_t, ssize_t>;

size_t non_negative(const size_argument& value) {
  if (const auto* signed_value = std::get_if<ssize_t>(&value)) {
    if (*signed_value < 0) throw py::value_error("k and m must not be negative");
    return static_cast<size_t>(*signed_value);
  }
  return std::get<size_t>(value);
}

// The image of a state: a read-only view of any C-contiguous buffer, whose
// bytes are all of the image whatever the size of its items. Any other layout
// is refused: its bytes in memory order are not the image.
class state_image {
 public:
  explicit state_image(const py::buffer& source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_STRIDES) != 0) throw py::error_already_set();
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      PyBuffer_Release(&view_);
      PyErr_SetString(PyExc_BufferError, "the image of a state must be a C-contiguous buffer");
      throw py::error_already_set();
    }
  }
  state_image(const state_image&) = delete;
  state_image& operator=(const state_image&) = delete;
  ~state_image() { PyBuffer_Release(&view_); }

  const char* data() const { return static_cast<const char*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

py::bytes image_of(const Filter& filter) {
  py::bytes image(nullptr, filter.image_size());
  filter.tobuffer(PyBytes_AS_STRING(image.ptr()));
  return image;
}

// The state of a filter for protocol 5: its image as a pickle buffer, which
// a pickler with a buffer_callback sends out of band (no copy in the stream)
// and any other writes as it writes bytes.
py::tuple state_out_of_band(const Filter& filter) {
  const size_t k = filter.k, m = filter.m;
  const py::bytes image = image_of(filter);
  return py::make_tuple(k, m, py::reinterpret_steal<py::object>(PyPickleBuffer_FromObject(image.ptr())));
}

// How pickle and copy rebuild a filter, on every protocol: for protocols 0 and
// 1 copyreg would reduce an instance by calling pybind11's base type, which
// aborts the interpreter. This is what Python itself gives from protocol 2 on
// (the class, the arguments that a subclass's __new__ asks for through
// __getnewargs_ex__ or __getnewargs__, and the state), so that those pickles
// are the same as before; on protocol 5 the module's own state carries its
// image as a pickle buffer.
py::tuple reduction(const Filter& self, bool image_out_of_band) {
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
  const py::object base = py::type::of<Filter>();
  const bool own_state = cls.attr("__getstate__").is(base.attr("__getstate__"));
  const py::object state =
      image_out_of_band && own_state ? state_out_of_band(self) : py::object(instance.attr("__getstate__")());
  if (!kwargs.empty()) return py::make_tuple(copyreg.attr("__newobj_ex__"), py::make_tuple(cls, args, kwargs), state);
  py::list cls_and_args;
  cls_and_args.append(cls);
  for (const py::handle arg : args) cls_and_args.append(arg);
  return py::make_tuple(copyreg.attr("__newobj__"), py::tuple(cls_and_args), state);
}

// Protocol 5 sends the image out of band. Like object.__reduce_ex__, this
// defers to a __reduce__ that a subclass overrides.
py::typing::Union<py::str, py::typing::Tuple<py::object, py::ellipsis>> reduction_for(const Filter& self,
                                                                                          int protocol) {
  const py::object instance = py::cast(initialised(self), py::return_value_policy::reference);
  const py::object base = py::type::of<Filter>();
  if (!py::type::of(instance).attr("__reduce__").is(base.attr("__reduce__"))) return instance.attr("__reduce__")();
  return reduction(self, protocol >= 5);
}

// pybind11 describes a refused call by the repr of each argument, however
// large: refusing a call with an image of 1 GiB built a message of 4 GB, in
// more than a minute. The methods are marked as operators, for which pybind11
// returns NotImplemented in place of its message, and this entry point, put in
// front of pybind11's, writes the same message with every argument described
// in a bounded length.
using entry_point = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
entry_point pybind11_entry = nullptr;

constexpr Py_ssize_t shown_bytes = 32;
constexpr Py_ssize_t shown_characters = 200;
constexpr Py_ssize_t shown_items = 8;
constexpr Py_ssize_t shown_array_items = 1000;
constexpr int shown_depth = 2;

std::string repr_of(py::handle value) {
  try {
    return py::repr(value);
  } catch (const py::error_already_set&) {
    return "<repr raised Error>";
  }
}

std::string cut(const std::string& start, Py_ssize_t length, const char* unit) {
  return start + "... (" + std::to_string(length) + " " + unit + ")";
}

// The repr of a value, or of its start with its length after it.
std::string described(py::handle value, int depth = 0) {
  PyObject* const object = value.ptr();
  if (PyBytes_Check(object) || PyByteArray_Check(object)) {
    const Py_ssize_t length = PyBytes_Check(object) ? PyBytes_GET_SIZE(object) : PyByteArray_GET_SIZE(object);
    if (length <= shown_bytes) return repr_of(value);
    const char* const data = PyBytes_Check(object) ? PyBytes_AS_STRING(object) : PyByteArray_AS_STRING(object);
    const py::object start = py::bytes(data, shown_bytes);
    return cut(repr_of(PyBytes_Check(object) ? start : py::bytearray(start)), length, "bytes");
  }
  if (PyUnicode_Check(object) && PyUnicode_GET_LENGTH(object) > shown_characters) {
    const auto start = py::reinterpret_steal<py::object>(PyUnicode_Substring(object, 0, shown_characters));
    if (!start) throw py::error_already_set();
    return cut(repr_of(start), PyUnicode_GET_LENGTH(object), "characters");
  }
  if (PyTuple_Check(object) || PyList_Check(object)) {
    const bool tuple = PyTuple_Check(object);
    const Py_ssize_t length = PySequence_Fast_GET_SIZE(object);
    if (depth == shown_depth && length > 0) return tuple ? "(...)" : "[...]";
    std::string text = tuple ? "(" : "[";
    for (Py_ssize_t i = 0; i < std::min(length, shown_items); ++i) {
      text += (i ? ", " : "") + described(PySequence_Fast_GET_ITEM(object, i), depth + 1);
    }
    if (length > shown_items) text += ", ... (" + std::to_string(length) + " items)";
    return text + (tuple && length == 1 ? ",)" : tuple ? ")" : "]");
  }
  if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).size() > shown_array_items) {
    const auto array = py::reinterpret_borrow<py::array>(value);
    return "<numpy.ndarray of shape " + repr_of(array.attr("shape")) + " and dtype " +
           std::string(py::str(array.dtype())) + ">";
  }
  if (PyObject_CheckBuffer(object) && !PyMemoryView_Check(object) && !py::isinstance<py::array>(value)) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) == 0) {
      const Py_ssize_t length = view.len;
      PyBuffer_Release(&view);
      if (length > shown_bytes) return "<" + std::string(Py_TYPE(object)->tp_name) + " of " + std::to_string(length) + " bytes>";
    } else {
      PyErr_Clear();
    }
  }
  const std::string text = repr_of(value);
  const auto characters = static_cast<Py_ssize_t>(text.size());
  return characters > shown_characters ? cut(text.substr(0, shown_characters), characters, "characters") : text;
}

// pybind11's message for a call that no signature accepts.
std::string refusal(const py::detail::function_record& method, PyObject* const* args, Py_ssize_t count,
                    PyObject* keywords) {
  std::string text = std::string(method.name) + "(): incompatible " +
                     (method.is_constructor ? "constructor" : "function") +
                     " arguments. The following argument types are supported:\n    1. ";
  const std::string signature = method.signature;
  // A constructor shows as Class(arguments), without self.
  const size_t start = signature.find('(') + 7, result = signature.rfind(" -> ");
  size_t end = signature.find(", "), next = end + 2;
  if (end >= signature.size()) next = end = signature.find(')');
  if (method.is_constructor && start < signature.size() && start < end && next < signature.size()) {
    text += signature.substr(start, end - start) + "(" + signature.substr(next, result - next);
  } else {
    text += signature;
  }
  text += "\n\nInvoked with: ";
  for (Py_ssize_t i = method.is_constructor ? 1 : 0; i < count; ++i) {
    text += (i > (method.is_constructor ? 1 : 0) ? ", " : "") + described(args[i]);
  }
  const Py_ssize_t named = keywords ? PyTuple_GET_SIZE(keywords) : 0;
  if (named > 0) text += std::string(count > (method.is_constructor ? 1 : 0) ? "; " : "") + "kwargs: ";
  for (Py_ssize_t i = 0; i < named; ++i) {
    text += (i ? ", " : "") + std::string(py::str(PyTuple_GET_ITEM(keywords, i))) + "=" + described(args[count + i]);
  }
  return text;
}

PyObject* call_or_refuse_briefly(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
  PyObject* const result = pybind11_entry(self, args, count, keywords);
  if (result != Py_NotImplemented) return result;
  Py_DECREF(result);
  // A conversion may have left an error, which becomes the refusal's cause.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  std::string message;
  try {
    message = refusal(*py::detail::function_record_ptr_from_PyObject(self), args, count, keywords);
  } catch (const py::error_already_set& error) {
    message = std::string("incompatible arguments (") + error.what() + ")";
  } catch (const std::exception& error) {
    message = std::string("incompatible arguments (") + error.what() + ")";
  }
  PyErr_Restore(type, value, traceback);
  if (PyErr_Occurred()) {
    py::raise_from(PyExc_TypeError, message.c_str());
  } else {
    PyErr_SetString(PyExc_TypeError, message.c_str());
  }
  return nullptr;
}

void refuse_briefly(const py::object& cls) {
  for (const auto item : py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict)) {
    const py::handle function = py::detail::get_function(item.second);
    if (!function || !PyCFunction_Check(function.ptr())) continue;
    py::detail::function_record* const record =
        py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()));
    if (!record) continue;
    PyMethodDef* const definition = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
    if (definition->ml_meth == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_or_refuse_briefly))) {
      continue;
    }
    record->is_operator = true;
    pybind11_entry = reinterpret_cast<entry_point>(reinterpret_cast<void (*)()>(definition->ml_meth));
    definition->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_or_refuse_briefly));
  }
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
  const auto cls = py::class_<Filter>(module, "bloomfilter")
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
           [](Filter& self, const py::bytes& bytedata, const size_argument& k, const size_argument& m) {
             const size_t bits_per_row = non_negative(k);
             const size_t bits = non_negative(m);
             initialised(self).restore(bits_per_row, bits, PyBytes_AS_STRING(bytedata.ptr()),
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
             const auto m = t[1].cast<size_argument>();
             const auto k = t[0].cast<size_argument>();
             // Converting the items ran Python code, which may have initialised
             // this instance meanwhile: it is then left as it is, as is any
             // initialised filter, whatever the rest of the state.
             if (constructed(self)) return;
             const size_t bits_per_row = non_negative(k);
             const size_t bits = non_negative(m);
             Filter filter;
             filter.configure(bits_per_row, bits);
             const state_image image{py::buffer(t[2])};
             filter.frombuffer(image.data(), image.size());
             new (&self) Filter(std::move(filter));
           })
      .def("union", [](Filter& self, const Filter& other) { initialised(self).insert(initialised(other)); })
      .def("intersect", [](Filter& self, const Filter& other) { initialised(self).intersect(initialised(other)); })
      .def("get_k", [](const Filter& self) { return initialised(self).k; })
      .def("get_m", [](const Filter& self) { return initialised(self).m; })
      .def("foz", [](const Filter& self) { return initialised(self).foz(); })
      .def("__reduce__", [](const Filter& self) { return reduction(self, false); })
      .def("__reduce_ex__", reduction_for);
  refuse_briefly(cls);
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
