#include "remote/micro_httpd.h"

#include <algorithm>
#include <array>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <exception>
#include <utility>
#include <vector>

#include "base/printer.h"

namespace network {
namespace {

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

MicroHTTPD::HTTPSession::HTTPSession(MicroHTTPD& server, boost::asio::ip::tcp::socket socket,
                                     const boost::asio::ip::address& peer)
    : server_(server), socket_(std::move(socket)), peer_(peer), deadline_(socket_.get_executor()) {
  server_.add_session(this);
}

MicroHTTPD::HTTPSession::~HTTPSession() { server_.release_session(this); }

void MicroHTTPD::HTTPSession::start() {
  arm_deadline(server_.settings_.read_timeout);
  read_more();
}

void MicroHTTPD::HTTPSession::abandon() {
  phase_ = phase::kDone;
  boost::system::error_code ignored;
  socket_.close(ignored);
  deadline_.cancel();
  server_.release_session(this);
}

void MicroHTTPD::HTTPSession::arm_deadline(std::chrono::milliseconds timeout) {
  const uint64_t generation = ++deadline_generation_;
  // An expiry that lost the race with the end of the previous phase.
  timed_out_ = false;
  if (timeout.count() <= 0) {
    deadline_.cancel();
    return;
  }
  deadline_.expires_after(timeout);
  deadline_.async_wait(
      [self = shared_from_this(), generation](const boost::system::error_code& error) {
        self->on_deadline(error, generation);
      });
}

void MicroHTTPD::HTTPSession::on_deadline(const boost::system::error_code& error,
                                          uint64_t generation) {
  // A cancelled wait, or one that expired just as its phase ended.
  if (error || generation != deadline_generation_ || phase_ == phase::kDone) return;
  timed_out_ = true;
  // Completes the pending read or write with an error, which reports it and
  // closes the socket.
  boost::system::error_code ignored;
  socket_.cancel(ignored);
}

void MicroHTTPD::HTTPSession::read_more() {
  socket_.async_read_some(
      boost::asio::buffer(buffer_.data() + filled_, buffer_.size() - filled_),
      [self = shared_from_this()](const boost::system::error_code& error, size_t count) {
        self->on_read(error, count);
      });
}

void MicroHTTPD::HTTPSession::on_read(const boost::system::error_code& error, size_t count) {
  if (phase_ != phase::kReading) return;
  if (error) {
    fail("read_some", error);
    return;
  }
  // The terminator may straddle the previous read.
  const size_t scan_from = filled_ >= 3 ? filled_ - 3 : 0;
  filled_ += count;
  const size_t found = std::string_view(buffer_.data(), filled_).find(kEndOfHeaders, scan_from);
  if (found != std::string_view::npos) {
    respond(found + kEndOfHeaders.size());
    return;
  }
  // A full buffer without the end of the header block: drop it unanswered.
  if (filled_ == buffer_.size()) {
    finish();
    return;
  }
  read_more();
}

void MicroHTTPD::HTTPSession::respond(size_t header_end) {
  std::string method;
  std::string path;
  header_map headers;
  if (!parse_request(std::string(buffer_.data(), header_end), method, path, headers)) {
    server_.note_session_error("Invalid HTTP request");
    finish();
    return;
  }
  try {
    response_record response;
    server_.handler_->handle_request(method, path, headers, response);
    reply_ = to_text(response);
  } catch (const std::exception& e) {
    // A handler failure ends this connection only.
    server_.note_session_error(std::string("HTTPSession Exception: ") + e.what());
    finish();
    return;
  }
  phase_ = phase::kWriting;
  arm_deadline(server_.settings_.write_timeout);
  boost::asio::async_write(
      socket_, boost::asio::buffer(reply_),
      [self = shared_from_this()](const boost::system::error_code& error, size_t /*count*/) {
        self->on_write(error);
      });
}

void MicroHTTPD::HTTPSession::on_write(const boost::system::error_code& error) {
  if (phase_ != phase::kWriting) return;
  if (error) {
    fail("write", error);
    return;
  }
  // Closing over unread input (a request body) makes the kernel reset the
  // connection, which can destroy the response before the client reads it.
  // Take what has already arrived; never wait for more.
  boost::system::error_code ignored;
  socket_.non_blocking(true, ignored);
  for (size_t discarded = 0; !ignored && discarded < kMaxDiscardedInput;) {
    const size_t count = socket_.read_some(boost::asio::buffer(buffer_), ignored);
    if (count == 0) break;
    discarded += count;
  }
  finish();
}

void MicroHTTPD::HTTPSession::fail(const char* operation, const boost::system::error_code& error) {
  // Noted before the close, so a client that sees the close sees the text.
  const boost::system::error_code reported =
      timed_out_ ? boost::system::error_code(boost::asio::error::timed_out) : error;
  server_.note_session_error(std::string("HTTPSession Exception: ") + operation + ": " +
                             reported.message());
  finish();
}

void MicroHTTPD::HTTPSession::finish() {
  phase_ = phase::kDone;
  boost::system::error_code ignored;
  socket_.close(ignored);
  deadline_.cancel();
  server_.release_session(this);
}

MicroHTTPD::MicroHTTPD(RequestHandler* handler, uint16_t port,
                       std::chrono::milliseconds read_timeout)
    : MicroHTTPD(handler, listen_settings{.port = port, .read_timeout = read_timeout}) {}

MicroHTTPD::MicroHTTPD(RequestHandler* handler, const listen_settings& settings)
    : handler_(handler),
      settings_(settings),
      io_service_(1),
      acceptor_(io_service_),
      summary_timer_(io_service_) {
  start_status_ = open_acceptor();
  if (!start_status_) return;
  server_running_.store(true);
  try {
    server_thread_ = boost::thread(&MicroHTTPD::run_server, this);
  } catch (const std::exception& e) {
    server_running_.store(false);
    start_status_ = base::status::error(base::status_code::kIoError, std::string("thread: ") + e.what());
  }
}

base::status MicroHTTPD::open_acceptor() {
  boost::system::error_code error;
  const char* step = "open";
  const boost::asio::ip::tcp::endpoint endpoint(settings_.address, settings_.port);
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
    // Boost's own text for the code, as the program always printed it.
    base::status failed =
        base::status::error(base::status_code::kNetworkError, std::string(step) + ": " + error.message());
    port_ = 0;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    return failed;
  }
  return base::status::ok();
}

MicroHTTPD::~MicroHTTPD() {
  if (server_thread_.joinable()) {
    server_running_.store(false);
    boost::asio::post(io_service_, [] {});
    server_thread_.join();
  }
  // The server thread has ended: what is left runs here, silently.
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  summary_timer_.cancel();
  std::vector<HTTPSession*> open;
  for (const auto& [serial, session] : sessions_) open.push_back(session);
  for (HTTPSession* session : open) session->abandon();
  // Runs the cancelled operations, which release their sessions here.
  io_service_.restart();
  io_service_.poll();
}

void MicroHTTPD::run_server() {
  accept_next();
  while (server_running_.load()) {
    try {
      if (io_service_.run_one() == 0) {
        server_running_.store(false);
        break;
      }
    } catch (const std::exception& e) {
      // Nothing a connection does may end the server thread.
      note_session_error(std::string("HTTPSession Exception: ") + e.what());
    }
  }
}

void MicroHTTPD::accept_next() {
  acceptor_.async_accept(
      [this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
        on_accept(error, std::move(socket));
      });
}

void MicroHTTPD::on_accept(const boost::system::error_code& error,
                           boost::asio::ip::tcp::socket socket) {
  if (error == boost::asio::error::connection_aborted) {
    // The client gave up before we took the connection; that is its fault,
    // not the listening socket's.
    accept_next();
    return;
  }
  if (error) {
    // Without a new accept the I/O service runs out of work once the open
    // sessions end, and the server thread ends. Say so unless we are
    // shutting down.
    if (error != boost::asio::error::operation_aborted && server_running_.load()) {
      base::printer::inst().print_error("MicroHTTPD: accept: %s. Remote access stopped.",
                                       error.message().c_str());
    }
    return;
  }
  boost::system::error_code no_peer;
  const boost::asio::ip::address peer = socket.remote_endpoint(no_peer).address();
  const auto places = peer_places_.find(peer);
  const bool peer_full = places != peer_places_.end() && places->second >= per_peer_limit();
  if ((sessions_.size() >= settings_.max_connections || peer_full) && !make_room(peer)) {
    refused_count_.fetch_add(1);
    boost::system::error_code ignored;
    socket.close(ignored);
  } else {
    accepted_count_.fetch_add(1);
    std::make_shared<HTTPSession>(*this, std::move(socket), peer)->start();
  }
  accept_next();
}

size_t MicroHTTPD::per_peer_limit() const {
  if (settings_.max_per_peer != 0) return settings_.max_per_peer;
  return std::max<size_t>(1, settings_.max_connections - settings_.max_connections / 4);
}

bool MicroHTTPD::make_room(const boost::asio::ip::address& peer) {
  const auto places = peer_places_.find(peer);
  const bool peer_full = places != peer_places_.end() && places->second >= per_peer_limit();
  // Oldest first: the map is ordered by accept order.
  for (const auto& [serial, session] : sessions_) {
    if (!session->waiting_for_request()) continue;
    if (peer_full && session->peer() != peer) continue;
    evicted_count_.fetch_add(1);
    HTTPSession* victim = session;
    victim->abandon();  // releases its place: the map changes here
    return true;
  }
  return false;
}

void MicroHTTPD::add_session(HTTPSession* session) {
  session->serial_ = next_serial_++;
  session->has_place_ = true;
  sessions_.emplace(session->serial_, session);
  ++peer_places_[session->peer()];
  open_count_.store(sessions_.size());
}

void MicroHTTPD::release_session(HTTPSession* session) {
  if (!session->has_place_) return;
  session->has_place_ = false;
  sessions_.erase(session->serial_);
  const auto places = peer_places_.find(session->peer());
  if (places != peer_places_.end() && --places->second == 0) peer_places_.erase(places);
  open_count_.store(sessions_.size());
}

void MicroHTTPD::note_session_error(const std::string& text) {
  if (stopping_) return;
  if (summary_running_) {
    ++summary_count_;
    summary_last_ = text;
    return;
  }
  base::printer::inst().print_leveled(base::kInfo, "MicroHTTPD: %s", text.c_str());
  summary_running_ = true;
  summary_count_ = 0;
  summary_timer_.expires_after(settings_.error_summary_interval);
  summary_timer_.async_wait([this](const boost::system::error_code& error) { on_summary_due(error); });
}

void MicroHTTPD::on_summary_due(const boost::system::error_code& error) {
  if (error || stopping_) return;  // cancelled by the destructor
  if (summary_count_ == 0) {
    summary_running_ = false;
    return;
  }
  const double seconds = std::chrono::duration<double>(settings_.error_summary_interval).count();
  base::printer::inst().print_leveled(
      base::kInfo, "MicroHTTPD: %llu more failed HTTP sessions in the last %g s, the last: %s",
      static_cast<unsigned long long>(summary_count_), seconds, summary_last_.c_str());
  summary_count_ = 0;
  summary_timer_.expires_after(settings_.error_summary_interval);
  summary_timer_.async_wait([this](const boost::system::error_code& next) { on_summary_due(next); });
}

}  // namespace network
