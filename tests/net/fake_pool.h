// A mining pool on 127.0.0.1 (or ::1) for tests: one thread accepts connections (one
// client at a time; a newer one replaces the older), records every line it
// receives and answers each through a responder. The test thread plays
// scripted bytes with send() and waits on what arrived with bounded
// deadlines. Every method may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace net {

class fake_pool {
 public:
  // Gets a received line (line feed removed) and returns the bytes to send
  // back (nothing when empty). Runs on the pool thread.
  using responder = std::function<std::string(const std::string& line)>;

  // The pool thread gives up after this long even if never stopped.
  static constexpr std::chrono::seconds kMaxLifetime{300};

  // Listens on an ephemeral port of 127.0.0.1 (of ::1 with ipv6) and
  // starts the pool thread.
  explicit fake_pool(bool ipv6 = false);
  ~fake_pool();  // stops the thread and closes every socket

  bool listening() const { return listen_fd_ >= 0; }
  uint16_t port() const { return port_; }
  std::string address() const;  // "127.0.0.1:<port>" or "[::1]:<port>"

  void set_responder(responder answer);
  // Answers every "login" request with `reply` (a whole line) and leaves
  // other requests unanswered.
  void answer_login_with(std::string reply);

  // Sends raw bytes to the current client; false when there is none.
  bool send(std::string_view bytes);
  // Hangs up on the current client.
  void close_client();

  // Waits until `count` connections have been accepted in all.
  bool wait_for_connections(size_t count, std::chrono::milliseconds timeout);
  // Waits for the index-th line received (counting over all connections).
  std::optional<std::string> wait_for_line(size_t index, std::chrono::milliseconds timeout);
  // Waits until the current client has closed its side.
  bool wait_for_client_close(std::chrono::milliseconds timeout);

  size_t connection_count() const;
  std::vector<std::string> lines() const;
  // Waits until the latest client (open or closed) has sent `count` bytes
  // after its last line feed; returns them (empty on time-out).
  std::string wait_for_partial(size_t count, std::chrono::milliseconds timeout);

 private:
  void run();
  void accept_client();
  void read_client();
  void drop_client_locked();  // pool thread (or after it ended) only

  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};  // a byte in it stops the pool thread
  uint16_t port_ = 0;
  bool ipv6_ = false;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  int client_fd_ = -1;
  bool client_closed_ = false;  // the current client hung up
  size_t connections_ = 0;
  std::vector<std::string> lines_;
  std::string partial_;  // bytes of the latest client after its last line feed
  responder answer_;

  std::thread thread_;
};

// A listening TCP socket on an ephemeral port of 127.0.0.1 (::1 with ipv6);
// -1 when it cannot be made. Sets port.
int listen_on_loopback(bool ipv6, uint16_t& port);

// `reply` (a line that starts with {"id":1,) as the answer to the request
// `line`: with the request's own id.
std::string reply_for(const std::string& line, const std::string& reply);

// Lines for scripts; each ends with a line feed.
std::string job_line(const std::string& job_id, const std::string& blob, const std::string& target);
std::string login_result_line(const std::string& miner_id, const std::string& job_object);
std::string job_object(const std::string& job_id, const std::string& blob,
                       const std::string& target);

}  // namespace net
