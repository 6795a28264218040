// Where a socket records its errors: the connection that owns it. The first
// error of a connection wins; later ones are dropped by the owner. Any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"

namespace net {

class socket_owner {
 public:
  // Records `text` as the connection's error unless one was recorded first.
  virtual void set_error(std::string_view text) = 0;

  // Records the failure's message as set_error does and returns the
  // failure, so a socket call hands back the text it recorded.
  base::status fail(base::status_code code, std::string text) {
    set_error(text);
    return base::status::error(code, std::move(text));
  }
  // The same with `prefix` followed by the system's text for errno `error`.
  base::status fail_system(base::status_code code, const char* prefix, int error);

 protected:
  ~socket_owner() = default;
};

}  // namespace net
