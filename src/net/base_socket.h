// The socket one pool connection talks through. Every failing operation
// records its error text in the owning connection before it returns, and
// returns it as a status with that text.
// resolve_address and send_all run on the executor thread, connect and
// receive on the connection thread, close on any thread.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace net {

class base_socket {
 public:
  virtual ~base_socket() = default;

  // Parses "host:port" (an optional "scheme//" prefix is dropped), resolves
  // it and opens a socket for the chosen address.
  virtual base::status resolve_address(const char* address) = 0;
  // Blocking connect to the address chosen by resolve_address.
  virtual base::status connect() = 0;
  // One blocking read: >0 bytes read, 0 peer closed, <0 error.
  virtual int32_t receive(char* buffer, uint32_t capacity) = 0;
  // Sends the whole NUL-terminated text; partial sends continue.
  virtual base::status send_all(const char* text) = 0;
  // Shuts down and closes the socket once; harmless when already closed.
  virtual void close() = 0;
};

}  // namespace net
