// Helpers shared by the net tests: a jpsock wired to a fake pool and an
// event queue, and bounded waits for its events. Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "support/pool_event_queue.h"
#include "fake_pool.h"
#include "net/jpsock.h"

namespace net {

// Upper bound for anything a test waits for (generous for sanitizer runs).
constexpr std::chrono::seconds kWait{10};
// A reply time-out no passing test gets near.
constexpr std::chrono::milliseconds kNoTimeout{60'000};

// The login reply of the examples: miner id "abc", job "1", blob 0707,
// target b88d0600 (difficulty 10000).
std::string standard_login_reply();

struct pool_session {
  fake_pool pool;
  support::pool_event_queue events;
  jpsock sock;

  explicit pool_session(std::chrono::milliseconds reply_timeout = kNoTimeout,
                        const base::clock& clock = base::system_clock())
      : sock(core::kPoolUser, events, reply_timeout, clock) {}

  // connect_pool, then the socket_ready event.
  ::testing::AssertionResult connect();
  // connect(), a login answered with standard_login_reply() and its new_job.
  ::testing::AssertionResult connect_and_login();
  // The next event, which must be of `kind`.
  std::optional<core::executor_event> expect_event(uint32_t kind);
  // Skips new_job events until socket_error; its text, or "<none>".
  std::string socket_error_text();
};

}  // namespace net
