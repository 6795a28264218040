// base_socket over TLS (OpenSSL), on top of the plain TCP socket of the same
// connection: the TCP connect, the descriptor and close are the plain
// socket's; the handshake, certificate checks, reads and writes are this
// one's. The blocking model and the error texts stay those of the socket
// layer ("Recv Error: ", "Send: " followed by OpenSSL's text); a failed
// handshake or refused certificate is kTlsRefused, its text begins with
// "TLS: " and a refused certificate's names the fingerprint seen.
//
// Threads: resolve_address and send_all on the executor thread, connect and
// receive on the connection thread, close on any thread. The OpenSSL session
// is shared by the reader and the writer, so every call into it holds
// ssl_mutex_; the descriptor is non-blocking and the waits happen in poll()
// outside the lock, so a blocked read never holds up a send.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "net/base_socket.h"
#include "net/plain_socket.h"
#include "net/socket_owner.h"
#include "crypto/fingerprint.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace net {

struct tls_options {
  // When set, the certificate must have this SHA-256 fingerprint (DER) and
  // the CA store and host name are not consulted; otherwise it must verify
  // against the system's CA store for the host name.
  std::optional<crypto::sha256_fingerprint> pin;
  // Longest time the handshake may take after the TCP connect.
  std::chrono::milliseconds handshake_timeout = std::chrono::seconds(20);
};

class tls_socket : public base_socket {
 public:
  tls_socket(socket_owner* owner, plain_socket& tcp);
  ~tls_socket() override;
  tls_socket(const tls_socket&) = delete;
  tls_socket& operator=(const tls_socket&) = delete;

  // Executor thread, while no connection runs: the options of the next
  // connection.
  void set_options(const tls_options& options) { options_ = options; }

  base::status resolve_address(const char* address) override;
  base::status connect() override;
  int32_t receive(char* buffer, uint32_t capacity) override;
  base::status send_all(const char* text) override;
  void close() override;

  // "TLSv1.3, TLS_AES_256_GCM_SHA384" after a handshake; empty before.
  std::string session_text() const;

 private:
  enum class wait_result { ready, closed, timed_out };
  // Waits until the descriptor is readable (or writable) or the deadline
  // passes; a closed socket ends the wait at once.
  wait_result wait_for(bool writable, std::chrono::steady_clock::time_point deadline);
  base::status handshake();
  base::status check_certificate();
  void free_session();

  socket_owner* const owner_;
  plain_socket& tcp_;
  tls_options options_;
  std::string host_;  // for SNI and the host-name check

  mutable std::mutex ssl_mutex_;  // guards ctx_, ssl_ and session_
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string session_;
};

}  // namespace net
