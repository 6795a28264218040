// Pool selection, reconnects and the donation timer of the executor.
#include <cmath>
#include <cstdio>

#include "app/config.h"
#include "app/printer.h"
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

const char* executor::dev_port_for(int32_t algorithm) {
  if (algorithm == crypto::kCryptoNightV8) return "7771";
  if (algorithm == crypto::kCryptoNightFast) return "7778";
  switch (crypto::scratchpad_size(algorithm)) {
    case crypto::kScratchpadLight: return "7776";
    case crypto::kScratchpadHeavy: return "7773";
    default: return "7770";
  }
}

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
  while (executor_running_.load()) {
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + settings_.tick);
    if (!executor_running_.load()) break;
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
  if (pool_id == kPoolDonation) return;
  const app::config& c = app::cfg();
  app::printer::inst().print_leveled(app::kEvent, "Connecting to %s ...", c.pool_address.c_str());
  std::string error;
  if (!user_pool_->connect_pool(c.pool_address.c_str(), error, c.nicehash, c.pools.empty() ? std::nullopt : c.pools[0].tls_fingerprint)) {
    app::printer::inst().print_leveled(app::kInfo, "Socket Error - %s", error.c_str());
    connection_failed();
  }
}

void executor::on_socket_ready(uint64_t pool_id) {
  if (pool_id == kPoolDonation) {
    if (!dev_pool_->login(kDevUser, kDevPassword)) dev_pool_->disconnect();
    active_pool_.store(kPoolDonation);
    return;
  }
  const app::config& c = app::cfg();
  app::printer::inst().print_leveled(app::kStatus, "Connected to pool.");
  if (user_pool_->login(c.user.c_str(), c.password.c_str())) {
    connect_attempts_.store(0);
    difficulty_.store(0);
    job_count_.store(0);
    return;
  }
  if (user_pool_->error_set()) return;  // its socket_error follows
  app::printer::inst().print_leveled(app::kInfo, "Socket Error - %s",
                                     user_pool_->get_call_error().c_str());
  user_pool_->disconnect();
}

void executor::on_socket_error(uint64_t pool_id, const std::string& text) {
  if (pool_id == kPoolDonation) {
    dev_pool_->disconnect();
    if (active_pool_.load() != kPoolUser) {
      on_switch_pool(kPoolUser);
    } else if (dev_endpoint_ == 0) {
      connect_dev_pool(1);
    }
    return;
  }
  // A TLS refusal needs the user (a pin, a scheme): it is an error line.
  const bool refused = text.rfind("TLS: ", 0) == 0 || text.find("speaks TLS") != std::string::npos;
  app::printer::inst().print_leveled(refused ? app::kError : app::kInfo, "Socket Error - %s", text.c_str());
  if (text.rfind("Recv Error: ", 0) == 0 && user_pool_->closed_before_any_byte()) {
    app::printer::inst().print_error(
        "The pool ended the connection without answering: if %s is a TLS port, use a "
        "stratum+ssl:// address",
        app::cfg().pool_address.c_str());
  }
  user_pool_->disconnect();
  connection_failed();
}

void executor::connection_failed() {
  const app::config& c = app::cfg();
  const uint64_t attempts = connect_attempts_.fetch_add(1) + 1;
  // A negative limit sign-extends to a huge unsigned value and never triggers.
  const uint64_t limit = static_cast<uint64_t>(static_cast<int64_t>(c.max_reconnects));
  if (c.max_reconnects != 0 && attempts > limit) {
    app::printer::inst().print_error("Could not connect to Pool. Giving up.");
    if (settings_.give_up) settings_.give_up();
    return;
  }
  app::printer::inst().print_error("Connecting to Pool failed. Retrying in %lld secs ...",
                                   static_cast<long long>(c.retry_delay_s));
  mining_job idle;
  idle.idle = true;
  idle.nicehash = true;
  idle.pool_id = kPoolNone;
  idle.algorithm = 0;
  publish(idle);
  meter_.reset_all();
  post_after(executor_event(kReconnect, kPoolUser), c.retry_delay_s);
}

bool executor::connect_dev_pool(int endpoint) {
  const std::string port = settings_.dev_port_override.empty()
                               ? dev_port_for(miner_.current_job().algorithm)
                               : settings_.dev_port_override;
  const std::string address = settings_.dev_hosts[endpoint] + ":" + port;
  dev_endpoint_ = endpoint;
  std::string error;
  return dev_pool_->connect_pool(address.c_str(), error, true);
}

void executor::on_switch_pool(uint64_t target) {
  if (target == active_pool_.load()) return;
  if (target == kPoolDonation) {
    if (!connect_dev_pool(0)) connect_dev_pool(1);
    return;
  }
  dev_endpoint_ = -1;
  active_pool_.store(kPoolUser);
  job_record job;
  if (!user_pool_->get_current_job(job)) {
    user_pool_->disconnect();
    return;
  }
  // Resume above the nonces searched before the donation.
  publish(work_from(job, kPoolUser, 0x100000));
  if (dev_pool_->is_connected()) post_after(executor_event(kCloseDevPool, kPoolNone), 5.0);
}

void executor::on_close_dev_pool() { dev_pool_->disconnect(); }

}  // namespace core
