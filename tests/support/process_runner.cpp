#include "support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace app {

std::string built_program(const std::string& relative_path) {
  return std::string(ORBECK_BINARY_DIR) + "/" + relative_path;
}

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const process_options& options) {
  process_result result;
  int in_pipe[2];
  int out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return result;
  signal(SIGPIPE, SIG_IGN);

  // The given variables replace inherited ones of the same name (getenv
  // would find the first of two).
  std::vector<std::string> env_storage;
  const auto given = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (const auto& extra : options.environment) {
      if (extra.compare(0, name.size(), name) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e != nullptr; ++e) {
    if (!given(*e)) env_storage.emplace_back(*e);
  }
  for (const auto& extra : options.environment) env_storage.push_back(extra);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(out_pipe[1], STDERR_FILENO);
    close(in_pipe[0]);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(out_pipe[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : env_storage) envp.push_back(entry.data());
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (!options.stdin_text.empty()) {
    ssize_t ignored = write(in_pipe[1], options.stdin_text.data(), options.stdin_text.size());
    (void)ignored;
  }
  int stdin_fd = in_pipe[1];
  if (!options.keep_stdin_open) {
    close(stdin_fd);
    stdin_fd = -1;
  }

  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  bool out_open = true;
  while (out_open) {
    struct pollfd fd = {out_pipe[0], POLLIN, 0};
    int ready = poll(&fd, 1, 50);
    if (ready > 0) {
      char buffer[4096];
      ssize_t got = read(out_pipe[0], buffer, sizeof(buffer));
      if (got <= 0) {
        out_open = false;
      } else {
        result.output.append(buffer, static_cast<size_t>(got));
      }
    }
    if (options.on_output && options.on_output(pid, stdin_fd, result.output) && stdin_fd >= 0) {
      close(stdin_fd);
      stdin_fd = -1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
  }
  if (stdin_fd >= 0) close(stdin_fd);
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace app
