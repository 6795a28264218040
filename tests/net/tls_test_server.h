// A TLS server on 127.0.0.1 (or ::1) for tests (OpenSSL, a certificate made at test
// time). Each client gets its own thread and is served in the chosen way: as a
// line-based pool behind TLS, or as one of the misbehaving peers the client
// must survive. Every method may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_certificate.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace net {

class tls_test_server {
 public:
  enum class behaviour {
    pool,            // handshake, then answer each line through the responder
    silent,          // accept the TCP connection, never answer
    garbage,         // answer the handshake with bytes that are not TLS
    cut_mid_record,  // handshake, read a line, send half a record and close
    alert_to_plain,  // answer whatever arrives with a TLS alert record, close
  };
  using responder = std::function<std::string(const std::string& line)>;

  // Listens on 127.0.0.1, or on ::1 with ipv6.
  tls_test_server(const test_tls::certificate& certificate, behaviour how, bool ipv6 = false);
  ~tls_test_server();

  uint16_t port() const { return port_; }
  std::string address() const { return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_); }
  void set_responder(responder answer);
  // Waits for the index-th line received over TLS (line feed removed).
  std::optional<std::string> wait_for_line(size_t index, std::chrono::milliseconds timeout);
  size_t handshakes() const { return handshakes_.load(); }

 private:
  void run();
  void serve(int fd);

  const behaviour how_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  const bool ipv6_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> handshakes_{0};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by mutex_
  responder answer_;                // guarded by mutex_
  std::vector<int> client_fds_;            // guarded by mutex_
  std::vector<std::thread> client_threads_;  // accept thread only, then the destructor
  std::thread thread_;
};

}  // namespace net
