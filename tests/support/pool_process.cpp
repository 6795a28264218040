#include "support/pool_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>

#include "support/process_runner.h"
#include "support/wait.h"

namespace app {
namespace {

const std::string kPool = "tools/orbeck_pool/orbeck-pool";

void stop_child(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// A loopback port that was free a moment ago.
uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

bool accepts_connections(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

pool_process::pool_process(int algorithm, const std::vector<std::string>& extra) {
  int out[2];
  if (pipe(out) != 0) return;
  const std::string program = built_program(kPool);
  std::vector<std::string> args = {program, "--port", "0", "--algo", std::to_string(algorithm), "--seconds", "300"};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  // "orbeck-pool: listening on 127.0.0.1:PORT, ..."
  std::string text;
  char buffer[256];
  std::smatch match;
  const std::regex listening("127\\.0\\.0\\.1:(\\d+)");
  for (int reads = 0; reads < 50 && !std::regex_search(text, match, listening); ++reads) {
    ssize_t got = read(out[0], buffer, sizeof(buffer));
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(out[0]);
  if (std::regex_search(text, match, listening)) address_ = "127.0.0.1:" + match[1].str();
}

pool_process::~pool_process() { stop_child(pid_); }

bool have_program(const std::string& name) {
  const std::string command = "command -v " + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

stunnel_process::stunnel_process(const std::string& target, const std::string& cert_file,
                                 const std::string& key_file) {
  if (!have_program("stunnel4")) {
    why_ = "stunnel4 is not installed";
    return;
  }
  const uint16_t port = free_port();
  char name[] = "/tmp/orbeck-stunnel-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0 || port == 0) {
    why_ = "no temp file or port";
    return;
  }
  config_file_ = name;
  const std::string config = "foreground = yes\npid =\ndebug = 3\n[pool]\naccept = 127.0.0.1:" +
                             std::to_string(port) + "\nconnect = " + target + "\ncert = " + cert_file +
                             "\nkey = " + key_file + "\n";
  [[maybe_unused]] ssize_t written = write(fd, config.data(), config.size());
  close(fd);
  pid_ = fork();
  if (pid_ == 0) {
    execlp("stunnel4", "stunnel4", config_file_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Bounded: up to 10 s for stunnel to listen.
  if (support::eventually([&] { return accepts_connections(port); }, std::chrono::seconds(10))) {
    address_ = "127.0.0.1:" + std::to_string(port);
    return;
  }
  why_ = "stunnel4 did not start listening";
}

stunnel_process::~stunnel_process() {
  stop_child(pid_);
  if (!config_file_.empty()) std::remove(config_file_.c_str());
}

}  // namespace app
