#include "remote/remote_access_server.h"

#include <utility>

#include "base/printer.h"
#include "remote/bearer_auth.h"

namespace network {

RemoteAccessServer::RemoteAccessServer(const StatsSource& source, uint32_t port,
                                       std::chrono::milliseconds read_timeout)
    : RemoteAccessServer(source,
                         listen_settings{.port = listen_port(port), .read_timeout = read_timeout},
                         std::string()) {}

RemoteAccessServer::RemoteAccessServer(const StatsSource& source, const listen_settings& settings,
                                       std::string token)
    : source_(&source), token_(std::move(token)) {
  // Created only once source_ and token_ are set: the server thread may call
  // us at once.
  httpd_ = std::make_shared<MicroHTTPD>(this, settings);
  if (!httpd_->running()) {
    base::printer::inst().print_error("MicroHTTPD: %s. Remote access is not available.",
                                     httpd_->start_status().message().c_str());
  }
}

RemoteAccessServer::~RemoteAccessServer() {
  // The server thread calls into *this; it must end before we do.
  httpd_.reset();
}

void RemoteAccessServer::handle_request(const std::string& /*method*/, const std::string& path,
                                        const header_map& headers, response_record& response) {
  if (!token_.empty() && !bearer_authorized(headers, token_)) {
    response.set_status(kStatusUnauthorized);
    response.headers.insert_or_assign("WWW-Authenticate", std::string("Bearer"));
    return;
  }
  if (path == kPathStats || path == kPathRoot) {
    response.headers.insert_or_assign("Access-Control-Allow-Origin", std::string("*"));
    response.set_status(kStatusOk);
    response.content_type = kContentTypePlain;
    response.body = source_->stats_json();
  } else if (path == kPathMetrics) {
    response.headers.insert_or_assign("Access-Control-Allow-Origin", std::string("*"));
    response.set_status(kStatusOk);
    response.content_type = kContentTypeMetrics;
    response.body = source_->metrics_text();
  }
}

}  // namespace network
