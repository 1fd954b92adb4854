// _dornick: the table-store ops (checkpoint of samples and payload into DuckDB, SQL over a
// stored table).
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "duckdb.hpp"
#include "module_startup.h"
#include "payload_conversions.h"

namespace {

// The value under `key` through the string conversion, or a copy of `fallback` when the payload
// does not contain the key (a present None is converted, and refused).
std::string get_str_or(pybind11::dict payload, const char* key, const std::string& fallback) {
  if (pybind11::object value = payload::find(payload, key)) {
    return payload::to_string(value);
  }
  return fallback;
}

std::string sanitize_identifier(const std::string& raw) {
  static const std::regex re("[^A-Za-z0-9_]", std::regex::ECMAScript);
  std::string sanitized = std::regex_replace(raw, re, "_");
  return sanitized.empty() ? "table" : sanitized;
}

// Replaces every occurrence from left to right; inserted text is not searched again.
void replace_all(std::string& text, const std::string& placeholder,
                 const std::string& replacement) {
  if (placeholder.empty()) {
    return;
  }
  std::string::size_type position = 0;
  while ((position = text.find(placeholder, position)) != std::string::npos) {
    text.replace(position, placeholder.size(), replacement);
    position += replacement.size();
  }
}

// DuckDB takes the path as a C string, ending it at its first null byte: it would open another
// file than the one named (and the checkpoint report the name it did not use).
void refuse_null_byte_in_path(const std::string& path, const char* op) {
  if (path.find('\0') != std::string::npos) {
    throw std::runtime_error(std::string(op) + ": payload['duckdb_path'] contains a null byte");
  }
}

// DuckDB's exceptions carry a JSON text in what(); users get DuckDB's own readable message.
std::string readable_message(const std::exception& error) {
  return duckdb::ErrorData(error).Message();
}

// A failed statement does not throw in DuckDB: its result carries the error, thrown here as the
// DuckDB exception it stands for.
void run_statement(duckdb::Connection& connection, const std::string& statement) {
  const std::unique_ptr<duckdb::MaterializedQueryResult> result = connection.Query(statement);
  if (result->HasError()) {
    result->GetErrorObject().Throw();
  }
}

// The rows (index, sample, sample_id). A table of exactly the columns the checkpoint creates
// takes whole vectors of rows; any other table takes them value by value, so that DuckDB casts
// each value, or refuses the row, exactly as it always has.
void append_samples(duckdb::Connection& connection, const std::string& table,
                    const std::vector<double>& samples, std::int64_t sample_id) {
  duckdb::Appender appender(connection, table);
  const duckdb::vector<duckdb::LogicalType> row_types{
      duckdb::LogicalType::BIGINT, duckdb::LogicalType::DOUBLE, duckdb::LogicalType::BIGINT};
  if (appender.GetActiveTypes() == row_types) {
    duckdb::DataChunk chunk;
    chunk.Initialize(duckdb::Allocator::DefaultAllocator(), row_types);
    for (std::size_t start = 0; start < samples.size(); start += STANDARD_VECTOR_SIZE) {
      const std::size_t count = std::min<std::size_t>(STANDARD_VECTOR_SIZE, samples.size() - start);
      chunk.Reset();
      auto* indexes = duckdb::FlatVector::GetData<std::int64_t>(chunk.data[0]);
      auto* values = duckdb::FlatVector::GetData<double>(chunk.data[1]);
      auto* ids = duckdb::FlatVector::GetData<std::int64_t>(chunk.data[2]);
      for (std::size_t i = 0; i < count; ++i) {
        indexes[i] = static_cast<std::int64_t>(start + i);
        values[i] = samples[start + i];
        ids[i] = sample_id;
      }
      chunk.SetCardinality(count);
      appender.AppendDataChunk(chunk);
    }
  } else {
    for (std::size_t i = 0; i < samples.size(); ++i) {
      appender.BeginRow();
      appender.Append(static_cast<std::int64_t>(i));
      appender.Append(samples[i]);
      appender.Append(sample_id);
      appender.EndRow();
    }
  }
  appender.Close();
}

// Everything the checkpoint writes to the database, in one transaction: either all of it is
// committed or none of it. Failures leave as DuckDB's exceptions.
void write_checkpoint(const std::string& path, const std::string& table,
                      const std::vector<double>& samples, std::int64_t sample_id,
                      const std::string& run_id, const std::string& step,
                      const std::string& payload_json) {
  duckdb::DuckDB database(path, nullptr);
  duckdb::Connection connection(database);

  run_statement(connection, "BEGIN TRANSACTION;");
  // Runs before the connection closes on a failure path, so that what was written is dropped
  // explicitly rather than by whatever closing the connection happens to do.
  const auto roll_back_unless_committed = [](duckdb::Connection* open_connection) {
    try {
      if (open_connection->HasActiveTransaction()) {
        open_connection->Rollback();
      }
    } catch (...) {
      // Nothing to report from here: the error that unwinds is the one that counts, and the
      // uncommitted work goes with the connection in any case.
    }
  };
  const std::unique_ptr<duckdb::Connection, decltype(roll_back_unless_committed)> rollback_guard(
      &connection, roll_back_unless_committed);

  run_statement(connection, "CREATE TABLE IF NOT EXISTS " + table +
                                " (idx BIGINT, value DOUBLE, sample_id BIGINT);");
  append_samples(connection, table, samples, sample_id);
  run_statement(connection,
                "CREATE TABLE IF NOT EXISTS pipeline_state (  run_id       TEXT,  step         "
                "TEXT,  duckdb_path  TEXT,  data_table   TEXT,  payload_json TEXT);");

  const std::unique_ptr<duckdb::PreparedStatement> insert = connection.Prepare(
      "INSERT INTO pipeline_state (run_id, step, duckdb_path, data_table, "
      "payload_json) VALUES (?, ?, ?, ?, ?);");
  if (insert->HasError()) {
    insert->GetErrorObject().Throw();
  }
  // Text parameters as VARCHAR values: Value::CreateValue of a std::string makes a BLOB, which
  // the TEXT columns would turn into escaped bytes (a quote stored as \x22) or refuse outright
  // (any non-ASCII character, or a backslash as in JSON's escapes).
  duckdb::vector<duckdb::Value> parameters{duckdb::Value(run_id), duckdb::Value(step),
                                           duckdb::Value(path), duckdb::Value(table),
                                           duckdb::Value(payload_json)};
  const std::unique_ptr<duckdb::QueryResult> inserted = insert->Execute(parameters);
  if (inserted->HasError()) {
    inserted->GetErrorObject().Throw();
  }

  run_statement(connection, "COMMIT;");
}

void duckdb_checkpoint_cpp(pipeline::Data& data) {
  pybind11::dict payload = data.payload;

  pybind11::object run_id_value = payload::find(payload, "run_id");
  if (!run_id_value) {
    throw std::runtime_error("duckdb_checkpoint_cpp requires payload['run_id']");
  }
  const std::string run_id = payload::to_string(run_id_value);
  const std::string step = get_str_or(payload, "step", "C");
  const std::string path = get_str_or(payload, "duckdb_path", "work.duckdb");
  refuse_null_byte_in_path(path, "duckdb_checkpoint_cpp");

  std::vector<double> samples;
  pybind11::object values = payload::find(payload, "values");
  if (values && !values.is_none()) {
    try {
      samples = payload::to_double_vector(values);
    } catch (const std::exception& error) {
      throw std::runtime_error(
          std::string("duckdb_checkpoint_cpp: payload['values'] must be a sequence of floats: ") +
          error.what());
    }
  }

  pybind11::object sample_id_value = payload::find(payload, "sample_id");
  const std::int64_t sample_id = sample_id_value ? payload::to_int64(sample_id_value) : 0;

  const std::string table = "data_" + sanitize_identifier(run_id) + "_" + sanitize_identifier(step);

  // Every Python step that can fail comes before the database is touched, so that a failure
  // leaves both the file and the payload as they were.
  pybind11::dict snapshot = pybind11::reinterpret_steal<pybind11::dict>(PyDict_Copy(payload.ptr()));
  if (!snapshot) {
    throw pybind11::error_already_set();
  }
  if (values && PyDict_DelItemString(snapshot.ptr(), "values") != 0) {
    throw pybind11::error_already_set();
  }
  const std::string payload_json =
      payload::to_string(pybind11::module_::import("json").attr("dumps")(snapshot));
  pybind11::str path_str = payload::to_str(path);
  pybind11::str table_str = payload::to_str(table);

  try {
    write_checkpoint(path, table, samples, sample_id, run_id, step, payload_json);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw std::runtime_error("duckdb_checkpoint_cpp failed: " + readable_message(error));
  }

  if (values) {
    payload.attr("pop")("values", pybind11::none());
  }
  payload::store(payload, "duckdb_path", path_str);
  payload::store(payload, "data_table", table_str);
  data.payload = payload;
}

void duckdb_sql_cpp(pipeline::Data& data) {
  pybind11::dict payload = data.payload;

  for (const char* key : {"duckdb_path", "data_table", "sql", "out_table"}) {
    if (!payload.contains(key)) {
      throw std::runtime_error(std::string("duckdb_sql_cpp requires payload['") + key + "']");
    }
  }
  const std::string path = payload::to_string(payload::find(payload, "duckdb_path"));
  const std::string in_table = payload::to_string(payload::find(payload, "data_table"));
  const std::string sql = payload::to_string(payload::find(payload, "sql"));
  const std::string out_table = payload::to_string(payload::find(payload, "out_table"));
  refuse_null_byte_in_path(path, "duckdb_sql_cpp");

  std::string text = sql;
  replace_all(text, "{in_table}", in_table);
  replace_all(text, "{out_table}", out_table);

  {
    std::unique_ptr<duckdb::DuckDB> database;
    std::unique_ptr<duckdb::Connection> connection;
    try {
      database = std::make_unique<duckdb::DuckDB>(path, nullptr);
      connection = std::make_unique<duckdb::Connection>(*database);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& error) {
      throw std::runtime_error(readable_message(error));
    }

    std::unique_ptr<duckdb::MaterializedQueryResult> result;
    try {
      result = connection->Query(text);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& error) {
      throw std::runtime_error("duckdb_sql_cpp failed: " + readable_message(error));
    }
    if (result->HasError()) {
      throw std::runtime_error("duckdb_sql_cpp failed: " + result->GetError());
    }
  }

  payload::store(payload, "data_table", payload::to_str(out_table));
  data.payload = payload;
}

}  // namespace

PYBIND11_MODULE(_dornick, module) {
  startup::start_ops_module(module, "C++ DuckDB ops for tarnwell (register_cpp_op via capsule)",
                            {
                                {"duckdb_checkpoint_cpp", duckdb_checkpoint_cpp},
                                {"duckdb_sql_cpp", duckdb_sql_cpp},
                            },
                            startup::interpreter_lock::acquire_scoped);
}
