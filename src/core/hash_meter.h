// Per-GPU hash counters: a short window (column 0, closed every few seconds)
// and a running total (column 1). Written only on the executor thread; the
// rates are atomics so the watchdog and the statistics server may read them
// from other threads at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace core {

class hash_meter {
 public:
  explicit hash_meter(size_t rows = 0);

  size_t rows() const { return rows_count_; }
  void add(size_t row, uint64_t hashes, uint64_t ms);
  uint64_t window_ms(size_t row) const;
  // Rate of the window; also stored as the row's current rate.
  double close_window(size_t row);
  void reset_window(size_t row);
  void reset_all();

  double average_rate(size_t row) const;  // total column
  double current_rate(size_t row) const;  // last closed window
  double total_average_rate() const;
  double total_current_rate() const;

 private:
  struct row {
    std::atomic<uint64_t> hashes[2] = {0, 0};
    std::atomic<uint64_t> ms[2] = {0, 0};
    std::atomic<double> current_rate{0.0};
  };
  static double rate(uint64_t hashes, uint64_t ms);

  size_t rows_count_;
  std::unique_ptr<row[]> rows_;
};

}  // namespace core
