#include "net/jpsock.h"

#include <rapidjson/allocators.h>
#include <rapidjson/document.h>

#include <cassert>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "net/pool_address.h"
#include "base/printer.h"
#include "crypto/algorithm.h"
#include "base/hex.h"
#include "base/json_text.h"
#include "net/json_parse_stack.h"
#include "net/line_framer.h"

namespace net {
namespace {

using json_pool = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
using json_document = rapidjson::GenericDocument<rapidjson::UTF8<>, json_pool, json_parse_stack>;
using json_value = rapidjson::Value;

constexpr size_t kJsonChunkSize = 64 * 1024;
// The parser's work stacks hold any line the framer hands out in their own
// blocks: a 16-byte value for each byte of the line at most.
static_assert(json_parse_stack::kBlockSize >= line_framer::kBufferSize * sizeof(json_value));
// Iterative parsing: a hostile line of nested brackets cannot exhaust the
// connection thread's stack.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

constexpr char kAgent[] = "orbeck/1.5.0";

// The login's "algo" member: every name this build can mine, aliases
// included, as a JSON array.
std::string algo_list_json() {
  std::string list = "[";
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    if (list.size() > 1) list += ',';
    list += '"';
    list += info.pool_name;
    list += '"';
    if (info.pool_alias != nullptr) {
      list += ",\"";
      list += info.pool_alias;
      list += '"';
    }
  }
  list += ']';
  return list;
}

const std::string& algo_list() {
  static const std::string list = algo_list_json();
  return list;
}

// Copies a pool-sent text for a console line into `out` (NUL-terminated,
// cut to fit), anything but printable ASCII replaced, so a pool cannot
// write control sequences to the user's terminal. No allocation.
void copy_printable(const char* text, size_t length, char* out, size_t out_size) {
  size_t i = 0;
  for (; i < length && i + 1 < out_size; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    out[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  out[i] = '\0';
}

// Formats an outgoing line into a kMessageSize buffer; a longer line is cut
// at kMessageSize - 1 bytes as snprintf cuts, and only the NUL-terminated
// text is ever sent.
__attribute__((format(printf, 2, 3))) void format_line(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(out, jpsock::kMessageSize, format, args);
  va_end(args);
}

// Deep copy that copies every string: values parsed in place point into the
// receive buffer, which the next read overwrites. Depth is bounded by the
// line length (under 4096 bytes).
void copy_value(const json_value& from, json_value& to, json_pool& pool) {
  switch (from.GetType()) {
    case rapidjson::kObjectType:
      to.SetObject();
      for (auto member = from.MemberBegin(); member != from.MemberEnd(); ++member) {
        json_value name(member->name.GetString(), member->name.GetStringLength(), pool);
        json_value value;
        copy_value(member->value, value, pool);
        to.AddMember(name, value, pool);
      }
      break;
    case rapidjson::kArrayType:
      to.SetArray();
      to.Reserve(from.Size(), pool);
      for (auto element = from.Begin(); element != from.End(); ++element) {
        json_value value;
        copy_value(*element, value, pool);
        to.PushBack(value, pool);
      }
      break;
    case rapidjson::kStringType:
      to.SetString(from.GetString(), from.GetStringLength(), pool);
      break;
    default:  // null, bool, number: no memory of their own
      to.CopyFrom(from, pool);
      break;
  }
}

const json_value* find_member(const json_value& object, const char* name) {
  auto member = object.FindMember(name);
  return member == object.MemberEnd() ? nullptr : &member->value;
}

}  // namespace

// The JSON memory: two pools, each starting in its own fixed 4 KiB block
// and growing in 64 KiB chunks, and the parser's work stack with its own
// block (json_parse_stack.h), which no pool's Clear can take away. The
// document, its pool and its stack belong to the line being parsed
// (connection thread, or the test driving process_line); the reply pool and
// reply value belong to the call slot (call_mutex_).
struct jpsock::json_state {
  alignas(16) char document_block[kJsonBlockSize];
  alignas(16) char reply_block[kJsonBlockSize];
  rapidjson::CrtAllocator chunk_allocator;
  json_pool document_pool{document_block, kJsonBlockSize, kJsonChunkSize, &chunk_allocator};
  json_pool reply_pool{reply_block, kJsonBlockSize, kJsonChunkSize, &chunk_allocator};
  json_document document{&document_pool};
  json_value reply_value;
};

jpsock::jpsock(uint64_t pool_id, pool_listener& listener,
               std::chrono::milliseconds reply_timeout, const base::clock& clock)
    : pool_id_(pool_id),
      listener_(listener),
      reply_timeout_(reply_timeout),
      clock_(clock),
      json_(std::make_unique<json_state>()),
      tcp_(this),
      tls_(this, tcp_),
      login_time_(clock.ticks()),
      disconnect_time_(login_time_.load()),
      start_time_(login_time_.load()) {}

jpsock::~jpsock() { disconnect(); }

void jpsock::set_error(base::status_code code, std::string_view text) {
  std::lock_guard<std::mutex> lock(error_mutex_);
  if (error_set_.exchange(true)) return;
  error_code_ = code;
  error_text_.assign(text);
}

base::status jpsock::error() const {
  std::lock_guard<std::mutex> lock(error_mutex_);
  if (!error_set_.load()) return base::status::ok();
  return base::status::error(error_code_, error_text_);
}

std::string jpsock::error_text() const {
  std::lock_guard<std::mutex> lock(error_mutex_);
  return error_text_;
}

base::status jpsock::connect_pool(const char* address, bool nicehash,
                                  const std::optional<crypto::sha256_fingerprint>& pin) {
  // The caller should have ended the previous connection with disconnect.
  // If it did not, end it here: assigning over a running thread would abort
  // the process. disconnect_time stays as it was.
  std::thread stale;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    stale = std::move(thread_);
  }
  if (stale.joinable()) {
    socket_->close();
    stale.join();
  }

  nicehash_ = nicehash;
  {
    std::lock_guard<std::mutex> lock(error_mutex_);
    error_set_ = false;
    error_code_ = base::status_code::kOk;
    error_text_.clear();
  }
  difficulty_ = 0;
  connect_count_.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(call_mutex_);
    pending_.clear();
    next_request_id_ = 1;
  }

  net::pool_scheme scheme;
  if (const base::status split = net::split_pool_scheme(address, scheme); !split) {
    set_error(split.code(), "Connection Error: " + split.message());
    return base::status::error(split.code(), error_text());
  }
  if (scheme.transport == net::pool_transport::tls) {
    tls_options options;
    options.pin = pin;
    options.handshake_timeout = reply_timeout_;
    tls_.set_options(options);
    socket_ = &tls_;
  } else {
    socket_ = &tcp_;
  }
  const std::string host_port(scheme.rest);
  if (const base::status resolved = socket_->resolve_address(host_port.c_str()); !resolved) {
    // The connection's first error, which is this one: no thread runs yet.
    return base::status::error(resolved.code(), error_text());
  }
  connected_ = true;
  std::lock_guard<std::mutex> lock(thread_mutex_);
  thread_ = std::thread(&jpsock::receive_loop, this);
  return base::status::ok();
}

void jpsock::disconnect() {
  socket_->close();
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    assert(thread_.get_id() != std::this_thread::get_id() && "disconnect on the connection thread");
    finished = std::move(thread_);
  }
  if (finished.joinable()) finished.join();
  // No connection thread is left, and only the executor sends: it is either
  // this thread or waiting for a reply, so nobody still uses the descriptor.
  tcp_.release_closed();
  disconnect_time_ = clock_.ticks();
}

void jpsock::receive_loop() {
  if (socket_->connect()) {
    listener_.on_ready(pool_id_);
    line_framer framer;
    auto handle_line = [this](char* line, size_t length) { return process_line(line, length); };
    // Ends when the pool closes, a socket call fails (a close from another
    // thread included), a line is rejected or the buffer overflows.
    for (;;) {
      const int32_t count = socket_->receive(framer.free_space(), framer.free_capacity());
      if (count <= 0) break;
      const line_framer::result result = framer.commit(static_cast<uint32_t>(count), handle_line);
      if (result == line_framer::result::kOverflow) {
        // Recorded before the close, so a send failing because of the close
        // cannot take the place of the cause.
        set_error(base::status_code::kProtocolError, "Recv Error: data overflow");
        socket_->close();
        break;
      }
      if (result == line_framer::result::kRejected) {
        socket_->close();
        break;
      }
    }
  }
  end_connection();
}

void jpsock::end_connection() {
  // State first, so whoever handles the end of the connection finds the
  // connection already marked down and its job cleared.
  connected_ = false;
  logged_in_ = false;
  {
    std::lock_guard<std::mutex> lock(job_mutex_);
    current_job_ = job_record();
  }
  bool released = false;
  std::vector<uint64_t> lost_shares;
  {
    std::lock_guard<std::mutex> lock(call_mutex_);
    if (call_pending_) {
      reply_arrived_ = true;
      reply_id_ = 0;
      call_pending_ = false;
      released = true;
    }
    // Every share still waiting for its answer is lost with the
    // connection, reported exactly once, before the connection's end.
    for (const pending_request& request : pending_) {
      if (request.kind == request_kind::submit) lost_shares.push_back(request.cookie);
    }
    pending_.clear();
  }
  if (released) call_signal_.notify_all();
  for (uint64_t cookie : lost_shares) {
    share_result lost;
    lost.cookie = cookie;
    lost.outcome = kShareNetworkFail;
    listener_.on_share_answered(pool_id_, std::move(lost));
  }
  listener_.on_error(pool_id_, error());
}

uint64_t jpsock::register_request(request_kind kind, uint64_t cookie) {
  std::lock_guard<std::mutex> lock(call_mutex_);
  const uint64_t id = next_request_id_++;
  const auto now = clock_.now();
  pending_.push_back(pending_request{id, kind, now, cookie});
  last_request_.store(now.time_since_epoch().count());
  return id;
}

bool jpsock::forget_request(uint64_t id) {
  std::lock_guard<std::mutex> lock(call_mutex_);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->id == id) {
      pending_.erase(it);
      return true;
    }
  }
  return false;
}

size_t jpsock::outstanding() const {
  std::lock_guard<std::mutex> lock(call_mutex_);
  return pending_.size();
}

bool jpsock::check_timeouts() {
  bool expired = false;
  {
    std::lock_guard<std::mutex> lock(call_mutex_);
    const auto now = clock_.now();
    for (const pending_request& request : pending_) expired = expired || now - request.sent >= reply_timeout_;
  }
  if (!expired || error_set_) return false;
  set_error(base::status_code::kTimeout, "Socket Error: Timeout while waiting for a reply");
  socket_->close();  // the connection thread ends and reports the error
  return true;
}

bool jpsock::call_pool(const char* message, uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(call_mutex_);
    json_->reply_value.SetNull();
    json_->reply_pool.Clear();
    reply_arrived_ = false;
    reply_id_ = 0;
    call_id_ = id;
    call_pending_ = true;
    call_error_.clear();
  }
  if (!socket_->send_all(message)) {
    {
      std::lock_guard<std::mutex> lock(call_mutex_);
      call_pending_ = false;
    }
    forget_request(id);
    disconnect();
    return false;
  }

  bool has_result;
  bool arrived;
  {
    std::unique_lock<std::mutex> lock(call_mutex_);
    const auto deadline = clock_.now() + reply_timeout_;
    clock_.wait_until(lock, call_signal_, deadline, [this] { return reply_arrived_; });
    has_result = call_pending_;
    arrived = reply_arrived_;
    call_pending_ = false;  // a reply arriving later finds no call waiting
  }
  if (error_set_) return false;  // the connection is ending; its thread reports why
  if (!arrived) {
    set_error(base::status_code::kTimeout, "Socket Error: Timeout while waiting for a reply");
    disconnect();
    return false;
  }
  return has_result;
}

base::status jpsock::login_failure() {
  if (error_set_) return base::status::error(base::status_code::kNetworkError, error_text());
  return base::status::error(base::status_code::kInvalidInput, get_call_error());
}

base::status jpsock::login(const char* login, const char* password) {
  char login_text[kMessageSize];
  char password_text[kMessageSize];
  base::escape_json_string(login, login_text, sizeof(login_text));
  base::escape_json_string(password, password_text, sizeof(password_text));
  const uint64_t request_id = register_request(request_kind::login, 0);
  char message[kMessageSize];
  format_line(message,
              "{\"method\":\"login\",\"params\":{\"login\":\"%s\",\"pass\":\"%s\","
              "\"agent\":\"%s\",\"algo\":%s},\"id\":%llu}\n",
              login_text, password_text, kAgent, algo_list().c_str(),
              static_cast<unsigned long long>(request_id));
  if (!call_pool(message, request_id)) return login_failure();

  // The call has ended: the connection thread no longer writes the reply.
  const json_value& reply = json_->reply_value;
  if (!reply.IsObject()) {
    set_error(base::status_code::kProtocolError, "Job Error: Login protocol error 1");
    disconnect();
    return login_failure();
  }
  const json_value* id = find_member(reply, "id");
  const json_value* job = find_member(reply, "job");
  if (id == nullptr || job == nullptr || !id->IsString()) {
    set_error(base::status_code::kProtocolError, "Job Error: Login protocol error 2");
    disconnect();
    return login_failure();
  }
  if (id->GetStringLength() >= kJobIdSize) {
    set_error(base::status_code::kProtocolError, "Job Error: Login protocol error 3");
    disconnect();
    return login_failure();
  }
  std::memset(miner_id_, 0, sizeof(miner_id_));
  std::memcpy(miner_id_, id->GetString(), id->GetStringLength());

  if (!process_job(*job)) {
    disconnect();
    return login_failure();
  }
  logged_in_ = true;
  const int64_t now = clock_.ticks();
  login_time_ = now;
  disconnected_total_ = disconnected_total_.load() +
                        static_cast<double>((now - disconnect_time_.load()) / kTicksPerSecond);
  return base::status::ok();
}

bool jpsock::submit(const char* job_id, uint32_t nonce, const uint8_t* hash32, const char* algo,
                    uint64_t cookie) {
  char miner_text[kMessageSize];
  char job_text[kMessageSize];
  base::escape_json_string(miner_id_, miner_text, sizeof(miner_text));
  base::escape_json_string(job_id, job_text, sizeof(job_text));
  const uint8_t nonce_bytes[4] = {
      static_cast<uint8_t>(nonce), static_cast<uint8_t>(nonce >> 8),
      static_cast<uint8_t>(nonce >> 16), static_cast<uint8_t>(nonce >> 24)};
  char nonce_hex[2 * sizeof(nonce_bytes) + 1];
  base::hex_encode_to(nonce_bytes, sizeof(nonce_bytes), nonce_hex);
  char hash_hex[2 * 32 + 1];
  base::hex_encode_to(hash32, 32, hash_hex);
  // A job's algorithm name is at most kAlgoNameSize - 1 bytes; escaped, it
  // fits six times over.
  char algo_member[16 + 6 * kAlgoNameSize] = "";
  if (algo != nullptr && algo[0] != '\0') {
    char algo_text[6 * kAlgoNameSize];
    base::escape_json_string(algo, algo_text, sizeof(algo_text));
    std::snprintf(algo_member, sizeof(algo_member), ",\"algo\":\"%s\"", algo_text);
  }

  // Recorded before the send, so a reply that comes at once finds it.
  const uint64_t id = register_request(request_kind::submit, cookie);
  char message[kMessageSize];
  format_line(message,
              "{\"method\":\"submit\",\"params\":{\"id\":\"%s\",\"job_id\":\"%s\","
              "\"nonce\":\"%s\",\"result\":\"%s\"%s},\"id\":%llu}\n",
              miner_text, job_text, nonce_hex, hash_hex, algo_member, static_cast<unsigned long long>(id));
  if (socket_->send_all(message)) return true;
  // Not sent. If the connection's end already reported the share lost, that
  // report stands (and this one must not count it twice).
  const bool ours = forget_request(id);
  disconnect();
  return !ours;
}

bool jpsock::keepalive() {
  if (!logged_in_) return false;
  char miner_text[kMessageSize];
  base::escape_json_string(miner_id_, miner_text, sizeof(miner_text));
  const uint64_t id = register_request(request_kind::keepalive, 0);
  char message[kMessageSize];
  format_line(message, "{\"method\":\"keepalived\",\"params\":{\"id\":\"%s\"},\"id\":%llu}\n",
              miner_text, static_cast<unsigned long long>(id));
  if (socket_->send_all(message)) return true;
  forget_request(id);
  disconnect();
  return false;
}

bool jpsock::get_current_job(job_record& out) {
  std::lock_guard<std::mutex> lock(job_mutex_);
  if (current_job_.blob_length == 0) return false;
  out = current_job_;
  return true;
}

std::string jpsock::get_call_error() {
  std::lock_guard<std::mutex> lock(call_mutex_);
  return call_error_;
}

double jpsock::disconnected_seconds() const {
  double seconds = disconnected_total_.load();
  if (!connected_) {
    seconds += static_cast<double>((clock_.ticks() - disconnect_time_.load()) / kTicksPerSecond);
  }
  return seconds;
}

double jpsock::connected_seconds() const {
  return static_cast<double>((clock_.ticks() - start_time_) / kTicksPerSecond) - disconnected_seconds();
}

bool jpsock::process_line(char* line, size_t length) {
  if (length == 0) {
    set_error(base::status_code::kProtocolError, "Job Error: Invalid JSON");
    return false;
  }
  line[length - 1] = '\0';
  // JSON text never holds a raw NUL; one would end the in-place parse early
  // and let whatever follows it pass unchecked.
  if (std::memchr(line, '\0', length - 1) != nullptr) {
    set_error(base::status_code::kProtocolError, "Job Error: Invalid JSON");
    return false;
  }
  json_state& json = *json_;
  json.document.SetNull();
  json.document_pool.Clear();
  json.document.ParseInsitu<kParseFlags>(line);
  if (json.document.HasParseError()) {
    set_error(base::status_code::kProtocolError, "Job Error: Invalid JSON");
    return false;
  }
  const json_value& root = json.document;
  if (!root.IsObject()) {
    set_error(base::status_code::kProtocolError, "Job Error: Invalid root");
    return false;
  }

  const json_value* method = find_member(root, "method");
  if (method == nullptr) {
    // A reply to our call.
    const json_value* id = find_member(root, "id");
    if (id == nullptr || !id->IsUint64()) {
      set_error(base::status_code::kProtocolError, "Job Error: Protocol error 3");
      return false;
    }
    const json_value* error = find_member(root, "error");
    const json_value* message = nullptr;
    const json_value* result = nullptr;
    if (error != nullptr && !error->IsNull()) {
      if (!error->IsObject()) {
        set_error(base::status_code::kProtocolError, "Job Error: Protocol error 5");
        return false;
      }
      message = find_member(*error, "message");
      if (message == nullptr || !message->IsString()) {
        set_error(base::status_code::kProtocolError, "Job Error: Protocol error 6");
        return false;
      }
    } else {
      result = find_member(root, "result");
      if (result == nullptr) {
        set_error(base::status_code::kProtocolError, "Job Error: Protocol error 7");
        return false;
      }
    }
    const uint64_t reply_id = id->GetUint64();
    bool answered_call = false;
    bool answered_share = false;
    uint64_t share_cookie = 0;
    {
      std::unique_lock<std::mutex> lock(call_mutex_);
      auto request = pending_.begin();
      while (request != pending_.end() && request->id != reply_id) ++request;
      if (request == pending_.end()) {
        lock.unlock();
        set_error(base::status_code::kProtocolError, "Job Error: Unexpected call response");
        return false;
      }
      const request_kind kind = request->kind;
      share_cookie = request->cookie;
      pending_.erase(request);
      if (kind == request_kind::login) {
        if (!call_pending_ || call_id_ != reply_id) {
          // The login call gave up already: nobody waits for this reply.
          lock.unlock();
          set_error(base::status_code::kProtocolError, "Job Error: Unexpected call response");
          return false;
        }
        answered_call = true;
        reply_arrived_ = true;
        reply_id_ = reply_id;
        if (message != nullptr) {
          call_pending_ = false;
          call_error_.assign(message->GetString(), message->GetStringLength());
        } else {
          copy_value(*result, json.reply_value, json.reply_pool);
        }
      } else if (kind == request_kind::submit) {
        answered_share = true;
      }
      // A keep-alive's reply, result or error, only shows the pool is there.
    }
    if (answered_call) call_signal_.notify_all();
    if (answered_share) {
      share_result outcome;
      outcome.cookie = share_cookie;
      outcome.outcome = message == nullptr ? kShareAccepted : kShareRejected;
      if (message != nullptr) outcome.reason.assign(message->GetString(), message->GetStringLength());
      listener_.on_share_answered(pool_id_, std::move(outcome));
    }
    return true;
  }

  // A notification from the pool.
  if (!method->IsString()) {
    set_error(base::status_code::kProtocolError, "Job Error: Protocol error 1");
    return false;
  }
  if (method->GetStringLength() != 3 || std::memcmp(method->GetString(), "job", 3) != 0) {
    // Pools send notifications of their own (difficulty, extranonce, ...);
    // one this miner does not use is no reason to drop the connection.
    char shown[65];
    copy_printable(method->GetString(), method->GetStringLength(), shown, sizeof(shown));
    base::printer::inst().print_leveled(base::kInfo, "Pool notification %s ignored", shown);
    return true;
  }
  const json_value* params = find_member(root, "params");
  if (params == nullptr || !params->IsObject()) {
    set_error(base::status_code::kProtocolError, "Job Error: Protocol error 2");
    return false;
  }
  return process_job(*params);
}

bool jpsock::process_job(const json_value& job) {
  if (!job.IsObject()) {
    set_error(base::status_code::kProtocolError, "Job Error: Job error 1");
    return false;
  }
  const json_value* job_id = find_member(job, "job_id");
  const json_value* blob = find_member(job, "blob");
  const json_value* target = find_member(job, "target");
  if (job_id == nullptr || blob == nullptr || target == nullptr || !job_id->IsString() ||
      !blob->IsString() || !target->IsString()) {
    set_error(base::status_code::kProtocolError, "Job Error: missing job parameter");
    return false;
  }
  if (job_id->GetStringLength() >= kJobIdSize) {
    set_error(base::status_code::kProtocolError, "Job Error: invalid job id");
    return false;
  }
  job_record record;
  const size_t blob_length = blob->GetStringLength() / 2;  // an odd last digit is ignored
  if (blob_length > kBlobSize) {
    set_error(base::status_code::kProtocolError,
              "Job Error: invalid work length. Maybe no CryptoNight based pool?");
    return false;
  }
  if (!base::hex_decode_to(blob->GetString(), blob_length, record.blob)) {
    set_error(base::status_code::kProtocolError, "Job Error: Job error 4");
    return false;
  }
  std::memcpy(record.job_id, job_id->GetString(), job_id->GetStringLength());

  // Up to 8 digits: a 32-bit target, padded with '0' on the right ("ffff"
  // is ffff0000). Exactly 16: a 64-bit target. Both little-endian.
  const size_t target_digits = target->GetStringLength();
  if (target_digits > 8 && target_digits != 16) {
    set_error(base::status_code::kProtocolError, "Job Error: invalid target format");
    return false;
  }
  char target_text[16];
  std::memset(target_text, '0', sizeof(target_text));
  std::memcpy(target_text, target->GetString(), target_digits);
  const size_t target_size = target_digits == 16 ? 8 : 4;
  uint8_t target_bytes[8];
  uint64_t target_value = 0;
  if (base::hex_decode_to(target_text, target_size, target_bytes)) {
    for (size_t i = target_size; i-- > 0;) target_value = target_value << 8 | target_bytes[i];
  }
  if (target_value == 0) {
    set_error(base::status_code::kProtocolError,
              std::string("Job Error: invalid target: ") + target->GetString());
    return false;
  }
  uint64_t difficulty = 0;
  if (target_size == 4) {
    record.target = static_cast<uint32_t>(target_value);
    record.share_target = target_value << 32;
    difficulty = 0xFFFFFFFFu / record.target;
  } else {
    // The GPUs compare the hash's last 32-bit word only: the high word
    // rounded up keeps every share (the CPU check drops the rest).
    const uint32_t high = static_cast<uint32_t>(target_value >> 32);
    const bool rest = static_cast<uint32_t>(target_value) != 0;
    record.target = rest && high != 0xFFFFFFFFu ? high + 1 : high;
    if (record.target == 0) record.target = 1;
    record.share_target = target_value;
    const unsigned __int128 quotient = (static_cast<unsigned __int128>(1) << 64) / target_value;
    difficulty = quotient > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(quotient);
  }
  record.blob_length = static_cast<uint32_t>(blob_length);

  // "algo": the algorithm of this job, ahead of the configuration and the
  // blob's version byte. A name this build cannot mine is kept for the
  // executor's message; the job is not mined.
  if (const json_value* algo = find_member(job, "algo")) {
    const char* name = algo->IsString() ? algo->GetString() : "";
    const size_t name_length = algo->IsString() ? algo->GetStringLength() : 0;
    const int32_t id = crypto::find_algorithm_by_pool_name(std::string_view(name, name_length));
    record.algorithm = id >= 0 ? id : kJobAlgoUnknown;
    if (algo->IsString()) {
      copy_printable(name, name_length, record.algo_name, sizeof(record.algo_name));
    } else {
      copy_printable("(not a text)", 12, record.algo_name, sizeof(record.algo_name));
    }
  }

  // "height": kept with the job for the algorithms whose hash depends on
  // it. Anything but a whole number below 2^64 - 1 counts as no height; the
  // executor decides whether the job can be mined without one.
  if (const json_value* height = find_member(job, "height")) {
    if (height->IsUint64() && height->GetUint64() != kJobNoHeight) {
      record.height = height->GetUint64();
    }
  }

  difficulty_ = difficulty;
  listener_.on_job(pool_id_, record);
  std::lock_guard<std::mutex> lock(job_mutex_);
  current_job_ = record;
  return true;
}

}  // namespace net
