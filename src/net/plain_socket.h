// base_socket over POSIX blocking TCP sockets. Owned by one jpsock, reused
// for every connection attempt; thread rules as base_socket. Error texts are
// the owner's first-error texts: prefix + strerror(errno) / gai_strerror.
// A connection whose first bytes are a TLS record ends with a hint to use a
// TLS scheme.
#pragma once

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/base_socket.h"
#include "net/socket_owner.h"

namespace net {

// The system calls plain_socket makes where tests need to step in. A
// replacement resolver must return a list that ::freeaddrinfo can free.
struct socket_calls {
  int (*resolve)(const char* host, const char* service, const addrinfo* hints,
                 addrinfo** result) = ::getaddrinfo;
  ssize_t (*send)(int fd, const void* data, size_t length, int flags) = ::send;
  ssize_t (*recv)(int fd, void* data, size_t length, int flags) = ::recv;
};

// The entry a connection uses from a resolver list: the last IPv4 entry,
// else the last IPv6 entry, else nullptr.
const addrinfo* choose_address(const addrinfo* list);

class plain_socket : public base_socket {
 public:
  static constexpr size_t kMaxAddressLength = 255;

  explicit plain_socket(socket_owner* owner, socket_calls calls = socket_calls());
  ~plain_socket() override;
  plain_socket(const plain_socket&) = delete;
  plain_socket& operator=(const plain_socket&) = delete;

  base::status resolve_address(const char* address) override;
  base::status connect() override;
  int32_t receive(char* buffer, uint32_t capacity) override;
  base::status send_all(const char* text) override;
  // Takes the descriptor (one atomic exchange, so only one caller gets it)
  // and shuts it down, which ends a receive blocked in another thread. The
  // descriptor itself is released by release_closed(): closing it here could
  // hand its number to a new file while another thread is still about to use
  // it in recv or send.
  void close() override;
  // Releases the descriptor of a closed socket. Only when no other thread can
  // be inside receive or send_all (after the connection thread was joined).
  void release_closed();

  // Test seam: replaces the system calls; only while no connection runs.
  void set_calls(socket_calls calls) { calls_ = calls; }

  // The open descriptor, or -1 once closed. For a socket layered on top
  // (TLS), which reads and writes the descriptor itself.
  int handle() const { return handle_.load(); }
  // Whether the current connection has received any byte. Any thread.
  bool received_any() const { return !first_read_.load(); }

 private:
  void free_resolved();

  socket_owner* const owner_;
  // The first read of a connection is checked for a TLS record (a pool
  // that speaks TLS on this port). Connection thread only.
  std::atomic<bool> first_read_{true};  // written by the connection thread
  socket_calls calls_;
  // Written by resolve_address, read and freed by connect on the connection
  // thread, which starts after resolve_address returned.
  const addrinfo* chosen_ = nullptr;
  addrinfo* resolved_ = nullptr;
  std::atomic<int> handle_{-1};   // -1 when no socket is open; close exchanges it
  std::atomic<int> retired_{-1};  // shut down by close, not yet released
};

}  // namespace net
