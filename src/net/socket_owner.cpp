#include "net/socket_owner.h"

namespace net {

base::status socket_owner::fail_system(base::status_code code, const char* prefix, int error) {
  return fail(code, std::string(prefix) + base::system_text(error));
}

}  // namespace net
