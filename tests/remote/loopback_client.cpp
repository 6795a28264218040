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
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
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
  loopback_client client;
  std::string received;
  bool done = client.connect(port, timeout) && client.send(request) &&
              client.read_until_close(received, timeout);
  if (closed != nullptr) *closed = done;
  return received;
}

}  // namespace remote_test
