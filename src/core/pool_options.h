// One pool of the user's priority list, as the executor connects to it. A
// plain value; the executor copies the list at construction.
#pragma once

#include <optional>
#include <string>

#include "crypto/fingerprint.h"

namespace core {

struct pool_options {
  std::string address;  // [scheme://]host:port
  std::string user;
  std::string password;
  // The SHA-256 fingerprint a TLS pool's certificate must have (instead of
  // one the system's CA store trusts).
  std::optional<crypto::sha256_fingerprint> tls_fingerprint;
};

}  // namespace core
