#include "remote/metrics_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

namespace network {
namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }


}  // namespace

// Length of the metric name at the start of text (0 when there is none).
size_t metric_name_length(std::string_view text) {
  size_t i = 0;
  while (i < text.size() &&
         (is_alpha(text[i]) || text[i] == '_' || text[i] == ':' || (i > 0 && is_digit(text[i])))) {
    ++i;
  }
  return i;
}

size_t label_name_length(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (is_alpha(text[i]) || text[i] == '_' || (i > 0 && is_digit(text[i])))) {
    ++i;
  }
  return i;
}

void append_escaped(std::string& out, std::string_view text, bool quote) {
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (quote && c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

bool valid_metric_name(std::string_view name) {
  return !name.empty() && metric_name_length(name) == name.size();
}

bool valid_label_name(std::string_view name) {
  return !name.empty() && label_name_length(name) == name.size() && name.substr(0, 2) != "__";
}

std::string format_metric_value(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

bool metrics_writer::gauge(std::string_view name, std::string_view help,
                           const metric_labels& labels, double value) {
  return add(name, help, "gauge", labels, value);
}

bool metrics_writer::counter(std::string_view name, std::string_view help,
                             const metric_labels& labels, double value) {
  constexpr std::string_view kSuffix = "_total";
  if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return false;
  }
  if (std::isnan(value) || value < 0) return false;
  return add(name, help, "counter", labels, value);
}

bool metrics_writer::add(std::string_view name, std::string_view help, std::string_view type,
                         const metric_labels& labels, double value) {
  if (!valid_metric_name(name)) return false;
  std::set<std::string_view> label_names;
  for (const auto& [label, label_value] : labels) {
    if (!valid_label_name(label) || !label_names.insert(label).second) return false;
  }

  std::string label_set;
  if (!labels.empty()) {
    label_set += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) label_set += ',';
      label_set += labels[i].first;
      label_set += "=\"";
      append_escaped(label_set, labels[i].second, true);
      label_set += '"';
    }
    label_set += '}';
  }

  auto it = std::find_if(families_.begin(), families_.end(),
                         [&](const family& f) { return f.name == name; });
  if (it == families_.end()) {
    families_.push_back(family{std::string(name), std::string(help), type, {}, {}});
    it = families_.end() - 1;
  } else if (it->type != type || it->help != help) {
    return false;
  }
  // Two samples with the same labels would be one series twice; order of
  // labels is part of the written text, so compare label sets sorted.
  metric_labels sorted = labels;
  std::sort(sorted.begin(), sorted.end());
  std::string key;
  for (const auto& [label, label_value] : sorted) {
    key += label;
    key += '=';
    append_escaped(key, label_value, true);
    key += '\n';
  }
  if (std::find(it->label_sets.begin(), it->label_sets.end(), key) != it->label_sets.end()) {
    return false;
  }
  it->label_sets.push_back(key);

  it->samples += name;
  it->samples += label_set;
  it->samples += ' ';
  it->samples += format_metric_value(value);
  it->samples += '\n';
  return true;
}

std::string metrics_writer::text() const {
  std::string out;
  for (const family& f : families_) {
    out += "# HELP ";
    out += f.name;
    out += ' ';
    append_escaped(out, f.help, false);
    out += "\n# TYPE ";
    out += f.name;
    out += ' ';
    out += f.type;
    out += '\n';
    out += f.samples;
  }
  return out;
}

}  // namespace network
