// MicroHTTPD and RemoteAccessServer over real loopback sockets: exact bytes
// on the wire and exact console texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/printer.h"
#include "loopback_client.h"
#include "remote/metrics_writer.h"
#include "remote/remote_access_server.h"
#include "support/metrics_text.h"
#include "support/wait.h"

namespace network {
namespace {

using namespace std::chrono_literals;
using remote_test::exchange;
using remote_test::loopback_client;

constexpr auto kWait = 10s;  // upper bound for anything that should be quick
const char kStatsDocument[] = "{\n\t\"total_hash_rate\": 12500,\n\t\"devices\": [\n\t]\n}\n";

class fake_stats : public StatsSource {
 public:
  std::string stats_json() const override {
    if (fail_.load()) throw std::runtime_error("statistics unavailable");
    return kStatsDocument;
  }
  std::string metrics_text() const override {
    metrics_writer w;
    w.gauge("orbeck_hashrate", "Current hash rate in H/s.", {{"device", "GPU0"}}, 12.5);
    w.gauge("orbeck_hashrate", "Current hash rate in H/s.", {{"device", "GPU1"}}, 0);
    w.counter("orbeck_shares_accepted_total", "Shares accepted by the pool.", 4);
    w.gauge("orbeck_pool_connected", "1 while the user pool is connected.", 1);
    return w.text();
  }
  std::atomic<bool> fail_{false};
};

// Routes the printer's console text into a temporary file for the test.
class console_capture {
 public:
  console_capture() : file_(std::tmpfile()) { base::printer::inst().set_console(file_, false); }
  ~console_capture() {
    base::printer::inst().set_console(stdout, false);
    std::fclose(file_);
  }
  // Everything printed so far (the printer flushes after each message).
  std::string text() const {
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    for (ssize_t n; (n = ::pread(fileno(file_), buffer, sizeof(buffer), offset)) > 0; offset += n) {
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  FILE* file_;
};

// A failed session's line as printed: time-stamped (the stamp is checked and
// removed here) and whole. The text as is when it is not such a line.
std::string quiet_line(const std::string& text) {
  static const std::regex kStamped(R"(\[\d\d:\d\d:\d\d\] ([^\n]*\n))");
  std::smatch match;
  return std::regex_match(text, match, kStamped) ? match[1].str() : text;
}

std::string stats_response() {
  return std::string("HTTP/1.1 200 OK \r\n") + "Content-Type: text/plain\r\n" +
         "Access-Control-Allow-Origin: *\r\n" +
         "Content-Length: " + std::to_string(sizeof(kStatsDocument) - 1) + "\r\n\r\n" +
         kStatsDocument;
}

const char kNotFound[] = "HTTP/1.1 404 Not Found \r\nContent-Type: text/plain\r\n\r\n";

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  return support::eventually(condition, limit);
}

class RemoteAccess : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.running()); }
  std::string get(const std::string& request, bool* closed = nullptr) {
    return exchange(server_.port(), request, kWait, closed);
  }

  console_capture console_;
  fake_stats stats_;
  RemoteAccessServer server_{stats_, 0, 2s};
};

// --- the two statistics paths, 404 and /metrics ---

TEST_F(RemoteAccess, StatsJsonWithHttp11GetsTheDocument) {
  bool closed = false;
  EXPECT_EQ(get("GET /stats.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", &closed), stats_response());
  EXPECT_TRUE(closed);
  EXPECT_EQ(console_.text(), "");
}

TEST_F(RemoteAccess, RootWithHttp10GetsTheDocument) {
  EXPECT_EQ(get("GET / HTTP/1.0\r\n\r\n"), stats_response());
}

TEST_F(RemoteAccess, HeadGetsTheBodyToo) {
  EXPECT_EQ(get("HEAD /stats.json HTTP/1.1\r\n\r\n"), stats_response());
}

TEST_F(RemoteAccess, EveryValidMethodGetsTheSameAnswer) {
  for (const char* method : {"PUT", "POST", "DELETE"}) {
    EXPECT_EQ(get(std::string(method) + " / HTTP/1.1\r\n\r\n"), stats_response()) << method;
  }
}

TEST_F(RemoteAccess, QueryStringAndOtherPathsGet404) {
  for (const char* path :
       {"/stats.json?x=1", "/stats.json/", "/STATS.JSON", "//", "/index.html", "*", "/metrics?x"}) {
    EXPECT_EQ(get(std::string("GET ") + path + " HTTP/1.1\r\n\r\n"), kNotFound) << path;
  }
}

TEST_F(RemoteAccess, MetricsServesPrometheusText) {
  const std::string body = stats_.metrics_text();
  const std::string reply = get("GET /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK \r\nContent-Type: text/plain; version=0.0.4\r\n"
            "Access-Control-Allow-Origin: *\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
  std::vector<metric_sample> samples;
  std::string error;
  const size_t body_start = reply.find("\r\n\r\n");
  ASSERT_NE(body_start, std::string::npos);
  ASSERT_TRUE(parse_metrics_text(reply.substr(body_start + 4), samples, error)) << error;
  ASSERT_EQ(samples.size(), 4u);
  EXPECT_EQ(samples[0].labels, (metric_labels{{"device", "GPU0"}}));
  EXPECT_EQ(samples[0].value, 12.5);
  EXPECT_EQ(samples[2].name, "orbeck_shares_accepted_total");
}

// --- request parsing on the wire ---

TEST_F(RemoteAccess, LowerCaseMethodIsInvalidWithoutResponse) {
  bool closed = false;
  EXPECT_EQ(get("get /stats.json HTTP/1.1\r\n\r\n", &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(quiet_line(console_.text()), "MicroHTTPD: Invalid HTTP request\n");
}

TEST_F(RemoteAccess, MissingVersionIsInvalidWithoutResponse) {
  bool closed = false;
  EXPECT_EQ(get("GET /stats.json\r\n\r\n", &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(quiet_line(console_.text()), "MicroHTTPD: Invalid HTTP request\n");
}

TEST_F(RemoteAccess, SeveralSpacesAndTabsAreAccepted) {
  EXPECT_EQ(get("GET  \t /stats.json\t\t HTTP/1.1\r\n\r\n"), stats_response());
}

TEST_F(RemoteAccess, RequestInSeveralPiecesIsAnsweredOnceComplete) {
  loopback_client client;
  ASSERT_TRUE(client.connect(server_.port(), kWait));
  ASSERT_TRUE(client.send("GET /stats.js"));
  // Let the server take the connection and read the first piece alone.
  ASSERT_TRUE(wait_until([&] { return server_.accepted_count() == 1; }, kWait));
  ASSERT_TRUE(client.send("on HTTP/1.1\r\nHost: x\r"));
  ASSERT_TRUE(client.send("\n\r"));
  ASSERT_TRUE(client.send("\nignored body"));
  std::string reply;
  EXPECT_TRUE(client.read_until_close(reply, kWait));
  EXPECT_EQ(reply, stats_response());
}

TEST_F(RemoteAccess, HeaderBlockEndingAtTheBufferEndIsServed) {
  std::string request = "GET /stats.json HTTP/1.1\r\nX-Pad: ";
  request.append(kRequestBufferSize - request.size() - 4, 'p');
  request += "\r\n\r\n";
  ASSERT_EQ(request.size(), kRequestBufferSize);
  EXPECT_EQ(get(request), stats_response());
}

TEST_F(RemoteAccess, FullBufferWithoutEndOfHeadersIsDroppedSilently) {
  std::string request = "GET /stats.json HTTP/1.1\r\nX-Pad: ";
  request.append(kRequestBufferSize - request.size() - 3, 'p');
  request += "\r\n\r";  // one byte short of the terminator
  ASSERT_EQ(request.size(), kRequestBufferSize);
  bool closed = false;
  EXPECT_EQ(get(request, &closed), "");
  EXPECT_TRUE(closed);
  // The next client is served and nothing was printed for the first.
  EXPECT_EQ(get("GET / HTTP/1.1\r\n\r\n"), stats_response());
  EXPECT_EQ(console_.text(), "");
}

TEST_F(RemoteAccess, BodyAfterTheHeaderBlockIsIgnoredWithoutResettingTheReply) {
  // The body overflows the request buffer; the part never read must not turn
  // the close into a reset that destroys the response.
  const std::string body(20000, 'b');
  bool closed = false;
  EXPECT_EQ(get("POST /stats.json HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + body, &closed),
            stats_response());
  EXPECT_TRUE(closed);
}

// --- faults ---

TEST_F(RemoteAccess, ClientClosingEarlyPrintsTheReadError) {
  {
    loopback_client client;
    ASSERT_TRUE(client.connect(server_.port(), kWait));
    ASSERT_TRUE(client.send("GET /stats.json HTTP/1.1\r\n"));
  }
  // Requests are sequential, so the first one is finished once this returns.
  EXPECT_EQ(get("GET / HTTP/1.1\r\n\r\n"), stats_response());
  EXPECT_EQ(quiet_line(console_.text()), "MicroHTTPD: HTTPSession Exception: read_some: End of file\n");
}

TEST_F(RemoteAccess, SilentClientIsDroppedAfterTheTimeoutWhileTheNextIsServedAtOnce) {
  // Taken before the silent client connects, so it precedes the server's
  // accept and with it the start of the 2 s time-out.
  const auto start = std::chrono::steady_clock::now();
  loopback_client silent;
  ASSERT_TRUE(silent.connect(server_.port(), kWait));
  ASSERT_TRUE(silent.send("GET /stats.json HT"));
  ASSERT_TRUE(wait_until([&] { return server_.accepted_count() == 1; }, kWait));

  EXPECT_EQ(get("GET / HTTP/1.1\r\n\r\n"), stats_response());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(console_.text(), "");

  std::string reply;
  EXPECT_TRUE(silent.read_until_close(reply, kWait));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(quiet_line(console_.text()),
            "MicroHTTPD: HTTPSession Exception: read_some: Connection timed out\n");
}

TEST(MicroHTTPD, FailedSessionsArePrintedOnceAndThenAsOneSummaryPerPeriod) {
  console_capture console;
  fake_stats stats;
  listen_settings settings;
  settings.error_summary_interval = 1s;
  RemoteAccessServer server(stats, settings, "");
  ASSERT_TRUE(server.running());
  const auto close_early = [&] {
    loopback_client client;
    ASSERT_TRUE(client.connect(server.port(), kWait));
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\n"));
  };
  close_early();
  const std::string first = "MicroHTTPD: HTTPSession Exception: read_some: End of file\n";
  ASSERT_TRUE(wait_until([&] { return !console.text().empty(); }, kWait));
  EXPECT_EQ(quiet_line(console.text()), first);
  // Four more failures within the period, the last one garbage: one line
  // at the end of the period sums them up.
  for (int i = 0; i < 3; ++i) close_early();
  EXPECT_EQ(exchange(server.port(), "get / HTTP/1.1\r\n\r\n", kWait), "");
  const std::string summary =
      "MicroHTTPD: 4 more failed HTTP sessions in the last 1 s, the last: Invalid HTTP request\n";
  ASSERT_TRUE(wait_until([&] { return console.text().ends_with(summary); }, kWait)) << console.text();
  const std::string text = console.text();
  const size_t split = text.find('\n') + 1;
  EXPECT_EQ(quiet_line(text.substr(0, split)), first);
  EXPECT_EQ(quiet_line(text.substr(split)), summary);
  // A period without failures ends the summaries silently (it closes two
  // periods after the first line at the latest); the next failure is
  // printed at once.
  ASSERT_TRUE(wait_until([&] { return !server.counting_failures(); }, kWait));
  EXPECT_EQ(console.text(), text);
  close_early();
  ASSERT_TRUE(wait_until([&] { return console.text().size() > text.size(); }, kWait));
  EXPECT_EQ(quiet_line(console.text().substr(text.size())), first);
}

TEST_F(RemoteAccess, FailingStatisticsSourceDoesNotStopTheServer) {
  stats_.fail_.store(true);
  bool closed = false;
  EXPECT_EQ(get("GET / HTTP/1.1\r\n\r\n", &closed), "");
  EXPECT_TRUE(closed);
  stats_.fail_.store(false);
  EXPECT_EQ(get("GET / HTTP/1.1\r\n\r\n"), stats_response());
  EXPECT_EQ(quiet_line(console_.text()), "MicroHTTPD: HTTPSession Exception: statistics unavailable\n");
}

TEST_F(RemoteAccess, ConcurrentClientsAreAllAnswered) {
  constexpr int kClients = 16;
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] { replies[i] = get("GET /stats.json HTTP/1.1\r\n\r\n"); });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(replies[i], stats_response()) << i;
  EXPECT_EQ(server_.accepted_count(), static_cast<uint64_t>(kClients));
}

TEST(RemoteAccessServer, BusyPortPrintsTheStepAndSystemText) {
  console_capture console;
  fake_stats stats;
  RemoteAccessServer first(stats, 0);
  ASSERT_TRUE(first.running());
  {
    RemoteAccessServer second(stats, first.port());
    EXPECT_FALSE(second.running());
    EXPECT_EQ(second.port(), 0);
  }
  const std::string text = console.text();
  const std::string expected =
      "MicroHTTPD: bind: Address already in use. Remote access is not available.\n";
  ASSERT_GE(text.size(), expected.size());
  EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
  EXPECT_EQ(text.substr(0, 1), "[");  // levelled: time prefix
  // The first server is unaffected.
  EXPECT_EQ(exchange(first.port(), "GET / HTTP/1.1\r\n\r\n", kWait), stats_response());
}

TEST(RemoteAccessServer, StopDoesNotWaitForASilentClient) {
  console_capture console;
  fake_stats stats;
  auto server = std::make_unique<RemoteAccessServer>(stats, 0, 60s);
  ASSERT_TRUE(server->running());
  loopback_client silent;
  ASSERT_TRUE(silent.connect(server->port(), kWait));
  ASSERT_TRUE(silent.send("GET / HTTP/1.1\r\n"));
  ASSERT_TRUE(wait_until([&] { return server->accepted_count() == 1; }, kWait));
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  std::string reply;
  // Closed or, when the server had not read the bytes yet, reset: either way
  // the client is let go at once and gets no reply.
  const bool closed = silent.read_until_close(reply, kWait);
  EXPECT_TRUE(closed || silent.was_reset());
  EXPECT_EQ(reply, "");
  EXPECT_EQ(console.text(), "");
}

// --- MicroHTTPD with its own handler ---

class recording_handler : public MicroHTTPD::RequestHandler {
 public:
  void handle_request(const std::string& method, const std::string& path, const header_map& headers,
                      response_record& response) override {
    std::lock_guard<std::mutex> lock(mutex_);
    method_ = method;
    path_ = path;
    headers_ = headers;
    ++calls_;
    response.set_status(kStatusCreated);
    response.content_type = kContentTypeXml;
    response.headers["Location"] = "/x";
  }
  std::mutex mutex_;
  std::string method_;
  std::string path_;
  header_map headers_;
  int calls_ = 0;
};

TEST(MicroHTTPD, HandsUpperCasedHeadersWithDuplicatesReplacedToTheHandler) {
  recording_handler handler;
  MicroHTTPD server(&handler, 0);
  ASSERT_TRUE(server.running());
  EXPECT_EQ(exchange(server.port(),
                     "DELETE /a%20b?q=1 HTTP/1.1\r\nHost: first\r\nuser-agent:  probe \r\n"
                     "no colon here\r\nhOsT: second\r\n\r\nbody: not a header\r\n",
                     kWait),
            "HTTP/1.1 201 Created \r\nContent-Type: text/xml\r\nLocation: /x\r\n\r\n");
  std::lock_guard<std::mutex> lock(handler.mutex_);
  EXPECT_EQ(handler.calls_, 1);
  EXPECT_EQ(handler.method_, "DELETE");
  EXPECT_EQ(handler.path_, "/a%20b?q=1");
  EXPECT_EQ(handler.headers_, (header_map{{"HOST", "second"}, {"USER-AGENT", "probe"}}));
}

TEST(MicroHTTPD, InvalidRequestNeverReachesTheHandler) {
  console_capture console;
  recording_handler handler;
  MicroHTTPD server(&handler, 0);
  ASSERT_TRUE(server.running());
  EXPECT_EQ(exchange(server.port(), "FETCH / HTTP/1.1\r\n\r\n", kWait), "");
  std::lock_guard<std::mutex> lock(handler.mutex_);
  EXPECT_EQ(handler.calls_, 0);
  EXPECT_EQ(quiet_line(console.text()), "MicroHTTPD: Invalid HTTP request\n");
}

TEST(MicroHTTPD, ReportsTheFailingStepWithoutPrinting) {
  console_capture console;
  recording_handler handler;
  MicroHTTPD first(&handler, 0);
  ASSERT_TRUE(first.running());
  MicroHTTPD second(&handler, first.port());
  EXPECT_FALSE(second.running());
  EXPECT_EQ(second.start_status().message(), "bind: Address already in use");
  EXPECT_EQ(second.start_status().code(), base::status_code::kNetworkError);
  EXPECT_TRUE(first.start_status().is_ok());
  EXPECT_EQ(console.text(), "");
}

}  // namespace
}  // namespace network
