// The start-up that every op module shares: each module supplies its docstring and op table.
#pragma once

#include <initializer_list>

#include "pipeline.h"

namespace startup {

struct op_entry {
  const char* name;
  pipeline::op_function function;
};

enum class interpreter_lock {
  as_held,         // the import already holds it: take nothing
  acquire_scoped,  // take it explicitly around the host import and the registrations
};

// The body of a module's execution step: sets the docstring, fetches register_op_c_api from
// the host's capsule and registers each op in table order. Failures leave as exceptions, which
// the module definition turns into ImportError.
void start_ops_module(pybind11::module_& module, const char* docstring,
                      std::initializer_list<op_entry> ops,
                      interpreter_lock lock = interpreter_lock::as_held);

}  // namespace startup
