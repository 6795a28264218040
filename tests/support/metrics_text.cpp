#include "support/metrics_text.h"

#include "remote/metrics_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

namespace network {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads an escaped text up to (not including) terminator; false on a bad
// escape or a missing terminator. Accepts \" only where quote is set.
bool read_escaped(std::string_view& text, char terminator, bool quote, std::string& out) {
  while (!text.empty() && text.front() != terminator) {
    char c = text.front();
    text.remove_prefix(1);
    if (c != '\\') {
      out += c;
      continue;
    }
    if (text.empty()) return false;
    char escaped = text.front();
    text.remove_prefix(1);
    if (escaped == '\\') {
      out += '\\';
    } else if (escaped == 'n') {
      out += '\n';
    } else if (quote && escaped == '"') {
      out += '"';
    } else {
      return false;
    }
  }
  return terminator == '\0' || !text.empty();
}

bool parse_value(std::string_view token, double& value) {
  if (token == "NaN") {
    value = std::nan("");
    return true;
  }
  if (token == "+Inf" || token == "Inf") {
    value = HUGE_VAL;
    return true;
  }
  if (token == "-Inf") {
    value = -HUGE_VAL;
    return true;
  }
  if (token.find_first_not_of("0123456789+-.eE") != std::string_view::npos) return false;
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty() || token.front() == '+') return false;
  auto result = std::from_chars(token.data(), token.data() + token.size(), value);
  return result.ec == std::errc() && result.ptr == token.data() + token.size();
}

bool parse_timestamp(std::string_view token) {
  if (!token.empty() && token.front() == '-') token.remove_prefix(1);
  return !token.empty() && std::all_of(token.begin(), token.end(), is_digit);
}

}  // namespace

bool parse_metrics_text(std::string_view text, std::vector<metric_sample>& samples,
                        std::string& error) {
  struct family_state {
    bool help = false;
    std::string type;
    bool has_samples = false;
    bool closed = false;
  };
  std::map<std::string, family_state, std::less<>> families;
  std::set<std::string> series;
  std::string current;
  samples.clear();

  if (!text.empty() && text.back() != '\n') {
    error = "the text does not end with a line break";
    return false;
  }
  size_t line_number = 0;
  // Switches the current metric to name; false if name was grouped earlier.
  auto enter = [&](const std::string& name) -> family_state* {
    if (name != current) {
      if (!current.empty()) families[current].closed = true;
      current = name;
    }
    family_state& state = families[name];
    return state.closed ? nullptr : &state;
  };
  auto fail = [&](const std::string& reason) {
    error = "line " + std::to_string(line_number) + ": " + reason;
    return false;
  };

  while (!text.empty()) {
    ++line_number;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.empty()) continue;

    if (line.front() == '#') {
      const bool is_help = line.substr(0, 7) == "# HELP ";
      const bool is_type = line.substr(0, 7) == "# TYPE ";
      if (!is_help && !is_type) continue;  // a plain comment
      std::string_view rest = line.substr(7);
      size_t name_length = metric_name_length(rest);
      if (name_length == 0) return fail("missing metric name");
      std::string name(rest.substr(0, name_length));
      rest.remove_prefix(name_length);
      if (!rest.empty() && rest.front() != ' ') return fail("bad metric name");
      if (!rest.empty()) rest.remove_prefix(1);
      family_state* state = enter(name);
      if (state == nullptr) return fail("samples of " + name + " are not grouped");
      if (state->has_samples) return fail("HELP or TYPE after the samples of " + name);
      if (is_help) {
        if (state->help) return fail("second HELP for " + name);
        std::string help;
        if (!read_escaped(rest, '\0', false, help)) return fail("bad escape in HELP");
        state->help = true;
      } else {
        if (!state->type.empty()) return fail("second TYPE for " + name);
        if (rest != "counter" && rest != "gauge" && rest != "histogram" && rest != "summary" &&
            rest != "untyped") {
          return fail("unknown type '" + std::string(rest) + "'");
        }
        state->type = rest;
      }
      continue;
    }

    metric_sample sample;
    size_t name_length = metric_name_length(line);
    if (name_length == 0) return fail("missing metric name");
    sample.name = line.substr(0, name_length);
    std::string_view rest = line.substr(name_length);
    std::set<std::string> label_names;
    if (!rest.empty() && rest.front() == '{') {
      rest.remove_prefix(1);
      while (!rest.empty() && rest.front() != '}') {
        size_t label_length = label_name_length(rest);
        if (label_length == 0) return fail("bad label name");
        std::string label(rest.substr(0, label_length));
        if (label.substr(0, 2) == "__") return fail("reserved label name " + label);
        if (!label_names.insert(label).second) return fail("repeated label " + label);
        rest.remove_prefix(label_length);
        if (rest.substr(0, 2) != "=\"") return fail("label " + label + " without =\"");
        rest.remove_prefix(2);
        std::string value;
        if (!read_escaped(rest, '"', true, value)) return fail("bad label value of " + label);
        rest.remove_prefix(1);  // the closing quote
        sample.labels.emplace_back(std::move(label), std::move(value));
        if (!rest.empty() && rest.front() == ',') {
          rest.remove_prefix(1);
        } else if (rest.empty() || rest.front() != '}') {
          return fail("label set not closed");
        }
      }
      if (rest.empty()) return fail("label set not closed");
      rest.remove_prefix(1);
    }
    if (rest.empty() || !is_blank(rest.front())) return fail("no blank before the value");
    while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
    size_t value_end = std::min(rest.find_first_of(" \t"), rest.size());
    if (!parse_value(rest.substr(0, value_end), sample.value)) return fail("bad value");
    rest.remove_prefix(value_end);
    while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
    if (!rest.empty() && !parse_timestamp(rest)) return fail("bad timestamp");

    // Histogram and summary samples belong to their base metric.
    std::string family_name = sample.name;
    for (std::string_view suffix : {"_bucket", "_sum", "_count"}) {
      if (family_name.size() > suffix.size() &&
          std::string_view(family_name).substr(family_name.size() - suffix.size()) == suffix) {
        std::string base = family_name.substr(0, family_name.size() - suffix.size());
        auto it = families.find(base);
        if (it != families.end() &&
            (it->second.type == "histogram" || it->second.type == "summary")) {
          family_name = base;
        }
        break;
      }
    }
    family_state* state = enter(family_name);
    if (state == nullptr) return fail("samples of " + family_name + " are not grouped");
    state->has_samples = true;
    if (state->type == "counter" && !(sample.value >= 0)) return fail("negative counter");

    metric_labels sorted = sample.labels;
    std::sort(sorted.begin(), sorted.end());
    std::string key = sample.name;
    for (const auto& [label, value] : sorted) {
      key += '\n';
      key += label;
      key += '=';
      append_escaped(key, value, true);
    }
    if (!series.insert(key).second) return fail("repeated series of " + sample.name);
    samples.push_back(std::move(sample));
  }
  error.clear();
  return true;
}

}  // namespace network
