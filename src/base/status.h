// The result of an operation that can fail inside a subsystem: success, or
// a code that says what kind of failure it was and the message text that
// describes it. Each subsystem turns the errors of what it calls (OpenCL
// codes, errno, OpenSSL, Boost) into a status at its edge; the message is
// the text the program prints. A plain value: copy it, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace base {

enum class status_code : uint8_t {
  kOk = 0,
  kUnsupported,     // a device, scheme or algorithm this build cannot use
  kDeviceError,     // a call into a compute API failed
  kNotFound,        // a device, file or kernel source that is not there
  kInvalidInput,    // input outside its allowed range or form
  kIoError,         // a file or system call failed
  kNetworkError,    // a connection could not be made, or a send on it failed
  kTimeout,         // nothing came back in time
  kProtocolError,   // the other side broke the protocol
  kTlsRefused,      // TLS with a pool could not be set up: a failed handshake, a refused
                    // certificate, a TLS answer on a plain port (the user must act)
  kConnectionLost,  // an open connection ended while reading: closed by the other side or broken
};

class [[nodiscard]] status {
 public:
  // Success.
  status() = default;
  static status ok() { return status(); }
  // A failure; `code` must not be kOk.
  static status error(status_code code, std::string message) {
    return status(code, std::move(message));
  }
  // errno (or any std::error_code) at a system call: "<context>: <system text>".
  static status from_errno(int error, std::string_view context);
  static status from_error_code(const std::error_code& error, std::string_view context,
                                status_code code = status_code::kIoError);

  bool is_ok() const { return code_ == status_code::kOk; }
  explicit operator bool() const { return is_ok(); }
  status_code code() const { return code_; }
  // Empty on success.
  const std::string& message() const { return message_; }
  // The code's name and the message, for logs and test failures.
  std::string to_string() const;

  bool operator==(const status& other) const = default;

 private:
  status(status_code code, std::string message) : code_(code), message_(std::move(message)) {}

  status_code code_ = status_code::kOk;
  std::string message_;
};

// The name of a code: "OK", "Unsupported", "Device error", ...
const char* status_code_name(status_code code);

// The system's text for an errno value ("Connection refused"). Thread-safe.
std::string system_text(int error);

}  // namespace base
