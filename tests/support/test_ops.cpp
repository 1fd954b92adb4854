// _test_ops: test-only ops. Some throw each kind of exception an op may throw; "convert" runs
// one payload value conversion so that the conversions can be tested value by value.
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "module_startup.h"
#include "payload_conversions.h"

namespace {

void raise_python_error_op(pipeline::Data& data) {
  // Runs the payload's "callable", whose Python exception must reach the caller as it was.
  data.payload["callable"]();
}

void raise_cast_error_op(pipeline::Data&) { throw pybind11::cast_error("cast refused"); }

void raise_invalid_argument_op(pipeline::Data&) { throw std::invalid_argument("bad argument"); }

void raise_filesystem_error_op(pipeline::Data&) {
  throw std::filesystem::filesystem_error("cannot get file size", std::filesystem::path("/no/such"),
                                          std::make_error_code(std::errc::is_a_directory));
}

void raise_bad_alloc_op(pipeline::Data&) { throw std::bad_alloc(); }

void raise_runtime_error_op(pipeline::Data&) { throw std::runtime_error("runtime failure"); }

void raise_length_error_op(pipeline::Data&) { throw std::length_error("too long"); }

void raise_unknown_op(pipeline::Data&) { throw 42; }

void write_then_raise_op(pipeline::Data& data) {
  data.payload["written"] = true;
  throw std::runtime_error("after writing");
}

void replace_payload_op(pipeline::Data& data) {
  pybind11::dict replacement;
  replacement["replaced"] = true;
  data.payload = replacement;
}

void noop_op(pipeline::Data&) {}

// payload["result"] := the conversion named by payload["kind"] of payload["value"].
void convert_op(pipeline::Data& data) {
  const std::string kind = payload::to_string(data.payload["kind"]);
  pybind11::handle value = data.payload["value"];
  pybind11::object result;
  if (kind == "string") {
    result = pybind11::bytes(payload::to_string(value));
  } else if (kind == "number") {
    result = pybind11::float_(payload::to_double(value));
  } else if (kind == "int32") {
    result = pybind11::int_(payload::to_int32(value));
  } else if (kind == "int64") {
    result = pybind11::int_(payload::to_int64(value));
  } else if (kind == "sequence") {
    result = payload::to_float_list(payload::to_double_vector(value));
  } else {
    throw std::invalid_argument("unknown conversion: " + kind);
  }
  data.payload["result"] = result;
}

}  // namespace

PYBIND11_MODULE(_test_ops, module) {
  startup::start_ops_module(module, "Test-only ops.",
                            {
                                {"raise_python_error", raise_python_error_op},
                                {"raise_cast_error", raise_cast_error_op},
                                {"raise_invalid_argument", raise_invalid_argument_op},
                                {"raise_filesystem_error", raise_filesystem_error_op},
                                {"raise_bad_alloc", raise_bad_alloc_op},
                                {"raise_runtime_error", raise_runtime_error_op},
                                {"raise_length_error", raise_length_error_op},
                                {"raise_unknown", raise_unknown_op},
                                {"write_then_raise", write_then_raise_op},
                                {"replace_payload", replace_payload_op},
                                {"noop", noop_op},
                                {"convert", convert_op},
                                // Registered twice: the second function replaces the first.
                                {"duplicate", raise_unknown_op},
                                {"duplicate", noop_op},
                            });
}
