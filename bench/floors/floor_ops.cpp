// _bench_floors: the least work an op of each kind must do, as ops run through the same host,
// so that bench/run.py can set every op's time beside what no implementation can go below.
// Built with the tests, never installed.
#include <fcntl.h>
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/plugin/log.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "duckdb.hpp"
#include "module_startup.h"
#include "payload_conversions.h"

namespace {

// Keeps the compiler from dropping work whose result is not used.
template <typename T>
void keep(T* pointer) {
  asm volatile("" : : "r"(pointer) : "memory");
}

PyObject* required(const pipeline::Data& data, const char* key) {
  pybind11::object value = payload::find(data.payload, key);
  if (!value) {
    throw std::invalid_argument(std::string("floor op needs payload['") + key + "']");
  }
  return value.ptr();  // borrowed: the payload keeps it alive
}

// The call itself: the host's dispatch and the record around the payload.
void empty_op(pipeline::Data&) {}

// "values" (an exact list of exact floats) into a std::vector<double>: one allocation, no
// zero-filling, one pass over the item array.
std::vector<double> read_floats(const pipeline::Data& data) {
  PyObject* list = required(data, "values");
  if (!PyList_CheckExact(list)) {
    throw pybind11::cast_error("floor op reads an exact list");
  }
  const Py_ssize_t size = PyList_GET_SIZE(list);
  PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
  std::vector<double> numbers;
  numbers.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = items[i];
    if (!PyFloat_CheckExact(item)) {
      throw pybind11::cast_error("floor op reads exact floats");
    }
    numbers.push_back(PyFloat_AS_DOUBLE(item));
  }
  return numbers;
}

void read_floats_op(pipeline::Data& data) {
  std::vector<double> numbers = read_floats(data);
  keep(numbers.data());
}

void run_statement(duckdb::Connection& connection, const std::string& statement) {
  if (const auto result = connection.Query(statement); result->HasError()) {
    throw std::runtime_error(result->GetError());
  }
}

// The read floor, then those samples stored as rows (index, sample, 1) into the table
// "floor_rows" in one transaction: open, CREATE, whole vectors of rows through the appender,
// COMMIT, close. What DuckDB itself needs to store the rows, with no Python in the way.
void duckdb_store_op(pipeline::Data& data) {
  std::vector<double> samples = read_floats(data);
  duckdb::DuckDB database(payload::to_string(required(data, "duckdb_path")), nullptr);
  duckdb::Connection connection(database);
  run_statement(connection, "BEGIN TRANSACTION");
  run_statement(
      connection,
      "CREATE TABLE IF NOT EXISTS floor_rows (idx BIGINT, value DOUBLE, sample_id BIGINT)");
  {
    duckdb::Appender appender(connection, "floor_rows");
    duckdb::DataChunk chunk;
    chunk.Initialize(duckdb::Allocator::DefaultAllocator(), appender.GetActiveTypes());
    for (std::size_t start = 0; start < samples.size(); start += STANDARD_VECTOR_SIZE) {
      const std::size_t count = std::min<std::size_t>(STANDARD_VECTOR_SIZE, samples.size() - start);
      chunk.Reset();
      auto* indexes = duckdb::FlatVector::GetData<std::int64_t>(chunk.data[0]);
      auto* values = duckdb::FlatVector::GetData<double>(chunk.data[1]);
      auto* ids = duckdb::FlatVector::GetData<std::int64_t>(chunk.data[2]);
      for (std::size_t i = 0; i < count; ++i) {
        indexes[i] = static_cast<std::int64_t>(start + i);
        values[i] = samples[start + i];
        ids[i] = 1;
      }
      chunk.SetCardinality(count);
      appender.AppendDataChunk(chunk);
    }
    appender.Close();
  }
  run_statement(connection, "COMMIT");
}

// A new list of "n" floats stored as "window": the objects any op returning samples must make.
void build_floats_op(pipeline::Data& data) {
  const Py_ssize_t size = PyLong_AsSsize_t(required(data, "n"));
  if (size < 0) {
    throw pybind11::error_already_set();
  }
  static std::vector<double> source;
  for (std::size_t i = source.size(); i < static_cast<std::size_t>(size); ++i) {
    source.push_back(6.0 + static_cast<double>(i % 2000) * 0.001);
  }
  PyObject* list = PyList_New(size);
  if (list == nullptr) {
    throw pybind11::error_already_set();
  }
  const pybind11::object owner = pybind11::reinterpret_steal<pybind11::object>(list);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* number = PyFloat_FromDouble(source[static_cast<std::size_t>(i)]);
    if (number == nullptr) {
      throw pybind11::error_already_set();
    }
    PyList_SET_ITEM(list, i, number);
  }
  payload::store(data.payload, "window", owner);
}

// open + append + close of "line" to "csvPath" with POSIX calls.
void append_line_op(pipeline::Data& data) {
  const char* path = PyUnicode_AsUTF8(required(data, "csvPath"));
  Py_ssize_t length = 0;
  const char* line = PyUnicode_AsUTF8AndSize(required(data, "line"), &length);
  if (path == nullptr || line == nullptr) {
    throw pybind11::error_already_set();
  }
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw std::runtime_error("floor op cannot open the file");
  }
  const ssize_t written = ::write(fd, line, static_cast<std::size_t>(length));
  if (::close(fd) != 0 || written != length) {
    throw std::runtime_error("floor op cannot write the file");
  }
}

std::string path_of(const pipeline::Data& data) {
  return payload::to_string(required(data, "duckdb_path"));
}

// duckdb::DuckDB open and close of "duckdb_path", nothing else.
void duckdb_open_close_op(pipeline::Data& data) { duckdb::DuckDB database(path_of(data), nullptr); }

// Open, the SQL texts of "statements" (a list of str) in order, close: the least a statement-based
// op pays for its effect on the file.
void duckdb_statements_op(pipeline::Data& data) {
  std::vector<std::string> statements;
  for (pybind11::handle statement :
       pybind11::reinterpret_borrow<pybind11::list>(required(data, "statements"))) {
    statements.push_back(
        payload::to_string(pybind11::reinterpret_borrow<pybind11::object>(statement)));
  }
  duckdb::DuckDB database(path_of(data), nullptr);
  duckdb::Connection connection(database);
  for (const std::string& statement : statements) {
    run_statement(connection, statement);
  }
}

// The Python side of the window op with one new sample, and nothing else: the payload keys it
// reads ("sampleChunk" absent, "values", "windowSize", "fifoId"), the sample, the size and the
// id read in place, and a new list of the window's `windowSize` floats (objects kept between
// calls) stored as "window".
void window_python_side_op(pipeline::Data& data) {
  static std::vector<PyObject*> kept;
  const pybind11::dict& payload = data.payload;
  if (payload::find(payload, "sampleChunk")) {
    throw std::invalid_argument("floor op reads \"values\"");
  }
  PyObject* values = required(data, "values");
  PyObject* size_object = required(data, "windowSize");
  PyObject* id = required(data, "fifoId");
  Py_ssize_t id_length = 0;
  if (!PyList_CheckExact(values) || PyList_GET_SIZE(values) != 1 ||
      !PyFloat_CheckExact(PyList_GET_ITEM(values, 0)) || !PyLong_CheckExact(size_object) ||
      PyUnicode_AsUTF8AndSize(id, &id_length) == nullptr) {
    throw pybind11::cast_error("floor op reads one exact float, an int and a str");
  }
  PyObject* sample = PyList_GET_ITEM(values, 0);
  const long size = PyLong_AsLong(size_object);
  keep(&id_length);
  if (kept.size() != static_cast<std::size_t>(size)) {
    kept.assign(static_cast<std::size_t>(size), sample);
    for (PyObject* object : kept) {
      Py_INCREF(object);  // kept for the life of the process
    }
  }
  PyObject* list = PyList_New(size);
  if (list == nullptr) {
    throw pybind11::error_already_set();
  }
  const pybind11::object owner = pybind11::reinterpret_steal<pybind11::object>(list);
  for (long i = 0; i < size; ++i) {
    Py_INCREF(kept[static_cast<std::size_t>(i)]);
    PyList_SET_ITEM(list, i, kept[static_cast<std::size_t>(i)]);
  }
  payload::store(payload, "window", owner);
}

// ---- OPC UA: one client made once and kept, so that a call pays for the exchange alone.

using clock = std::chrono::steady_clock;
constexpr auto timeout = std::chrono::seconds(5);

void iterate(UA_Client* client) {
  UA_Client_run_iterate(client, 5);
  UA_Client_run_iterate(client, 0);
}

UA_Client* warm_client() {
  static UA_Client* client = [] {
    UA_Client* made = UA_Client_new();
    UA_ClientConfig* config = UA_Client_getConfig(made);
    UA_ClientConfig_setDefault(config);
    if (config->logging != nullptr) {
      config->logging->log = nullptr;
    }
    return made;
  }();
  return client;
}

void connect(UA_Client* client, const std::string& endpoint) {
  if (UA_Client_connectAsync(client, endpoint.c_str()) != UA_STATUSCODE_GOOD) {
    throw std::runtime_error("floor op: connect failed");
  }
  const auto deadline = clock::now() + timeout;
  for (;;) {
    UA_SessionState session = UA_SESSIONSTATE_CLOSED;
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    UA_Client_getState(client, nullptr, &session, &status);
    if (status != UA_STATUSCODE_GOOD || clock::now() > deadline) {
      throw std::runtime_error("floor op: connect failed");
    }
    if (session == UA_SESSIONSTATE_ACTIVATED) {
      return;
    }
    iterate(client);
  }
}

void disconnect(UA_Client* client) {
  if (UA_Client_disconnectAsync(client) != UA_STATUSCODE_GOOD) {
    return;
  }
  const auto deadline = clock::now() + timeout;
  for (;;) {
    UA_SecureChannelState channel = UA_SECURECHANNELSTATE_CLOSED;
    UA_SessionState session = UA_SESSIONSTATE_CLOSED;
    UA_Client_getState(client, &channel, &session, nullptr);
    if ((channel == UA_SECURECHANNELSTATE_CLOSED && session == UA_SESSIONSTATE_CLOSED) ||
        clock::now() > deadline) {
      return;
    }
    iterate(client);
  }
}

double read_value(UA_Client* client, const char* node) {
  UA_Variant value;
  UA_Variant_init(&value);
  const UA_StatusCode status =
      UA_Client_readValueAttribute(client, UA_NODEID_STRING(2, const_cast<char*>(node)), &value);
  double number = 0.0;
  if (status == UA_STATUSCODE_GOOD &&
      UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_DOUBLE])) {
    number = *static_cast<const double*>(value.data);
  }
  UA_Variant_clear(&value);
  if (status != UA_STATUSCODE_GOOD) {
    throw std::runtime_error("floor op: read failed");
  }
  return number;
}

// Connect, two reads, disconnect on the kept client: the exchange of the source op without
// making and deleting a client.
void opcua_cycle_op(pipeline::Data& data) {
  UA_Client* client = warm_client();
  connect(client, payload::to_string(required(data, "endpoint")));
  double numbers[2] = {read_value(client, "RivevorOrAdori01.pH"),
                       read_value(client, "RivevorOrAdori01.temperature")};
  keep(numbers);
  disconnect(client);
}

// One read on a session that stays open between calls: a single request's round trip.
void opcua_read_op(pipeline::Data& data) {
  UA_Client* client = warm_client();
  UA_SessionState session = UA_SESSIONSTATE_CLOSED;
  UA_Client_getState(client, nullptr, &session, nullptr);
  if (session != UA_SESSIONSTATE_ACTIVATED) {
    connect(client, payload::to_string(required(data, "endpoint")));
  }
  double number = read_value(client, "RivevorOrAdori01.pH");
  keep(&number);
}

void opcua_close_op(pipeline::Data&) { disconnect(warm_client()); }

}  // namespace

PYBIND11_MODULE(_bench_floors, module) {
  startup::start_ops_module(module, "Floors of the op benchmarks",
                            {
                                {"floor_empty", empty_op},
                                {"floor_read_floats", read_floats_op},
                                {"floor_build_floats", build_floats_op},
                                {"floor_append_line", append_line_op},
                                {"floor_duckdb_open_close", duckdb_open_close_op},
                                {"floor_duckdb_statements", duckdb_statements_op},
                                {"floor_duckdb_store", duckdb_store_op},
                                {"floor_window_python_side", window_python_side_op},
                                {"floor_opcua_cycle", opcua_cycle_op},
                                {"floor_opcua_read", opcua_read_op},
                                {"floor_opcua_close", opcua_close_op},
                            });
}
