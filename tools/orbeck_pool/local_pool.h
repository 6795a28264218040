// A small real mining pool for loopback use: hands out random jobs of one
// algorithm, verifies every submitted share with the CPU hash and answers
// like a pool, over plain TCP or TLS. One thread accepts, one thread per
// client, one thread sends new jobs on an interval. Only listens on
// 127.0.0.1.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crypto/algorithm.h"

namespace tools {

struct local_pool_options {
  uint16_t port = 0;         // 0 picks a free port
  int32_t algorithm = 0;
  // The share target: a 32-bit target t is sent as 8 digits and a share
  // meets it when the hash's last 32-bit word is below t; a 64-bit target
  // (target64 != 0) is sent as 16 digits and compared with the hash's last
  // 8 bytes.
  uint32_t target = 0x07FFFFFF;  // about 1 share in 32 hashes
  uint64_t target64 = 0;
  double job_interval_s = 30.0;
  // Algorithms whose hash depends on the block height (cn/r): the first
  // job's height, and the seconds after which the next block's height (and
  // at once a job for it) comes. Every job carries its height; each share
  // is checked at the height of its own job.
  uint64_t start_height = 1806260;
  double height_interval_s = 120.0;
  // Seconds each submit's answer is held back (a slow pool); 0 answers at once.
  double reply_delay_s = 0.0;
  // PEM files of the certificate and its key: clients then speak TLS.
  std::string tls_cert;
  std::string tls_key;
};

struct local_pool_counts {
  uint64_t logins = 0;
  uint64_t jobs = 0;
  uint64_t accepted = 0;
  uint64_t rejected = 0;
  uint64_t stale = 0;  // shares received for a job that was no longer the newest
  std::map<std::string, uint64_t> reasons;  // rejection reason -> count
};

class local_pool {
 public:
  explicit local_pool(const local_pool_options& options);
  local_pool(const local_pool&) = delete;
  local_pool& operator=(const local_pool&) = delete;
  ~local_pool();

  // Binds and starts serving; false with a message when the port is unusable.
  bool start(std::string& error);
  // Stops accepting, closes every client and joins all threads.
  void stop();
  uint16_t port() const { return port_; }
  local_pool_counts counts() const;

 private:
  struct job {
    std::string id;
    std::vector<uint8_t> blob;
    uint64_t height = 0;
  };
  // One client: its thread alone reads and writes the socket (and its TLS
  // session); other threads queue lines in `outbox` and wake it.
  struct client {
    int fd = -1;
    int wake_fd = -1;        // eventfd: lines are waiting in the outbox
    std::thread thread;
    bool logged_in = false;  // guarded by mutex_
    std::string miner_id;
    std::mutex outbox_mutex;
    std::vector<std::string> outbox;  // guarded by outbox_mutex
  };

  bool uses_height() const {
    return crypto::kAlgorithms[options_.algorithm].loop == crypto::loop_family::random;
  }
  void accept_loop();
  void client_loop(client* c);
  void job_loop();
  job make_job();
  // The job as the "job" member of a login reply or the params of a job
  // notification.
  void write_job(rapidjson::Writer<rapidjson::StringBuffer>& out, const job& j) const;
  // Returns the reply line for one request line.
  std::string handle_line(client* c, const std::string& line);
  std::string check_share(const std::string& job_id, const std::string& nonce_hex,
                          const std::string& result_hex);
  void queue_line(client* c, const std::string& line);

  local_pool_options options_;
  struct tls_context;
  std::unique_ptr<tls_context> tls_;  // set when the pool speaks TLS
  uint16_t port_ = 0;
  int listen_fd_ = -1;
  std::atomic<bool> running_{false};
  std::thread accept_thread_;
  std::thread job_thread_;
  std::mutex wake_mutex_;
  std::condition_variable wake_;

  mutable std::mutex mutex_;  // guards everything below
  std::vector<std::unique_ptr<client>> clients_;
  job current_;
  job previous_;
  std::map<std::string, std::set<std::string>> seen_shares_;  // job id -> nonces
  local_pool_counts counts_;
  uint64_t job_serial_ = 0;
  uint64_t height_ = 0;  // of the next job
  uint64_t miner_serial_ = 0;
};

}  // namespace tools
