#include "remote/micro_httpd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "app/printer.h"

namespace network {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::string_view kEndOfHeaders = "\r\n\r\n";
constexpr size_t kMaxDiscardedInput = 64 * 1024;

// Splits text at every character of separators, dropping empty pieces.
std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find_first_of(separators, start);
    if (stop == std::string_view::npos) stop = text.size();
    if (stop > start) pieces.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  return pieces;
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

void print_session_error(const std::string& text) {
  app::printer::inst().print_plain("\nMicroHTTPD: HTTPSession Exception: " + text);
}

enum class wait_result { kReady, kTimedOut, kStopped, kFailed };

// Waits until fd is ready for events, the deadline passes or stop_fd turns
// readable. A deadline of time_point::max() waits without limit.
wait_result wait_for(int fd, short events, int stop_fd, clock_type::time_point deadline,
                     boost::system::error_code& error) {
  for (;;) {
    int timeout_ms = -1;
    if (deadline != clock_type::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now());
      if (left.count() <= 0) return wait_result::kTimedOut;
      timeout_ms = static_cast<int>(std::min<int64_t>(left.count(), 60000));
    }
    std::array<pollfd, 2> fds{pollfd{fd, events, 0}, pollfd{stop_fd, POLLIN, 0}};
    int ready = ::poll(fds.data(), stop_fd >= 0 ? 2 : 1, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      error.assign(errno, boost::system::system_category());
      return wait_result::kFailed;
    }
    if (stop_fd >= 0 && (fds[1].revents & POLLIN) != 0) return wait_result::kStopped;
    // Errors and hang-ups count as ready: the next socket call reports them.
    if (fds[0].revents != 0) return wait_result::kReady;
  }
}

// After a would-block result: true once the socket is ready. False when the
// session must end, with error set (time-out, poll failure) or clear (stop).
bool await_socket(int fd, short events, int stop_fd, clock_type::time_point deadline,
                  boost::system::error_code& error) {
  error.clear();
  switch (wait_for(fd, events, stop_fd, deadline, error)) {
    case wait_result::kReady:
      return true;
    case wait_result::kTimedOut:
      error = boost::asio::error::timed_out;
      return false;
    case wait_result::kStopped:
    case wait_result::kFailed:
      return false;
  }
  return false;
}

clock_type::time_point deadline_after(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return clock_type::time_point::max();
  return clock_type::now() + timeout;
}

bool would_block(const boost::system::error_code& error) {
  return error == boost::asio::error::would_block || error == boost::asio::error::try_again;
}

}  // namespace

bool parse_request(const std::string& text, std::string& method, std::string& path,
                   header_map& headers) {
  method.clear();
  headers.clear();
  std::vector<std::string_view> lines = split(text, "\r\n");
  if (lines.empty()) return false;

  std::vector<std::string_view> parts = split(lines[0], " \t");
  if (parts.size() < 3) return false;
  for (std::string_view candidate : kMethods) {
    if (parts[0] == candidate) {
      method = candidate;
      break;
    }
  }
  if (method.empty()) return false;
  if (parts[2].substr(0, 4) != "HTTP") {
    method.clear();
    return false;
  }
  path = parts[1];

  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    headers[std::string(trim(name))] = std::string(trim(line.substr(colon + 1)));
  }
  return true;
}

std::string to_text(const response_record& response) {
  std::string text;
  text.reserve(128 + response.body.size());
  text += "HTTP/1.1 ";
  text += std::to_string(response.status_code);
  text += ' ';
  text += response.status_text;
  text += " \r\n";
  if (!response.content_type.empty()) {
    text += "Content-Type: ";
    text += response.content_type;
    text += "\r\n";
  }
  for (const auto& [name, value] : response.headers) {
    text += name;
    text += ": ";
    text += value;
    text += "\r\n";
  }
  if (!response.body.empty()) {
    text += "Content-Length: ";
    text += std::to_string(response.body.size());
    text += "\r\n";
  }
  text += "\r\n";
  text += response.body;
  return text;
}

void MicroHTTPD::HTTPSession::process(RequestHandler& handler,
                                      std::chrono::milliseconds read_timeout, int stop_fd) {
  boost::system::error_code error;
  // Non-blocking so every wait can honour the deadline and the stop signal.
  socket_.non_blocking(true, error);
  if (error) {
    print_session_error("non_blocking: " + error.message());
    return;
  }
  const int fd = socket_.native_handle();

  std::array<char, kRequestBufferSize> buffer;
  size_t filled = 0;
  size_t header_end = std::string_view::npos;
  const auto read_deadline = deadline_after(read_timeout);
  while (filled < buffer.size()) {
    size_t count = socket_.read_some(
        boost::asio::buffer(buffer.data() + filled, buffer.size() - filled), error);
    if (would_block(error)) {
      if (await_socket(fd, POLLIN, stop_fd, read_deadline, error)) continue;
      if (!error) return;  // the server is stopping
    }
    if (error) {
      print_session_error("read_some: " + error.message());
      return;
    }
    // The terminator may straddle the previous read.
    size_t scan_from = filled >= 3 ? filled - 3 : 0;
    filled += count;
    size_t found = std::string_view(buffer.data(), filled).find(kEndOfHeaders, scan_from);
    if (found != std::string_view::npos) {
      header_end = found + kEndOfHeaders.size();
      break;
    }
  }
  // A full buffer without the end of the header block: drop it unanswered.
  if (header_end == std::string_view::npos) return;

  std::string method;
  std::string path;
  header_map headers;
  if (!parse_request(std::string(buffer.data(), header_end), method, path, headers)) {
    app::printer::inst().print_plain("\nMicroHTTPD: Invalid HTTP request");
    return;
  }

  response_record response;
  handler.handle_request(method, path, headers, response);
  const std::string text = to_text(response);

  size_t sent = 0;
  const auto write_deadline = deadline_after(read_timeout);
  while (sent < text.size()) {
    sent += socket_.write_some(boost::asio::buffer(text.data() + sent, text.size() - sent), error);
    if (would_block(error)) {
      if (await_socket(fd, POLLOUT, stop_fd, write_deadline, error)) continue;
      if (!error) return;  // the server is stopping
    }
    if (error) {
      print_session_error("write: " + error.message());
      return;
    }
  }
  // Closing over unread input (a request body) makes the kernel reset the
  // connection, which can destroy the response before the client reads it.
  // Take what has already arrived; never wait for more.
  for (size_t discarded = 0; discarded < kMaxDiscardedInput;) {
    size_t count = socket_.read_some(boost::asio::buffer(buffer), error);
    if (error || count == 0) break;
    discarded += count;
  }
}

MicroHTTPD::MicroHTTPD(RequestHandler* handler, uint16_t port,
                       std::chrono::milliseconds read_timeout)
    : handler_(handler), io_service_(1), acceptor_(io_service_), read_timeout_(read_timeout) {
  if (!open_acceptor(port)) return;
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    error_ = std::string("eventfd: ") + std::strerror(errno);
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    return;
  }
  server_running_.store(true);
  try {
    server_thread_ = boost::thread(&MicroHTTPD::run_server, this);
  } catch (const std::exception& e) {
    server_running_.store(false);
    error_ = std::string("thread: ") + e.what();
  }
}

bool MicroHTTPD::open_acceptor(uint16_t port) {
  boost::system::error_code error;
  const char* step = "open";
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), port);
  acceptor_.open(endpoint.protocol(), error);
  if (!error) {
    step = "set_option";
    acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), error);
  }
  if (!error) {
    step = "bind";
    acceptor_.bind(endpoint, error);
  }
  if (!error) {
    step = "listen";
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
  }
  if (!error) {
    step = "local_endpoint";
    port_ = acceptor_.local_endpoint(error).port();
  }
  if (error) {
    error_ = std::string(step) + ": " + error.message();
    port_ = 0;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  return true;
}

MicroHTTPD::~MicroHTTPD() {
  if (server_thread_.joinable()) {
    server_running_.store(false);
    const uint64_t one = 1;
    // Abandons a session that waits for a slow client; the eventfd stays
    // readable, so every later wait returns at once.
    [[maybe_unused]] ssize_t written = ::write(stop_fd_, &one, sizeof(one));
    boost::asio::post(io_service_, [] {});
    server_thread_.join();
  }
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  // Runs the cancelled accept so that its session is released here.
  io_service_.restart();
  io_service_.poll();
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

void MicroHTTPD::run_server() {
  accept_next();
  while (server_running_.load()) {
    if (io_service_.run_one() == 0) {
      server_running_.store(false);
      break;
    }
  }
}

void MicroHTTPD::accept_next() {
  auto session = std::make_shared<HTTPSession>(io_service_);
  acceptor_.async_accept(
      session->socket(),
      [this, session](const boost::system::error_code& error) { on_accept(session, error); });
}

void MicroHTTPD::on_accept(const std::shared_ptr<HTTPSession>& session,
                           const boost::system::error_code& error) {
  if (error) {
    // Without a new accept the I/O service runs out of work and the server
    // thread ends. Say so unless we are shutting down.
    if (error != boost::asio::error::operation_aborted && server_running_.load()) {
      app::printer::inst().print_error("MicroHTTPD: accept: %s. Remote access stopped.",
                                       error.message().c_str());
    }
    return;
  }
  accepted_count_.fetch_add(1);
  try {
    session->process(*handler_, read_timeout_, stop_fd_);
  } catch (const std::exception& e) {
    // A handler failure must not end the server thread.
    print_session_error(e.what());
  }
  boost::system::error_code ignored;
  session->socket().close(ignored);
  accept_next();
}

}  // namespace network
