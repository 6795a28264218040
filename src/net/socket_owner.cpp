#include "net/socket_owner.h"

#include <cstring>

namespace net {
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

base::status socket_owner::fail_system(base::status_code code, const char* prefix, int error) {
  return fail(code, std::string(prefix) + system_text(error));
}

}  // namespace net
