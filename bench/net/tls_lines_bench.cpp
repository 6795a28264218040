// Pool lines per second through a real connection on loopback: the same
// job notifications over plain TCP and over TLS (OpenSSL on both ends),
// from the pool's write to the executor's queue. Each iteration is one
// batch of lines; the rate and the TLS cost per line are the counters.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "support/pool_event_queue.h"
#include "net/jpsock.h"
#include "support/test_certificate.h"

namespace {

constexpr int kBatch = 2000;

std::string notification(int serial) {
  std::string blob;
  for (int i = 0; i < 76; ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const int byte = (i * 37 + serial) & 0xff;
    blob += kDigits[byte >> 4];
    blob += kDigits[byte & 15];
  }
  return "{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":{\"blob\":\"" + blob + "\",\"job_id\":\"" +
         std::to_string(serial) + "\",\"target\":\"b88d0600\",\"algo\":\"cn/2\",\"height\":1700000}}\n";
}

// A pool that writes a batch of lines whenever asked. Plain or TLS.
class line_pool {
 public:
  explicit line_pool(const test_tls::certificate* tls) {
    ::signal(SIGPIPE, SIG_IGN);
    if (tls != nullptr) {
      ctx_ = SSL_CTX_new(TLS_server_method());
      BIO* c = BIO_new_mem_buf(tls->cert_pem.data(), static_cast<int>(tls->cert_pem.size()));
      BIO* k = BIO_new_mem_buf(tls->key_pem.data(), static_cast<int>(tls->key_pem.size()));
      X509* cert = PEM_read_bio_X509(c, nullptr, nullptr, nullptr);
      EVP_PKEY* key = PEM_read_bio_PrivateKey(k, nullptr, nullptr, nullptr);
      SSL_CTX_use_certificate(ctx_, cert);
      SSL_CTX_use_PrivateKey(ctx_, key);
      X509_free(cert);
      EVP_PKEY_free(key);
      BIO_free(c);
      BIO_free(k);
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listen_fd_, 1);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < kBatch; ++i) batch_ += notification(i);
    thread_ = std::thread(&line_pool::run, this);
  }
  ~line_pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
    thread_.join();
    ::close(listen_fd_);
    if (client_ >= 0) ::close(client_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  void send_batch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++requested_;
    }
    wake_.notify_all();
  }

 private:
  void run() {
    client_ = ::accept(listen_fd_, nullptr, nullptr);
    if (client_ < 0) return;
    SSL* ssl = nullptr;
    if (ctx_ != nullptr) {
      ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, client_);
      if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        return;
      }
    }
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || requested_ > sent_; });
        if (stopping_) break;
        ++sent_;
      }
      size_t done = 0;
      while (done < batch_.size()) {
        const int n = ssl != nullptr ? SSL_write(ssl, batch_.data() + done, static_cast<int>(batch_.size() - done))
                                     : static_cast<int>(::send(client_, batch_.data() + done, batch_.size() - done, MSG_NOSIGNAL));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
    }
    if (ssl != nullptr) SSL_free(ssl);
  }

  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
  std::string batch_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  int requested_ = 0;
  int sent_ = 0;
  std::thread thread_;
};

void run_lines(benchmark::State& state, bool tls) {
  static const test_tls::certificate cert = test_tls::make_certificate("127.0.0.1");
  line_pool pool(tls ? &cert : nullptr);
  support::pool_event_queue events;
  net::jpsock sock(core::kPoolUser, events);
  const std::string address = (tls ? "stratum+ssl://" : "") + pool.address();
  if (const base::status connected = sock.connect_pool(address.c_str(), true, cert.fingerprint); !connected) {
    state.SkipWithError(connected.message().c_str());
    return;
  }
  auto ready = events.take_for(std::chrono::seconds(10));
  if (!ready || ready->kind != core::kSocketReady) {
    state.SkipWithError("no connection");
    return;
  }
  for (auto _ : state) {
    pool.send_batch();
    for (int i = 0; i < kBatch; ++i) {
      auto event = events.take_for(std::chrono::seconds(10));
      if (!event || event->kind != core::kNewJob) {
        const base::status* error = event ? std::get_if<base::status>(&event->payload) : nullptr;
        const std::string why =
            "a line was lost" + (error != nullptr ? ": " + error->message() : std::string());
        state.SkipWithError(why.c_str());
        return;
      }
    }
  }
  const double lines = static_cast<double>(state.iterations()) * kBatch;
  state.counters["lines_per_s"] = benchmark::Counter(lines, benchmark::Counter::kIsRate);
  state.counters["time_per_line"] =
      benchmark::Counter(lines, benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
  sock.disconnect();
}

void BM_PoolLinesPlain(benchmark::State& state) { run_lines(state, false); }
void BM_PoolLinesTls(benchmark::State& state) { run_lines(state, true); }
BENCHMARK(BM_PoolLinesPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PoolLinesTls)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
