// Test helper: runs a program with arguments, feeds it standard input and
// collects its standard output and exit status, killing it after a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace app {

struct process_result {
  int exit_code = -1;     // valid when exited
  bool exited = false;
  int signal = 0;         // terminating signal when not exited
  bool timed_out = false;
  std::string output;     // stdout and stderr together
};

struct process_options {
  std::string stdin_text;                                  // written, then stdin is closed
  bool keep_stdin_open = false;                            // leave stdin open after the text
  std::chrono::milliseconds timeout{std::chrono::seconds(30)};
  std::vector<std::string> environment;                    // extra NAME=value entries
  // Called with the child's pid, its standard input (-1 once closed) and the
  // output so far, about every 50 ms; may write keys or send signals. A true
  // result closes standard input.
  std::function<bool(int pid, int stdin_fd, const std::string& output)> on_output;
};

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const process_options& options = {});

// Path of a program built by this project.
std::string built_program(const std::string& relative_path);

}  // namespace app
