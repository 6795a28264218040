// The executor with a list of pools on loopback: failover at once, the
// 20-second wait only after a whole round, the return to the first pool,
// submits that never stall the executor, keep-alives and a whole exit line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "core/executor.h"
#include "executor_test_util.h"
#include "fake_pool.h"
#include "support/console_capture.h"
#include "support/cpu_hash.h"

namespace core {
namespace {

// An address where nothing listens: every connect is refused.
std::string refusing_address() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class FailoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.pools.clear();
    // A retry far beyond any wait below: a test passes only if the next
    // pool is tried at once.
    settings_.retry_delay_s = 600;
    settings_.primary_retry_s = 1;
    settings_.keepalive_s = 0;
    settings_.tick = std::chrono::milliseconds(10);
    settings_.reply_timeout = std::chrono::seconds(10);
    settings_.give_up = [this] { gave_up_.store(true); };
    settings_.clock = &clock_;
  }
  void TearDown() override {
    if (executor_) executor_->stop();
  }
  // Runs the executor's clock a tick at a time until `condition` holds.
  bool advance_until(const std::function<bool()>& condition) {
    return support::advance_until(clock_, settings_.tick, condition, kWait);
  }
  void start(const std::vector<std::string>& addresses) {
    for (const std::string& address : addresses) {
      pool_options pool;
      pool.address = address;
      pool.user = "wallet";
      settings_.pools.push_back(pool);
    }
    executor_ = std::make_unique<executor>(miner_, settings_, support::cpu_hash());
    executor_->start();
  }
  void post_result(uint32_t nonce) {
    gpu_result result;
    result.nonce = nonce;
    result.sequence = miner_.generation();
    executor_->post(executor_event(kFoundNonce, executor_->active_pool(), result));
  }
  // Logs in to a pool that leaves submits unanswered and sends three.
  void three_unanswered_submits(net::fake_pool& pool) {
    serve(pool, login_reply(blob_hex(1), "ffffffff"), [] { return std::string(); });
    start({pool.address()});
    ASSERT_TRUE(mining_job_of("job-1"));
    for (uint32_t nonce = 1; nonce <= 3; ++nonce) post_result(nonce);
    ASSERT_TRUE(pool.wait_for_line(3, kWait));
  }
  bool mining(const char* job_id) const {
    const auto jobs = miner_.jobs();
    return !jobs.empty() && !jobs.back().idle && std::string(jobs.back().job_id) == job_id;
  }
  bool mining_job_of(const char* job_id) {
    return eventually([&] { return mining(job_id); });
  }
  std::string console() { return base::without_times(capture_.text()); }

  base::console_capture capture_;
  support::manual_clock clock_;
  fake_miner miner_;
  executor_settings settings_;
  std::atomic<bool> gave_up_{false};
  std::unique_ptr<executor> executor_;
};

TEST_F(FailoverTest, ARefusingFirstPoolIsPassedOverAtOnce) {
  net::fake_pool second;
  serve(second, login_reply(blob_hex(1), "ffffffff", "from-second"), [] { return kOk; });
  const std::string first = refusing_address();
  start({first, second.address()});
  ASSERT_TRUE(mining_job_of("from-second"));
  EXPECT_EQ(executor_->active_user_index(), 1u);
  EXPECT_EQ(executor_->connect_attempts(), 0u);
  const std::string text = console();
  EXPECT_NE(text.find("Connecting to " + first + " ...\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Retrying in"), std::string::npos) << text;
}

TEST_F(FailoverTest, APlainPoolSilentUntilItClosesGetsTheTlsHintOneAnsweringInTlsDoesNot) {
  // The executor tells these ends apart by the error's code: a connection
  // lost before any byte, or a TLS refusal (whose line carries its own hint).
  const std::string tls_alert("\x15\x03\x03\x00\x02\x02\x28", 7);
  struct end_case {
    bool answer_in_tls;
    std::string socket_error;
    bool hint;
  };
  const end_case cases[] = {
      {false, "Socket Error - Recv Error: socket closed\n", true},
      {true,
       "Socket Error - Recv Error: the pool answered with TLS: this port speaks TLS, use a "
       "stratum+ssl:// "
       "address\n",
       false},
  };
  for (const end_case& c : cases) {
    SCOPED_TRACE(c.answer_in_tls ? "TLS answer" : "silent close");
    net::fake_pool first, second;
    first.set_responder(
        [&](const std::string&) { return c.answer_in_tls ? tls_alert : std::string(); });
    // Each case's own job id: the miner still holds the previous case's job.
    const char* job_id = c.answer_in_tls ? "after-tls" : "after-close";
    serve(second, login_reply(blob_hex(1), "ffffffff", job_id), [] { return kOk; });
    const size_t printed = console().size();
    settings_.pools.clear();
    start({first.address(), second.address()});
    if (!c.answer_in_tls) {
      ASSERT_TRUE(first.wait_for_line(0, kWait));
      first.close_client();
    }
    ASSERT_TRUE(mining_job_of(job_id));
    const std::string text = console().substr(printed);
    EXPECT_NE(text.find(c.socket_error), std::string::npos) << text;
    const std::string hint = "The pool ended the connection without answering: if " +
                             first.address() + " is a TLS port, use a stratum+ssl:// address";
    EXPECT_EQ(text.find(hint) != std::string::npos, c.hint) << text;
    executor_->stop();
    executor_.reset();
  }
}

TEST_F(FailoverTest, TheSecondPoolTakesOverWhenTheFirstDiesMidJob) {
  net::fake_pool first, second;
  serve(first, login_reply(blob_hex(1), "ffffffff", "from-first"), [] { return kOk; });
  serve(second, login_reply(blob_hex(1), "ffffffff", "from-second"), [] { return kOk; });
  settings_.primary_retry_s = 600;  // no return in this test
  start({first.address(), second.address()});
  ASSERT_TRUE(mining_job_of("from-first"));
  first.close_client();
  ASSERT_TRUE(mining_job_of("from-second"));
  // The share of the new job goes to the second pool.
  post_result(5);
  ASSERT_TRUE(eventually([&] { return executor_->pool_accepted(1) == 1; }));
  EXPECT_EQ(executor_->pool_accepted(0), 0u);
  EXPECT_NE(executor_->stats_json().find("\"server\": \"" + second.address() + "\""), std::string::npos);
}

TEST_F(FailoverTest, TheFirstPoolIsTakenBackAfterThePrimaryRetry) {
  net::fake_pool first, second;
  std::atomic<bool> first_ready{false};
  first.set_responder([&](const std::string& line) -> std::string {
    if (line.find("\"login\"") == std::string::npos) return "";
    return first_ready ? net::reply_for(line, login_reply(blob_hex(1), "ffffffff", "from-first"))
                       : error_reply("pool is restarting");
  });
  serve(second, login_reply(blob_hex(1), "ffffffff", "from-second"), [] { return kOk; });
  start({first.address(), second.address()});
  ASSERT_TRUE(mining_job_of("from-second"));
  first_ready = true;
  // Within a few primary-retry rounds the first pool logs in on a second
  // connection, its job becomes the work and the lower connection closes.
  ASSERT_TRUE(advance_until([&] { return mining("from-first"); }));
  EXPECT_EQ(executor_->active_user_index(), 0u);
  EXPECT_TRUE(second.wait_for_client_close(kWait));
  EXPECT_NE(console().find("Back to pool " + first.address() + "\n"), std::string::npos);
}

TEST_F(FailoverTest, OnlyAWholeFailedRoundWaitsAndCountsTowardsTheReconnects) {
  settings_.retry_delay_s = 1;
  settings_.max_reconnects = 2;
  const std::string a = refusing_address(), b = refusing_address();
  start({a, b});
  ASSERT_TRUE(advance_until([&] { return gave_up_.load(); }));
  const std::string text = console();
  // Three rounds over both pools: two waits, then the give-up.
  EXPECT_EQ(count_of(text, "Connecting to " + a + " ...\n"), 3u) << text;
  EXPECT_EQ(count_of(text, "Connecting to " + b + " ...\n"), 3u) << text;
  EXPECT_EQ(count_of(text, "Connecting to Pool failed. Retrying in 1 secs ...\n"), 2u) << text;
  EXPECT_EQ(executor_->connect_attempts(), 3u);
}

TEST_F(FailoverTest, SubmitsDoNotWaitAndOutOfOrderAnswersLandInTheirCounters) {
  net::fake_pool pool;
  three_unanswered_submits(pool);
  // The executor still works: a new job is published while they wait.
  ASSERT_TRUE(pool.send("{\"method\":\"job\",\"params\":{\"job_id\":\"job-2\",\"blob\":\"" + blob_hex(1) +
                        "\",\"target\":\"ffffffff\"}}\n"));
  ASSERT_TRUE(mining_job_of("job-2"));
  EXPECT_EQ(executor_->accepted() + executor_->rejected(), 0u);
  // Requests 2, 3, 4 answered 4, 2, 3.
  ASSERT_TRUE(pool.send("{\"id\":4,\"error\":{\"message\":\"Duplicate share\"}}\n"
                        "{\"id\":2,\"error\":null,\"result\":{\"status\":\"OK\"}}\n"
                        "{\"id\":3,\"error\":{\"message\":\"Low difficulty share\"}}\n"));
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1 && executor_->rejected() == 2; }));
  EXPECT_EQ(executor_->network_fail(), 0u);
  const std::string text = console();
  EXPECT_NE(text.find("!Rejected by pool! Reason: Duplicate share\n"), std::string::npos);
  EXPECT_NE(text.find("!Rejected by pool! Reason: Low difficulty share\n"), std::string::npos);
}

TEST_F(FailoverTest, SubmitsOutstandingWhenTheConnectionDropsAreNetworkFailuresOnce) {
  net::fake_pool pool;
  three_unanswered_submits(pool);
  pool.close_client();
  ASSERT_TRUE(eventually([&] { return executor_->network_fail() == 3; }));
  ASSERT_TRUE(eventually([&] { return console().find("Retrying in") != std::string::npos; }));
  EXPECT_EQ(executor_->network_fail(), 3u);
  EXPECT_EQ(executor_->accepted() + executor_->rejected(), 0u);
}

TEST_F(FailoverTest, AKeepAliveFollowsAnIdleSpellButNotWhileRequestsFlow) {
  settings_.keepalive_s = 1;
  net::fake_pool pool;
  pool.set_responder([](const std::string& line) -> std::string {
    if (line.find("\"login\"") != std::string::npos)
      return net::reply_for(line, login_reply(blob_hex(1), "ffffffff"));
    return net::reply_for(line, kOk);
  });
  start({pool.address()});
  ASSERT_TRUE(mining_job_of("job-1"));
  // Shares every 200 ms for two seconds: requests flow, no keep-alive.
  for (uint32_t nonce = 1; nonce <= 10; ++nonce) {
    post_result(nonce);
    ASSERT_TRUE(pool.wait_for_line(nonce, kWait));
    clock_.advance(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 10; }));
  for (const std::string& line : pool.lines()) EXPECT_EQ(line.find("keepalived"), std::string::npos) << line;
  // Then silence: a keep-alive goes out, and its answer changes nothing.
  ASSERT_TRUE(advance_until([&] { return pool.lines().size() >= 12; }));
  const auto keepalive = pool.wait_for_line(11, kWait);
  ASSERT_TRUE(keepalive.has_value());
  EXPECT_NE(keepalive->find("{\"method\":\"keepalived\",\"params\":{\"id\":\"miner-7\"},\"id\":12}"),
            std::string::npos)
      << *keepalive;
  EXPECT_TRUE(executor_->user_pool()->is_logged_in());
  EXPECT_EQ(executor_->network_fail(), 0u);
}

TEST_F(FailoverTest, TheExitLineStaysWholeWhileSharesAreInFlight) {
  net::fake_pool pool;
  three_unanswered_submits(pool);
  executor_->begin_exit();
  base::printer::inst().print_plain("quitting...");
  // The answers arrive during the exit: counted, not printed.
  ASSERT_TRUE(pool.send("{\"id\":2,\"error\":null,\"result\":{}}\n{\"id\":3,\"error\":null,\"result\":{}}\n"));
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 2; }));
  executor_->stop();
  base::printer::inst().print_plain("done.");
  const std::string text = console();
  EXPECT_TRUE(text.ends_with("quitting... GPU stopped... done.")) << text;
}

}  // namespace
}  // namespace core
