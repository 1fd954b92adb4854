#include "module_startup.h"

#include <optional>
#include <stdexcept>

namespace startup {
namespace {

void register_with_host(std::initializer_list<op_entry> ops) {
  pybind11::object host = pybind11::module_::import("corrivan");
  pybind11::object capsule = host.attr("_register_op_capsule");
  auto register_op = reinterpret_cast<pipeline::register_op_function>(
      PyCapsule_GetPointer(capsule.ptr(), pipeline::register_op_capsule_name));
  if (register_op == nullptr) {
    // The capsule lookup's own error is replaced by ours, not chained to it.
    PyErr_Clear();
    throw std::runtime_error("Failed to obtain register_op_c_api from corrivan capsule");
  }
  for (const op_entry& op : ops) {
    register_op(op.name, op.function);
  }
}

}  // namespace

void start_ops_module(pybind11::module_& module, const char* docstring,
                      std::initializer_list<op_entry> ops, interpreter_lock lock) {
  module.doc() = docstring;
  std::optional<pybind11::gil_scoped_acquire> held_lock;
  if (lock == interpreter_lock::acquire_scoped) {
    held_lock.emplace();
  }
  register_with_host(ops);
}

}  // namespace startup
