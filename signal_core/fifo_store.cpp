#include "fifo_store.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace tarnwell {
namespace {

// The live samples are data[start, end). Samples that leave the window are dropped from the
// front only once they are at least as many as the live ones, so that each sample is moved
// about once in its life instead of on every call.
struct fifo {
  std::vector<double> data;
  std::size_t start = 0;
};

// Set up when the image is loaded and destroyed at process exit. The mutex is declared after
// the store, so it is destroyed first.
std::unordered_map<std::string, fifo> g_fifo_store;
// The FIFO used last: callers mostly repeat one id, found then without hashing it. Elements of
// the map keep their address until erased.
fifo* g_last_fifo = nullptr;
std::string g_last_id;
std::mutex g_mutex;

fifo& find_fifo(std::string_view fifo_id) {
  if (g_last_fifo == nullptr || g_last_id != fifo_id) {
    // Both are set only once the lookup has succeeded: a failed one leaves the pair matching.
    std::string id(fifo_id);
    g_last_fifo = &g_fifo_store[id];
    g_last_id = std::move(id);
  }
  return *g_last_fifo;
}

}  // namespace

std::size_t fifo_window_buffer(const double* samples, std::size_t count, std::size_t window_size,
                               std::string_view fifo_id, std::vector<double>* window) {
  std::lock_guard<std::mutex> lock(g_mutex);
  fifo& queue = find_fifo(fifo_id);
  queue.data.insert(queue.data.end(), samples, samples + count);
  std::size_t live = queue.data.size() - queue.start;
  if (window_size != 0 && live > window_size) {
    queue.start = queue.data.size() - window_size;
    live = window_size;
  }
  if (queue.start != 0 && queue.start >= live) {
    queue.data.erase(queue.data.begin(),
                     queue.data.begin() + static_cast<std::ptrdiff_t>(queue.start));
    queue.start = 0;
  }
  if (window != nullptr) {
    window->assign(queue.data.begin() + static_cast<std::ptrdiff_t>(queue.start), queue.data.end());
  }
  return live;
}

void fifo_window_contents(std::string_view fifo_id, std::vector<double>& window) {
  std::lock_guard<std::mutex> lock(g_mutex);
  window.clear();
  const auto found = g_fifo_store.find(std::string(fifo_id));
  if (found != g_fifo_store.end()) {
    const fifo& queue = found->second;
    window.assign(queue.data.begin() + static_cast<std::ptrdiff_t>(queue.start), queue.data.end());
  }
}

std::vector<double> fifo_window_buffer(const std::vector<double>& samples, std::size_t window_size,
                                       const std::string& fifo_id) {
  std::vector<double> window;
  fifo_window_buffer(samples.data(), samples.size(), window_size, fifo_id, &window);
  return window;
}

void reset_fifo(const std::string& fifo_id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_last_fifo != nullptr && g_last_id == fifo_id) {
    g_last_fifo = nullptr;
  }
  g_fifo_store.erase(fifo_id);
}

void reset_all_fifos() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_last_fifo = nullptr;
  g_fifo_store.clear();
}

}  // namespace tarnwell
