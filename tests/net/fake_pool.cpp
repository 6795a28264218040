#include "fake_pool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace net {

int listen_on_loopback(bool ipv6, uint16_t& port) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_storage address = {};
  socklen_t length = 0;
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    length = sizeof(*v6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(*v4);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

fake_pool::fake_pool(bool ipv6) : ipv6_(ipv6) {
  if (pipe(wake_pipe_) != 0) return;
  const int fd = listen_on_loopback(ipv6, port_);
  if (fd < 0) return;
  listen_fd_ = fd;
  thread_ = std::thread(&fake_pool::run, this);
}

fake_pool::~fake_pool() {
  if (thread_.joinable()) {
    const char stop = 1;
    [[maybe_unused]] ssize_t written = ::write(wake_pipe_[1], &stop, 1);
    thread_.join();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drop_client_locked();
  }
  if (listen_fd_ >= 0) ::close(listen_fd_);
  for (int fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

std::string fake_pool::address() const {
  return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

void fake_pool::set_responder(responder answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(answer);
}

void fake_pool::answer_login_with(std::string reply) {
  set_responder([reply](const std::string& line) {
    return line.find("\"method\":\"login\"") != std::string::npos ? reply : std::string();
  });
}

bool fake_pool::send(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (client_fd_ < 0) return false;
  size_t sent = 0;
  // Bounded: each round sends at least one byte or gives up.
  while (sent < bytes.size()) {
    const ssize_t count =
        ::send(client_fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

void fake_pool::close_client() {
  // Only shut down here: the pool thread may be reading the descriptor; it
  // closes it when its read sees the end.
  std::lock_guard<std::mutex> lock(mutex_);
  if (client_fd_ >= 0) ::shutdown(client_fd_, SHUT_RDWR);
}

void fake_pool::drop_client_locked() {
  if (client_fd_ < 0) return;
  ::shutdown(client_fd_, SHUT_RDWR);
  ::close(client_fd_);
  client_fd_ = -1;
}

bool fake_pool::wait_for_connections(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

std::optional<std::string> fake_pool::wait_for_line(size_t index,
                                                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return lines_.size() > index; })) {
    return std::nullopt;
  }
  return lines_[index];
}

bool fake_pool::wait_for_client_close(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return client_closed_; });
}

std::string fake_pool::wait_for_partial(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return partial_.size() >= count; })) return "";
  return partial_;
}

size_t fake_pool::connection_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::vector<std::string> fake_pool::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void fake_pool::run() {
  const auto give_up = std::chrono::steady_clock::now() + kMaxLifetime;
  while (std::chrono::steady_clock::now() < give_up) {
    int client;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      client = client_fd_;
    }
    pollfd fds[3] = {{wake_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {client, POLLIN, 0}};
    const int ready = ::poll(fds, client >= 0 ? 3 : 2, 1000);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) accept_client();
    if (client >= 0 && fds[2].revents != 0) read_client();
  }
}

void fake_pool::accept_client() {
  const int fd = ::accept(listen_fd_, nullptr, nullptr);
  if (fd < 0) return;
  const int one = 1;
  // Scripted pieces leave at once, so split lines really arrive split.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  std::lock_guard<std::mutex> lock(mutex_);
  drop_client_locked();
  client_fd_ = fd;
  client_closed_ = false;
  partial_.clear();
  ++connections_;
  changed_.notify_all();
}

void fake_pool::read_client() {
  char buffer[8192];
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = client_fd_;
  }
  if (fd < 0) return;
  const ssize_t count = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;

  std::vector<std::string> received;
  responder answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd != client_fd_) return;  // replaced or closed meanwhile
    if (count <= 0) {
      client_closed_ = true;
      drop_client_locked();
      changed_.notify_all();
      return;
    }
    partial_.append(buffer, static_cast<size_t>(count));
    size_t feed;
    while ((feed = partial_.find('\n')) != std::string::npos) {
      received.push_back(partial_.substr(0, feed));
      partial_.erase(0, feed + 1);
    }
    lines_.insert(lines_.end(), received.begin(), received.end());
    answer = answer_;
    changed_.notify_all();
  }
  if (!answer) return;
  for (const std::string& line : received) {
    const std::string reply = answer(line);
    if (!reply.empty()) send(reply);
  }
}

std::string reply_for(const std::string& line, const std::string& reply) {
  static const std::string kHead = "{\"id\":1,";
  const size_t at = line.rfind("\"id\":");
  if (at == std::string::npos || reply.compare(0, kHead.size(), kHead) != 0) return reply;
  size_t end = at + 5;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  return "{\"id\":" + line.substr(at + 5, end - at - 5) + "," + reply.substr(kHead.size());
}

std::string job_object(const std::string& job_id, const std::string& blob,
                       const std::string& target) {
  return "{\"blob\":\"" + blob + "\",\"job_id\":\"" + job_id + "\",\"target\":\"" + target +
         "\"}";
}

std::string job_line(const std::string& job_id, const std::string& blob,
                     const std::string& target) {
  return "{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":" + job_object(job_id, blob, target) +
         "}\n";
}

std::string login_result_line(const std::string& miner_id, const std::string& job) {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"id\":\"" + miner_id +
         "\",\"job\":" + job + ",\"status\":\"OK\"}}\n";
}

}  // namespace net
