#include "net_test_util.h"

namespace net {

std::string standard_login_reply() {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"id\":\"abc\",\"job\":"
         "{\"blob\":\"0707\",\"job_id\":\"1\",\"target\":\"b88d0600\"},\"status\":\"OK\","
         "\"protocol_version\":2}}\n";
}

::testing::AssertionResult pool_session::connect() {
  if (!pool.listening()) return ::testing::AssertionFailure() << "fake pool not listening";
  if (const base::status connected = sock.connect_pool(pool.address().c_str(), true); !connected) {
    return ::testing::AssertionFailure() << "connect_pool: " << connected.message();
  }
  if (!expect_event(core::kSocketReady)) return ::testing::AssertionFailure() << "no socket_ready";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult pool_session::connect_and_login() {
  pool.answer_login_with(standard_login_reply());
  if (auto connected = connect(); !connected) return connected;
  if (!sock.login("user", "x")) {
    return ::testing::AssertionFailure() << "login failed: " << sock.error_text() << " / "
                                         << sock.get_call_error();
  }
  if (!expect_event(core::kNewJob)) return ::testing::AssertionFailure() << "no first job";
  return ::testing::AssertionSuccess();
}

std::optional<core::executor_event> pool_session::expect_event(uint32_t kind) {
  std::optional<core::executor_event> event = events.take_for(kWait);
  if (!event) {
    ADD_FAILURE() << "no event of kind " << kind << " within the deadline";
    return std::nullopt;
  }
  if (event->kind != kind) {
    const base::status* error = std::get_if<base::status>(&event->payload);
    ADD_FAILURE() << "expected kind " << kind << ", got " << event->kind
                  << (error != nullptr ? " (" + error->message() + ")" : std::string());
    return std::nullopt;
  }
  return event;
}

std::string pool_session::socket_error_text() {
  // Bounded: at most a few jobs can precede the error in any test.
  for (int i = 0; i < 16; ++i) {
    std::optional<core::executor_event> event = events.take_for(kWait);
    if (!event) return "<none>";
    if (event->kind == core::kNewJob) continue;
    if (event->kind != core::kSocketError) return "<kind " + std::to_string(event->kind) + ">";
    EXPECT_EQ(event->pool_id, core::kPoolUser);
    return std::get<base::status>(event->payload).message();
  }
  return "<none>";
}

}  // namespace net
