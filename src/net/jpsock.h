// One connection to one mining pool: plain TCP or TLS, line-oriented
// JSON-RPC ("login", "submit", replies, "job" notifications; other
// notifications are ignored). Every valid job is reported to the listener;
// the connection's first error ends it and is reported as its end. Threads: the executor thread calls connect_pool, login,
// submit and disconnect; the connection thread runs receive_loop. The
// accessors below may be read from any thread.
#pragma once

#include <rapidjson/fwd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "net/pool_records.h"
#include "net/plain_socket.h"
#include "net/pool_listener.h"
#include "net/socket_owner.h"
#include "crypto/fingerprint.h"
#include "net/tls_socket.h"

namespace net {

using base::kTicksPerSecond;

class jpsock final : public socket_owner {
 public:
  static constexpr size_t kMessageSize = 1024;    // outgoing line, NUL included
  static constexpr size_t kJsonBlockSize = 4096;  // each of the two JSON pools' first block

  // listener: receives this connection's reports (tagged with pool_id) and
  // must outlive it. reply_timeout: how long a call waits for its reply
  // (the program keeps 20 s; tests shorten it). clock: the times of
  // requests, replies and the connection's statistics (tests move their
  // own); it must outlive the connection.
  jpsock(uint64_t pool_id, pool_listener& listener,
         std::chrono::milliseconds reply_timeout = std::chrono::seconds(20),
         const base::clock& clock = base::system_clock());
  ~jpsock();  // disconnects
  jpsock(const jpsock&) = delete;
  jpsock& operator=(const jpsock&) = delete;

  // Executor thread; no connection thread may exist (the previous one was
  // ended with disconnect). Reads the address's scheme (plain or TLS),
  // resolves the address here, then connects on a new connection thread,
  // which reports on_ready or on_error. On an address error (an
  // unsupported scheme included), the failure is returned with the text
  // that error_text() also holds, and nothing is reported. `pin`: the certificate fingerprint a TLS pool must present
  // instead of a certificate the system trusts.
  base::status connect_pool(const char* address, bool nicehash,
                            const std::optional<crypto::sha256_fingerprint>& pin = std::nullopt);
  // Any thread but the connection thread: closes the socket, joins the
  // connection thread, stamps disconnect_time.
  void disconnect();
  // Executor thread, after socket_ready. On failure with error_set() false
  // the pool refused the login: kInvalidInput with the pool's message (as
  // get_call_error), the connection stays. With error_set() true the
  // connection is ending: kNetworkError with its error text.
  base::status login(const char* login, const char* password);
  // Executor thread. Sends the share and returns at once; the pool's answer
  // arrives later as on_share_answered carrying `cookie` (accepted,
  // rejected with the pool's message, or a network failure when the
  // connection ends or the request times out first). False: it could not
  // be sent (a network failure now; nothing is reported). `algo`: the
  // algorithm name the job carried, sent back with the share (empty: none).
  bool submit(const char* job_id, uint32_t nonce, const uint8_t* hash32, const char* algo = "",
              uint64_t cookie = 0);
  // Executor thread, while logged in: a keep-alive request; any reply does.
  bool keepalive();
  // Executor thread: ends the connection ("Socket Error: Timeout while
  // waiting for a reply") when a request has waited longer than the reply
  // time-out. True when it did.
  bool check_timeouts();
  // Requests sent and not yet answered. Any thread.
  size_t outstanding() const;
  // Monotonic time (of the connection's clock) of the last request sent.
  // Any thread.
  base::clock::time_point last_request_time() const {
    return base::clock::time_point(base::clock::duration(last_request_.load()));
  }
  // False when there is no current job.
  bool get_current_job(job_record& out);
  // The pool's error message of the last call; empty when it had none.
  std::string get_call_error();
  // The first error of the current connection (ok when none), and its
  // text. Complete once error_set() is seen true by a thread that then
  // calls this.
  base::status error() const;
  std::string error_text() const;

  // Whole seconds, counted since construction.
  double connected_seconds() const;
  double disconnected_seconds() const;

  bool is_connected() const { return connected_.load(); }
  bool is_logged_in() const { return logged_in_.load(); }
  bool error_set() const { return error_set_.load(); }
  uint64_t difficulty() const { return difficulty_.load(); }
  bool nicehash() const { return nicehash_.load(); }
  uint32_t connect_count() const { return connect_count_.load(); }
  int64_t login_time() const { return login_time_.load(); }       // 100-ns ticks since 1970
  int64_t disconnect_time() const { return disconnect_time_.load(); }
  uint64_t pool_id() const { return pool_id_; }
  // Executor thread: the id of the last login, sent back with every submit.
  const char* miner_id() const { return miner_id_; }

  // One received line with its line feed, parsed in place (the connection
  // thread; tests and the fuzzer call it directly). False ends the
  // connection; the reason is the recorded error.
  bool process_line(char* line, size_t length);

  // Test seam: the system calls of the socket; only while not connected.
  void set_socket_calls(socket_calls calls) { tcp_.set_calls(calls); }
  // The TLS session of the current connection ("TLSv1.3, <cipher>"); empty
  // for plain connections and before the handshake.
  std::string tls_session() const { return tls_.session_text(); }
  // Whether the current (or last) connection is plain TCP and ended before
  // the pool sent a single byte: typical of a TLS port spoken to in plain.
  bool closed_before_any_byte() const { return socket_ == &tcp_ && !tcp_.received_any(); }

  // socket_owner: first error wins; only the caller that claims error_set_
  // stores its code and text. Any thread.
  void set_error(base::status_code code, std::string_view text) override;

 private:
  struct json_state;

  enum class request_kind : uint8_t { login, submit, keepalive };
  struct pending_request {
    uint64_t id;
    request_kind kind;
    base::clock::time_point sent;
    uint64_t cookie;
  };

  void receive_loop();
  void end_connection();
  // Takes the next request id and records the request as outstanding.
  uint64_t register_request(request_kind kind, uint64_t cookie);
  // Removes an outstanding request; false when it was no longer there.
  bool forget_request(uint64_t id);
  // Sends a request with its id, waits for its reply (the login).
  bool call_pool(const char* message, uint64_t id);
  // The failure a login returns, once the call or its reply failed.
  base::status login_failure();
  bool process_job(const rapidjson::Value& job);

  const uint64_t pool_id_;
  pool_listener& listener_;
  const std::chrono::milliseconds reply_timeout_;
  const base::clock& clock_;

  std::atomic<bool> nicehash_{true};
  std::atomic<bool> connected_{false};
  std::atomic<bool> logged_in_{false};
  std::atomic<uint64_t> difficulty_{0};
  char miner_id_[kJobIdSize] = {};  // executor thread only

  mutable std::mutex error_mutex_;
  std::atomic<bool> error_set_{false};  // claimed under error_mutex_, read lock-free
  base::status_code error_code_ = base::status_code::kOk;  // guarded by error_mutex_
  std::string error_text_;                                 // guarded by error_mutex_

  // The requests in flight, matched to their replies by id, and the call
  // slot: at most one call (the login) waits, on the executor thread; the
  // connection thread fills it. All guarded by call_mutex_, as is the reply
  // value inside json_.
  mutable std::mutex call_mutex_;
  std::condition_variable call_signal_;
  std::vector<pending_request> pending_;
  uint64_t next_request_id_ = 1;  // per connection, counting up
  uint64_t call_id_ = 0;          // the id the waiting call expects
  bool reply_arrived_ = false;
  uint64_t reply_id_ = 0;
  bool call_pending_ = false;  // a call waits; afterwards: the reply had a result
  std::string call_error_;
  std::atomic<int64_t> last_request_{0};  // clock_.now() of the last send, since its epoch

  std::mutex thread_mutex_;
  std::thread thread_;  // guarded by thread_mutex_; runs receive_loop

  std::mutex job_mutex_;
  job_record current_job_;  // guarded by job_mutex_; blob_length 0: none

  std::unique_ptr<json_state> json_;  // document pools: connection thread; reply: call slot
  // The TCP socket of every connection, and the TLS layer over it for TLS
  // pools. socket_ points at the one the current connection uses; it is
  // chosen by connect_pool before the connection thread starts.
  plain_socket tcp_;
  tls_socket tls_;
  base_socket* socket_ = &tcp_;

  // Written on the executor thread, read by the statistics from any thread.
  std::atomic<int64_t> login_time_;
  std::atomic<int64_t> disconnect_time_;
  const int64_t start_time_;
  std::atomic<double> disconnected_total_{0.0};  // whole seconds, summed at each login
  std::atomic<uint32_t> connect_count_{0};
};

}  // namespace net
