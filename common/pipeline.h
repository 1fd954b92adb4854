// The contract between the corrivan host and the op modules.
#pragma once

#include <pybind11/pybind11.h>

namespace pipeline {

// The record the host hands to every op. Ops read and write `payload` in place.
struct Data {
  pybind11::dict payload;
};

using op_function = void (*)(Data&);

// The function the host keeps in its capsule; ops register themselves through it.
using register_op_function = void (*)(const char* name, op_function op);

inline constexpr const char* register_op_capsule_name = "corrivan.register_op_v1";

}  // namespace pipeline
