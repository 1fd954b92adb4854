#include "payload_conversions.h"

#include <pybind11/stl.h>

#include <cstring>
#include <limits>
#include <utility>

namespace payload {
namespace {

std::string type_name(pybind11::handle value) { return Py_TYPE(value.ptr())->tp_name; }

[[noreturn]] void refuse(pybind11::handle value, const char* wanted) {
  throw pybind11::cast_error("cannot convert a value of type '" + type_name(value) + "' to " +
                             wanted);
}

template <typename Value>
Value load_with_caster(pybind11::handle value, const char* wanted) {
  pybind11::detail::make_caster<Value> caster;
  if (!caster.load(value, /*convert=*/true)) {
    refuse(value, wanted);
  }
  return pybind11::detail::cast_op<Value>(std::move(caster));
}

// Exact floats and ints convert without running Python code, so a list or tuple made only of
// them is read straight from its item array. Anything else takes the general path, from the
// start, so that the result is the same either way.
bool read_exact_numbers(PyObject* sequence, std::vector<double>& out) {
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
  PyObject** items = PySequence_Fast_ITEMS(sequence);
  // Reserved, not resized: zero-filling first would write the whole array twice.
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = items[i];
    if (PyFloat_CheckExact(item)) {
      out.push_back(PyFloat_AS_DOUBLE(item));
    } else if (PyLong_CheckExact(item)) {
      const double number = PyLong_AsDouble(item);
      if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      out.push_back(number);
    } else {
      return false;
    }
  }
  return true;
}

// The payload keys as interned str objects, made once and kept for the life of the process:
// a lookup then costs neither a new str nor hashing one. The ops use a few dozen keys at most,
// all called with the interpreter lock held. The table is never destroyed: destroying it at exit
// would drop the only pointers to key objects that the interpreter no longer references, which
// the leak checker then reports as leaks of ours.
PyObject* key_object(const char* key) {
  static auto& keys = *new std::vector<std::pair<std::string, PyObject*>>();
  const std::size_t length = std::strlen(key);
  for (const auto& [text, object] : keys) {
    if (text.size() == length && std::memcmp(text.data(), key, length) == 0) {
      return object;
    }
  }
  PyObject* object = PyUnicode_InternFromString(key);
  if (object == nullptr) {
    throw pybind11::error_already_set();
  }
  keys.emplace_back(key, object);
  return object;
}

}  // namespace

pybind11::object find(const pybind11::dict& payload, const char* key) {
  PyObject* value = PyDict_GetItemWithError(payload.ptr(), key_object(key));
  if (value == nullptr && PyErr_Occurred()) {
    throw pybind11::error_already_set();
  }
  return pybind11::reinterpret_borrow<pybind11::object>(value);
}

void store(const pybind11::dict& payload, const char* key, pybind11::handle value) {
  if (PyObject_SetItem(payload.ptr(), key_object(key), value.ptr()) != 0) {
    throw pybind11::error_already_set();
  }
}

std::string to_string(pybind11::handle value) {
  PyObject* object = value.ptr();
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      throw pybind11::cast_error("cannot convert a str that is not valid Unicode to UTF-8");
    }
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  if (PyBytes_Check(object)) {
    return std::string(PyBytes_AS_STRING(object),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  }
  if (PyByteArray_Check(object)) {
    return std::string(PyByteArray_AS_STRING(object),
                       static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
  }
  refuse(value, "a string (str, bytes or bytearray)");
}

double to_double(pybind11::handle value) {
  if (PyFloat_CheckExact(value.ptr())) {
    return PyFloat_AS_DOUBLE(value.ptr());
  }
  return load_with_caster<double>(value, "a number");
}

// An exact int within the width converts without running Python code; anything else, and any
// failure here, takes the caster's path, which gives the result or the refusal.
template <typename Integer>
bool exact_int(pybind11::handle value, Integer& out) {
  if (!PyLong_CheckExact(value.ptr())) {
    return false;
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (number == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (overflow != 0 || number < std::numeric_limits<Integer>::min() ||
      number > std::numeric_limits<Integer>::max()) {
    return false;
  }
  out = static_cast<Integer>(number);
  return true;
}

std::int32_t to_int32(pybind11::handle value) {
  std::int32_t number = 0;
  if (exact_int(value, number)) {
    return number;
  }
  return load_with_caster<std::int32_t>(value, "a 32-bit integer");
}

std::int64_t to_int64(pybind11::handle value) {
  std::int64_t number = 0;
  if (exact_int(value, number)) {
    return number;
  }
  return load_with_caster<std::int64_t>(value, "a 64-bit integer");
}

std::vector<double> to_double_vector(pybind11::handle value) {
  if (PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr())) {
    std::vector<double> numbers;
    if (read_exact_numbers(value.ptr(), numbers)) {
      return numbers;
    }
  }
  return load_with_caster<std::vector<double>>(value, "a sequence of numbers");
}

pybind11::list to_float_list(const std::vector<double>& values) {
  pybind11::list list(values.size());
  PyObject* list_object = list.ptr();
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (number == nullptr) {
      throw pybind11::error_already_set();
    }
    PyList_SET_ITEM(list_object, static_cast<Py_ssize_t>(i), number);
  }
  return list;
}

pybind11::str to_str(std::string_view utf8) {
  PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  if (text == nullptr) {
    throw pybind11::error_already_set();
  }
  return pybind11::reinterpret_steal<pybind11::str>(text);
}

}  // namespace payload
