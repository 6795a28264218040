// A blocking TCP client for loopback addresses with bounded waits, for the
// remote access tests and the load tool. One thread per client object.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace remote_test {

class loopback_client {
 public:
  loopback_client() = default;
  ~loopback_client() { close(); }
  loopback_client(const loopback_client&) = delete;
  loopback_client& operator=(const loopback_client&) = delete;

  // Connects to 127.0.0.1:port within timeout.
  bool connect(uint16_t port, std::chrono::milliseconds timeout);
  // Connects to a numeric IPv4 or IPv6 address within timeout.
  bool connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout);
  // Shrinks the receive buffer (before connect) so a client that stops
  // reading holds the server's write back early.
  void set_receive_buffer(int bytes) { receive_buffer_ = bytes; }
  // Connects from this numeric address of the same family (before connect),
  // so the server sees another peer, e.g. 127.0.0.5.
  void set_source(const std::string& address) { source_ = address; }
  // Sends all of data (no SIGPIPE); false on a socket error.
  bool send(std::string_view data);
  // Appends what arrives to out until the peer closes (true) or the
  // timeout passes or the socket fails (false).
  bool read_until_close(std::string& out, std::chrono::milliseconds timeout);
  // True when the last read_until_close ended because the peer reset the
  // connection (it closed with unread data) rather than timing out.
  bool was_reset() const { return reset_; }
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool reset_ = false;
  int receive_buffer_ = 0;
  std::string source_;
};

// One request on a fresh connection: the bytes received before the server
// closed. Sets closed to whether the server closed within timeout.
std::string exchange(uint16_t port, std::string_view request, std::chrono::milliseconds timeout,
                     bool* closed = nullptr);
std::string exchange(const std::string& address, uint16_t port, std::string_view request,
                     std::chrono::milliseconds timeout, bool* closed = nullptr);

}  // namespace remote_test
