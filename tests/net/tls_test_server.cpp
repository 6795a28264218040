#include "tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "fake_pool.h"

namespace net {
namespace {

// Waits until `fd` is readable or the wake pipe fires; false on the latter.
bool wait_readable(int fd, int wake_fd) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int rc = ::poll(fds, 2, 1000);
    if (rc < 0) return false;
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

void write_raw(int fd, const void* data, size_t length) {
  [[maybe_unused]] ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
}

}  // namespace

tls_test_server::tls_test_server(const test_tls::certificate& certificate, behaviour how, bool ipv6)
    : how_(how), ipv6_(ipv6) {
  ::signal(SIGPIPE, SIG_IGN);  // a client that hung up is not the end of the test
  ctx_ = SSL_CTX_new(TLS_server_method());
  BIO* cert_bio = BIO_new_mem_buf(certificate.cert_pem.data(), static_cast<int>(certificate.cert_pem.size()));
  BIO* key_bio = BIO_new_mem_buf(certificate.key_pem.data(), static_cast<int>(certificate.key_pem.size()));
  X509* cert = PEM_read_bio_X509(cert_bio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(key_bio, nullptr, nullptr, nullptr);
  BIO_free(cert_bio);
  BIO_free(key_bio);
  if (ctx_ == nullptr || cert == nullptr || key == nullptr || SSL_CTX_use_certificate(ctx_, cert) != 1 ||
      SSL_CTX_use_PrivateKey(ctx_, key) != 1)
    throw std::runtime_error("tls_test_server: bad certificate");
  X509_free(cert);
  EVP_PKEY_free(key);
  SSL_CTX_clear_mode(ctx_, SSL_MODE_AUTO_RETRY);

  if (::pipe(wake_pipe_) != 0) throw std::runtime_error("pipe");
  listen_fd_ = listen_on_loopback(ipv6_, port_);
  if (listen_fd_ < 0) throw std::runtime_error("tls_test_server: cannot listen");
  thread_ = std::thread(&tls_test_server::run, this);
}

tls_test_server::~tls_test_server() {
  stopping_ = true;
  const char stop = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_pipe_[1], &stop, 1);
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : client_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& client : client_threads_) client.join();
  for (int fd : client_fds_) ::close(fd);
  ::close(listen_fd_);
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
  SSL_CTX_free(ctx_);
}

void tls_test_server::set_responder(responder answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(answer);
}

std::optional<std::string> tls_test_server::wait_for_line(size_t index, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return lines_.size() > index; })) return std::nullopt;
  return lines_[index];
}

void tls_test_server::run() {
  while (!stopping_ && wait_readable(listen_fd_, wake_pipe_[0])) {
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      client_fds_.push_back(fd);
    }
    client_threads_.emplace_back([this, fd] {
      serve(fd);
      ::shutdown(fd, SHUT_RDWR);  // closed by the destructor
    });
  }
}

void tls_test_server::serve(int fd) {
  switch (how_) {
    case behaviour::silent:
      // Holds the connection until the client gives up or the server stops.
      while (wait_readable(fd, wake_pipe_[0])) {
        char sink[256];
        if (::recv(fd, sink, sizeof(sink), 0) <= 0) return;
      }
      return;
    case behaviour::garbage: {
      if (!wait_readable(fd, wake_pipe_[0])) return;
      static const char kJunk[] = "HTTP/1.1 400 Bad Request\r\n\r\nthis is not TLS at all";
      write_raw(fd, kJunk, sizeof(kJunk) - 1);
      char sink[256];
      while (wait_readable(fd, wake_pipe_[0]) && ::recv(fd, sink, sizeof(sink), 0) > 0) {
      }
      return;
    }
    case behaviour::alert_to_plain: {
      if (!wait_readable(fd, wake_pipe_[0])) return;
      char sink[256];
      [[maybe_unused]] ssize_t got = ::recv(fd, sink, sizeof(sink), 0);
      static const unsigned char kAlert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46};
      write_raw(fd, kAlert, sizeof(kAlert));
      return;
    }
    default:
      break;
  }

  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) != 1) {
    ERR_clear_error();
    SSL_free(ssl);
    return;
  }
  handshakes_.fetch_add(1);
  std::string pending;
  char buffer[4096];
  bool open = true;
  while (open && !stopping_) {
    if (SSL_pending(ssl) == 0 && !wait_readable(fd, wake_pipe_[0])) break;
    const int n = SSL_read(ssl, buffer, sizeof(buffer));
    if (n <= 0) {
      const int error = SSL_get_error(ssl, n);
      ERR_clear_error();
      if (error == SSL_ERROR_WANT_READ) continue;
      break;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while (open && (end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      responder answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        answer = answer_;
      }
      changed_.notify_all();
      if (how_ == behaviour::cut_mid_record) {
        // A record header that promises 256 bytes, then 16 of them.
        unsigned char half[5 + 16] = {0x17, 0x03, 0x03, 0x01, 0x00};
        write_raw(fd, half, sizeof(half));
        open = false;
        break;
      }
      const std::string reply = answer ? answer(line) : std::string();
      if (!reply.empty() && SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) <= 0) open = false;
    }
  }
  if (how_ != behaviour::cut_mid_record) SSL_shutdown(ssl);
  SSL_free(ssl);
  ERR_clear_error();
}

}  // namespace net
