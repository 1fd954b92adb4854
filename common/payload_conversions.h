// Conversions between the payload's Python values and C++ values, shared by every op.
//
// A value that does not convert is refused with pybind11::cast_error. A Python error raised
// while a value's length is taken or while it is iterated passes on as
// pybind11::error_already_set.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace payload {

// The value under `key`, or an empty object when the payload does not contain the key.
// A present key whose value is None gives None.
pybind11::object find(const pybind11::dict& payload, const char* key);

// payload[key] = value, replacing any earlier value.
void store(const pybind11::dict& payload, const char* key, pybind11::handle value);

// str as UTF-8; bytes and bytearray as their raw bytes. Anything else is refused.
std::string to_string(pybind11::handle value);

// float (or subclass), int, bool, or an object offering __float__ or __index__. Never parses str.
double to_double(pybind11::handle value);

// int (bool included), an object offering __index__, or a non-float number that int() accepts.
// Floats, str, None and values outside the width are refused.
std::int32_t to_int32(pybind11::handle value);
std::int64_t to_int64(pybind11::handle value);

// Any sequence but str and bytes; also generators, sets, dict views, map and zip (taken as a
// tuple first). Every element must pass to_double.
std::vector<double> to_double_vector(pybind11::handle value);

// A new list of floats.
pybind11::list to_float_list(const std::vector<double>& values);

// A new str decoded from UTF-8.
pybind11::str to_str(std::string_view utf8);

}  // namespace payload
