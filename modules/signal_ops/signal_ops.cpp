// _kelvara: the signal ops (sliding windows of samples).
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fifo_store.h"
#include "module_startup.h"
#include "payload_conversions.h"

namespace {

// One payload value as samples: a sequence of numbers, else a single number, else nothing.
std::vector<double> to_double_list(pybind11::handle value) {
  if (!value || value.is_none()) {
    return {};
  }
  try {
    return payload::to_double_vector(value);
  } catch (const pybind11::cast_error&) {
  }
  try {
    return {payload::to_double(value)};
  } catch (const pybind11::cast_error&) {
    return {};
  }
}

// The samples under the first of `keys` that the payload contains; later keys are not looked
// at, even when that value gives no samples.
std::vector<double> values_from_payload(pybind11::dict payload,
                                        std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (pybind11::object value = payload::find(payload, key)) {
      return to_double_list(value);
    }
  }
  return {};
}

// "windowSize", else "window_size", as a 32-bit integer; a refusal or a negative value means 0
// (no limit).
std::size_t window_size_from_payload(const pybind11::dict& payload) {
  pybind11::object value = payload::find(payload, "windowSize");
  if (!value) {
    value = payload::find(payload, "window_size");
  }
  if (!value) {
    return 0;
  }
  try {
    return static_cast<std::size_t>(std::max<std::int32_t>(payload::to_int32(value), 0));
  } catch (const pybind11::cast_error&) {
    return 0;
  }
}

void fifo_window_buffer_op(pipeline::Data& data) {
  pybind11::dict payload = data.payload;
  const std::vector<double> samples =
      values_from_payload(payload, {"sampleChunk", "values", "data"});
  const std::size_t window_size = window_size_from_payload(payload);
  pybind11::object fifo_id_value = payload::find(payload, "fifoId");
  const std::string fifo_id = fifo_id_value ? payload::to_string(fifo_id_value) : "default";
  const std::vector<double> window = tarnwell::fifo_window_buffer(samples, window_size, fifo_id);
  payload["window"] = payload::to_float_list(window);
}

}  // namespace

PYBIND11_MODULE(_kelvara, module) {
  startup::start_ops_module(module, "C++ corrivan ops for tarnwell (register_cpp_op via capsule)",
                            {
                                {"fifo_window_buffer", fifo_window_buffer_op},
                            });
}
