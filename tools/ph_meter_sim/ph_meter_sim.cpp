// ph_meter_sim: a simulated pH meter, an OPC UA server on the loopback address.
//
//   ph_meter_sim [--port N] [--ph VALUE] [--temperature VALUE] [--edge-case-nodes]
//
// Serves, in namespace 2, the Double variables "RivevorOrAdori01.pH" (drifting slowly around 7
// with a little noise) and "RivevorOrAdori01.temperature" (around 25 degrees Celsius); --ph and
// --temperature fix a value instead. --edge-case-nodes adds variables of other shapes:
// "RivevorOrAdori01.phFloat" (Float 7.25), "RivevorOrAdori01.temperatureInt32" (Int32 25) and
// "RivevorOrAdori01.phArray" (Double array [7.0, 7.1]). Prints one line saying where it listens
// and runs until SIGINT or SIGTERM.
#include <open62541/plugin/log.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>

namespace {

constexpr const char* endpoint_path = "/DezedarIzIvovod";
constexpr UA_UInt16 namespace_index = 2;
// Fast enough that a reader at 10 readings per second sees a new value each time.
constexpr UA_Double update_interval_ms = 100.0;

volatile std::sig_atomic_t g_running = 1;

void stop_running(int) { g_running = 0; }

struct options {
  UA_UInt16 port = 4840;
  std::optional<double> fixed_ph;
  std::optional<double> fixed_temperature;
  bool edge_case_nodes = false;
};

// The state of the simulated probe, advanced by the server's repeated callback.
struct probe {
  std::optional<double> fixed_ph;
  std::optional<double> fixed_temperature;
  double ph_drift = 0.0;
  double temperature_drift = 0.0;
  std::mt19937_64 random{std::random_device{}()};
};

struct server_deleter {
  void operator()(UA_Server* server) const { UA_Server_delete(server); }
};

constexpr const char* usage =
    "usage: ph_meter_sim [--port N] [--ph VALUE] [--temperature VALUE] [--edge-case-nodes]\n";

[[noreturn]] void usage_error(const char* message, const char* argument) {
  std::fprintf(stderr, "ph_meter_sim: %s%s\n%s", message, argument, usage);
  std::exit(2);
}

double parse_number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0') {
    usage_error("not a number: ", text);
  }
  return value;
}

options parse_options(int argc, char** argv) {
  options parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--help" || argument == "-h") {
      std::fputs(usage, stdout);
      std::exit(0);
    } else if (argument == "--edge-case-nodes") {
      parsed.edge_case_nodes = true;
    } else if (argument == "--port" && has_value) {
      const double port = parse_number(argv[++i]);
      if (port < 1 || port > 65535 || port != static_cast<UA_UInt16>(port)) {
        usage_error("not a port number: ", argv[i]);
      }
      parsed.port = static_cast<UA_UInt16>(port);
    } else if (argument == "--ph" && has_value) {
      parsed.fixed_ph = parse_number(argv[++i]);
    } else if (argument == "--temperature" && has_value) {
      parsed.fixed_temperature = parse_number(argv[++i]);
    } else {
      usage_error("unknown or incomplete option: ", argv[i]);
    }
  }
  return parsed;
}

UA_NodeId probe_node(const char* name) {
  return UA_NODEID_STRING(namespace_index, const_cast<char*>(name));
}

UA_StatusCode add_variable(UA_Server* server, const char* node_name, const char* display_name,
                           const void* value, std::size_t length, const UA_DataType* type) {
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  UA_UInt32 array_length = static_cast<UA_UInt32>(length);
  if (length == 0) {
    UA_Variant_setScalar(&attributes.value, const_cast<void*>(value), type);
    attributes.valueRank = UA_VALUERANK_SCALAR;
  } else {
    UA_Variant_setArray(&attributes.value, const_cast<void*>(value), length, type);
    attributes.valueRank = UA_VALUERANK_ONE_DIMENSION;
    // An array variable must declare its dimensions, or the server refuses the node.
    attributes.arrayDimensions = &array_length;
    attributes.arrayDimensionsSize = 1;
  }
  attributes.dataType = type->typeId;
  attributes.displayName =
      UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>(display_name));
  attributes.accessLevel = UA_ACCESSLEVELMASK_READ;
  return UA_Server_addVariableNode(
      server, probe_node(node_name), probe_node("RivevorOrAdori01"),
      UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
      UA_QUALIFIEDNAME(namespace_index, const_cast<char*>(display_name)),
      UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes, nullptr, nullptr);
}

void write_double(UA_Server* server, const char* node_name, double value) {
  UA_Variant variant;
  UA_Variant_setScalar(&variant, &value, &UA_TYPES[UA_TYPES_DOUBLE]);
  UA_Server_writeValue(server, probe_node(node_name), variant);
}

// A mean-reverting random walk around the set point plus a little measurement noise: the
// readings wander over minutes, not from one reading to the next.
double next_reading(probe& state, double& drift, double set_point, double step, double noise) {
  std::normal_distribution<double> gaussian(0.0, 1.0);
  drift += -0.01 * drift + step * gaussian(state.random);
  return set_point + drift + noise * gaussian(state.random);
}

void update_readings(UA_Server* server, void* data) {
  probe& state = *static_cast<probe*>(data);
  write_double(
      server, "RivevorOrAdori01.pH",
      state.fixed_ph ? *state.fixed_ph : next_reading(state, state.ph_drift, 7.0, 0.004, 0.01));
  write_double(server, "RivevorOrAdori01.temperature",
               state.fixed_temperature
                   ? *state.fixed_temperature
                   : next_reading(state, state.temperature_drift, 25.0, 0.02, 0.03));
}

UA_StatusCode add_nodes(UA_Server* server, const options& chosen) {
  UA_ObjectAttributes object_attributes = UA_ObjectAttributes_default;
  object_attributes.displayName =
      UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>("RivevorOrAdori01"));
  UA_StatusCode status = UA_Server_addObjectNode(
      server, probe_node("RivevorOrAdori01"), UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
      UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
      UA_QUALIFIEDNAME(namespace_index, const_cast<char*>("RivevorOrAdori01")),
      UA_NODEID_NUMERIC(0, UA_NS0ID_BASEOBJECTTYPE), object_attributes, nullptr, nullptr);

  const UA_Double ph = chosen.fixed_ph.value_or(7.0);
  const UA_Double temperature = chosen.fixed_temperature.value_or(25.0);
  status |= add_variable(server, "RivevorOrAdori01.pH", "pH", &ph, 0, &UA_TYPES[UA_TYPES_DOUBLE]);
  status |= add_variable(server, "RivevorOrAdori01.temperature", "temperature", &temperature, 0,
                         &UA_TYPES[UA_TYPES_DOUBLE]);
  if (chosen.edge_case_nodes) {
    const UA_Float ph_float = 7.25f;
    const UA_Int32 temperature_int32 = 25;
    const UA_Double ph_array[] = {7.0, 7.1};
    status |= add_variable(server, "RivevorOrAdori01.phFloat", "phFloat", &ph_float, 0,
                           &UA_TYPES[UA_TYPES_FLOAT]);
    status |= add_variable(server, "RivevorOrAdori01.temperatureInt32", "temperatureInt32",
                           &temperature_int32, 0, &UA_TYPES[UA_TYPES_INT32]);
    status |= add_variable(server, "RivevorOrAdori01.phArray", "phArray", ph_array, 2,
                           &UA_TYPES[UA_TYPES_DOUBLE]);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const options chosen = parse_options(argc, argv);
  const std::string url =
      "opc.tcp://127.0.0.1:" + std::to_string(chosen.port) + std::string(endpoint_path);

  // The library logs nothing: the one line below is the simulator's whole output. The logger is
  // set before the defaults are applied, which keep a logger that is already there.
  static UA_Logger silent_logger = {nullptr, nullptr, nullptr};
  UA_ServerConfig config;
  std::memset(&config, 0, sizeof(config));
  config.logging = &silent_logger;
  if (UA_ServerConfig_setMinimal(&config, chosen.port, nullptr) != UA_STATUSCODE_GOOD) {
    std::fprintf(stderr, "ph_meter_sim: cannot configure the server\n");
    return 1;
  }
  // Listen on the loopback address only, and name the endpoint with its path.
  UA_Array_delete(config.serverUrls, config.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
  config.serverUrls = UA_String_new();
  *config.serverUrls = UA_STRING_ALLOC(url.c_str());
  config.serverUrlsSize = 1;

  std::unique_ptr<UA_Server, server_deleter> server(UA_Server_newWithConfig(&config));
  if (!server) {
    std::fprintf(stderr, "ph_meter_sim: cannot create the server\n");
    return 1;
  }
  if (UA_Server_addNamespace(server.get(), "urn:tarnwell:ph-meter-sim") != namespace_index ||
      add_nodes(server.get(), chosen) != UA_STATUSCODE_GOOD) {
    std::fprintf(stderr, "ph_meter_sim: cannot build the address space\n");
    return 1;
  }
  probe state{chosen.fixed_ph, chosen.fixed_temperature};
  update_readings(server.get(), &state);
  UA_Server_addRepeatedCallback(server.get(), update_readings, &state, update_interval_ms, nullptr);

  // No SA_RESTART: a signal ends the event loop's wait at once.
  struct sigaction action {};
  action.sa_handler = stop_running;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  if (UA_Server_run_startup(server.get()) != UA_STATUSCODE_GOOD) {
    std::fprintf(stderr, "ph_meter_sim: cannot listen on %s\n", url.c_str());
    return 1;
  }
  std::printf("ph_meter_sim: listening on %s\n", url.c_str());
  std::fflush(stdout);
  while (g_running) {
    UA_Server_run_iterate(server.get(), true);
  }
  UA_Server_run_shutdown(server.get());
  return 0;
}
