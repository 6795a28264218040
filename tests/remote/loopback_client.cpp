#include "loopback_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace remote_test {
namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool loopback_client::connect(uint16_t port, std::chrono::milliseconds timeout) {
  return connect("127.0.0.1", port, timeout);
}

bool loopback_client::connect(const std::string& address, uint16_t port,
                              std::chrono::milliseconds timeout) {
  close();
  sockaddr_storage storage{};
  socklen_t storage_size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    storage_size = sizeof(*v4);
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    storage_size = sizeof(*v6);
  } else {
    return false;
  }
  fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (receive_buffer_ > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_, sizeof(receive_buffer_));
  }
  if (!source_.empty()) {
    sockaddr_storage from{};
    auto* from4 = reinterpret_cast<sockaddr_in*>(&from);
    auto* from6 = reinterpret_cast<sockaddr_in6*>(&from);
    from.ss_family = storage.ss_family;
    const bool parsed = storage.ss_family == AF_INET
                            ? ::inet_pton(AF_INET, source_.c_str(), &from4->sin_addr) == 1
                            : ::inet_pton(AF_INET6, source_.c_str(), &from6->sin6_addr) == 1;
    if (!parsed || ::bind(fd_, reinterpret_cast<sockaddr*>(&from), storage_size) != 0) return false;
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&storage), storage_size) != 0) {
    if (errno != EINPROGRESS) return false;
    pollfd pfd{fd_, POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return false;
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
  }
  // Back to blocking for plain sends; reads wait through poll.
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  return true;
}

bool loopback_client::send(std::string_view data) {
  while (!data.empty()) {
    ssize_t sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool loopback_client::read_until_close(std::string& out, std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  reset_ = false;
  char buffer[16384];
  for (;;) {
    pollfd pfd{fd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t count = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      reset_ = errno == ECONNRESET;
      return false;
    }
    out.append(buffer, static_cast<size_t>(count));
  }
}

void loopback_client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string exchange(uint16_t port, std::string_view request, std::chrono::milliseconds timeout,
                     bool* closed) {
  return exchange("127.0.0.1", port, request, timeout, closed);
}

std::string exchange(const std::string& address, uint16_t port, std::string_view request,
                     std::chrono::milliseconds timeout, bool* closed) {
  loopback_client client;
  std::string received;
  bool done = client.connect(address, port, timeout) && client.send(request) &&
              client.read_until_close(received, timeout);
  if (closed != nullptr) *closed = done;
  return received;
}

}  // namespace remote_test
