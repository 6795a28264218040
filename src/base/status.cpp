#include "base/status.h"

#include <cstring>

namespace base {
namespace {

// strerror_r comes in two flavours; both are handled.
[[maybe_unused]] const char* pick_error_text(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* pick_error_text(const char* text, const char*) { return text; }

}  // namespace

std::string system_text(int error) {
  char buffer[256] = {};
  return pick_error_text(strerror_r(error, buffer, sizeof(buffer)), buffer);
}

status status::from_errno(int error, std::string_view context) {
  std::string message(context);
  if (!message.empty()) message += ": ";
  message += system_text(error);
  return status(status_code::kIoError, std::move(message));
}

status status::from_error_code(const std::error_code& error, std::string_view context,
                               status_code code) {
  std::string message(context);
  if (!message.empty()) message += ": ";
  message += error.message();
  return status(code, std::move(message));
}

std::string status::to_string() const {
  if (is_ok()) return "OK";
  return std::string(status_code_name(code_)) + ": " + message_;
}

const char* status_code_name(status_code code) {
  switch (code) {
    case status_code::kOk: return "OK";
    case status_code::kUnsupported: return "Unsupported";
    case status_code::kDeviceError: return "Device error";
    case status_code::kNotFound: return "Not found";
    case status_code::kInvalidInput: return "Invalid input";
    case status_code::kIoError: return "I/O error";
    case status_code::kNetworkError: return "Network error";
    case status_code::kTimeout: return "Timed out";
    case status_code::kProtocolError: return "Protocol error";
    case status_code::kTlsRefused:
      return "TLS refused";
    case status_code::kConnectionLost:
      return "Connection lost";
  }
  return "Unknown";
}

}  // namespace base
