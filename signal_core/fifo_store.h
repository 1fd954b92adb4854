// Named sliding windows of samples, kept for the whole process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwell {

// Appends `samples` to the FIFO named `fifo_id` (created empty on first use), keeps only its
// last `window_size` samples (0 keeps everything) and returns a copy of what it then holds,
// oldest first. Safe to call from any thread.
std::vector<double> fifo_window_buffer(const std::vector<double>& samples, std::size_t window_size,
                                       const std::string& fifo_id);

// Forgets one FIFO; an unknown id is no error.
void reset_fifo(const std::string& fifo_id);

// Forgets every FIFO.
void reset_all_fifos();

}  // namespace tarnwell
