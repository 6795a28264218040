// The remote access server as a farm's Prometheus meets it, over real
// loopback sockets: listening addresses, bearer tokens, many connections at
// once, silent and slow clients.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

#include "loopback_client.h"
#include "remote/bearer_auth.h"
#include "remote/remote_access_server.h"
#include "support/console_capture.h"
#include "support/wait.h"

namespace network {
namespace {

using namespace std::chrono_literals;
using base::console_capture;
using remote_test::exchange;
using remote_test::loopback_client;
using clock_type = std::chrono::steady_clock;

constexpr auto kWait = 10s;  // upper bound for anything that should be quick
const char kDocument[] = "{\"total_hash_rate\": 42}\n";
const char kToken[] = "farm-7f3a9c";
const char kRequest[] = "GET /stats.json HTTP/1.1\r\n\r\n";
const char kUnauthorized[] =
    "HTTP/1.1 401 Unauthorized \r\nContent-Type: text/plain\r\nWWW-Authenticate: Bearer\r\n\r\n";

class fixed_stats : public StatsSource {
 public:
  std::string stats_json() const override { return kDocument; }
  std::string metrics_text() const override { return "orbeck_up 1\n"; }
};

std::string stats_response() {
  return std::string("HTTP/1.1 200 OK \r\nContent-Type: text/plain\r\n") +
         "Access-Control-Allow-Origin: *\r\nContent-Length: " +
         std::to_string(sizeof(kDocument) - 1) + "\r\n\r\n" + kDocument;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  return support::eventually(condition, limit);
}

listen_settings on(const char* address) {
  listen_settings settings;
  settings.address = boost::asio::ip::make_address(address);
  return settings;
}

// --- the token ---

TEST(BearerToken, ConstantTimeEqualComparesWholeStrings) {
  EXPECT_TRUE(constant_time_equal("abc", "abc"));
  EXPECT_TRUE(constant_time_equal("", ""));
  EXPECT_FALSE(constant_time_equal("abd", "abc"));
  EXPECT_FALSE(constant_time_equal("ab", "abc"));
  EXPECT_FALSE(constant_time_equal("abcabc", "abc"));  // a repeat of the token
  EXPECT_FALSE(constant_time_equal("abca", "abc"));
  EXPECT_FALSE(constant_time_equal("", "abc"));
  EXPECT_FALSE(constant_time_equal("abc", ""));
  EXPECT_FALSE(constant_time_equal(std::string("ab\0", 3), "abc"));
}

TEST(BearerToken, AuthorizationHeaderForms) {
  auto with = [](const std::string& value) {
    return bearer_authorized(header_map{{"AUTHORIZATION", value}}, kToken);
  };
  EXPECT_TRUE(with(std::string("Bearer ") + kToken));
  EXPECT_TRUE(with(std::string("bearer ") + kToken));
  EXPECT_TRUE(with(std::string("BEARER \t ") + kToken));
  EXPECT_FALSE(with(std::string("Bearer") + kToken));
  EXPECT_FALSE(with(std::string("Basic ") + kToken));
  EXPECT_FALSE(with(kToken));
  EXPECT_FALSE(with(std::string("Bearer ") + kToken + "x"));
  EXPECT_FALSE(with(std::string("Bearer ") + kToken + " x"));
  EXPECT_FALSE(with("Bearer farm-7f3a9"));
  EXPECT_FALSE(with("Bearer "));
  EXPECT_FALSE(with(""));
  EXPECT_FALSE(bearer_authorized(header_map{}, kToken));
  // An empty token authorises nothing, not even an empty credential.
  EXPECT_FALSE(bearer_authorized(header_map{{"AUTHORIZATION", "Bearer "}}, ""));
}

class TokenServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.running()); }
  std::string get(const std::string& request) { return exchange(server_.port(), request, kWait); }

  console_capture console_;
  fixed_stats stats_;
  RemoteAccessServer server_{stats_, listen_settings{}, kToken};
};

TEST_F(TokenServer, RequestsWithoutTheRightTokenGet401) {
  const std::string right = std::string("Authorization: Bearer ") + kToken + "\r\n";
  EXPECT_EQ(get(kRequest), kUnauthorized);
  EXPECT_EQ(get("GET /stats.json HTTP/1.1\r\nAuthorization: Bearer wrong\r\n\r\n"), kUnauthorized);
  EXPECT_EQ(get("GET /metrics HTTP/1.1\r\nAuthorization: Basic ZmFybTo=\r\n\r\n"), kUnauthorized);
  // Without the token even the paths that do not exist say 401, not 404.
  EXPECT_EQ(get("GET /nothing HTTP/1.1\r\n\r\n"), kUnauthorized);
  EXPECT_EQ(get("GET /stats.json HTTP/1.1\r\n" + right + "\r\n"), stats_response());
  EXPECT_EQ(get("GET / HTTP/1.0\r\nauthorization:   bearer " + std::string(kToken) + " \r\n\r\n"),
            stats_response());
  EXPECT_EQ(get("GET /metrics HTTP/1.1\r\n" + right + "\r\n"),
            "HTTP/1.1 200 OK \r\nContent-Type: text/plain; version=0.0.4\r\n"
            "Access-Control-Allow-Origin: *\r\nContent-Length: 12\r\n\r\norbeck_up 1\n");
  EXPECT_EQ(get("GET /nothing HTTP/1.1\r\n" + right + "\r\n"),
            "HTTP/1.1 404 Not Found \r\nContent-Type: text/plain\r\n\r\n");
  EXPECT_EQ(console_.text(), "");
}

// --- listening addresses ---

TEST(ListenAddress, ServesOnTheChosenLoopbackAddressOnly) {
  fixed_stats stats;
  RemoteAccessServer second(stats, on("127.0.0.2"), "");
  ASSERT_TRUE(second.running()) << "127.0.0.2 should be a loopback address on Linux";
  EXPECT_EQ(exchange("127.0.0.2", second.port(), kRequest, kWait), stats_response());
  // Bound to that address, not to the wildcard.
  loopback_client elsewhere;
  EXPECT_FALSE(elsewhere.connect("127.0.0.1", second.port(), kWait));

  RemoteAccessServer first(stats, on("127.0.0.1"), "");
  ASSERT_TRUE(first.running());
  EXPECT_EQ(exchange("127.0.0.1", first.port(), kRequest, kWait), stats_response());
}

TEST(ListenAddress, ServesOnIpv6LoopbackWithAToken) {
  fixed_stats stats;
  RemoteAccessServer server(stats, on("::1"), kToken);
  if (!server.running())
    GTEST_SKIP() << "no IPv6 loopback here: "
                 << "bind on ::1 failed";
  EXPECT_EQ(exchange("::1", server.port(), kRequest, kWait), kUnauthorized);
  EXPECT_EQ(exchange("::1", server.port(),
                     std::string("GET / HTTP/1.1\r\nAuthorization: Bearer ") + kToken + "\r\n\r\n",
                     kWait),
            stats_response());
}

// --- many connections, silent and slow clients ---

class Crowd : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    settings_ = on(GetParam());
    settings_.read_timeout = 20s;  // far beyond what any wait below allows
    server_ = std::make_unique<RemoteAccessServer>(stats_, settings_, "");
    if (!server_->running() && settings_.address.is_v6()) GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_TRUE(server_->running());
  }
  // Opens count connections that send half a request and stay silent.
  void hold(std::vector<std::unique_ptr<loopback_client>>& holders, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      holders.push_back(std::make_unique<loopback_client>());
      ASSERT_TRUE(holders.back()->connect(GetParam(), server_->port(), kWait));
      ASSERT_TRUE(holders.back()->send("GET /stats.json HTTP/1.1\r\nHost: rig"));
    }
    ASSERT_TRUE(wait_until([&] { return server_->open_count() == holders.size(); }, kWait));
  }
  // One ordinary request; returns how long it took.
  clock_type::duration timed_request() {
    const auto start = clock_type::now();
    EXPECT_EQ(exchange(GetParam(), server_->port(), kRequest, kWait), stats_response());
    return clock_type::now() - start;
  }

  console_capture console_;
  fixed_stats stats_;
  listen_settings settings_;
  std::unique_ptr<RemoteAccessServer> server_;
};

TEST_P(Crowd, SilentClientsDoNotDelayARequest) {
  std::vector<std::unique_ptr<loopback_client>> holders;
  hold(holders, 10);
  EXPECT_LT(timed_request(), 1s);
  // Filled up to the places one peer may hold: the request takes the place
  // of the oldest silent client.
  const size_t share = kMaxConnections - kMaxConnections / 4;
  hold(holders, share - holders.size());
  EXPECT_LT(timed_request(), 1s);
  EXPECT_EQ(server_->evicted_count(), 1u);
  EXPECT_EQ(server_->refused_count(), 0u);
  std::string reply;
  EXPECT_TRUE(holders.front()->read_until_close(reply, kWait));
  EXPECT_EQ(reply, "");
}

INSTANTIATE_TEST_SUITE_P(Loopback, Crowd, ::testing::Values("127.0.0.1", "127.0.0.2", "::1"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) c = (c == '.' || c == ':') ? '_' : c;
                           return "at_" + name;
                         });

// Opens a silent connection (half a request) from a loopback source address.
std::unique_ptr<loopback_client> silent_from(const std::string& source, uint16_t port) {
  auto client = std::make_unique<loopback_client>();
  client->set_source(source);
  if (!client->connect("127.0.0.1", port, kWait) || !client->send("GET /stats.json HTTP/1.1\r\n"))
    return nullptr;
  return client;
}

TEST(Crowding, OnePeerHoldsAtMostItsShareAndAFullServerDropsTheLongestWaiting) {
  console_capture console;
  fixed_stats stats;
  listen_settings settings;
  settings.read_timeout = 20s;
  RemoteAccessServer server(stats, settings, "");
  ASSERT_TRUE(server.running());
  const size_t share = kMaxConnections - kMaxConnections / 4;  // 48 of 64
  std::vector<std::unique_ptr<loopback_client>> first, second;
  for (size_t i = 0; i < kMaxConnections; ++i) {
    first.push_back(silent_from("127.0.0.10", server.port()));
    ASSERT_NE(first.back(), nullptr);
  }
  // The peer keeps its newest 48: each one beyond took its oldest's place.
  ASSERT_TRUE(wait_until([&] { return server.accepted_count() == kMaxConnections; }, kWait));
  EXPECT_EQ(server.open_count(), share);
  EXPECT_EQ(server.evicted_count(), kMaxConnections - share);
  std::string reply;
  EXPECT_TRUE(first.front()->read_until_close(reply, kWait));
  // Another peer takes the rest without pushing anyone out...
  for (size_t i = 0; i < kMaxConnections - share; ++i) {
    second.push_back(silent_from("127.0.0.11", server.port()));
    ASSERT_NE(second.back(), nullptr);
  }
  ASSERT_TRUE(wait_until([&] { return server.open_count() == kMaxConnections; }, kWait));
  EXPECT_EQ(server.evicted_count(), kMaxConnections - share);
  // ...and on a full server a third peer takes the place of the connection
  // that has waited longest: the oldest of the first peer still open.
  EXPECT_EQ(exchange("127.0.0.1", server.port(), kRequest, kWait), stats_response());
  EXPECT_EQ(server.evicted_count(), kMaxConnections - share + 1);
  EXPECT_TRUE(first[kMaxConnections - share]->read_until_close(reply, kWait));
  EXPECT_EQ(server.refused_count(), 0u);
  EXPECT_EQ(console.text(), "");  // dropping a connection to make room is not an error
}

// 64 clients that connect, stay silent and reconnect the moment they are
// dropped, all from the same address as the one real client, which must
// still get every answer within a second. Bounded: the churn ends with the
// requests, and at the latest after 60 s.
TEST(Crowding, SixtyFourSilentClientsReconnectingInALoopCannotBlindTheMonitoring) {
  console_capture console;
  fixed_stats stats;
  RemoteAccessServer server(stats, listen_settings{}, "");  // the 5 s deadlines of the program
  ASSERT_TRUE(server.running());
  const uint16_t port = server.port();
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    std::vector<std::unique_ptr<loopback_client>> silent(kMaxConnections);
    const auto deadline = clock_type::now() + 60s;
    while (!stop.load() && clock_type::now() < deadline) {
      std::vector<pollfd> fds;
      for (auto& client : silent) {
        if (client == nullptr || client->fd() < 0) {
          client = std::make_unique<loopback_client>();
          if (!client->connect(port, 1s) || !client->send("GET /metrics HTTP/1.1\r\n")) client->close();
        }
        fds.push_back(pollfd{client->fd(), POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0) silent[i]->close();  // dropped: reconnect at once
      }
    }
  });
  // Not ASSERT: the churn thread must be joined whatever happens.
  EXPECT_TRUE(wait_until([&] { return server.evicted_count() >= kMaxConnections; }, kWait));
  const uint64_t evicted_before = server.evicted_count();
  clock_type::duration slowest{};
  for (int i = 0; i < 20; ++i) {
    const auto start = clock_type::now();
    EXPECT_EQ(exchange(port, kRequest, 2s), stats_response()) << "request " << i;
    slowest = std::max(slowest, clock_type::now() - start);
  }
  const uint64_t evicted = server.evicted_count();
  stop.store(true);
  churn.join();
  EXPECT_LT(slowest, 1s);
  EXPECT_GT(evicted, evicted_before) << "the silent clients kept coming back during the requests";
  EXPECT_EQ(server.refused_count(), 0u);
}

class big_reply : public MicroHTTPD::RequestHandler {
 public:
  void handle_request(const std::string&, const std::string& path, const header_map&,
                      response_record& response) override {
    response.set_status(kStatusOk);
    response.body = path == "/big" ? std::string(kBodySize, 'x') : "small";
  }
  // Far more than the kernel buffers of both ends hold.
  static constexpr size_t kBodySize = 64u << 20;
};

TEST(SlowReader, IsDroppedAtTheWriteDeadlineWhileOthersAreServed) {
  console_capture console;
  big_reply handler;
  listen_settings settings;
  settings.write_timeout = 1s;
  MicroHTTPD server(&handler, settings);
  ASSERT_TRUE(server.running());

  loopback_client slow;
  slow.set_receive_buffer(4096);
  ASSERT_TRUE(slow.connect(server.port(), kWait));
  const auto start = clock_type::now();
  ASSERT_TRUE(slow.send("GET /big HTTP/1.1\r\n\r\n"));
  // While the server waits to write to the slow reader, others get answers.
  EXPECT_EQ(exchange(server.port(), "GET /small HTTP/1.1\r\n\r\n", kWait),
            "HTTP/1.1 200 OK \r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nsmall");

  const std::string expected = "MicroHTTPD: HTTPSession Exception: write: Connection timed out\n";
  ASSERT_TRUE(wait_until([&] { return base::without_times(console.text()) == expected; }, kWait))
      << console.text();
  const auto dropped_after = clock_type::now() - start;
  EXPECT_GE(dropped_after, 1s);
  EXPECT_LT(dropped_after, 3s);
  // What the kernel had taken arrives, then the end: never the whole reply.
  std::string received;
  const bool closed = slow.read_until_close(received, kWait);
  EXPECT_TRUE(closed || slow.was_reset());
  EXPECT_LT(received.size(), big_reply::kBodySize);
  EXPECT_EQ(received.substr(0, 17), "HTTP/1.1 200 OK \r");
  EXPECT_EQ(server.open_count(), 0u);
}

}  // namespace
}  // namespace network

namespace network {
namespace {

TEST(SlowReader, OnAServerWhoseOnlyPlaceIsAnsweringANewConnectionIsClosedAtOnce) {
  console_capture console;
  big_reply handler;
  listen_settings settings;
  settings.max_connections = 1;
  MicroHTTPD server(&handler, settings);
  ASSERT_TRUE(server.running());
  loopback_client slow;
  slow.set_receive_buffer(4096);
  ASSERT_TRUE(slow.connect(server.port(), kWait));
  ASSERT_TRUE(slow.send("GET /big HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(wait_until([&] { return server.accepted_count() == 1; }, kWait));
  // No connection waits for its request, so there is nobody to drop.
  const auto start = clock_type::now();
  loopback_client extra;
  ASSERT_TRUE(extra.connect(server.port(), kWait));
  // Closed without waiting for a request, so nothing needs to be sent.
  std::string reply;
  EXPECT_TRUE(extra.read_until_close(reply, kWait));
  EXPECT_EQ(reply, "");
  EXPECT_LT(clock_type::now() - start, 1s);
  EXPECT_EQ(server.refused_count(), 1u);
  EXPECT_EQ(server.evicted_count(), 0u);
}

}  // namespace
}  // namespace network
