// Start-up: builds config from the command line, prints the banner, opens
// the log file and checks the configuration. Main thread, before any other
// thread exists.
#pragma once

#include <cstdint>
#include <string>

namespace app {

struct startup_result {
  bool finished = false;       // an early finish: return exit_code
  int exit_code = 0;
  bool remote_access = false;  // --remoteaccess
  uint32_t remote_port = 7777; // --remoteport (low 16 bits are used)
  // --remotehost as a numeric address, in its normal form ("::1", not "0::1").
  std::string remote_host = "127.0.0.1";
  // --remotetoken, else ORBECK_REMOTE_TOKEN; empty: no token required.
  std::string remote_token;
};

// The environment variable that may carry the remote access token, so that
// it need not appear in the process list.
constexpr const char* kRemoteTokenVariable = "ORBECK_REMOTE_TOKEN";

// Runs the start-up steps on argv; the caller continues with the run
// sequence unless result.finished is set.
startup_result start_up(int argc, const char* const* argv);

// The help text of the four shown option groups, as --help prints it.
std::string help_text();

// True when a remote access token can travel in an Authorization header
// unchanged: not empty, printable ASCII without spaces.
bool valid_remote_token(const std::string& token);

// The program name used in hints.
constexpr const char* kProgramName = "orbeck-vega";
constexpr double kDonationPercent = 1.5;

}  // namespace app
