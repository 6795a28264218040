// Builds and checks text in the Prometheus text exposition format 0.0.4.
// A metrics_writer is used by one thread at a time; build a fresh one per
// request.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace network {

// Label name/value pairs of one sample, written in the given order.
using metric_labels = std::vector<std::pair<std::string, std::string>>;

class metrics_writer {
 public:
  // Adds one sample. Samples of one metric are grouped under a single HELP
  // and TYPE line however the calls interleave. Returns false and adds
  // nothing for an invalid metric or label name, a repeated label name, a
  // label set already written for this metric, a name used before with
  // another type or help text, or (counters) a name without the "_total"
  // suffix or a value that is negative or NaN. Gauges accept NaN and +-Inf;
  // leave out samples whose value is unknown rather than writing a marker.
  bool gauge(std::string_view name, std::string_view help, const metric_labels& labels,
             double value);
  bool gauge(std::string_view name, std::string_view help, double value) {
    return gauge(name, help, {}, value);
  }
  bool counter(std::string_view name, std::string_view help, const metric_labels& labels,
               double value);
  bool counter(std::string_view name, std::string_view help, double value) {
    return counter(name, help, {}, value);
  }

  // The exposition text: per metric "# HELP", "# TYPE" and its samples, in
  // the order the metrics were first added. Empty when nothing was added.
  std::string text() const;

 private:
  struct family {
    std::string name;
    std::string help;
    std::string_view type;
    std::vector<std::string> label_sets;  // escaped "{...}" parts, for duplicates
    std::string samples;
  };
  bool add(std::string_view name, std::string_view help, std::string_view type,
           const metric_labels& labels, double value);

  std::vector<family> families_;
};

// Metric names: [a-zA-Z_:][a-zA-Z0-9_:]*; label names: [a-zA-Z_][a-zA-Z0-9_]*
// not beginning with "__".
// Length of the metric (or label) name at the start of text, 0 when none.
size_t metric_name_length(std::string_view text);
size_t label_name_length(std::string_view text);
// Appends text escaped as the exposition format wants: backslash and line
// feed always, the double quote too inside a label value (quote).
void append_escaped(std::string& out, std::string_view text, bool quote);

bool valid_metric_name(std::string_view name);
bool valid_label_name(std::string_view name);
// A sample value as the format writes it: "NaN", "+Inf", "-Inf" or the
// shortest decimal text that reads back as the same double.
std::string format_metric_value(double value);

}  // namespace network
