// _velmora: the OPC UA source of pH and temperature readings.
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/plugin/log.h>
#include <open62541/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "module_startup.h"
#include "payload_conversions.h"

namespace {

constexpr const char* default_endpoint = "opc.tcp://127.0.0.1:4840/DezedarIzIvovod";
constexpr const char* default_ph_node = "ns=2;s=RivevorOrAdori01.pH";
constexpr const char* default_temperature_node = "ns=2;s=RivevorOrAdori01.temperature";

struct client_deleter {
  void operator()(UA_Client* client) const { UA_Client_delete(client); }
};
using client_ptr = std::unique_ptr<UA_Client, client_deleter>;

// Releases the contents of an open62541 value that lives on the stack (UA_clear, no free).
template <std::size_t type_index>
struct value_clearer {
  void operator()(void* value) const { UA_clear(value, &UA_TYPES[type_index]); }
};
template <typename T, std::size_t type_index>
using cleared_on_exit = std::unique_ptr<T, value_clearer<type_index>>;

using clock = std::chrono::steady_clock;

// The library's default logger writes straight to file descriptor 1. The event loop keeps its
// own copy of the configuration's logger pointer, so the logger itself is emptied in place:
// replacing the pointer would leave the old logger printing (and leaked).
void silence_logging(UA_ClientConfig* config) {
  if (config->logging != nullptr) {
    config->logging->log = nullptr;
  }
}

// When the configured response timeout runs out; a timeout of 0 means none, as in the library.
clock::time_point deadline_after(UA_UInt32 timeout_ms) {
  return timeout_ms == 0 ? clock::time_point::max()
                         : clock::now() + std::chrono::milliseconds(timeout_ms);
}

// What is left until the deadline, as an event-loop wait in milliseconds.
UA_UInt32 remaining_ms(clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
  return static_cast<UA_UInt32>(
      std::clamp<decltype(left)>(left, 0, std::numeric_limits<UA_UInt32>::max()));
}

// One turn of the event loop that may wait, then one that does not: a closed socket is seen in
// the first turn but its close runs as a delayed callback, which the second turn executes at
// once instead of on the client's next 1 s housekeeping timer.
void run_event_loop(UA_Client* client, clock::time_point deadline) {
  UA_Client_run_iterate(client, remaining_ms(deadline));
  UA_Client_run_iterate(client, 0);
}

// The blocking connect's exchange, driven without its idle waits: Good once the session is
// activated; the client's bad status when it gives up; BadTimeout when the configured response
// timeout passes first, as the blocking connect would.
UA_StatusCode connect_session(UA_Client* client, const std::string& endpoint) {
  const UA_UInt32 timeout_ms = UA_Client_getConfig(client)->timeout;
  UA_StatusCode status = UA_Client_connectAsync(client, endpoint.c_str());
  if (status != UA_STATUSCODE_GOOD) {
    return status;
  }
  const clock::time_point deadline = deadline_after(timeout_ms);
  for (;;) {
    UA_SessionState session_state = UA_SESSIONSTATE_CLOSED;
    UA_Client_getState(client, nullptr, &session_state, &status);
    if (status != UA_STATUSCODE_GOOD) {
      return status;
    }
    if (session_state == UA_SESSIONSTATE_ACTIVATED) {
      return UA_STATUSCODE_GOOD;
    }
    if (clock::now() >= deadline) {
      return UA_STATUSCODE_BADTIMEOUT;
    }
    run_event_loop(client, deadline);
  }
}

// Closes the session (the server's session table must not fill up), then the secure channel
// and the socket, waiting no longer than the configured timeout. The outcome is not looked at.
void disconnect_session(UA_Client* client) {
  const UA_UInt32 timeout_ms = UA_Client_getConfig(client)->timeout;
  if (UA_Client_disconnectAsync(client) != UA_STATUSCODE_GOOD) {
    return;
  }
  const clock::time_point deadline = deadline_after(timeout_ms);
  for (;;) {
    UA_SecureChannelState channel_state = UA_SECURECHANNELSTATE_CLOSED;
    UA_SessionState session_state = UA_SESSIONSTATE_CLOSED;
    UA_Client_getState(client, &channel_state, &session_state, nullptr);
    if (channel_state == UA_SECURECHANNELSTATE_CLOSED && session_state == UA_SESSIONSTATE_CLOSED) {
      return;
    }
    if (clock::now() >= deadline) {
      return;
    }
    run_event_loop(client, deadline);
  }
}

std::string str_or_default(const pybind11::dict& payload, const char* key,
                           const std::string& default_value) {
  if (pybind11::object value = payload::find(payload, key)) {
    return payload::to_string(value);
  }
  return default_value;
}

double read_double(UA_Client* client, const std::string& node_id_text) {
  constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

  UA_NodeId node_id = UA_NODEID_NULL;
  cleared_on_exit<UA_NodeId, UA_TYPES_NODEID> node_id_owner(&node_id);
  // The text with its length, so that a null byte inside it is parsed (and refused) rather than
  // ending the text early and naming another node.
  const UA_String text{node_id_text.size(),
                       reinterpret_cast<UA_Byte*>(const_cast<char*>(node_id_text.data()))};
  const UA_StatusCode status = UA_NodeId_parse(&node_id, text);
  if (status != UA_STATUSCODE_GOOD) {
    return not_a_number;
  }

  UA_Variant value;
  UA_Variant_init(&value);
  cleared_on_exit<UA_Variant, UA_TYPES_VARIANT> value_owner(&value);
  const UA_StatusCode read_status = UA_Client_readValueAttribute(client, node_id, &value);
  node_id_owner.reset();
  if (read_status != UA_STATUSCODE_GOOD) {
    return not_a_number;
  }
  if (UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_DOUBLE])) {
    return *static_cast<const UA_Double*>(value.data);
  }
  if (UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_FLOAT])) {
    return static_cast<double>(*static_cast<const UA_Float*>(value.data));
  }
  return not_a_number;
}

// "values", else "sampleChunk", as samples; a value that does not convert counts as absent.
std::vector<double> earlier_samples(const pybind11::dict& payload) {
  for (const char* key : {"values", "sampleChunk"}) {
    if (pybind11::object value = payload::find(payload, key)) {
      try {
        return payload::to_double_vector(value);
      } catch (const pybind11::cast_error&) {
      }
    }
  }
  return {};
}

void opcua_ph_source_op(pipeline::Data& data) {
  pybind11::dict payload = data.payload;
  const std::string endpoint = str_or_default(payload, "endpoint", default_endpoint);
  const std::string ph_node = str_or_default(payload, "phNode", default_ph_node);
  const std::string temperature_node =
      str_or_default(payload, "temperatureNode", default_temperature_node);

  double ph = 0.0;
  double temperature = 0.0;
  {
    // The client lives only in this block: it is deleted on every path before any Python
    // object is made, so no Python error can leave it behind.
    client_ptr client(UA_Client_new());
    UA_ClientConfig* config = UA_Client_getConfig(client.get());
    UA_ClientConfig_setDefault(config);
    silence_logging(config);
    // The library takes the endpoint as a C string: one with a null byte inside would be cut
    // there and another endpoint reached than the one named.
    if (endpoint.find('\0') != std::string::npos ||
        connect_session(client.get(), endpoint) != UA_STATUSCODE_GOOD) {
      client.reset();
      throw std::runtime_error("opcua_ph_source_op: connect failed for endpoint " + endpoint);
    }
    ph = read_double(client.get(), ph_node);
    temperature = read_double(client.get(), temperature_node);
    disconnect_session(client.get());
  }

  pybind11::dict sample;
  payload::store(sample, "pH", pybind11::float_(ph));
  payload::store(sample, "temperature", pybind11::float_(temperature));
  payload::store(sample, "timestamp", Py_None);
  payload::store(payload, "opcua_sample", sample);

  std::vector<double> samples = earlier_samples(payload);
  samples.push_back(ph);
  payload::store(payload, "values", payload::to_float_list(samples));
}

}  // namespace

PYBIND11_MODULE(_velmora, module) {
  startup::start_ops_module(module, "C++ OPC UA corrivan ops for tarnwell (requires open62541)",
                            {
                                {"opcua_ph_source", opcua_ph_source_op},
                            });
}
