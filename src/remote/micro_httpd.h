// A minimal HTTP/1.1 server: one server thread serves up to 64 connections
// at once with asynchronous operations, reads one request on each, hands it
// to a RequestHandler and closes the connection. No peer address holds more
// than three quarters of the places, and a new connection that finds them
// taken replaces the one that has waited longest without a whole request, so
// silent clients cannot lock out a real one. Client failures are printed at
// most once per minute. The pure request parser and response writer are
// usable alone.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"

namespace network {

// Request methods, tried in this order; the empty string marks an invalid
// request.
inline constexpr std::array<std::string_view, 5> kMethods = {"GET", "PUT", "POST", "HEAD",
                                                             "DELETE"};

struct http_status {
  int32_t code;
  std::string_view text;
};

inline constexpr http_status kStatusOk{200, "OK"};
inline constexpr http_status kStatusCreated{201, "Created"};
inline constexpr http_status kStatusAccepted{202, "Accepted"};
inline constexpr http_status kStatusNoContent{204, "No Content"};
inline constexpr http_status kStatusPartialContent{206, "Partial Content"};
inline constexpr http_status kStatusMovedPermanently{301, "Moved Permanently"};
inline constexpr http_status kStatusNotModified{304, "Not Modified"};
inline constexpr http_status kStatusBadRequest{400, "Bad Request"};
inline constexpr http_status kStatusUnauthorized{401, "Unauthorized"};
inline constexpr http_status kStatusForbidden{403, "Forbidden"};
inline constexpr http_status kStatusNotFound{404, "Not Found"};
inline constexpr http_status kStatusRangeNotSatisfiable{416, "Requested Range Not Satisfiable"};
inline constexpr http_status kStatusInternalServerError{500, "Internal Server Error"};

inline constexpr std::string_view kContentTypeHtml = "text/html";
inline constexpr std::string_view kContentTypePlain = "text/plain";
inline constexpr std::string_view kContentTypeXml = "text/xml";

// Size of the per-connection request buffer; a header block that does not
// end within it is dropped unanswered.
inline constexpr size_t kRequestBufferSize = 8192;
// How long a client may take from its connection to the end of its header
// block before the server drops it.
inline constexpr std::chrono::milliseconds kDefaultReadTimeout{5000};
// How long a client may take to receive the whole response.
inline constexpr std::chrono::milliseconds kDefaultWriteTimeout{5000};
// Connections served at once, so slow clients cannot exhaust the process's
// descriptors. When they are all taken, a new connection takes the place of
// the one that has waited longest without sending a whole request; only when
// every one is being answered is the new one closed at once.
inline constexpr size_t kMaxConnections = 64;
// How often failed sessions (a client that closes early, sends garbage or
// times out) are printed: the first at once, the rest as one summary line at
// the end of each such period.
inline constexpr std::chrono::milliseconds kDefaultErrorSummaryInterval{60000};

// Request headers: upper-case name -> value, a later duplicate replacing an
// earlier one.
using header_map = std::map<std::string, std::string>;

// One answer. A new record is a 404 "Not Found" "text/plain" without body.
struct response_record {
  int32_t status_code = kStatusNotFound.code;
  std::string status_text{kStatusNotFound.text};
  std::string content_type{kContentTypePlain};
  std::string body;
  std::map<std::string, std::string> headers;

  void set_status(const http_status& status) {
    status_code = status.code;
    status_text = status.text;
  }
};

// Parses a request header block (request line plus header lines). Returns
// false for an invalid request; method, path and headers are then unspecified.
bool parse_request(const std::string& text, std::string& method, std::string& path,
                   header_map& headers);

// The response exactly as it goes on the wire.
std::string to_text(const response_record& response);

// The port the server listens on for a configured port value: its low 16 bits.
inline uint16_t listen_port(uint32_t configured) {
  return static_cast<uint16_t>(configured & 0xFFFF);
}

// Where and how the server listens. A timeout of zero or less means none.
struct listen_settings {
  boost::asio::ip::address address = boost::asio::ip::address_v4::loopback();
  uint16_t port = 0;  // 0 picks a free port
  std::chrono::milliseconds read_timeout = kDefaultReadTimeout;
  std::chrono::milliseconds write_timeout = kDefaultWriteTimeout;
  size_t max_connections = kMaxConnections;
  // Places one peer address may hold; 0: three quarters of max_connections.
  size_t max_per_peer = 0;
  std::chrono::milliseconds error_summary_interval = kDefaultErrorSummaryInterval;
};

class MicroHTTPD {
 public:
  class RequestHandler {
   public:
    // Called on the server thread for each valid request; fills response.
    virtual void handle_request(const std::string& method, const std::string& path,
                                const header_map& headers, response_record& response) = 0;
    virtual ~RequestHandler() = default;
  };

  class HTTPSession;

  // Listens as settings say and starts the server thread. handler must
  // outlive this object. On failure nothing runs, running() is false and
  // start_status() holds the failure, its message naming the failing step
  // with the system text ("bind: Address already in use"); nothing is
  // printed here.
  MicroHTTPD(RequestHandler* handler, const listen_settings& settings);
  // Listens on 127.0.0.1:port with the default write timeout.
  MicroHTTPD(RequestHandler* handler, uint16_t port,
             std::chrono::milliseconds read_timeout = kDefaultReadTimeout);
  // Stops and joins the server thread, dropping the connections in progress
  // without a message.
  ~MicroHTTPD();

  MicroHTTPD(const MicroHTTPD&) = delete;
  MicroHTTPD& operator=(const MicroHTTPD&) = delete;

  // True while the server thread accepts connections. Any thread.
  bool running() const { return server_running_.load(); }
  // Success, or why the server did not start. Fixed once constructed.
  const base::status& start_status() const { return start_status_; }
  // The bound port (useful after asking for port 0); 0 when not listening.
  uint16_t port() const { return port_; }
  // Connections taken into service so far. Any thread.
  uint64_t accepted_count() const { return accepted_count_.load(); }
  // Connections closed at once because max_connections were being answered.
  // Any thread.
  uint64_t refused_count() const { return refused_count_.load(); }
  // Connections dropped before their request was whole, to make room for a
  // newer one. Any thread.
  uint64_t evicted_count() const { return evicted_count_.load(); }
  // Connections in service now. Any thread.
  size_t open_count() const { return open_count_.load(); }
  // Whether a summary period runs: failed sessions are counted for its line
  // instead of printed at once. Any thread.
  bool counting_failures() const { return summary_running_.load(); }

 private:
  friend class HTTPSession;

  void run_server();
  void accept_next();
  void on_accept(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
  base::status open_acceptor();
  // Server thread (or the destructor once that thread has ended). A session
  // holds its place from add_session until release_session (idempotent),
  // which its end or its destructor calls.
  void add_session(HTTPSession* session);
  void release_session(HTTPSession* session);
  // Makes room for a connection from peer: drops the oldest session still
  // waiting for its whole request (among peer's own when peer is at its
  // limit). False when there was no room to make.
  bool make_room(const boost::asio::ip::address& peer);
  size_t per_peer_limit() const;
  // A failed session: printed at once when no summary period runs, else
  // counted for the period's summary line. Server thread.
  void note_session_error(const std::string& text);
  void on_summary_due(const boost::system::error_code& error);

  RequestHandler* handler_;
  const listen_settings settings_;
  // The sessions holding a place, by accept order, and the places of each
  // peer. Server thread only, or the destructor once the server thread has
  // ended; declared before the I/O service, which may release sessions when
  // it is destroyed.
  std::map<uint64_t, HTTPSession*> sessions_;
  std::map<boost::asio::ip::address, size_t> peer_places_;
  uint64_t next_serial_ = 0;
  // Session failures of the current summary period. Server thread only,
  // except that any thread may read summary_running_.
  std::atomic<bool> summary_running_{false};
  uint64_t summary_count_ = 0;
  std::string summary_last_;
  // Set by the destructor after the join: sessions then end silently.
  bool stopping_ = false;
  std::atomic<bool> server_running_{false};
  boost::asio::io_context io_service_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer summary_timer_;
  boost::thread server_thread_;
  base::status start_status_;
  uint16_t port_ = 0;
  std::atomic<uint64_t> accepted_count_{0};
  std::atomic<uint64_t> refused_count_{0};
  std::atomic<uint64_t> evicted_count_{0};
  std::atomic<size_t> open_count_{0};
};

// One accepted connection: reads one request, answers it and closes, all by
// asynchronous operations on the server thread. Owned by its pending
// operations; releasing the last reference closes the socket.
class MicroHTTPD::HTTPSession : public std::enable_shared_from_this<HTTPSession> {
 public:
  HTTPSession(MicroHTTPD& server, boost::asio::ip::tcp::socket socket,
              const boost::asio::ip::address& peer);
  ~HTTPSession();

  HTTPSession(const HTTPSession&) = delete;
  HTTPSession& operator=(const HTTPSession&) = delete;

  // Starts reading under the request deadline. Server thread.
  void start();
  // Closes the socket and cancels the deadline silently; the pending
  // operations then complete and release the session.
  void abandon();
  // Whether the whole request has not arrived yet.
  bool waiting_for_request() const { return phase_ == phase::kReading; }
  const boost::asio::ip::address& peer() const { return peer_; }
  uint64_t serial() const { return serial_; }

 private:
  enum class phase { kReading, kWriting, kDone };

  void read_more();
  void on_read(const boost::system::error_code& error, size_t count);
  void respond(size_t header_end);
  void on_write(const boost::system::error_code& error);
  void arm_deadline(std::chrono::milliseconds timeout);
  void on_deadline(const boost::system::error_code& error, uint64_t generation);
  // Reports a failed read or write (a time-out included) unless stopping.
  void fail(const char* operation, const boost::system::error_code& error);
  void finish();

  friend class MicroHTTPD;
  MicroHTTPD& server_;
  boost::asio::ip::tcp::socket socket_;
  const boost::asio::ip::address peer_;
  uint64_t serial_ = 0;       // accept order, set by add_session
  bool has_place_ = false;    // until release_session
  boost::asio::steady_timer deadline_;
  // Tells a stale expiry from the current deadline.
  uint64_t deadline_generation_ = 0;
  bool timed_out_ = false;
  phase phase_ = phase::kReading;
  std::array<char, kRequestBufferSize> buffer_;
  size_t filled_ = 0;
  std::string reply_;
};

}  // namespace network
