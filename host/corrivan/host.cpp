// corrivan._host: the op table and the calls into ops.
#include <pybind11/stl.h>

#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline.h"

namespace {

struct registered_op {
  std::string name;
  pipeline::op_function function;
};

// Both live as long as the process: an op module, once started, is never unloaded.
std::vector<registered_op> g_ops;
std::vector<std::string> g_registrations;

extern "C" void register_op_c_api(const char* name, pipeline::op_function op) {
  g_registrations.emplace_back(name);
  for (registered_op& entry : g_ops) {
    if (entry.name == name) {
      entry.function = op;  // a second registration replaces the op and keeps its place
      return;
    }
  }
  g_ops.push_back({name, op});
}

// The op registered under `name`, or nullptr with KeyError set.
pipeline::op_function find_op(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "op name must be str, not %.200s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 != nullptr) {
    const std::string_view wanted(utf8, static_cast<std::size_t>(size));
    for (const registered_op& entry : g_ops) {
      if (entry.name == wanted) {
        return entry.function;
      }
    }
  }
  PyErr_Clear();
  PyErr_SetObject(PyExc_KeyError, name);
  return nullptr;
}

bool check_payload(PyObject* payload) {
  if (PyDict_Check(payload)) {
    return true;
  }
  PyErr_Format(PyExc_TypeError, "payload must be a dict, not %.200s", Py_TYPE(payload)->tp_name);
  return false;
}

// Sets the Python error that stands for the C++ exception in flight.
void set_error_from_exception() {
  try {
    throw;
  } catch (pybind11::error_already_set& error) {
    error.restore();
  } catch (const pybind11::cast_error& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::filesystem::filesystem_error& error) {
    const std::string message = error.code().message();
    const std::string path = error.path1().string();
    PyObject* filename =
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (filename != nullptr) {
      PyObject* value = Py_BuildValue("(isN)", error.code().value(), message.c_str(), filename);
      if (value != nullptr) {
        PyErr_SetObject(PyExc_OSError, value);
        Py_DECREF(value);
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

// Runs one op on the record; false with a Python error set when it throws.
bool run_op(pipeline::op_function op, pipeline::Data& data) {
  try {
    op(data);
    return true;
  } catch (...) {
    set_error_from_exception();
    return false;
  }
}

PyObject* payload_of(const pipeline::Data& data) {
  return pybind11::object(data.payload).release().ptr();
}

// call(op, payload): runs one op on the dict and returns the dict the record holds afterwards.
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "call() takes 2 arguments (op, payload), %zd given", nargs);
    return nullptr;
  }
  pipeline::op_function op = find_op(args[0]);
  if (op == nullptr || !check_payload(args[1])) {
    return nullptr;
  }
  pipeline::Data data{pybind11::reinterpret_borrow<pybind11::dict>(args[1])};
  return run_op(op, data) ? payload_of(data) : nullptr;
}

// run(ops, payload): checks every name, then runs the ops in order on one record.
PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "run() takes 2 arguments (ops, payload), %zd given", nargs);
    return nullptr;
  }
  if (!PyList_Check(args[0]) && !PyTuple_Check(args[0])) {
    PyErr_Format(PyExc_TypeError, "ops must be a list of op names, not %.200s",
                 Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  if (!check_payload(args[1])) {
    return nullptr;
  }
  // A tuple copy keeps the names fixed even if an op changes the caller's list.
  pybind11::tuple names = pybind11::reinterpret_steal<pybind11::tuple>(PySequence_Tuple(args[0]));
  if (!names) {
    return nullptr;
  }
  std::vector<pipeline::op_function> ops;
  ops.reserve(names.size());
  for (pybind11::handle name : names) {
    pipeline::op_function op = find_op(name.ptr());
    if (op == nullptr) {
      return nullptr;
    }
    ops.push_back(op);
  }
  pipeline::Data data{pybind11::reinterpret_borrow<pybind11::dict>(args[1])};
  for (pipeline::op_function op : ops) {
    if (!run_op(op, data)) {
      return nullptr;
    }
  }
  return payload_of(data);
}

PyMethodDef g_call_methods[] = {
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL,
     "call(op, payload) -> payload\n\nRuns the op registered as `op` on the dict `payload`."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     "run(ops, payload) -> payload\n\nRuns the named ops in order on one record."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PYBIND11_MODULE(_host, module) {
  module.doc() = "The corrivan host's op table.";
  module.add_object("_register_op_capsule",
                    pybind11::capsule(reinterpret_cast<void*>(&register_op_c_api),
                                      pipeline::register_op_capsule_name));
  for (PyMethodDef* method = g_call_methods; method->ml_name != nullptr; ++method) {
    module.add_object(method->ml_name,
                      pybind11::reinterpret_steal<pybind11::object>(
                          PyCFunction_NewEx(method, nullptr, module.attr("__name__").ptr())));
  }
  module.def(
      "ops",
      [] {
        std::vector<std::string> names;
        for (const registered_op& entry : g_ops) {
          names.push_back(entry.name);
        }
        return names;
      },
      "The registered op names, in order of first registration.");
  module.def(
      "registrations", [] { return g_registrations; },
      "Every registration so far, as a list of names in call order.");
}
