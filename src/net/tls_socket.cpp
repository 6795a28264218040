#include "net/tls_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "base/printer.h"
#include "net/pool_address.h"

namespace net {
namespace {

// A wait in poll() never lasts longer than this, so bytes the writer's
// OpenSSL calls may have taken into the session are read soon even when the
// descriptor itself stays quiet.
constexpr int kPollSliceMs = 250;

// OpenSSL's text for the oldest error queued on this thread, or a fallback.
std::string openssl_text(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  if (const char* reason = ERR_reason_error_string(code)) return reason;
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof(buffer));
  return buffer;
}

bool is_ip_literal(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

tls_socket::tls_socket(socket_owner* owner, plain_socket& tcp) : owner_(owner), tcp_(tcp) {
  // OpenSSL writes with write(), which raises SIGPIPE on a connection the
  // pool has closed; that must be a send error, not the end of the process.
  static std::once_flag ignore_sigpipe;
  std::call_once(ignore_sigpipe, [] { ::signal(SIGPIPE, SIG_IGN); });
}

tls_socket::~tls_socket() {
  close();
  free_session();
}

void tls_socket::free_session() {
  std::lock_guard<std::mutex> lock(ssl_mutex_);
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  session_.clear();
}

base::status tls_socket::resolve_address(const char* address) {
  // No connection thread exists now: the previous session can go.
  free_session();
  if (base::status resolved = tcp_.resolve_address(address); !resolved) return resolved;
  std::string_view host_port = address;
  if (const size_t slashes = host_port.find("//"); slashes != std::string_view::npos)
    host_port.remove_prefix(slashes + 2);
  host_ = std::string(net::pool_host(host_port));
  return base::status::ok();
}

tls_socket::wait_result tls_socket::wait_for(bool writable,
                                             std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const int fd = tcp_.handle();
    if (fd < 0) return wait_result::closed;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return wait_result::timed_out;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    pollfd entry = {fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&entry, 1, static_cast<int>(left < kPollSliceMs ? left + 1 : kPollSliceMs));
    if (rc < 0 && errno != EINTR) return wait_result::closed;
    // A readable, hung-up or failed descriptor: the next OpenSSL call tells
    // which. A quiet slice: try again, since the other thread's calls may
    // have read what this one waits for.
    if (rc != 0 || left >= kPollSliceMs) return wait_result::ready;
  }
}

base::status tls_socket::connect() {
  if (base::status connected = tcp_.connect(); !connected) return connected;
  const int fd = tcp_.handle();
  if (fd < 0) {
    return owner_->fail(base::status_code::kNetworkError, "Connection Error: socket closed");
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return owner_->fail_system(base::status_code::kNetworkError, "Connection Error: ", errno);
  }
  if (base::status shaken = handshake(); !shaken) return shaken;
  return check_certificate();
}

base::status tls_socket::handshake() {
  const auto deadline = std::chrono::steady_clock::now() + options_.handshake_timeout;
  {
    std::lock_guard<std::mutex> lock(ssl_mutex_);
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) {
      return owner_->fail(base::status_code::kTlsRefused,
                          "TLS: " + openssl_text("cannot create a TLS context"));
    }
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // The certificate is checked after the handshake, so that a refusal can
    // show the fingerprint; nothing is sent before that check passes.
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    if (!options_.pin && SSL_CTX_set_default_verify_paths(ctx_) != 1) {
      return owner_->fail(
          base::status_code::kTlsRefused,
          "TLS: cannot load the system's CA store: " + openssl_text("unknown error"));
    }
    ssl_ = SSL_new(ctx_);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, tcp_.handle()) != 1) {
      return owner_->fail(base::status_code::kTlsRefused,
                          "TLS: " + openssl_text("cannot create a TLS session"));
    }
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (is_ip_literal(host_)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_, host_.c_str());
      SSL_set1_host(ssl_, host_.c_str());
    }
  }
  for (;;) {
    int rc;
    int error;
    {
      std::lock_guard<std::mutex> lock(ssl_mutex_);
      ERR_clear_error();
      rc = SSL_connect(ssl_);
      error = SSL_get_error(ssl_, rc);
      if (rc == 1) {
        session_ = std::string(SSL_get_version(ssl_)) + ", " + SSL_get_cipher_name(ssl_);
        return base::status::ok();
      }
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      const wait_result waited = wait_for(error == SSL_ERROR_WANT_WRITE, deadline);
      if (waited == wait_result::ready) continue;
      if (waited == wait_result::timed_out) {
        return owner_->fail(base::status_code::kTlsRefused,
                            "TLS: handshake timed out after " +
                                std::to_string(options_.handshake_timeout.count() / 1000) + " s");
      }
      return owner_->fail(base::status_code::kTlsRefused, "TLS: handshake failed: socket closed");
    }
    const int code = errno;
    std::string reason = openssl_text("");
    if (reason.empty()) reason = error == SSL_ERROR_SYSCALL && code != 0 ? base::system_text(code) : "the pool closed the connection";
    return owner_->fail(base::status_code::kTlsRefused, "TLS: handshake failed: " + reason);
  }
}

base::status tls_socket::check_certificate() {
  std::string refusal;
  {
    std::lock_guard<std::mutex> lock(ssl_mutex_);
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    if (certificate == nullptr) {
      return owner_->fail(base::status_code::kTlsRefused, "TLS: the pool sent no certificate");
    }
    crypto::sha256_fingerprint seen{};
    unsigned int length = 0;
    const bool digested = X509_digest(certificate, EVP_sha256(), seen.data(), &length) == 1 &&
                          length == seen.size();
    X509_free(certificate);
    if (!digested) {
      return owner_->fail(base::status_code::kTlsRefused,
                          "TLS: cannot compute the certificate fingerprint");
    }
    const std::string seen_text = crypto::format_fingerprint(seen);
    if (options_.pin) {
      if (*options_.pin != seen) {
        refusal = "TLS: certificate fingerprint mismatch: pinned " + crypto::format_fingerprint(*options_.pin) +
                  ", the pool's is " + seen_text;
      }
    } else {
      const long result = SSL_get_verify_result(ssl_);
      if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        refusal = "TLS: certificate is not valid for " + host_ + "; its SHA-256 fingerprint is " +
                  seen_text + " (pin it with --tls-fingerprint to trust it anyway)";
      } else if (result != X509_V_OK) {
        refusal = std::string("TLS: certificate not trusted (") + X509_verify_cert_error_string(result) +
                  "); its SHA-256 fingerprint is " + seen_text +
                  " (pin it with --tls-fingerprint to trust it)";
      }
    }
  }
  if (!refusal.empty()) return owner_->fail(base::status_code::kTlsRefused, std::move(refusal));
  base::printer::inst().print_leveled(base::kInfo, "TLS: %s, certificate %s", session_text().c_str(),
                                     options_.pin ? "matches the pinned fingerprint" : "verified");
  return base::status::ok();
}

int32_t tls_socket::receive(char* buffer, uint32_t capacity) {
  const auto forever = std::chrono::steady_clock::time_point::max();
  for (;;) {
    int rc;
    int error;
    {
      std::lock_guard<std::mutex> lock(ssl_mutex_);
      if (ssl_ == nullptr || tcp_.handle() < 0) {
        owner_->set_error(base::status_code::kConnectionLost, "Recv Error: socket closed");
        return 0;
      }
      ERR_clear_error();
      rc = SSL_read(ssl_, buffer, static_cast<int>(capacity));
      if (rc > 0) return rc;
      error = SSL_get_error(ssl_, rc);
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (wait_for(error == SSL_ERROR_WANT_WRITE, forever) == wait_result::closed) {
        owner_->set_error(base::status_code::kConnectionLost, "Recv Error: socket closed");
        return 0;
      }
      continue;
    }
    // A close from another thread while the read was under way (its
    // shutdown may even make the peer reset) reads as closed, as on a
    // plain socket.
    if (error == SSL_ERROR_ZERO_RETURN || tcp_.handle() < 0) {
      ERR_clear_error();
      owner_->set_error(base::status_code::kConnectionLost, "Recv Error: socket closed");
      return 0;
    }
    const int code = errno;
    std::string reason = openssl_text("");
    if (!reason.empty()) {
      owner_->set_error(base::status_code::kConnectionLost, "Recv Error: " + reason);
    } else if (error == SSL_ERROR_SYSCALL && code != 0) {
      // The connection records the error; recv reports it by its -1.
      static_cast<void>(
          owner_->fail_system(base::status_code::kConnectionLost, "Recv Error: ", code));
    } else {
      owner_->set_error(base::status_code::kConnectionLost, "Recv Error: socket closed");
    }
    return -1;
  }
}

base::status tls_socket::send_all(const char* text) {
  const size_t length = std::strlen(text);
  size_t sent = 0;
  const auto forever = std::chrono::steady_clock::time_point::max();
  while (sent < length) {
    int rc;
    int error;
    {
      std::lock_guard<std::mutex> lock(ssl_mutex_);
      if (ssl_ == nullptr || tcp_.handle() < 0) return owner_->fail_system(base::status_code::kNetworkError, "Send: ", EPIPE);
      ERR_clear_error();
      rc = SSL_write(ssl_, text + sent, static_cast<int>(length - sent));
      if (rc > 0) {
        sent += static_cast<size_t>(rc);
        continue;
      }
      error = SSL_get_error(ssl_, rc);
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (wait_for(error == SSL_ERROR_WANT_WRITE, forever) == wait_result::closed)
        return owner_->fail_system(base::status_code::kNetworkError, "Send: ", EPIPE);
      continue;
    }
    const int code = errno;
    std::string reason = openssl_text("");
    if (!reason.empty()) return owner_->fail(base::status_code::kNetworkError, "Send: " + reason);
    return owner_->fail_system(base::status_code::kNetworkError, "Send: ", error == SSL_ERROR_SYSCALL && code != 0 ? code : EPIPE);
  }
  return base::status::ok();
}

void tls_socket::close() { tcp_.close(); }

std::string tls_socket::session_text() const {
  std::lock_guard<std::mutex> lock(ssl_mutex_);
  return session_;
}

}  // namespace net
