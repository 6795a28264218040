// The executor's statistics: the per-GPU line, the share line, and the
// snapshot that the report, the statistics document and the metrics render.
#include "core/statistics.h"

#include <algorithm>
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

statistics_snapshot executor::snapshot() const {
  statistics_snapshot s;
  s.meter_rows = meter_.rows();
  s.thread_count = miner_.thread_count();
  s.devices.resize(std::max(s.meter_rows, s.thread_count));
  for (size_t i = 0; i < s.devices.size(); ++i) {
    statistics_snapshot::device& d = s.devices[i];
    d.name = miner_.device_name(i);
    d.document_name = document_name(i);
    d.number = miner_.device_number(i);
    if (i < s.meter_rows) {
      d.current_rate = meter_.current_rate(i);
      d.average_rate = meter_.average_rate(i);
    }
    d.reading = miner_.read_device(i);
    d.error = miner_.device_error(i);
  }
  s.total_current_rate = meter_.total_current_rate();
  s.total_average_rate = meter_.total_average_rate();

  s.active = active_user_.load();
  s.pools.resize(pools_.size());
  for (size_t i = 0; i < pools_.size(); ++i) {
    statistics_snapshot::pool& p = s.pools[i];
    const pool_stats& counts = *pool_stats_[i];
    p.address = pool_configs_[i].address;
    p.logged_in = pools_[i]->is_logged_in();
    p.accepted = counts.accepted.load();
    p.rejected = counts.rejected.load();
    p.invalid = counts.invalid.load();
    p.network_fail = counts.network_fail.load();
    p.outdated = counts.outdated.load();
    p.lost = counts.lost.load();
    std::lock_guard<std::mutex> lock(counts.mutex);
    p.last_error = counts.last_error;
  }
  const net::jpsock& pool = *pools_[s.active];
  statistics_snapshot::connection& c = s.active_connection;
  c.connected = pool.is_connected();
  c.login_time = pool.login_time();
  c.disconnect_time = pool.disconnect_time();
  c.online_s = pool.connected_seconds();
  c.offline_s = pool.disconnected_seconds();
  c.connect_count = pool.connect_count();
  c.difficulty = pool.difficulty();

  s.job_count = job_count_.load();
  s.difficulty = difficulty_.load();
  s.job_running_s = (settings_.clock->ticks() - job_start_.load()) / kTicksPerSecond;
  s.job_time_avg = job_time_avg_.load();

  s.accepted = accepted_.load();
  s.rejected = rejected_.load();
  s.invalid = invalid_.load();
  s.network_fail = network_fail_.load();
  s.outdated = outdated_.load();
  s.lost = lost_.load();
  s.search_time_avg = search_time_avg_.load();
  return s;
}

std::string executor::report_text() const { return render_report(snapshot()); }

void executor::print_report() { base::printer::inst().print_plain(report_text()); }

std::string executor::stats_json() const { return render_stats_json(snapshot()); }

std::string executor::metrics_text() const { return render_metrics(snapshot()); }

std::string render_report(const statistics_snapshot& s) {
  std::string text;
  text.reserve(2048);
  const statistics_snapshot::connection& pool = s.active_connection;
  {
    text += "\n[Pool: '" + s.pools[s.active].address;
    if (pool.connected)
      text += "' | Connected: " + date_text(pool.login_time);
    else
      text += "' | Disconnected: " + date_text(pool.disconnect_time);
    text += "]";
    const double online = pool.online_s;
    const double offline = pool.offline_s;
    const double total = online + offline;
    const float percent = total <= 0 ? 0.0f : static_cast<float>(100.0 / total);
    text += "\n  " + duration_text(online) + format(" (%3.0f%%)", percent * online) + " Online";
    text += "\n  " + duration_text(offline) + format(" (%3.0f%%)", percent * offline) + " Offline";
    const uint32_t connects = pool.connect_count;
    if (connects >= 3) text += " (" + std::to_string(connects - 1) + " Reconnects)";
    const uint32_t jobs = s.job_count;
    text +=
        "\n\n[Job: #" + std::to_string(jobs) + " | Difficulty: " + std::to_string(pool.difficulty);
    if (jobs > 0) {
      text += " | Running: " + format("%.1f sec", static_cast<double>(s.job_running_s));
      if (jobs > 1) text += " | Avg Job Time: " + format("%.1f sec", s.job_time_avg);
    }
    text += "]\n";
  }
  text += "\n[Hash Rate Avg:" + rate_text(s.total_average_rate) + " H/s]\n";
  if (s.meter_rows > 1) {
    for (size_t i = 0; i < s.meter_rows; ++i) {
      text += " " + rate_text(s.devices[i].average_rate) + " H/s " + s.devices[i].name + "\n";
    }
  }
  // A GPU its backend parked says why, as the console said when it happened.
  for (size_t i = 0; i < s.thread_count; ++i) {
    if (!s.devices[i].error.empty())
      text += " " + s.devices[i].name + " parked: " + s.devices[i].error + "\n";
  }
  text += "\n";
  const uint32_t total = s.accepted + s.rejected + s.invalid + s.network_fail + s.outdated + s.lost;
  text += "[Shares Found: " + std::to_string(total);
  if (s.accepted > 0) text += " | Avg Search Time: " + format("%.1f sec", s.search_time_avg);
  text += "]\n";
  const float q = total == 0 ? 0.0f : 100.0f / static_cast<float>(total);
  const auto share_row = [&](uint32_t count, const char* label) {
    text += format("%u (%3.0f%%)", count, static_cast<double>(static_cast<float>(count) * q));
    text += label;
  };
  share_row(s.accepted, " Accepted\n");
  share_row(s.rejected, " Rejected by pool\n");
  share_row(s.invalid, " Invalid result computation failed\n");
  share_row(s.network_fail, " Could not be submitted because of network error\n");
  share_row(s.outdated, " Outdated because of job change\n");
  share_row(s.lost, " Lost because the GPU's result list was full\n");
  text += "\n";
  return text;
}

std::string render_stats_json(const statistics_snapshot& s) {
  rapidjson::StringBuffer buffer;
  buffer.Reserve(1024);
  base::tabbed_json_writer out(buffer);
  const statistics_snapshot::connection& pool = s.active_connection;
  uint32_t total_current = 0, total_average = 0;
  for (size_t i = 0; i < s.meter_rows; ++i) {
    total_current += milli_rate(s.devices[i].current_rate);
    total_average += milli_rate(s.devices[i].average_rate);
  }
  const uint32_t connects = pool.connect_count;

  out.StartObject();
  out.Key("total_hash_rate");
  out.Uint(total_current);
  out.Key("total_hash_rate_avg");
  out.Uint(total_average);
  out.Key("pool");
  out.StartObject();
  out.Key("server");
  out.String(s.pools[s.active].address);
  out.Key("status");
  out.String(pool.connected ? "connected" : "disconnected");
  out.Key("online");
  out.Uint(static_cast<unsigned>(pool.online_s));
  out.Key("offline");
  out.Uint(static_cast<unsigned>(pool.offline_s));
  out.Key("reconnects");
  out.Uint(connects == 0 ? 0u : connects - 1);
  out.Key("time_connected");
  out.String(date_text(pool.login_time));
  out.Key("time_disconnected");
  out.String(date_text(pool.disconnect_time));
  out.EndObject();

  out.Key("pools");
  out.StartArray();
  for (size_t i = 0; i < s.pools.size(); ++i) {
    const statistics_snapshot::pool& entry = s.pools[i];
    const char* status = !entry.logged_in ? "disconnected" : i == s.active ? "active" : "connected";
    out.StartObject();
    out.Key("address");
    out.String(entry.address);
    out.Key("status");
    out.String(status);
    out.Key("accepted");
    out.Uint(entry.accepted);
    out.Key("rejected");
    out.Uint(entry.rejected);
    out.Key("last_error");
    out.String(entry.last_error);
    out.EndObject();
  }
  out.EndArray();

  out.Key("job");
  out.StartObject();
  out.Key("job_number");
  out.Uint(s.job_count);
  out.Key("difficulty");
  out.Uint64(s.difficulty);
  out.Key("running");
  out.Uint(static_cast<unsigned>(s.job_running_s));
  out.Key("job_time_avg");
  out.Fixed(s.job_time_avg, 2);
  out.EndObject();

  out.Key("shares");
  out.StartObject();
  out.Key("num_accepted");
  out.Uint(s.accepted);
  out.Key("num_rejected");
  out.Uint(s.rejected);
  out.Key("num_invalid");
  out.Uint(s.invalid);
  out.Key("num_network_fail");
  out.Uint(s.network_fail);
  out.Key("num_outdated");
  out.Uint(s.outdated);
  out.Key("num_lost");
  out.Uint(s.lost);
  out.Key("search_time_avg");
  out.Fixed(s.search_time_avg, 2);
  out.EndObject();

  out.Key("devices");
  out.StartArray();
  for (size_t i = 0; i < s.meter_rows; ++i) {
    const statistics_snapshot::device& d = s.devices[i];
    out.StartObject();
    out.Key("device");
    out.String(d.document_name);
    out.Key("device_id");
    out.Int(static_cast<int>(d.number));
    out.Key("hash_rate");
    out.Uint(milli_rate(d.current_rate));
    out.Key("hash_rate_avg");
    out.Uint(milli_rate(d.average_rate));
    out.Key("gpu_temperature");
    out.Int(static_cast<int>(d.reading.temperature_c));
    out.Key("gpu_fan_rpm");
    out.Int(d.reading.fan);
    out.Key("paused");
    out.Bool(d.reading.paused);
    // Only a parked device carries its error line.
    if (!d.error.empty()) {
      out.Key("error");
      out.String(d.error);
    }
    out.EndObject();
  }
  out.EndArray();
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string render_metrics(const statistics_snapshot& s) {
  network::metrics_writer out;
  for (size_t i = 0; i < s.meter_rows; ++i) {
    const statistics_snapshot::device& d = s.devices[i];
    const network::metric_labels labels = {{"device", d.document_name},
                                           {"device_id", std::to_string(d.number)}};
    out.gauge("orbeck_hash_rate", "Hash rate of the last closed window in hashes per second.",
              labels, d.current_rate);
    out.gauge("orbeck_hash_rate_average", "Average hash rate since the start in hashes per second.",
              labels, d.average_rate);
    const device_reading& reading = d.reading;
    if (reading.temperature_c > -1.0f)
      out.gauge("orbeck_gpu_temperature_celsius", "GPU temperature.", labels, reading.temperature_c);
    if (reading.fan >= 0)
      out.gauge("orbeck_gpu_fan_speed", "GPU fan speed as the sensor reports it.", labels, reading.fan);
    out.gauge("orbeck_gpu_paused", "1 while the temperature guard holds the GPU paused.", labels,
              reading.paused ? 1 : 0);
    out.gauge("orbeck_gpu_parked",
              "1 while the GPU is parked because it could not be set up again.", labels,
              d.error.empty() ? 0 : 1);
  }
  out.gauge("orbeck_total_hash_rate", "Sum of the current hash rates in hashes per second.",
            s.total_current_rate);
  // The share counters by pool of the list (they add up to the totals of
  // the report and the statistics document).
  for (const statistics_snapshot::pool& pool : s.pools) {
    const network::metric_labels labels = {{"pool", pool.address}};
    out.counter("orbeck_shares_accepted_total", "Shares the pool accepted.", labels, pool.accepted);
    out.counter("orbeck_shares_rejected_total", "Shares the pool rejected.", labels, pool.rejected);
    out.counter("orbeck_shares_invalid_total", "Results whose CPU check failed.", labels,
                pool.invalid);
    out.counter("orbeck_shares_network_fail_total", "Shares that could not be sent.", labels,
                pool.network_fail);
    out.counter("orbeck_shares_outdated_total", "Results for a job that had already changed.",
                labels, pool.outdated);
    out.counter("orbeck_shares_lost_total", "Nonces found beyond the slots of a GPU's result list.",
                labels, pool.lost);
  }
  for (const statistics_snapshot::pool& pool : s.pools) {
    out.gauge("orbeck_pool_up", "1 while the pool of the list is logged in.",
              {{"pool", pool.address}}, pool.logged_in ? 1 : 0);
  }
  const statistics_snapshot::connection& pool = s.active_connection;
  out.gauge("orbeck_pool_active", "1 for the pool of the list being mined.",
            {{"pool", s.pools[s.active].address}}, 1);
  out.gauge("orbeck_pool_connected", "1 while the pool connection is up.", pool.connected ? 1 : 0);
  out.gauge("orbeck_pool_difficulty", "Difficulty of the pool's current job.",
            static_cast<double>(s.difficulty));
  out.gauge("orbeck_pool_online_seconds", "Seconds connected to the pool.", pool.online_s);
  out.gauge("orbeck_pool_offline_seconds", "Seconds without a pool connection.", pool.offline_s);
  const uint32_t connects = pool.connect_count;
  out.counter("orbeck_pool_reconnects_total", "Reconnections to the pool.", connects == 0 ? 0 : connects - 1);
  out.gauge("orbeck_pool_jobs", "Jobs received since the last login.", s.job_count);
  return out.text();
}

}  // namespace core
