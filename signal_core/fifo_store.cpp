#include "fifo_store.h"

#include <mutex>
#include <unordered_map>

namespace tarnwell {
namespace {

// Set up when the image is loaded and destroyed at process exit. The mutex is declared after
// the store, so it is destroyed first.
std::unordered_map<std::string, std::vector<double>> g_fifo_store;
std::mutex g_mutex;

}  // namespace

std::vector<double> fifo_window_buffer(const std::vector<double>& samples, std::size_t window_size,
                                       const std::string& fifo_id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<double>& fifo = g_fifo_store[fifo_id];
  fifo.insert(fifo.end(), samples.begin(), samples.end());
  if (window_size != 0 && fifo.size() > window_size) {
    // Moves the kept tail to the front of the same buffer; the capacity stays.
    fifo.erase(fifo.begin(), fifo.end() - static_cast<std::ptrdiff_t>(window_size));
  }
  return fifo;
}

void reset_fifo(const std::string& fifo_id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_fifo_store.erase(fifo_id);
}

void reset_all_fifos() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_fifo_store.clear();
}

}  // namespace tarnwell
