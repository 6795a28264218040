#include "base/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdio>
#include <mutex>
#include <vector>

namespace base {
namespace {

struct notify_state {
  std::mutex mutex;
  std::vector<bool> reported;  // guarded by mutex
  bool ready_sent = false;     // guarded by mutex
};

notify_state& state() {
  static notify_state instance;
  return instance;
}

}  // namespace

void notify_gpu_line(size_t thread, size_t thread_count, double total_rate) {
  notify_state& s = state();
  bool send_ready = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.ready_sent && thread < thread_count) {
      if (s.reported.size() != thread_count) s.reported.assign(thread_count, false);
      s.reported[thread] = true;
      bool all = true;
      for (bool r : s.reported) all = all && r;
      send_ready = all;
      s.ready_sent = all;
    }
  }
  char status[96];
  snprintf(status, sizeof(status), "STATUS=Hash rate %.1f H/s", total_rate >= 0 ? total_rate : 0.0);
  if (send_ready) {
    char message[128];
    snprintf(message, sizeof(message), "READY=1\n%s", status);
    sd_notify(0, message);
  } else {
    sd_notify(0, status);
  }
}

void notify_stopping() { sd_notify(0, "STOPPING=1"); }

void reset_service_notify() {
  notify_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.reported.clear();
  s.ready_sent = false;
}

}  // namespace base
