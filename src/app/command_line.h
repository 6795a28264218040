// Start-up: builds config from the command line, prints the banner, opens
// the log file and checks the configuration. Main thread, before any other
// thread exists.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "base/status.h"

namespace app {

struct startup_result {
  bool finished = false;       // an early finish: return exit_code
  int exit_code = 0;
  bool remote_access = false;  // --remoteaccess
  uint32_t remote_port = 7777; // --remoteport, 0 to 65535 (0 picks a free port)
  // --remotehost as a numeric address, in its normal form ("::1", not "0::1").
  std::string remote_host = "127.0.0.1";
  // --remotetoken, else ORBECK_REMOTE_TOKEN; empty: no token required.
  std::string remote_token;
};

// The environment variable that may carry the remote access token, so that
// it need not appear in the process list.
constexpr const char* kRemoteTokenVariable = "ORBECK_REMOTE_TOKEN";

// True when a remote access token can travel in an Authorization header
// unchanged: not empty, printable ASCII without spaces.
bool valid_remote_token(const std::string& token);

struct config;
struct config_file;

// Reads a config file into its arguments and pools; a failure carries the
// one-line error. read_config_file is the real one.
using config_loader = std::function<base::status(const std::string& path, config_file& out)>;

// What the command line and the config file it names ask for, read into c
// without printing anything or opening any file other than through load.
struct options_result {
  bool rejected = false;  // print error (then the options hint when hint), exit 1
  std::string error;
  bool hint = true;
  bool version = false;   // --version
  bool help = false;      // --help
  bool remote_access = false;
  uint32_t remote_port = 7777;
  std::string remote_host = "127.0.0.1";
  std::string remote_token;
  std::string remote_problem;       // --remotehost / --remotetoken error, or empty
  std::string gpu_text;             // --gpu, for parse_gpu_list
  std::string pool_problem;         // the pool list's error, empty when sound
  bool pool_problem_in_file = false;  // ...about a pool of the config file
  std::string pool_warning;         // an event line to print, or empty
  std::string temperature_problem;  // --temp-limit / --temp-resume error, or empty
  std::string value_problem;        // the first option value refused, or empty
  bool value_problem_in_file = false;  // ...and it stands in the config file
  // Options whose value came from the config file: name -> "PATH:LINE:COLUMN".
  std::map<std::string, std::string> file_places;
};
options_result read_options(int argc, const char* const* argv, config& c, const config_loader& load);

// Runs the start-up steps on argv; the caller continues with the run
// sequence unless result.finished is set.
startup_result start_up(int argc, const char* const* argv);

// The help text of the four shown option groups, as --help prints it.
std::string help_text();

// The program name used in hints.
constexpr const char* kProgramName = "orbeck-vega";
constexpr double kDonationPercent = 1.5;

}  // namespace app
