// The program's HTTP handler: serves the statistics document on "/" and
// "/stats.json", the Prometheus metrics on "/metrics" and 404 otherwise; with
// a token, only to requests that carry it as a bearer token (401 otherwise).
// Constructed and destroyed on the main thread; requests run on the server
// thread, which calls the StatsSource concurrently with mining.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "remote/micro_httpd.h"
#include "remote/stats_source.h"

namespace network {

inline constexpr std::string_view kPathRoot = "/";
inline constexpr std::string_view kPathStats = "/stats.json";
inline constexpr std::string_view kPathMetrics = "/metrics";
inline constexpr std::string_view kContentTypeMetrics = "text/plain; version=0.0.4";

class RemoteAccessServer : public MicroHTTPD::RequestHandler {
 public:
  // Listens on 127.0.0.1:(port & 0xFFFF) and starts the server thread. When
  // the port cannot be opened, bound or listened on, prints the error and
  // running() is false; mining goes on without the server. source must
  // outlive this object.
  RemoteAccessServer(const StatsSource& source, uint32_t port,
                     std::chrono::milliseconds read_timeout = kDefaultReadTimeout);
  // Listens as settings say. A non-empty token must come with every request
  // ("Authorization: Bearer TOKEN").
  RemoteAccessServer(const StatsSource& source, const listen_settings& settings,
                     std::string token);
  // Stops and joins the server thread.
  ~RemoteAccessServer() override;

  RemoteAccessServer(const RemoteAccessServer&) = delete;
  RemoteAccessServer& operator=(const RemoteAccessServer&) = delete;

  bool running() const { return httpd_ != nullptr && httpd_->running(); }
  // The bound port (useful after asking for port 0); 0 when not listening.
  uint16_t port() const { return httpd_ != nullptr ? httpd_->port() : 0; }
  // Connections taken into service so far.
  uint64_t accepted_count() const { return httpd_ != nullptr ? httpd_->accepted_count() : 0; }
  // Connections closed at once because every place was being answered.
  uint64_t refused_count() const { return httpd_ != nullptr ? httpd_->refused_count() : 0; }
  // Connections dropped before their request was whole to make room.
  uint64_t evicted_count() const { return httpd_ != nullptr ? httpd_->evicted_count() : 0; }
  // Connections in service now.
  size_t open_count() const { return httpd_ != nullptr ? httpd_->open_count() : 0; }
  // Failed sessions are being summed up for a summary line (MicroHTTPD).
  bool counting_failures() const { return httpd_ != nullptr && httpd_->counting_failures(); }

  // Server thread. The method is not examined (HEAD gets the body too); of
  // the headers only Authorization, and only when there is a token.
  void handle_request(const std::string& method, const std::string& path, const header_map& headers,
                      response_record& response) override;

 private:
  std::shared_ptr<MicroHTTPD> httpd_;
  const StatsSource* source_;
  const std::string token_;
};

}  // namespace network
