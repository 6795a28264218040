#include "local_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <random>

#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "base/hex.h"
#include "rapidjson/document.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace tools {
namespace {

constexpr size_t kBlobLength = 76;
constexpr size_t kMaxLine = 4096;

// Blob byte 0 (the major version) that makes auto detect pick the algorithm
// family: 10 for CryptoNightR, 8 for CryptoNightV8, 2-7 for the V7 family,
// else 1.
uint8_t major_version_for(int32_t algorithm) {
  if (algorithm == crypto::kCryptoNightR) return 10;
  if (algorithm == crypto::kCryptoNightV8) return 8;
  if (crypto::uses_v7_tweak(algorithm)) return 7;
  return 1;
}

// The target as a pool sends it: little-endian hex, 8 digits for a 32-bit
// target, 16 for a 64-bit one.
std::string target_hex(const local_pool_options& options) {
  uint8_t bytes[8];
  const uint64_t value = options.target64 != 0 ? options.target64 : options.target;
  const size_t size = options.target64 != 0 ? 8 : 4;
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return base::hex_encode(bytes, size);
}

std::string openssl_error() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof(buffer));
  return buffer;
}

using json_writer = rapidjson::Writer<rapidjson::StringBuffer>;

void write_text(json_writer& out, const std::string& text) {
  out.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

// The request id a reply carries: the request's own, 1 when it had none
// readable, null when the request was no JSON object.
using reply_id = std::optional<uint64_t>;

// A reply line, {"id":..,"jsonrpc":"2.0","error":..,"result":..}: `body`
// writes the error member's value and, for a success, the result member.
template <typename Body>
std::string reply_line(const reply_id& id, Body body) {
  rapidjson::StringBuffer buffer;
  json_writer out(buffer);
  out.StartObject();
  out.Key("id");
  if (id) {
    out.Uint64(*id);
  } else {
    out.Null();
  }
  out.Key("jsonrpc");
  out.String("2.0");
  out.Key("error");
  body(out);
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string error_reply(const reply_id& id, const std::string& message) {
  return reply_line(id, [&message](json_writer& out) {
    out.StartObject();
    out.Key("code");
    out.Int(-1);
    out.Key("message");
    write_text(out, message);
    out.EndObject();
  });
}

// A success whose result is {"status": status} after the members `more`
// writes first.
template <typename More>
std::string status_reply(const reply_id& id, const char* status, More more) {
  return reply_line(id, [&](json_writer& out) {
    out.Null();
    out.Key("result");
    out.StartObject();
    more(out);
    out.Key("status");
    out.String(status);
    out.EndObject();
  });
}

std::string status_reply(const reply_id& id, const char* status) {
  return status_reply(id, status, [](json_writer&) {});
}

}  // namespace

struct local_pool::tls_context {
  SSL_CTX* ctx = nullptr;
  ~tls_context() {
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
};

local_pool::local_pool(const local_pool_options& options) : options_(options) {}

local_pool::~local_pool() { stop(); }

bool local_pool::start(std::string& error) {
  if (!options_.tls_cert.empty() || !options_.tls_key.empty()) {
    tls_ = std::make_unique<tls_context>();
    tls_->ctx = SSL_CTX_new(TLS_server_method());
    if (tls_->ctx == nullptr) {
      error = "TLS: " + openssl_error();
      return false;
    }
    SSL_CTX_set_min_proto_version(tls_->ctx, TLS1_2_VERSION);
    // Reads return after records without data (the socket is blocking).
    SSL_CTX_clear_mode(tls_->ctx, SSL_MODE_AUTO_RETRY);
    if (SSL_CTX_use_certificate_chain_file(tls_->ctx, options_.tls_cert.c_str()) != 1) {
      error = "TLS certificate " + options_.tls_cert + ": " + openssl_error();
      return false;
    }
    if (SSL_CTX_use_PrivateKey_file(tls_->ctx, options_.tls_key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls_->ctx) != 1) {
      error = "TLS key " + options_.tls_key + ": " + openssl_error();
      return false;
    }
  }
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
    height_ = options_.start_height;
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
    const uint64_t one = 1;
    if (write(c->wake_fd, &one, sizeof(one)) < 0) {
      // The shutdown alone ends the client's wait.
    }
    if (c->thread.joinable()) c->thread.join();
    close(c->fd);
    close(c->wake_fd);
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
  j.height = height_;
  ++counts_.jobs;
  return j;
}

void local_pool::write_job(json_writer& out, const job& j) const {
  out.StartObject();
  out.Key("blob");
  write_text(out, base::hex_encode(j.blob.data(), j.blob.size()));
  out.Key("job_id");
  write_text(out, j.id);
  out.Key("target");
  write_text(out, target_hex(options_));
  out.Key("algo");
  out.String(crypto::kAlgorithms[options_.algorithm].pool_name);
  if (uses_height()) {
    out.Key("height");
    out.Uint64(j.height);
  }
  out.EndObject();
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
    c->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c->wake_fd < 0) {
      close(fd);
      continue;
    }
    client* raw = c.get();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_.load()) {
      close(fd);
      close(c->wake_fd);
      return;
    }
    c->thread = std::thread(&local_pool::client_loop, this, raw);
    clients_.push_back(std::move(c));
  }
}

void local_pool::queue_line(client* c, const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(c->outbox_mutex);
    c->outbox.push_back(line);
  }
  const uint64_t one = 1;
  if (write(c->wake_fd, &one, sizeof(one)) < 0) {
    // The counter is far from full; the client also polls on a timer.
  }
}

void local_pool::client_loop(client* c) {
  SSL* ssl = nullptr;
  if (tls_) {
    ssl = SSL_new(tls_->ctx);
    if (ssl == nullptr || SSL_set_fd(ssl, c->fd) != 1 || SSL_accept(ssl) != 1) {
      ERR_clear_error();
      if (ssl != nullptr) SSL_free(ssl);
      shutdown(c->fd, SHUT_RDWR);  // the descriptor is closed by stop()
      std::lock_guard<std::mutex> lock(mutex_);
      c->logged_in = false;
      return;
    }
  }
  const auto write_all = [&](const std::string& line) {
    size_t sent = 0;
    while (sent < line.size()) {
      const ssize_t n = ssl != nullptr
                            ? SSL_write(ssl, line.data() + sent, static_cast<int>(line.size() - sent))
                            : send(c->fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  };

  std::string pending;
  char buffer[2048];
  bool open = true;
  // Answers held back by --reply-delay, in the order they fall due.
  using clock = std::chrono::steady_clock;
  std::deque<std::pair<clock::time_point, std::string>> delayed;
  const auto delay = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(options_.reply_delay_s));
  while (open && running_.load()) {
    while (open && !delayed.empty() && delayed.front().first <= clock::now()) {
      open = write_all(delayed.front().second);
      delayed.pop_front();
    }
    // Bytes TLS has decrypted already are read before waiting again.
    bool readable = ssl != nullptr && SSL_pending(ssl) > 0;
    if (!readable) {
      int wait_ms = 500;
      if (!delayed.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(delayed.front().first - clock::now());
        wait_ms = static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, 500));
      }
      pollfd fds[2] = {{c->fd, POLLIN, 0}, {c->wake_fd, POLLIN, 0}};
      const int rc = poll(fds, 2, wait_ms);
      if (rc < 0 && errno != EINTR) break;
      readable = rc > 0 && fds[0].revents != 0;
      uint64_t count;
      if (rc > 0 && fds[1].revents != 0 && read(c->wake_fd, &count, sizeof(count)) < 0) {
        // Nothing to drain.
      }
    }
    std::vector<std::string> lines;
    {
      std::lock_guard<std::mutex> lock(c->outbox_mutex);
      lines.swap(c->outbox);
    }
    for (const std::string& line : lines) open = open && write_all(line);
    if (!open || !readable) continue;

    ssize_t n;
    if (ssl != nullptr) {
      n = SSL_read(ssl, buffer, sizeof(buffer));
      if (n <= 0) {
        const int error = SSL_get_error(ssl, static_cast<int>(n));
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue;
        break;
      }
    } else {
      n = recv(c->fd, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while (open && (end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find_first_not_of(" \r\t") == std::string::npos) continue;
      std::string reply = handle_line(c, line);
      if (delay.count() > 0 && line.find("\"submit\"") != std::string::npos) {
        delayed.emplace_back(clock::now() + delay, std::move(reply));
      } else {
        open = write_all(reply);
      }
    }
    if (pending.size() > kMaxLine) break;  // a line that never ends
  }
  if (ssl != nullptr) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
  }
  shutdown(c->fd, SHUT_RDWR);  // the descriptor is closed by stop()
  std::lock_guard<std::mutex> lock(mutex_);
  c->logged_in = false;
}

std::string local_pool::handle_line(client* c, const std::string& line) {
  rapidjson::Document request;
  request.Parse(line.c_str(), line.size());
  if (request.HasParseError() || !request.IsObject()) return error_reply(std::nullopt, "Invalid JSON");
  reply_id id = 1;
  if (request.HasMember("id") && request["id"].IsUint64()) id = request["id"].GetUint64();
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
    return status_reply(id, "OK", [&](json_writer& out) {
      out.Key("id");
      write_text(out, c->miner_id);
      out.Key("job");
      write_job(out, current_);
    });
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
    return status_reply(id, "OK");
  }
  if (method == "keepalived") {
    return status_reply(id, "KEEPALIVED");
  }
  return error_reply(id, "Unsupported method");
}

std::string local_pool::check_share(const std::string& job_id, const std::string& nonce_hex,
                                    const std::string& result_hex) {
  std::vector<uint8_t> nonce;
  std::vector<uint8_t> result;
  if (!base::hex_decode(nonce_hex, &nonce) || nonce.size() != 4) return "Invalid nonce";
  if (!base::hex_decode(result_hex, &result) || result.size() != 32) return "Invalid result";
  std::vector<uint8_t> blob;
  uint64_t height = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Shares of the job before the current one still count, as on real pools,
    // at that job's own height.
    if (job_id == current_.id) {
      blob = current_.blob;
      height = current_.height;
    } else if (job_id == previous_.id) {
      blob = previous_.blob;
      height = previous_.height;
      ++counts_.stale;
    } else {
      ++counts_.stale;
      return "Block expired";
    }
    if (!seen_shares_[job_id].insert(nonce_hex).second) return "Duplicate share";
  }
  std::memcpy(&blob[39], nonce.data(), 4);
  // One hasher per client thread: each owns a 4 MiB work area.
  // A pool without the memory to check a share refuses it, saying why.
  static thread_local std::unique_ptr<crypto::CryptoNight> hasher;
  if (hasher == nullptr) {
    if (const base::status created = crypto::CryptoNight::create(hasher); !created)
      return created.message();
  }
  uint8_t hash[32] = {};
  hasher->hash(options_.algorithm, blob.data(), blob.size(), hash, height);
  if (std::memcmp(hash, result.data(), 32) != 0) return "Bad hash";
  if (options_.target64 != 0) {
    uint64_t tail = 0;
    for (int i = 31; i >= 24; --i) tail = tail << 8 | hash[i];
    if (tail >= options_.target64) return "Low difficulty share";
    return "";
  }
  uint32_t word7;
  std::memcpy(&word7, hash + 28, 4);
  if (word7 >= options_.target) return "Low difficulty share";
  return "";
}

void local_pool::job_loop() {
  using clock = std::chrono::steady_clock;
  const auto interval = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(options_.job_interval_s));
  const auto height_interval = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(options_.height_interval_s));
  auto next_job = clock::now() + interval;
  auto next_height = clock::now() + height_interval;
  while (running_.load()) {
    // A new job on the job interval; with heights, also at once when the
    // next block's height is due.
    const auto wake_at = uses_height() ? std::min(next_job, next_height) : next_job;
    {
      std::unique_lock<std::mutex> lock(wake_mutex_);
      wake_.wait_until(lock, wake_at, [this] { return !running_.load(); });
    }
    if (!running_.load()) return;
    const auto now = clock::now();
    if (now < wake_at) continue;
    next_job = now + interval;
    std::vector<client*> targets;
    std::string line;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (uses_height() && now >= next_height) {
        ++height_;
        next_height = now + height_interval;
      }
      previous_ = current_;
      current_ = make_job();
      // Only the current and the previous job take shares.
      for (auto it = seen_shares_.begin(); it != seen_shares_.end();)
        it = it->first == previous_.id ? std::next(it) : seen_shares_.erase(it);
      rapidjson::StringBuffer buffer;
      json_writer out(buffer);
      out.StartObject();
      out.Key("jsonrpc");
      out.String("2.0");
      out.Key("method");
      out.String("job");
      out.Key("params");
      write_job(out, current_);
      out.EndObject();
      line = std::string(buffer.GetString(), buffer.GetSize()) + "\n";
      for (auto& c : clients_)
        if (c->logged_in) targets.push_back(c.get());
    }
    for (client* c : targets) queue_line(c, line);
  }
}

}  // namespace tools
