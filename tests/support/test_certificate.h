// Certificates made at test time with OpenSSL: a self-signed one for a host
// name or IP address, a test CA, and certificates that CA signs. Any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace test_tls {

struct certificate {
  std::string cert_pem;
  std::string key_pem;
  std::array<uint8_t, 32> fingerprint{};  // SHA-256 of the DER certificate
};

// A certificate whose subject and subjectAltName name `host` (an IP
// address becomes an IP entry). With `issuer`, that CA signs it; without,
// it signs itself. `ca` makes it a CA that can sign others.
certificate make_certificate(const std::string& host, const certificate* issuer = nullptr,
                             bool ca = false);

// Writes `text` to a new file under the system's temp directory; returns
// its path. The file lives until the process ends or the caller removes it.
std::string write_temp_file(const std::string& name, const std::string& text);

}  // namespace test_tls
