// Where a socket records its errors: the connection that owns it. The first
// error of a connection wins; later ones are dropped by the owner. Each error
// is a code (what the owner's user decides by) and the text it prints. Any
// thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"

namespace net {

class socket_owner {
 public:
  // Records `code` (not kOk) and `text` as the connection's error unless one
  // was recorded first.
  virtual void set_error(base::status_code code, std::string_view text) = 0;

  // Records the failure as set_error does and returns it, so a socket call
  // hands back the error it recorded.
  base::status fail(base::status_code code, std::string text) {
    set_error(code, text);
    return base::status::error(code, std::move(text));
  }
  // The same with `prefix` followed by the system's text for errno `error`.
  base::status fail_system(base::status_code code, const char* prefix, int error);

 protected:
  ~socket_owner() = default;
};

}  // namespace net
