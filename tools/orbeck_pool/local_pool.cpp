#include "local_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "app/json_text.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "crypto/hex.h"
#include "rapidjson/document.h"

namespace tools {
namespace {

constexpr size_t kBlobLength = 76;
constexpr size_t kMaxLine = 4096;

// Blob byte 0 (the major version) that makes auto detect pick the algorithm
// family: 8+ for CryptoNightV8, 2-7 for the V7 family, else 1.
uint8_t major_version_for(int32_t algorithm) {
  if (algorithm == crypto::kCryptoNightV8) return 8;
  if (crypto::uses_v7_tweak(algorithm)) return 7;
  return 1;
}

std::string target_hex(uint32_t target) {
  uint8_t bytes[4] = {static_cast<uint8_t>(target), static_cast<uint8_t>(target >> 8),
                      static_cast<uint8_t>(target >> 16), static_cast<uint8_t>(target >> 24)};
  return crypto::hex_encode(bytes, 4);
}

std::string error_reply(const std::string& id, const std::string& message) {
  return "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"error\":{\"code\":-1,\"message\":\"" +
         app::json_escaped(message) + "\"}}\n";
}

}  // namespace

local_pool::local_pool(const local_pool_options& options) : options_(options) {}

local_pool::~local_pool() { stop(); }

bool local_pool::start(std::string& error) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) {
    error = std::string("socket: ") + strerror(errno);
    return false;
  }
  int yes = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(options_.port);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    error = std::string("bind: ") + strerror(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  if (listen(listen_fd_, 16) != 0) {
    error = std::string("listen: ") + strerror(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  socklen_t length = sizeof(address);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = make_job();
  }
  running_.store(true);
  accept_thread_ = std::thread(&local_pool::accept_loop, this);
  job_thread_ = std::thread(&local_pool::job_loop, this);
  return true;
}

void local_pool::stop() {
  if (!running_.exchange(false)) return;
  wake_.notify_all();
  shutdown(listen_fd_, SHUT_RDWR);
  if (accept_thread_.joinable()) accept_thread_.join();
  if (job_thread_.joinable()) job_thread_.join();
  std::vector<std::unique_ptr<client>> clients;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clients.swap(clients_);
  }
  for (auto& c : clients) {
    shutdown(c->fd, SHUT_RDWR);
    if (c->thread.joinable()) c->thread.join();
    close(c->fd);
  }
  close(listen_fd_);
  listen_fd_ = -1;
}

local_pool_counts local_pool::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

local_pool::job local_pool::make_job() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  job j;
  j.id = std::to_string(++job_serial_);
  j.blob.resize(kBlobLength);
  for (auto& byte : j.blob) byte = static_cast<uint8_t>(random());
  j.blob[0] = major_version_for(options_.algorithm);
  std::memset(&j.blob[39], 0, 4);  // the miner fills the nonce
  ++counts_.jobs;
  return j;
}

std::string local_pool::job_json(const job& j) const {
  return "{\"blob\":\"" + crypto::hex_encode(j.blob.data(), j.blob.size()) + "\",\"job_id\":\"" +
         j.id + "\",\"target\":\"" + target_hex(options_.target) + "\"}";
}

void local_pool::accept_loop() {
  while (running_.load()) {
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // shut down
    }
    auto c = std::make_unique<client>();
    c->fd = fd;
    client* raw = c.get();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_.load()) {
      close(fd);
      return;
    }
    c->thread = std::thread(&local_pool::client_loop, this, raw);
    clients_.push_back(std::move(c));
  }
}

void local_pool::send_line(client* c, const std::string& line) {
  std::lock_guard<std::mutex> lock(c->send_mutex);
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = send(c->fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void local_pool::client_loop(client* c) {
  std::string pending;
  char buffer[2048];
  while (running_.load()) {
    ssize_t n = recv(c->fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find_first_not_of(" \r\t") == std::string::npos) continue;
      send_line(c, handle_line(c, line));
    }
    if (pending.size() > kMaxLine) break;  // a line that never ends
  }
  std::lock_guard<std::mutex> lock(mutex_);
  c->logged_in = false;
}

std::string local_pool::handle_line(client* c, const std::string& line) {
  rapidjson::Document request;
  request.Parse(line.c_str(), line.size());
  if (request.HasParseError() || !request.IsObject()) return error_reply("null", "Invalid JSON");
  std::string id = "1";
  if (request.HasMember("id") && request["id"].IsUint64())
    id = std::to_string(request["id"].GetUint64());
  if (!request.HasMember("method") || !request["method"].IsString())
    return error_reply(id, "Missing method");
  const std::string method = request["method"].GetString();
  const rapidjson::Value* params =
      request.HasMember("params") && request["params"].IsObject() ? &request["params"] : nullptr;

  if (method == "login") {
    std::lock_guard<std::mutex> lock(mutex_);
    c->logged_in = true;
    c->miner_id = "miner" + std::to_string(++miner_serial_);
    ++counts_.logins;
    return "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"id\":\"" +
           c->miner_id + "\",\"job\":" + job_json(current_) + ",\"status\":\"OK\"}}\n";
  }
  if (method == "submit") {
    std::string miner_id;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      miner_id = c->miner_id;
    }
    if (miner_id.empty()) return error_reply(id, "Unauthenticated");
    const auto text = [params](const char* key) -> std::string {
      if (params == nullptr || !params->HasMember(key) || !(*params)[key].IsString()) return "";
      return (*params)[key].GetString();
    };
    if (text("id") != miner_id) return error_reply(id, "Unauthenticated");
    const std::string reason = check_share(text("job_id"), text("nonce"), text("result"));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reason.empty()) {
      ++counts_.rejected;
      ++counts_.reasons[reason];
      return error_reply(id, reason);
    }
    ++counts_.accepted;
    return "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"status\":\"OK\"}}\n";
  }
  if (method == "keepalived") {
    return "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"status\":\"KEEPALIVED\"}}\n";
  }
  return error_reply(id, "Unsupported method");
}

std::string local_pool::check_share(const std::string& job_id, const std::string& nonce_hex,
                                    const std::string& result_hex) {
  std::vector<uint8_t> nonce;
  std::vector<uint8_t> result;
  if (!crypto::hex_decode(nonce_hex, &nonce) || nonce.size() != 4) return "Invalid nonce";
  if (!crypto::hex_decode(result_hex, &result) || result.size() != 32) return "Invalid result";
  std::vector<uint8_t> blob;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Shares of the job before the current one still count, as on real pools.
    if (job_id == current_.id)
      blob = current_.blob;
    else if (job_id == previous_.id)
      blob = previous_.blob;
    else
      return "Block expired";
    if (!seen_shares_[job_id].insert(nonce_hex).second) return "Duplicate share";
  }
  std::memcpy(&blob[39], nonce.data(), 4);
  // One hasher per client thread: each owns a 4 MiB work area.
  static thread_local crypto::CryptoNight hasher;
  uint8_t hash[32] = {};
  hasher.hash(options_.algorithm, blob.data(), blob.size(), hash);
  if (std::memcmp(hash, result.data(), 32) != 0) return "Bad hash";
  uint32_t word7;
  std::memcpy(&word7, hash + 28, 4);
  if (word7 >= options_.target) return "Low difficulty share";
  return "";
}

void local_pool::job_loop() {
  const auto interval = std::chrono::duration<double>(options_.job_interval_s);
  while (running_.load()) {
    {
      std::unique_lock<std::mutex> lock(wake_mutex_);
      wake_.wait_for(lock, interval, [this] { return !running_.load(); });
    }
    if (!running_.load()) return;
    std::vector<client*> targets;
    std::string line;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      previous_ = current_;
      current_ = make_job();
      // Only the current and the previous job take shares.
      for (auto it = seen_shares_.begin(); it != seen_shares_.end();)
        it = it->first == previous_.id ? std::next(it) : seen_shares_.erase(it);
      line = "{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":" + job_json(current_) + "}\n";
      for (auto& c : clients_)
        if (c->logged_in) targets.push_back(c.get());
    }
    for (client* c : targets) send_line(c, line);
  }
}

}  // namespace tools
