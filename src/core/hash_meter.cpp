#include "core/hash_meter.h"

namespace core {

hash_meter::hash_meter(size_t rows) : rows_count_(rows), rows_(new row[rows]) {}

double hash_meter::rate(uint64_t hashes, uint64_t ms) {
  if (ms == 0) return 0.0;
  return static_cast<double>(hashes) * 1000.0 / static_cast<double>(ms);
}

void hash_meter::add(size_t r, uint64_t hashes, uint64_t ms) {
  if (r >= rows_count_) return;
  row& x = rows_[r];
  for (int column = 0; column < 2; ++column) {
    x.hashes[column].store(x.hashes[column].load(std::memory_order_relaxed) + hashes,
                           std::memory_order_relaxed);
    x.ms[column].store(x.ms[column].load(std::memory_order_relaxed) + ms,
                       std::memory_order_relaxed);
  }
}

uint64_t hash_meter::window_ms(size_t r) const {
  return r < rows_count_ ? rows_[r].ms[0].load(std::memory_order_relaxed) : 0;
}

double hash_meter::close_window(size_t r) {
  if (r >= rows_count_) return 0.0;
  row& x = rows_[r];
  const double value = rate(x.hashes[0].load(std::memory_order_relaxed),
                            x.ms[0].load(std::memory_order_relaxed));
  x.current_rate.store(value, std::memory_order_relaxed);
  return value;
}

void hash_meter::reset_window(size_t r) {
  if (r >= rows_count_) return;
  rows_[r].hashes[0].store(0, std::memory_order_relaxed);
  rows_[r].ms[0].store(0, std::memory_order_relaxed);
}

void hash_meter::reset_all() {
  for (size_t r = 0; r < rows_count_; ++r) {
    for (int column = 0; column < 2; ++column) {
      rows_[r].hashes[column].store(0, std::memory_order_relaxed);
      rows_[r].ms[column].store(0, std::memory_order_relaxed);
    }
    rows_[r].current_rate.store(0.0, std::memory_order_relaxed);
  }
}

double hash_meter::average_rate(size_t r) const {
  if (r >= rows_count_) return 0.0;
  // The two totals are read separately; a report landing in between skews
  // one reading slightly, which a rate display tolerates.
  return rate(rows_[r].hashes[1].load(std::memory_order_relaxed),
              rows_[r].ms[1].load(std::memory_order_relaxed));
}

double hash_meter::current_rate(size_t r) const {
  return r < rows_count_ ? rows_[r].current_rate.load(std::memory_order_relaxed) : 0.0;
}

double hash_meter::total_average_rate() const {
  double sum = 0.0;
  for (size_t r = 0; r < rows_count_; ++r) sum += average_rate(r);
  return sum;
}

double hash_meter::total_current_rate() const {
  double sum = 0.0;
  for (size_t r = 0; r < rows_count_; ++r) sum += current_rate(r);
  return sum;
}

}  // namespace core
