// Messages to the service manager when the program runs as a systemd
// service of Type=notify (NOTIFY_SOCKET set); without it every call does
// nothing. Any thread.
#pragma once

#include <cstddef>

namespace base {

// A mining thread's GPU line was printed, with the total hash rate of all
// threads: sends STATUS= with that rate, and READY=1 once, as soon as every
// one of the thread_count threads has printed its line (every GPU mines).
void notify_gpu_line(size_t thread, size_t thread_count, double total_rate);
// Sends STOPPING=1; the orderly exit has begun.
void notify_stopping();
// Forgets which threads have printed and whether READY=1 was sent (tests).
void reset_service_notify();

}  // namespace base
