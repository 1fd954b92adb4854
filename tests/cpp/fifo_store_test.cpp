#include "fifo_store.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using samples = std::vector<double>;

class fifo_store_test : public ::testing::Test {
 protected:
  void SetUp() override { tarnwell::reset_all_fifos(); }
};

TEST_F(fifo_store_test, keeps_last_n_in_order) {
  EXPECT_EQ(tarnwell::fifo_window_buffer({1, 2}, 3, "a"), (samples{1, 2}));
  EXPECT_EQ(tarnwell::fifo_window_buffer({3, 4, 5}, 3, "a"), (samples{3, 4, 5}));
  EXPECT_EQ(tarnwell::fifo_window_buffer({6}, 3, "a"), (samples{4, 5, 6}));
}

TEST_F(fifo_store_test, size_zero_keeps_everything) {
  tarnwell::fifo_window_buffer({1, 2, 3}, 0, "a");
  EXPECT_EQ(tarnwell::fifo_window_buffer({4}, 0, "a"), (samples{1, 2, 3, 4}));
}

TEST_F(fifo_store_test, smaller_size_trims_without_samples_and_larger_brings_nothing_back) {
  tarnwell::fifo_window_buffer({1, 2, 3, 4}, 0, "a");
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 2, "a"), (samples{3, 4}));
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 10, "a"), (samples{3, 4}));
}

TEST_F(fifo_store_test, ids_are_separate) {
  tarnwell::fifo_window_buffer({1}, 0, "a");
  EXPECT_EQ(tarnwell::fifo_window_buffer({2}, 0, "b"), (samples{2}));
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 0, std::string("a")), (samples{1}));
}

TEST_F(fifo_store_test, reset_fifo_forgets_one_and_ignores_unknown_ids) {
  tarnwell::fifo_window_buffer({1}, 0, "a");
  tarnwell::fifo_window_buffer({2}, 0, "b");
  tarnwell::reset_fifo("a");
  tarnwell::reset_fifo("never used");
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 0, "a"), samples{});
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 0, "b"), (samples{2}));
}

TEST_F(fifo_store_test, reset_all_fifos_starts_every_id_empty) {
  tarnwell::fifo_window_buffer({1}, 0, "a");
  tarnwell::fifo_window_buffer({2}, 0, "b");
  tarnwell::reset_all_fifos();
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 0, "a"), samples{});
  EXPECT_EQ(tarnwell::fifo_window_buffer({}, 0, "b"), samples{});
}

// Each thread appends increasing numbers, tagged by thread, to a shared FIFO and to its own.
// Every window returned must be a run of whole appends: its own FIFO holds exactly its last
// samples, and in the shared FIFO each thread's samples appear in increasing order.
TEST_F(fifo_store_test, concurrent_appends_return_consistent_windows) {
  static constexpr int thread_count = 8;
  static constexpr int calls = 2000;
  static constexpr std::size_t window = 50;
  std::vector<std::thread> threads;
  std::vector<int> failures(thread_count, 0);
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string own_id = "own-" + std::to_string(t);
      for (int i = 0; i < calls; ++i) {
        const double sample = t * 1e6 + i;
        samples own = tarnwell::fifo_window_buffer({sample, sample + 0.5}, window, own_id);
        const std::size_t expected_size = std::min<std::size_t>(2 * (i + 1), window);
        if (own.size() != expected_size || own.back() != sample + 0.5) {
          ++failures[t];
        }
        samples shared = tarnwell::fifo_window_buffer({sample, sample + 0.5}, window, "shared");
        std::vector<double> last_seen(thread_count, -1.0);
        for (double value : shared) {
          const int owner = static_cast<int>(value / 1e6);
          if (value <= last_seen[owner]) {
            ++failures[t];
          }
          last_seen[owner] = value;
        }
        if (shared.size() > window || shared.size() % 2 != 0) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < thread_count; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
  }
}

}  // namespace
