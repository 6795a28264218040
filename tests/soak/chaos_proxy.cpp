// A TCP proxy on 127.0.0.1 that treats the connections it carries badly, for
// soak runs of the pool client: each connection is cut after a random 8 to
// 45 seconds, stalls now and then (nothing forwarded for 1 to 6 seconds)
// and has its bytes split into small pieces. One thread per connection.
//
//   chaos_proxy LISTEN_PORT UPSTREAM_PORT SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> running{true};
std::atomic<int> cuts{0}, stalls{0}, connections{0};

int connect_upstream(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_split(int fd, const char* data, size_t length, std::mt19937& random) {
  size_t sent = 0;
  while (sent < length) {
    const size_t piece = std::min<size_t>(length - sent, 1 + random() % 40);
    const ssize_t n = ::send(fd, data + sent, piece, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void carry(int client, uint16_t upstream_port, unsigned seed) {
  std::mt19937 random(seed);
  const int upstream = connect_upstream(upstream_port);
  if (upstream < 0) {
    ::close(client);
    return;
  }
  connections.fetch_add(1);
  using clock = std::chrono::steady_clock;
  const auto cut_at = clock::now() + std::chrono::seconds(8 + random() % 38);
  auto next_stall = clock::now() + std::chrono::seconds(3 + random() % 10);
  char buffer[4096];
  while (running.load()) {
    const auto now = clock::now();
    if (now >= cut_at) {
      cuts.fetch_add(1);
      break;
    }
    if (now >= next_stall) {
      stalls.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::seconds(1 + random() % 6));
      next_stall = clock::now() + std::chrono::seconds(3 + random() % 10);
    }
    pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (::poll(fds, 2, 200) < 0) break;
    bool open = true;
    for (int i = 0; i < 2 && open; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer, sizeof(buffer), 0);
      open = n > 0 && send_split(i == 0 ? upstream : client, buffer, static_cast<size_t>(n), random);
    }
    if (!open) break;
  }
  ::shutdown(client, SHUT_RDWR);
  ::shutdown(upstream, SHUT_RDWR);
  ::close(client);
  ::close(upstream);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: chaos_proxy LISTEN_PORT UPSTREAM_PORT SECONDS\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const uint16_t listen_port = static_cast<uint16_t>(std::atoi(argv[1]));
  const uint16_t upstream_port = static_cast<uint16_t>(std::atoi(argv[2]));
  const int seconds = std::atoi(argv[3]);
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(listen_port);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 8) != 0) {
    std::perror("chaos_proxy: listen");
    return 1;
  }
  std::printf("chaos_proxy: 127.0.0.1:%u -> 127.0.0.1:%u for %d s\n", listen_port, upstream_port, seconds);
  std::fflush(stdout);
  std::vector<std::thread> threads;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  unsigned seed = 1;
  while (std::chrono::steady_clock::now() < end) {
    pollfd entry = {listener, POLLIN, 0};
    if (::poll(&entry, 1, 200) <= 0) continue;
    const int client = ::accept(listener, nullptr, nullptr);
    if (client >= 0) threads.emplace_back(carry, client, upstream_port, seed++);
  }
  running.store(false);
  for (std::thread& thread : threads) thread.join();
  ::close(listener);
  std::printf("chaos_proxy: %d connections, %d cut, %d stalls\n", connections.load(), cuts.load(), stalls.load());
  return 0;
}
