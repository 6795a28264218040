// A strict reader of the Prometheus text format 0.0.4, for tests that
// check what the metrics writer and the server produce. Test thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "remote/metrics_writer.h"

namespace network {

struct metric_sample {
  std::string name;
  metric_labels labels;  // unescaped
  double value = 0;
};

// Every line ends with a line break, HELP and TYPE come at most once per
// metric and before its samples, samples of one metric are contiguous, names
// and escapes are valid, no series repeats, counters are not negative.
// Returns false with a reason naming the line.
bool parse_metrics_text(std::string_view text, std::vector<metric_sample>& samples,
                        std::string& error);

}  // namespace network
