// Test helpers that run real servers as child processes: the local pool
// (orbeck-pool) and Debian's stunnel4 in front of it. Each stops its child
// on destruction. Test thread only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace app {

class pool_process {
 public:
  // orbeck-pool --port 0 --algo N [extra...]; address() is empty when it
  // did not start.
  explicit pool_process(int algorithm, const std::vector<std::string>& extra = {});
  ~pool_process();
  pool_process(const pool_process&) = delete;
  pool_process& operator=(const pool_process&) = delete;
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

// stunnel4 as a TLS server on a free loopback port, forwarding to `target`
// ("127.0.0.1:port") in plain text.
class stunnel_process {
 public:
  stunnel_process(const std::string& target, const std::string& cert_file, const std::string& key_file);
  ~stunnel_process();
  stunnel_process(const stunnel_process&) = delete;
  stunnel_process& operator=(const stunnel_process&) = delete;
  // Empty when stunnel4 is missing or did not come up; why() says which.
  const std::string& address() const { return address_; }
  const std::string& why() const { return why_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string why_;
  std::string config_file_;
};

// Whether a program is on the PATH.
bool have_program(const std::string& name);

}  // namespace app
