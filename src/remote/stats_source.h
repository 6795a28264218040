// What the remote access server serves. Implemented by the executor; called
// on the server thread while mining runs, so implementations must read their
// figures without tearing (atomics) and must not block on the mining path.
#pragma once

#include <string>

namespace network {

class StatsSource {
 public:
  virtual ~StatsSource() = default;
  // The statistics document (JSON) served on "/" and "/stats.json".
  virtual std::string stats_json() const = 0;
  // The same figures in the Prometheus text exposition format ("/metrics").
  virtual std::string metrics_text() const = 0;
};

}  // namespace network
