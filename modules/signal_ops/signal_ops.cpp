// _kelvara: the signal ops (sliding windows of samples, averages, CSV rows).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "average.h"
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
  payload::store(payload, "window", payload::to_float_list(window));
}

// The method name: "averageMethod", else "mode", else "arithmetic". A present "averageMethod"
// hides "mode" even when it does not convert.
std::string average_method_from_payload(const pybind11::dict& payload) {
  pybind11::object value = payload::find(payload, "averageMethod");
  if (!value) {
    value = payload::find(payload, "mode");
  }
  return value ? payload::to_string(value) : "arithmetic";
}

void average_op(pipeline::Data& data) {
  pybind11::dict payload = data.payload;
  std::vector<double> samples = values_from_payload(payload, {"window", "values"});
  if (samples.empty()) {
    if (pybind11::object value = payload::find(payload, "data")) {
      samples = to_double_list(value);
    }
  }
  const std::string method = average_method_from_payload(payload);
  const tarnwell::AverageResult result = tarnwell::average(samples, method, nullptr);

  pybind11::float_ mean(result.mean);
  pybind11::float_ se(result.se);
  pybind11::dict stats;
  payload::store(stats, "mean", mean);
  payload::store(stats, "se", se);
  payload::store(stats, "standardError", se);
  payload::store(payload, "stats", stats);
  payload::store(payload, "mean", mean);
  payload::store(payload, "se", se);
  payload::store(payload, "standardError", se);
}

constexpr std::string_view csv_scheme = "csv://";

// "handleUri", else "handle", else "csv://" + "csvPath"; empty when none is present.
std::string target_uri_from_payload(const pybind11::dict& payload) {
  if (pybind11::object value = payload::find(payload, "handleUri")) {
    return payload::to_string(value);
  }
  if (pybind11::object value = payload::find(payload, "handle")) {
    return payload::to_string(value);
  }
  if (pybind11::object value = payload::find(payload, "csvPath")) {
    return std::string(csv_scheme) + payload::to_string(value);
  }
  return {};
}

// A dict (or subclass) as it is; anything else as Python's dict() makes it, or an empty object
// when dict() refuses it (its error is dropped: the caller falls back to the next rule).
pybind11::object as_dict(pybind11::handle value) {
  if (PyDict_Check(value.ptr())) {
    return pybind11::reinterpret_borrow<pybind11::object>(value);
  }
  PyObject* converted = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr());
  if (converted == nullptr) {
    PyErr_Clear();
    return {};
  }
  return pybind11::reinterpret_steal<pybind11::object>(converted);
}

// "data" as a dict, else "stats" as a dict, else a row built for this call only: "value" from
// "data", or "mean" (and "se" beside it) when "data" is absent.
pybind11::dict row_from_payload(const pybind11::dict& payload) {
  pybind11::object data_value = payload::find(payload, "data");
  if (data_value) {
    if (pybind11::object row = as_dict(data_value)) {
      return pybind11::reinterpret_borrow<pybind11::dict>(row);
    }
  }
  if (pybind11::object stats_value = payload::find(payload, "stats")) {
    if (pybind11::object row = as_dict(stats_value)) {
      return pybind11::reinterpret_borrow<pybind11::dict>(row);
    }
  }
  pybind11::dict row;
  if (data_value) {
    payload::store(row, "value", data_value);
  } else if (pybind11::object mean = payload::find(payload, "mean")) {
    payload::store(row, "mean", mean);
    if (pybind11::object se = payload::find(payload, "se")) {
      payload::store(row, "se", se);
    }
  }
  return row;
}

// RFC 4180: only a field holding a separator, a quote or a line break is quoted, so lines of
// plain numbers stay exactly as they were.
void append_field(std::string& line, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    line += text;
    return;
  }
  line += '"';
  for (char c : text) {
    if (c == '"') {
      line += '"';
    }
    line += c;
  }
  line += '"';
}

// Python's str() of a cell, as UTF-8.
std::string cell_text(pybind11::handle cell) {
  PyObject* text = PyObject_Str(cell.ptr());
  if (text == nullptr) {
    throw pybind11::error_already_set();
  }
  return payload::to_string(pybind11::reinterpret_steal<pybind11::object>(text));
}

struct csv_lines {
  std::string header;  // with its "\n"
  std::string data;    // with its "\n"
};

// Every name and cell is converted before the file is touched, so a value that fails leaves
// the file as it was: never a header without its line, never part of a line.
csv_lines csv_lines_from_row(const pybind11::dict& row) {
  std::vector<std::string> names;
  names.reserve(row.size());
  for (const auto item : row) {
    names.push_back(payload::to_string(item.first));
  }
  csv_lines lines;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      lines.header += ',';
      lines.data += ',';
    }
    append_field(lines.header, names[i]);
    pybind11::str key = payload::to_str(names[i]);
    PyObject* cell = PyObject_GetItem(row.ptr(), key.ptr());
    if (cell == nullptr) {
      throw pybind11::error_already_set();
    }
    append_field(lines.data, cell_text(pybind11::reinterpret_steal<pybind11::object>(cell)));
  }
  lines.header += '\n';
  lines.data += '\n';
  return lines;
}

// Owns an open file descriptor; closes it on every way out that did not close it already.
struct file_descriptor {
  int fd;
  ~file_descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

[[noreturn]] void fail_write(const std::string& path) {
  throw std::runtime_error("csv_sink_op: failed to write file: " + path);
}

// A part of `text` reached the file: take it back if nothing was appended after it, so that
// the file holds only whole lines.
void remove_partial_text(int fd, off_t written) {
  const off_t end_of_text = ::lseek(fd, 0, SEEK_CUR);
  struct stat status;
  if (end_of_text >= written && ::fstat(fd, &status) == 0 && status.st_size == end_of_text) {
    // Nothing more can be done if this fails: the write error is raised either way.
    (void)::ftruncate(fd, end_of_text - written);
  }
}

// One write for the whole text, so that lines of several writers stay whole.
void append_text(const std::string& path, const std::string& text) {
  file_descriptor file{::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)};
  if (file.fd < 0) {
    throw std::runtime_error("csv_sink_op: failed to open file: " + path);
  }
  ssize_t written;
  do {
    written = ::write(file.fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(text.size())) {
    if (written > 0) {
      remove_partial_text(file.fd, static_cast<off_t>(written));
    }
    fail_write(path);
  }
  if (::close(std::exchange(file.fd, -1)) != 0) {
    fail_write(path);
  }
}

void write_csv_row(const std::string& path, const pybind11::dict& row) {
  const csv_lines lines = csv_lines_from_row(row);
  // The system calls end a path at its first null byte: the line would land in another file
  // (and directories of another path be made) than the one named.
  if (path.find('\0') != std::string::npos) {
    throw std::runtime_error("csv_sink_op: failed to open file: " + path);
  }
  const std::filesystem::path file_path(path);
  std::error_code ignored;
  std::filesystem::create_directories(file_path.parent_path(), ignored);
  // Both queries follow symbolic links; a directory or a device in the way throws here.
  const bool header_due =
      !std::filesystem::exists(file_path) || std::filesystem::file_size(file_path) == 0;
  append_text(path, header_due ? lines.header + lines.data : lines.data);
}

void csv_sink_op(pipeline::Data& data) {
  pybind11::dict payload = data.payload;
  const std::string uri = target_uri_from_payload(payload);
  if (uri.compare(0, csv_scheme.size(), csv_scheme) == 0) {
    const pybind11::dict row = row_from_payload(payload);
    if (!row.empty()) {
      write_csv_row(uri.substr(csv_scheme.size()), row);
    }
  }
  payload::store(payload, "status", payload::to_str("handled via " + uri));
}

}  // namespace

PYBIND11_MODULE(_kelvara, module) {
  startup::start_ops_module(module, "C++ corrivan ops for tarnwell (register_cpp_op via capsule)",
                            {
                                {"fifo_window_buffer", fifo_window_buffer_op},
                                {"average", average_op},
                                {"csv_sink", csv_sink_op},
                            });
}
