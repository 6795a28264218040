// Pool selection, reconnects and the donation timer of the executor.
#include <cmath>
#include <cstdio>

#include "base/printer.h"
#include "core/executor.h"
#include "crypto/algorithm.h"

namespace core {
namespace {

constexpr const char* kDevUser = "orbeck";
constexpr const char* kDevPassword = "";

}  // namespace

uint64_t executor::donation_length_ticks() const {
  const double product = static_cast<double>(settings_.donation_period_ticks) * settings_.donation_share;
  // The small epsilon keeps 6600 x 1.5 % at 99 despite binary rounding.
  const uint64_t ticks = static_cast<uint64_t>(std::floor(product + 1e-9));
  // A few ticks more so the donation pool's first job is mined for its share.
  return product != 0.0 ? ticks + 4 : 0;
}

const char* executor::dev_port_for(int32_t algorithm) { return crypto::donation_port(algorithm); }

void executor::post_after(executor_event event, double seconds) {
  const auto tick_s = std::chrono::duration<double>(settings_.tick).count();
  uint64_t ticks = static_cast<uint64_t>(seconds / tick_s + 0.5);
  if (ticks == 0) ticks = 1;
  std::lock_guard<std::mutex> lock(timed_mutex_);
  timed_events_.push_back(timed_event{std::move(event), ticks});
}

void executor::timer_loop() {
  const uint64_t period = settings_.donation_period_ticks;
  const uint64_t length = donation_length_ticks();
  uint64_t countdown = period;
  housekeeping_countdown_ = settings_.housekeeping_ticks;
  const base::clock& clock = *settings_.clock;
  base::clock::time_point next_tick = clock.now();
  while (executor_running_.load()) {
    // Ticks keep their spacing, so a clock moved by several ticks at once
    // gets each of them; a timer that fell a minute behind (a suspended
    // machine) starts over from now instead of catching up in a burst.
    next_tick += settings_.tick;
    if (clock.now() - next_tick > std::chrono::minutes(1)) next_tick = clock.now() + settings_.tick;
    {
      std::unique_lock<std::mutex> lock(timer_mutex_);
      if (clock.wait_until(lock, timer_signal_, next_tick, [this] { return !executor_running_.load(); }))
        break;
    }
    if (settings_.housekeeping_ticks != 0 && --housekeeping_countdown_ == 0) {
      housekeeping_countdown_ = settings_.housekeeping_ticks;
      post(executor_event(kHousekeeping, kPoolNone));
    }
    {
      std::lock_guard<std::mutex> lock(timed_mutex_);
      for (auto it = timed_events_.begin(); it != timed_events_.end();) {
        if (--it->ticks_left == 0) {
          events_.post(std::move(it->event));  // list mutex before queue mutex
          it = timed_events_.erase(it);
        } else {
          ++it;
        }
      }
    }
    if (length != 0) {
      if (countdown == 1) {
        post(executor_event(kSwitchPool, kPoolUser));
        countdown = period;
      } else {
        --countdown;
        if (countdown == length) post(executor_event(kSwitchPool, kPoolDonation));
      }
    }
  }
}

void executor::on_reconnect(uint64_t pool_id) {
  if (!is_user_pool(pool_id)) return;
  // A timer's reconnect starts a new round at the top of the list.
  connect_user_pool(index_of(pool_id));
}

void executor::connect_user_pool(size_t index) {
  active_user_.store(index);
  if (active_pool_.load() != kPoolDonation) active_pool_.store(active_user_id());
  base::printer::inst().print_leveled(base::kEvent, "Connecting to %s ...", pool_configs_[index].address.c_str());
  if (const base::status opened = open_pool(index); !opened) {
    base::printer::inst().print_leveled(base::kInfo, "Socket Error - %s", opened.message().c_str());
    active_pool_failed();
  }
}

base::status executor::open_pool(size_t index) {
  const pool_options& pool = pool_configs_[index];
  base::status connected = pools_[index]->connect_pool(pool.address.c_str(), settings_.nicehash,
                                                       pool.tls_fingerprint);
  if (!connected) record_pool_error(index, connected.message());
  return connected;
}

void executor::record_pool_error(size_t index, const std::string& text) {
  std::lock_guard<std::mutex> lock(pool_stats_[index]->mutex);
  pool_stats_[index]->last_error = text;
}

void executor::on_socket_ready(uint64_t pool_id) {
  if (pool_id == kPoolDonation) {
    if (!dev_pool_->login(kDevUser, kDevPassword)) dev_pool_->disconnect();
    active_pool_.store(kPoolDonation);
    return;
  }
  if (!is_user_pool(pool_id)) return;
  const size_t index = index_of(pool_id);
  const bool probe = index == probing_;
  if (!probe && index != active_user_.load()) return;  // a connection we no longer want
  net::jpsock& pool = *pools_[index];
  const pool_options& config = pool_configs_[index];
  base::printer::inst().print_leveled(base::kStatus, "Connected to pool.");
  const base::status logged_in = pool.login(config.user.c_str(), config.password.c_str());
  if (logged_in) {
    connect_attempts_.store(0);
    failed_in_round_ = 0;
    difficulty_.store(0);
    job_count_.store(0);
    if (probe) {
      // A higher pool is back: its job (queued by the login) becomes the
      // work, and the lower connection is closed.
      probing_ = kNoProbe;
      const size_t lower = active_user_.load();
      active_user_.store(index);
      if (active_pool_.load() != kPoolDonation) active_pool_.store(pool_id);
      base::printer::inst().print_leveled(base::kEvent, "Back to pool %s", config.address.c_str());
      pools_[lower]->disconnect();
    }
    if (index > 0) schedule_probe();
    return;
  }
  if (pool.error_set()) return;  // its socket_error follows
  const std::string& refusal = logged_in.message();
  base::printer::inst().print_leveled(base::kInfo, "Socket Error - %s", refusal.c_str());
  record_pool_error(index, refusal);
  pool.disconnect();  // the socket_error it posts moves on to the next pool
}

void executor::on_socket_error(uint64_t pool_id, const base::status& error) {
  if (pool_id == kPoolDonation) {
    dev_pool_->disconnect();
    if (active_pool_.load() == kPoolDonation) {
      on_switch_pool(kPoolUser);
    } else if (dev_endpoint_ == 0) {
      connect_dev_pool(1);
    }
    return;
  }
  if (!is_user_pool(pool_id)) return;
  const size_t index = index_of(pool_id);
  pools_[index]->disconnect();
  const std::string& text = error.message();
  if (!text.empty()) record_pool_error(index, text);
  if (index == probing_) {
    probe_failed();
    return;
  }
  if (index != active_user_.load()) return;  // a lower pool closed after the return to a higher one

  // A TLS refusal needs the user (a pin, a scheme): it is an error line.
  const bool refused = error.code() == base::status_code::kTlsRefused;
  base::printer::inst().print_leveled(refused ? base::kError : base::kInfo, "Socket Error - %s", text.c_str());
  // A plain port that closes before its first byte is often a TLS port.
  if (error.code() == base::status_code::kConnectionLost &&
      pools_[index]->closed_before_any_byte()) {
    base::printer::inst().print_error(
        "The pool ended the connection without answering: if %s is a TLS port, use a "
        "stratum+ssl:// address",
        pool_configs_[index].address.c_str());
  }
  active_pool_failed();
}

void executor::active_pool_failed() {
  // A probe of a higher pool is dropped: the failover walks the list itself.
  if (probing_ != kNoProbe) {
    pools_[probing_]->disconnect();
    probing_ = kNoProbe;
  }
  ++probe_serial_;
  ++failed_in_round_;
  if (failed_in_round_ < pools_.size()) {
    // The next pool of the list, at once; meanwhile the GPUs stop mining a
    // job whose shares could not reach anybody.
    if (active_pool_.load() != kPoolDonation) publish(idle_job(kPoolNone, published_.algorithm));
    connect_user_pool((active_user_.load() + 1) % pools_.size());
    return;
  }
  failed_in_round_ = 0;
  active_user_.store(0);
  if (active_pool_.load() != kPoolDonation) active_pool_.store(kPoolUser);
  connection_failed();
}

void executor::schedule_probe() {
  post_after(executor_event(kProbePrimary, ++probe_serial_), settings_.primary_retry_s);
}

void executor::on_probe_primary(uint64_t serial) {
  if (serial != probe_serial_ || probing_ != kNoProbe) return;  // an older timer
  const size_t active = active_user_.load();
  if (active == 0 || !pools_[active]->is_logged_in()) return;
  start_probe(0);
}

void executor::start_probe(size_t index) {
  probing_ = index;
  if (!open_pool(index)) probe_failed();
}

void executor::probe_failed() {
  // The next higher pool below the first, then wait for the next round.
  const size_t next = probing_ + 1;
  probing_ = kNoProbe;
  const size_t active = active_user_.load();
  if (next < active) {
    start_probe(next);
  } else if (active > 0) {
    schedule_probe();
  }
}

void executor::on_housekeeping() {
  const int32_t keepalive_s = settings_.keepalive_s;
  const auto now = settings_.clock->now();
  for (auto& pool : pools_) {
    if (!pool->is_connected()) continue;
    if (pool->check_timeouts()) continue;
    if (keepalive_s > 0 && pool->is_logged_in() &&
        now - pool->last_request_time() >= std::chrono::seconds(keepalive_s))
      pool->keepalive();
  }
  if (dev_pool_->is_connected()) dev_pool_->check_timeouts();
}

void executor::connection_failed() {
  const executor_settings& c = settings_;
  const uint64_t attempts = connect_attempts_.fetch_add(1) + 1;
  // A negative limit sign-extends to a huge unsigned value and never triggers.
  const uint64_t limit = static_cast<uint64_t>(static_cast<int64_t>(c.max_reconnects));
  if (c.max_reconnects != 0 && attempts > limit) {
    base::printer::inst().print_error("Could not connect to Pool. Giving up.");
    if (settings_.give_up) settings_.give_up();
    return;
  }
  base::printer::inst().print_error("Connecting to Pool failed. Retrying in %lld secs ...",
                                   static_cast<long long>(c.retry_delay_s));
  publish(idle_job(kPoolNone, 0));
  meter_.reset_all();
  post_after(executor_event(kReconnect, kPoolUser), c.retry_delay_s);
}

bool executor::connect_dev_pool(int endpoint) {
  const std::string port = settings_.dev_port_override.empty()
                               ? dev_port_for(published_.algorithm)
                               : settings_.dev_port_override;
  const std::string address = settings_.dev_hosts[endpoint] + ":" + port;
  dev_endpoint_ = endpoint;
  return dev_pool_->connect_pool(address.c_str(), true).is_ok();
}

void executor::on_switch_pool(uint64_t target) {
  if (target == active_pool_.load()) return;
  // Back to the user's pools only from a donation.
  if (target != kPoolDonation && active_pool_.load() != kPoolDonation) return;
  if (target == kPoolDonation) {
    if (!connect_dev_pool(0)) connect_dev_pool(1);
    return;
  }
  dev_endpoint_ = -1;
  const uint64_t user_id = active_user_id();
  active_pool_.store(user_id);
  net::jpsock& pool = *pools_[active_user_.load()];
  job_record job;
  if (!pool.get_current_job(job)) {
    pool.disconnect();
    return;
  }
  // Resume above the nonces searched before the donation.
  publish(work_from(job, user_id, 0x100000));
  if (dev_pool_->is_connected()) post_after(executor_event(kCloseDevPool, kPoolNone), 5.0);
}

void executor::on_close_dev_pool() { dev_pool_->disconnect(); }

}  // namespace core
