#include "remote/remote_access_server.h"

#include "app/printer.h"

namespace network {

RemoteAccessServer::RemoteAccessServer(const StatsSource& source, uint32_t port,
                                       std::chrono::milliseconds read_timeout)
    : source_(&source) {
  // Created only once source_ is set: the server thread may call us at once.
  httpd_ = std::make_shared<MicroHTTPD>(this, listen_port(port), read_timeout);
  if (!httpd_->running()) {
    app::printer::inst().print_error("MicroHTTPD: %s. Remote access is not available.",
                                     httpd_->error().c_str());
  }
}

RemoteAccessServer::~RemoteAccessServer() {
  // The server thread calls into *this; it must end before we do.
  httpd_.reset();
}

void RemoteAccessServer::handle_request(const std::string& /*method*/, const std::string& path,
                                        const header_map& /*headers*/, response_record& response) {
  if (path == kPathStats || path == kPathRoot) {
    response.headers["Access-Control-Allow-Origin"] = "*";
    response.set_status(kStatusOk);
    response.content_type = kContentTypePlain;
    response.body = source_->stats_json();
  } else if (path == kPathMetrics) {
    response.headers["Access-Control-Allow-Origin"] = "*";
    response.set_status(kStatusOk);
    response.content_type = kContentTypeMetrics;
    response.body = source_->metrics_text();
  }
}

}  // namespace network
