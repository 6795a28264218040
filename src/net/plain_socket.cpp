#include "net/plain_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "net/pool_address.h"


namespace net {

const addrinfo* choose_address(const addrinfo* list) {
  const addrinfo* last_v4 = nullptr;
  const addrinfo* last_v6 = nullptr;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) last_v4 = entry;
    if (entry->ai_family == AF_INET6) last_v6 = entry;
  }
  return last_v4 != nullptr ? last_v4 : last_v6;
}

namespace {

// A TLS record header: one of the four record types (20 to 23), then major
// version 3. No JSON line starts with those control characters.
bool looks_like_tls_record(const char* bytes) {
  const auto type = static_cast<unsigned char>(bytes[0]);
  return type >= 0x14 && type <= 0x17 && bytes[1] == 0x03;
}

}  // namespace

plain_socket::plain_socket(socket_owner* owner, socket_calls calls) : owner_(owner), calls_(calls) {}

plain_socket::~plain_socket() {
  close();
  release_closed();
  free_resolved();
}

void plain_socket::free_resolved() {
  if (resolved_ != nullptr) ::freeaddrinfo(resolved_);
  resolved_ = nullptr;
  chosen_ = nullptr;
}

base::status plain_socket::resolve_address(const char* address) {
  free_resolved();
  release_closed();
  const size_t length = strnlen(address, kMaxAddressLength + 1);
  if (length > kMaxAddressLength) {
    return owner_->fail(base::status_code::kInvalidInput, "Connection Error: Pool address invalid");
  }
  char work[kMaxAddressLength + 1];
  std::memcpy(work, address, length + 1);

  // A scheme prefix such as "stratum+tcp://" is ignored.
  char* rest = work;
  if (char* slashes = std::strstr(rest, "//")) rest = slashes + 2;
  std::string_view host_view;
  std::string_view port_view;
  if (!split_host_port(rest, host_view, port_view)) {
    return owner_->fail(base::status_code::kInvalidInput, "Connection Error: No port specified");
  }
  // Both lie in the work buffer; the port runs to its end. The host ends
  // at its ':' or ']', which becomes its terminator.
  char* host = work + (host_view.data() - work);
  host[host_view.size()] = '\0';
  const char* port = port_view.data();

  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const int rc = calls_.resolve(host, port, &hints, &list);
  if (rc != 0) {
    return owner_->fail(base::status_code::kNetworkError,
                        std::string("Connection Error: GetAddrInfo: ") + gai_strerror(rc));
  }
  const addrinfo* chosen = choose_address(list);
  if (chosen == nullptr) {
    ::freeaddrinfo(list);
    return owner_->fail(base::status_code::kNetworkError, "Connection Error: could not resolve address");
  }
  const int fd = ::socket(chosen->ai_family, chosen->ai_socktype, chosen->ai_protocol);
  if (fd < 0) {
    const int code = errno;
    ::freeaddrinfo(list);
    return owner_->fail_system(base::status_code::kIoError, "Connection Error: could not open socket", code);
  }
  resolved_ = list;
  chosen_ = chosen;
  // A socket left open by a connection that was never closed is closed now;
  // no connection thread exists at this point.
  const int previous = handle_.exchange(fd);
  if (previous >= 0) {
    ::shutdown(previous, SHUT_RDWR);
    ::close(previous);
  }
  return base::status::ok();
}

base::status plain_socket::connect() {
  if (chosen_ == nullptr) {
    return owner_->fail_system(base::status_code::kNetworkError, "Connection Error: ", EDESTADDRREQ);
  }
  first_read_ = true;
  const int rc = ::connect(handle_.load(), chosen_->ai_addr, chosen_->ai_addrlen);
  const int code = errno;
  free_resolved();
  if (rc != 0) return owner_->fail_system(base::status_code::kNetworkError, "Connection Error: ", code);
  return base::status::ok();
}

int32_t plain_socket::receive(char* buffer, uint32_t capacity) {
  ssize_t count = 0;
  // A signal delivered to this thread is not a connection error. A handle
  // already taken by close (another thread ending the connection) reads as
  // closed, as a receive blocked at that moment would.
  for (int fd = handle_.load(); fd >= 0; fd = handle_.load()) {
    count = calls_.recv(fd, buffer, capacity, 0);
    if (count >= 0 || errno != EINTR) break;
  }
  if (count >= 2 && first_read_ && looks_like_tls_record(buffer)) {
    first_read_.store(false);
    owner_->set_error(base::status_code::kTlsRefused,
                      "Recv Error: the pool answered with TLS: this port speaks TLS, use a "
                      "stratum+ssl:// address");
    return -1;
  }
  if (count > 0) first_read_.store(false);
  if (count == 0) {
    owner_->set_error(base::status_code::kConnectionLost, "Recv Error: socket closed");
  } else if (count < 0) {
    // The connection records the error; recv reports it by its -1.
    static_cast<void>(
        owner_->fail_system(base::status_code::kConnectionLost, "Recv Error: ", errno));
  }
  return static_cast<int32_t>(count);
}

base::status plain_socket::send_all(const char* text) {
  const size_t length = std::strlen(text);
  size_t sent = 0;
  while (sent < length) {
    const ssize_t count =
        calls_.send(handle_.load(), text + sent, length - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      // A blocking stream send never returns 0 for a non-empty buffer; treat
      // it as a broken connection instead of looping for ever.
      return owner_->fail_system(base::status_code::kNetworkError, "Send: ", count == 0 ? EPIPE : errno);
    }
    sent += static_cast<size_t>(count);
  }
  return base::status::ok();
}

void plain_socket::close() {
  const int fd = handle_.exchange(-1);
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  const int older = retired_.exchange(fd);
  if (older >= 0) ::close(older);  // from a connection whose thread has ended
}

void plain_socket::release_closed() {
  const int fd = retired_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

}  // namespace net
