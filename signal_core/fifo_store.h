// Named sliding windows of samples, kept for the whole process.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell {

// Appends `samples` to the FIFO named `fifo_id` (created empty on first use), keeps only its
// last `window_size` samples (0 keeps everything) and returns a copy of what it then holds,
// oldest first. Safe to call from any thread.
std::vector<double> fifo_window_buffer(const std::vector<double>& samples, std::size_t window_size,
                                       const std::string& fifo_id);

// The same, for `count` samples at `samples`: returns the window's length, and copies the
// window into `window` unless it is null (its capacity reused, so that a caller keeping it
// allocates nothing once it is large enough).
std::size_t fifo_window_buffer(const double* samples, std::size_t count, std::size_t window_size,
                               std::string_view fifo_id, std::vector<double>* window);

// Copies what the FIFO named `fifo_id` holds into `window`, oldest first; an unknown id gives
// nothing (and is not created).
void fifo_window_contents(std::string_view fifo_id, std::vector<double>& window);

// Forgets one FIFO; an unknown id is no error.
void reset_fifo(const std::string& fifo_id);

// Forgets every FIFO.
void reset_all_fifos();

}  // namespace tarnwell
