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
};

// Runs the start-up steps on argv; the caller continues with the run
// sequence unless result.finished is set.
startup_result start_up(int argc, const char* const* argv);

// The help text of the four shown option groups, as --help prints it.
std::string help_text();

// The program name used in hints.
constexpr const char* kProgramName = "orbeck-vega";
constexpr double kDonationPercent = 1.5;

}  // namespace app
