// A minimal HTTP/1.1 server: one server thread accepts one connection at a
// time, reads one request, hands it to a RequestHandler and closes the
// connection. The pure request parser and response writer are usable alone.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

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
// How long a client may take to deliver its whole header block (and to take
// the response) before the server drops it.
inline constexpr std::chrono::milliseconds kDefaultReadTimeout{5000};

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

  // Listens on 127.0.0.1:port (0 picks a free port) and starts the server
  // thread. handler must outlive this object. A read_timeout of zero or less
  // lets a client take as long as it likes. On failure nothing runs,
  // running() is false and error() names the failing step with the system
  // text ("bind: Address already in use"); nothing is printed here.
  MicroHTTPD(RequestHandler* handler, uint16_t port,
             std::chrono::milliseconds read_timeout = kDefaultReadTimeout);
  // Stops and joins the server thread, dropping a connection in progress.
  ~MicroHTTPD();

  MicroHTTPD(const MicroHTTPD&) = delete;
  MicroHTTPD& operator=(const MicroHTTPD&) = delete;

  // True while the server thread accepts connections. Any thread.
  bool running() const { return server_running_.load(); }
  const std::string& error() const { return error_; }
  // The bound port (useful after asking for port 0); 0 when not listening.
  uint16_t port() const { return port_; }
  // Connections accepted so far. Any thread.
  uint64_t accepted_count() const { return accepted_count_.load(); }

 private:
  void run_server();
  void accept_next();
  void on_accept(const std::shared_ptr<HTTPSession>& session,
                 const boost::system::error_code& error);
  bool open_acceptor(uint16_t port);

  RequestHandler* handler_;
  std::atomic<bool> server_running_{false};
  boost::asio::io_context io_service_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::thread server_thread_;
  std::chrono::milliseconds read_timeout_;
  // Readable once the destructor wants a session in progress abandoned.
  int stop_fd_ = -1;
  std::string error_;
  uint16_t port_ = 0;
  std::atomic<uint64_t> accepted_count_{0};
};

// One accepted connection, processed synchronously on the server thread.
// Releasing the last reference closes the socket.
class MicroHTTPD::HTTPSession {
 public:
  explicit HTTPSession(boost::asio::io_context& io_service) : socket_(io_service) {}

  boost::asio::ip::tcp::socket& socket() { return socket_; }

  // Reads one request, answers it through handler and returns. The header
  // block and the write must each finish within read_timeout; stop_fd turning
  // readable abandons the connection silently.
  void process(RequestHandler& handler, std::chrono::milliseconds read_timeout, int stop_fd);

 private:
  boost::asio::ip::tcp::socket socket_;
};

}  // namespace network
