// The executor's statistics: the per-GPU line, the share line, the report
// and the statistics document.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "base/json_writer.h"
#include "base/printer.h"
#include "base/service_notify.h"
#include "core/executor.h"
#include "remote/metrics_writer.h"

namespace core {
namespace {

using base::kTicksPerSecond;

// " %03.1f" for normal numbers and zero, "  (na)" otherwise.
std::string rate_text(double rate) {
  char buffer[32];
  if (std::isnormal(rate) || rate == 0.0)
    snprintf(buffer, sizeof(buffer), " %03.1f", rate);
  else
    snprintf(buffer, sizeof(buffer), "  (na)");
  return buffer;
}

std::string duration_text(double seconds) {
  const uint64_t total = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "%u:%02u:%02u", static_cast<unsigned>(total / 3600),
           static_cast<unsigned>((total / 60) % 60), static_cast<unsigned>(total % 60));
  return buffer;
}

std::string date_text(int64_t ticks) {
  const time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond);
  struct tm local;
  localtime_r(&seconds, &local);
  char buffer[32];
  strftime(buffer, sizeof(buffer), "%F %T", &local);
  return buffer;
}

std::string format(const char* fmt, auto... values) {
  char buffer[32];
  snprintf(buffer, sizeof(buffer), fmt, values...);
  return buffer;
}

// Thousandths of a hash per second, truncated.
uint32_t milli_rate(double rate) { return static_cast<uint32_t>(rate * 1000.0); }

}  // namespace

std::string executor::document_name(size_t thread) const {
  // GPUs keep their position in the list ("GPU0" for --gpu 1, as documents
  // always named them); CPU threads are named as in the console lines.
  const std::string name = miner_.device_name(thread);
  return name.starts_with("GPU") ? "GPU" + std::to_string(thread) : name;
}

std::string executor::gpu_line(size_t thread, double rate) const {
  const device_reading reading = miner_.read_device(thread);
  const std::string name = miner_.device_name(thread);
  char buffer[128];
  if (reading.has_fan) {
    snprintf(buffer, sizeof(buffer), "%s | %2.0f\u00b0C | Fan %i RPM |%s H/s", name.c_str(),
             static_cast<double>(reading.temperature_c), reading.fan, rate_text(rate).c_str());
  } else if (reading.temperature_c > -1.0f) {
    snprintf(buffer, sizeof(buffer), "%s | %2.0f\u00b0C |%s H/s", name.c_str(),
             static_cast<double>(reading.temperature_c), rate_text(rate).c_str());
  } else {
    snprintf(buffer, sizeof(buffer), "%s |%s H/s", name.c_str(), rate_text(rate).c_str());
  }
  if (!miner_.device_error(thread).empty()) return std::string(buffer) + " | parked";
  if (reading.paused) return std::string(buffer) + " | paused";
  return buffer;
}

void executor::print_gpu_line(size_t thread) {
  const double rate = meter_.close_window(thread);
  meter_.reset_window(thread);
  if (!exiting_.load()) base::printer::inst().print_leveled(base::kInfo, "%s", gpu_line(thread, rate).c_str());
  base::notify_gpu_line(thread, miner_.thread_count(), meter_.total_current_rate());
}

std::string executor::share_line() const {
  std::string line;
  line.reserve(256);
  const uint32_t accepted = accepted_.load();
  line += "Shares: " + std::to_string(accepted) + " Accepted, ";
  line += std::to_string(network_fail_.load() + rejected_.load() + invalid_.load()) + " Errors";
  line += " | Hash Rate Avg:" + rate_text(meter_.total_average_rate()) + " H/s";
  if (accepted > 0) line += " | Avg Search Time: " + format("%.1f sec", search_time_avg_.load());
  return line;
}

void executor::print_share_line() {
  if (!exiting_.load()) base::printer::inst().print_leveled(base::kStatus, "%s", share_line().c_str());
}

std::string executor::report_text() const {
  std::string text;
  text.reserve(2048);
  const size_t active = active_user_.load();
  const net::jpsock& pool = *pools_[active];
  {
    text += "\n[Pool: '" + pool_configs_[active].address;
    if (pool.is_connected())
      text += "' | Connected: " + date_text(pool.login_time());
    else
      text += "' | Disconnected: " + date_text(pool.disconnect_time());
    text += "]";
    const double online = pool.connected_seconds();
    const double offline = pool.disconnected_seconds();
    const double total = online + offline;
    const float percent = total <= 0 ? 0.0f : static_cast<float>(100.0 / total);
    text += "\n  " + duration_text(online) + format(" (%3.0f%%)", percent * online) + " Online";
    text += "\n  " + duration_text(offline) + format(" (%3.0f%%)", percent * offline) + " Offline";
    const uint32_t connects = pool.connect_count();
    if (connects >= 3) text += " (" + std::to_string(connects - 1) + " Reconnects)";
    const uint32_t jobs = job_count_.load();
    text += "\n\n[Job: #" + std::to_string(jobs) + " | Difficulty: " + std::to_string(pool.difficulty());
    if (jobs > 0) {
      const int64_t running = (settings_.clock->ticks() - job_start_.load()) / kTicksPerSecond;
      text += " | Running: " + format("%.1f sec", static_cast<double>(running));
      if (jobs > 1) text += " | Avg Job Time: " + format("%.1f sec", job_time_avg_.load());
    }
    text += "]\n";
  }
  text += "\n[Hash Rate Avg:" + rate_text(meter_.total_average_rate()) + " H/s]\n";
  if (meter_.rows() > 1) {
    for (size_t i = 0; i < meter_.rows(); ++i) {
      text += " " + rate_text(meter_.average_rate(i)) + " H/s " + miner_.device_name(i) + "\n";
    }
  }
  // A GPU its backend parked says why, as the console said when it happened.
  for (size_t i = 0; i < miner_.thread_count(); ++i) {
    const std::string error = miner_.device_error(i);
    if (!error.empty()) {
      text += " " + miner_.device_name(i) + " parked: " + error + "\n";
    }
  }
  text += "\n";
  const uint32_t accepted = accepted_.load(), rejected = rejected_.load(),
                 invalid = invalid_.load(), network_fail = network_fail_.load(),
                 outdated = outdated_.load(), lost = lost_.load();
  const uint32_t total = accepted + rejected + invalid + network_fail + outdated + lost;
  text += "[Shares Found: " + std::to_string(total);
  if (accepted > 0) text += " | Avg Search Time: " + format("%.1f sec", search_time_avg_.load());
  text += "]\n";
  const float q = total == 0 ? 0.0f : 100.0f / static_cast<float>(total);
  const auto share_row = [&](uint32_t count, const char* label) {
    text += format("%u (%3.0f%%)", count, static_cast<double>(static_cast<float>(count) * q));
    text += label;
  };
  share_row(accepted, " Accepted\n");
  share_row(rejected, " Rejected by pool\n");
  share_row(invalid, " Invalid result computation failed\n");
  share_row(network_fail, " Could not be submitted because of network error\n");
  share_row(outdated, " Outdated because of job change\n");
  share_row(lost, " Lost because the GPU's result list was full\n");
  text += "\n";
  return text;
}

void executor::print_report() { base::printer::inst().print_plain(report_text()); }

std::string executor::stats_json() const {
  rapidjson::StringBuffer buffer;
  buffer.Reserve(1024);
  base::tabbed_json_writer out(buffer);
  const size_t active = active_user_.load();
  const net::jpsock& pool = *pools_[active];
  const size_t rows = meter_.rows();
  uint32_t total_current = 0, total_average = 0;
  for (size_t i = 0; i < rows; ++i) {
    total_current += milli_rate(meter_.current_rate(i));
    total_average += milli_rate(meter_.average_rate(i));
  }
  const uint32_t connects = pool.connect_count();

  out.StartObject();
  out.Key("total_hash_rate");
  out.Uint(total_current);
  out.Key("total_hash_rate_avg");
  out.Uint(total_average);
  out.Key("pool");
  out.StartObject();
  out.Key("server");
  out.String(pool_configs_[active].address);
  out.Key("status");
  out.String(pool.is_connected() ? "connected" : "disconnected");
  out.Key("online");
  out.Uint(static_cast<unsigned>(pool.connected_seconds()));
  out.Key("offline");
  out.Uint(static_cast<unsigned>(pool.disconnected_seconds()));
  out.Key("reconnects");
  out.Uint(connects == 0 ? 0u : connects - 1);
  out.Key("time_connected");
  out.String(date_text(pool.login_time()));
  out.Key("time_disconnected");
  out.String(date_text(pool.disconnect_time()));
  out.EndObject();

  out.Key("pools");
  out.StartArray();
  for (size_t i = 0; i < pools_.size(); ++i) {
    const net::jpsock& entry = *pools_[i];
    const pool_stats& counts = *pool_stats_[i];
    std::string last_error;
    {
      std::lock_guard<std::mutex> lock(counts.mutex);
      last_error = counts.last_error;
    }
    const char* status = !entry.is_logged_in() ? "disconnected" : i == active ? "active" : "connected";
    out.StartObject();
    out.Key("address");
    out.String(pool_configs_[i].address);
    out.Key("status");
    out.String(status);
    out.Key("accepted");
    out.Uint(counts.accepted.load());
    out.Key("rejected");
    out.Uint(counts.rejected.load());
    out.Key("last_error");
    out.String(last_error);
    out.EndObject();
  }
  out.EndArray();

  out.Key("job");
  out.StartObject();
  out.Key("job_number");
  out.Uint(job_count_.load());
  out.Key("difficulty");
  out.Uint64(difficulty_.load());
  out.Key("running");
  out.Uint(static_cast<unsigned>((settings_.clock->ticks() - job_start_.load()) / kTicksPerSecond));
  out.Key("job_time_avg");
  out.Fixed(job_time_avg_.load(), 2);
  out.EndObject();

  out.Key("shares");
  out.StartObject();
  out.Key("num_accepted");
  out.Uint(accepted_.load());
  out.Key("num_rejected");
  out.Uint(rejected_.load());
  out.Key("num_invalid");
  out.Uint(invalid_.load());
  out.Key("num_network_fail");
  out.Uint(network_fail_.load());
  out.Key("num_outdated");
  out.Uint(outdated_.load());
  out.Key("num_lost");
  out.Uint(lost_.load());
  out.Key("search_time_avg");
  out.Fixed(search_time_avg_.load(), 2);
  out.EndObject();

  out.Key("devices");
  out.StartArray();
  for (size_t i = 0; i < rows; ++i) {
    const uint32_t device = miner_.device_number(i);
    const device_reading reading = miner_.read_device(i);
    out.StartObject();
    out.Key("device");
    out.String(document_name(i));
    out.Key("device_id");
    out.Int(static_cast<int>(device));
    out.Key("hash_rate");
    out.Uint(milli_rate(meter_.current_rate(i)));
    out.Key("hash_rate_avg");
    out.Uint(milli_rate(meter_.average_rate(i)));
    out.Key("gpu_temperature");
    out.Int(static_cast<int>(reading.temperature_c));
    out.Key("gpu_fan_rpm");
    out.Int(reading.fan);
    out.Key("paused");
    out.Bool(reading.paused);
    // Only a parked device carries its error line.
    if (const std::string error = miner_.device_error(i); !error.empty()) {
      out.Key("error");
      out.String(error);
    }
    out.EndObject();
  }
  out.EndArray();
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

}  // namespace core

namespace core {

std::string executor::metrics_text() const {
  network::metrics_writer out;
  const size_t active = active_user_.load();
  const net::jpsock& pool = *pools_[active];
  for (size_t i = 0; i < meter_.rows(); ++i) {
    const uint32_t device = miner_.device_number(i);
    const network::metric_labels labels = {{"device", document_name(i)},
                                           {"device_id", std::to_string(device)}};
    out.gauge("orbeck_hash_rate", "Hash rate of the last closed window in hashes per second.",
              labels, meter_.current_rate(i));
    out.gauge("orbeck_hash_rate_average", "Average hash rate since the start in hashes per second.",
              labels, meter_.average_rate(i));
    const device_reading reading = miner_.read_device(i);
    if (reading.temperature_c > -1.0f)
      out.gauge("orbeck_gpu_temperature_celsius", "GPU temperature.", labels, reading.temperature_c);
    if (reading.fan >= 0)
      out.gauge("orbeck_gpu_fan_speed", "GPU fan speed as the sensor reports it.", labels, reading.fan);
    out.gauge("orbeck_gpu_paused", "1 while the temperature guard holds the GPU paused.", labels,
              reading.paused ? 1 : 0);
    out.gauge("orbeck_gpu_parked", "1 while the GPU is parked because it could not be set up again.",
              labels, miner_.device_error(i).empty() ? 0 : 1);
  }
  out.gauge("orbeck_total_hash_rate", "Sum of the current hash rates in hashes per second.",
            meter_.total_current_rate());
  // The share counters by pool of the list (they add up to the totals of
  // the report and the statistics document).
  for (size_t i = 0; i < pools_.size(); ++i) {
    const network::metric_labels labels = {{"pool", pool_configs_[i].address}};
    const pool_stats& counts = *pool_stats_[i];
    out.counter("orbeck_shares_accepted_total", "Shares the pool accepted.", labels, counts.accepted.load());
    out.counter("orbeck_shares_rejected_total", "Shares the pool rejected.", labels, counts.rejected.load());
    out.counter("orbeck_shares_invalid_total", "Results whose CPU check failed.", labels, counts.invalid.load());
    out.counter("orbeck_shares_network_fail_total", "Shares that could not be sent.", labels,
                counts.network_fail.load());
    out.counter("orbeck_shares_outdated_total", "Results for a job that had already changed.", labels,
                counts.outdated.load());
    out.counter("orbeck_shares_lost_total", "Nonces found beyond the slots of a GPU's result list.", labels,
                counts.lost.load());
  }
  for (size_t i = 0; i < pools_.size(); ++i) {
    out.gauge("orbeck_pool_up", "1 while the pool of the list is logged in.", {{"pool", pool_configs_[i].address}},
              pools_[i]->is_logged_in() ? 1 : 0);
  }
  out.gauge("orbeck_pool_active", "1 for the pool of the list being mined.",
            {{"pool", pool_configs_[active].address}}, 1);
  out.gauge("orbeck_pool_connected", "1 while the pool connection is up.", pool.is_connected() ? 1 : 0);
  out.gauge("orbeck_pool_difficulty", "Difficulty of the pool's current job.",
            static_cast<double>(difficulty_.load()));
  out.gauge("orbeck_pool_online_seconds", "Seconds connected to the pool.", pool.connected_seconds());
  out.gauge("orbeck_pool_offline_seconds", "Seconds without a pool connection.",
            pool.disconnected_seconds());
  const uint32_t connects = pool.connect_count();
  out.counter("orbeck_pool_reconnects_total", "Reconnections to the pool.", connects == 0 ? 0 : connects - 1);
  out.gauge("orbeck_pool_jobs", "Jobs received since the last login.", job_count_.load());
  return out.text();
}

}  // namespace core
