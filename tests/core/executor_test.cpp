#include "core/executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <utility>

#include "base/hex.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "executor_test_util.h"
#include "fake_pool.h"
#include "remote/metrics_writer.h"
#include "support/console_capture.h"
#include "support/cpu_hash.h"
#include "support/metrics_text.h"

namespace core {
namespace {

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.pools[0].user = "wallet";
    settings_.pools[0].password = "x";
    settings_.retry_delay_s = 1;
    settings_.tick = std::chrono::milliseconds(10);
    settings_.reply_timeout = std::chrono::seconds(10);
    settings_.give_up = [this] { gave_up_.store(true); };
    settings_.clock = &clock_;
  }
  void TearDown() override {
    if (executor_) executor_->stop();
    executor_.reset();
  }

  // Runs the executor's clock a tick at a time until `condition` holds.
  bool advance_until(const std::function<bool()>& condition) {
    return support::advance_until(clock_, settings_.tick, condition, kWait);
  }
  bool jobs_published(size_t count) {
    return advance_until([&] { return miner_.jobs().size() >= count; });
  }

  void start(const std::string& address) {
    settings_.pools[0].address = address;
    executor_ = std::make_unique<executor>(miner_, settings_, support::cpu_hash());
    executor_->start();
  }

  // Posts a result for the published job's generation (or an older one).
  void post_result(uint32_t nonce, uint64_t pool = kPoolUser, uint64_t generation_offset = 0) {
    gpu_result result;
    result.thread_index = 0;
    result.nonce = nonce;
    result.sequence = miner_.generation() - generation_offset;
    executor_->post(executor_event(kFoundNonce, pool, result));
  }

  // Two GPUs (0 and 2) mining for a pool that accepts everything, with one
  // outdated and one accepted share posted, and a round of GPU2 that lost 3
  // nonces (the donation's loss is not counted).
  void post_one_outdated_and_one_accepted(net::fake_pool& pool) {
    use_gpus({0, 2});
    serve(pool, login_reply(blob_hex(1), "ffffffff"), [] { return kOk; });
    start(pool.address());
    miner_.wait_for_jobs(1);
    post_result(1, kPoolUser, 1);  // outdated
    post_result(2);                // accepted
    lost_nonces lost;
    lost.thread_index = 1;
    lost.count = 3;
    lost.found = 258;
    lost.hashes = 512;
    lost.lowered_to = 240;
    lost.sequence = miner_.generation();
    executor_->post(executor_event(kLostNonces, kPoolDonation, lost));
    executor_->post(executor_event(kLostNonces, kPoolUser, lost));
  }

  // The GPUs of the run: the miner's device numbers and the meter's rows.
  void use_gpus(std::vector<uint32_t> devices) {
    settings_.gpu_count = devices.size();
    miner_.devices = std::move(devices);
  }

  std::string console() { return base::without_times(capture_.text()); }
  bool console_has(const std::string& text) {
    return eventually([&] { return console().find(text) != std::string::npos; });
  }

  base::console_capture capture_;
  support::manual_clock clock_;
  fake_miner miner_;
  executor_settings settings_;
  std::atomic<bool> gave_up_{false};
  std::unique_ptr<executor> executor_;
};

TEST_F(ExecutorTest, LogsInMinesTheFirstJobAndSubmitsAVerifiedShare) {
  net::fake_pool pool;
  const std::string blob = blob_hex(7);
  serve(pool, login_reply(blob, "ffffffff"), [] { return kOk; });
  start(pool.address());

  const auto jobs = miner_.wait_for_jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].algorithm, 1);  // major version 7: CryptoNightV7
  EXPECT_EQ(jobs[0].pool_id, kPoolUser);
  EXPECT_EQ(jobs[0].target, 0xFFFFFFFFu);
  EXPECT_EQ(jobs[0].blob_length, 76u);
  EXPECT_EQ(jobs[0].nonce_base, 0u);
  EXPECT_FALSE(jobs[0].idle);
  EXPECT_TRUE(jobs[0].nicehash);
  EXPECT_STREQ(jobs[0].job_id, "job-1");
  ASSERT_TRUE(console_has("Difficulty changed. Now: 1.\n"));
  EXPECT_NE(console().find("Connecting to " + pool.address() + " ...\nConnected to pool.\n"
                           "New Job received (CryptoNightV7).\n"),
            std::string::npos);

  const uint32_t nonce = 0xA1B2C3D4;
  post_result(nonce);
  auto submit = pool.wait_for_line(1, kWait);
  ASSERT_TRUE(submit.has_value());
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1; }));

  // The submitted result is the CPU hash of the blob with the nonce.
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(base::hex_decode(blob, &bytes));
  std::memcpy(&bytes[39], &nonce, 4);
  uint8_t hash[32];
  support::cpu_hash()->hash(1, bytes.data(), bytes.size(), hash);
  EXPECT_EQ(*submit, "{\"method\":\"submit\",\"params\":{\"id\":\"miner-7\",\"job_id\":\"job-1\","
                     "\"nonce\":\"d4c3b2a1\",\"result\":\"" + base::hex_encode(hash, 32) +
                         "\"},\"id\":2}");
  ASSERT_TRUE(console_has("Shares: 1 Accepted, 0 Errors | Hash Rate Avg: 0.0 H/s | Avg Search Time: 0.0 sec\n"));
  EXPECT_NE(console().find("GPU0 Found Nonce, submitting...\nShare Accepted -> +1\n"), std::string::npos);
  EXPECT_EQ(executor_->invalid() + executor_->rejected() + executor_->outdated() +
                executor_->network_fail(),
            0u);
}

TEST_F(ExecutorTest, EveryOutcomeIsCountedOnceInItsOwnCounter) {
  net::fake_pool pool;
  std::atomic<int> submits{0};
  std::atomic<bool> silent{false};
  // Target 1: no hash can be strictly below it, so every result is invalid
  // until the pool sends a job with a wide target.
  serve(pool, login_reply(blob_hex(1), "01000000"), [&]() -> std::string {
    if (silent.load()) return "";
    return ++submits == 1 ? error_reply("Low difficulty share") : kOk;
  });
  start(pool.address());
  miner_.wait_for_jobs(1);

  post_result(5, kPoolUser, 1);  // an older generation
  ASSERT_TRUE(eventually([&] { return executor_->outdated() == 1; }));
  ASSERT_TRUE(console_has("GPU0 Found Nonce, job already changed -> outdated.\n"));

  post_result(6);
  ASSERT_TRUE(eventually([&] { return executor_->invalid() == 1; }));
  ASSERT_TRUE(console_has("GPU0 Found Nonce, submitting...\n!Rejected, Nonce Invalid!\n"));
  EXPECT_EQ(pool.lines().size(), 1u);  // only the login: nothing was sent

  // A new job with a wide target: the next result is valid and the pool refuses it.
  pool.send("{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":{\"blob\":\"" + blob_hex(1) +
            "\",\"job_id\":\"job-2\",\"target\":\"ffffffff\"}}\n");
  miner_.wait_for_jobs(2);
  post_result(7);
  ASSERT_TRUE(eventually([&] { return executor_->rejected() == 1; }));
  ASSERT_TRUE(console_has("!Rejected by pool! Reason: Low difficulty share\n"));

  // Donation results never touch the counters, outdated or not.
  post_result(8, kPoolDonation, 1);
  post_result(9, kPoolUser);
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1; }));
  EXPECT_EQ(executor_->outdated(), 1u);
  EXPECT_EQ(executor_->invalid(), 1u);
  EXPECT_EQ(executor_->rejected(), 1u);
  EXPECT_EQ(executor_->network_fail(), 0u);
  ASSERT_TRUE(console_has("Shares: 1 Accepted, 2 Errors"));

  // The pool stops answering and then goes away while a submit waits: that
  // share fails on the network, and the share queued behind it finds no
  // connection at all.
  silent.store(true);
  post_result(10);
  ASSERT_TRUE(pool.wait_for_line(3, kWait).has_value());
  post_result(11);
  pool.close_client();
  ASSERT_TRUE(eventually([&] { return executor_->network_fail() == 2; }));
  ASSERT_TRUE(console_has("!Could not be submitted a Network Error occured!\n"));
  ASSERT_TRUE(console_has("!Could not be submitted Network Error occured!\n"));
  ASSERT_TRUE(console_has("Socket Error - Recv Error: socket closed\n"));
  ASSERT_TRUE(console_has("Connecting to Pool failed. Retrying in 1 secs ...\n"));
  // Mining parks on an idle job while the pool is away.
  const auto jobs = miner_.wait_for_jobs(3);
  EXPECT_TRUE(jobs.back().idle);
  EXPECT_EQ(jobs.back().pool_id, kPoolNone);
  EXPECT_EQ(executor_->accepted(), 1u);
  EXPECT_EQ(executor_->outdated(), 1u);
  EXPECT_EQ(executor_->invalid(), 1u);
  EXPECT_EQ(executor_->rejected(), 1u);
}

TEST_F(ExecutorTest, UnauthenticatedRefusalReconnectsAndLogsInAgain) {
  net::fake_pool pool;
  std::atomic<int> submits{0};
  serve(pool, login_reply(blob_hex(1), "ffffffff"),
        [&] { return ++submits == 1 ? error_reply("Unauthenticated") : kOk; });
  start(pool.address());
  miner_.wait_for_jobs(1);
  post_result(11);
  ASSERT_TRUE(eventually([&] { return executor_->rejected() == 1; }));
  ASSERT_TRUE(console_has("!Rejected by pool! Reason: Unauthenticated\nReconnecting to Pool ...\n"));
  // The reconnect waits for the retry delay.
  ASSERT_TRUE(advance_until([&] { return pool.connection_count() >= 2; }));
  ASSERT_TRUE(pool.wait_for_connections(2, kWait));
  // The second login brings the job again and mining resumes.
  miner_.wait_for_jobs(3);
  EXPECT_EQ(executor_->rejected(), 1u);
  EXPECT_EQ(executor_->accepted(), 0u);
}

TEST_F(ExecutorTest, GivesUpAfterTheConfiguredAttempts) {
  settings_.max_reconnects = 3;
  start("127.0.0.1:1");  // nothing listens on port 1: every connect is refused
  ASSERT_TRUE(advance_until([&] { return gave_up_.load(); }));
  const std::string text = console();
  size_t retries = 0;
  for (size_t at = 0; (at = text.find("Connecting to Pool failed. Retrying in 1 secs ...\n", at)) !=
                      std::string::npos;
       ++at)
    ++retries;
  EXPECT_EQ(retries, 3u);
  EXPECT_NE(text.find("Could not connect to Pool. Giving up.\n"), std::string::npos);
  EXPECT_EQ(executor_->connect_attempts(), 4u);
}

TEST_F(ExecutorTest, ALoginRestartsTheCountOfAttempts) {
  settings_.max_reconnects = 2;
  net::fake_pool pool;
  std::atomic<int> logins{0};
  pool.set_responder([&](const std::string& line) -> std::string {
    if (line.find("login") == std::string::npos) return "";
    // The first two connections are refused at login, the third succeeds.
    if (++logins <= 2) return error_reply("Invalid address");
    return login_reply(blob_hex(1), "ffffffff");
  });
  start(pool.address());
  ASSERT_TRUE(console_has("Socket Error - Invalid address\n"));
  ASSERT_TRUE(jobs_published(3));  // two idle jobs after the failures, then the job
  ASSERT_TRUE(eventually([&] { return executor_->connect_attempts() == 0; }));
  // The login's job is handled after the login itself.
  EXPECT_TRUE(eventually([&] { return executor_->job_count() == 1; }));
  EXPECT_FALSE(gave_up_.load());
}

TEST_F(ExecutorTest, DonationCycleMinesTheDonationPoolWithoutTouchingCounters) {
  settings_.algorithm = 3;  // a 1 MiB coin: donation jobs use CryptoNightV7-Lite
  net::fake_pool user;
  net::fake_pool donation;
  serve(user, login_reply(blob_hex(1), "ffffffff"), [] { return kOk; });
  serve(donation, login_reply(blob_hex(7), "ffffffff", "dev-1"), [] { return kOk; });
  settings_.dev_port_override = std::to_string(donation.port());
  settings_.donation_period_ticks = 100;  // 1 s
  settings_.donation_share = 0.05;        // 5 + 4 ticks of donation
  start(user.address());

  ASSERT_TRUE(jobs_published(2));
  auto jobs = miner_.wait_for_jobs(2);
  ASSERT_GE(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].algorithm, 3);
  EXPECT_EQ(jobs[1].pool_id, kPoolDonation);
  EXPECT_EQ(jobs[1].algorithm, 4);
  EXPECT_STREQ(jobs[1].job_id, "dev-1");
  auto login = donation.wait_for_line(0, kWait);
  ASSERT_TRUE(login.has_value());
  EXPECT_NE(login->find("\"login\":\"orbeck\",\"pass\":\"\""), std::string::npos);

  // A donation share goes to the donation pool and is not counted.
  post_result(12, kPoolDonation);
  ASSERT_TRUE(donation.wait_for_line(1, kWait).has_value());

  // Back to the user pool above the nonces searched before.
  ASSERT_TRUE(jobs_published(3));
  jobs = miner_.wait_for_jobs(3);
  EXPECT_EQ(jobs[2].pool_id, kPoolUser);
  EXPECT_EQ(jobs[2].nonce_base, 0x100000u);
  EXPECT_STREQ(jobs[2].job_id, "job-1");
  EXPECT_EQ(executor_->active_pool(), kPoolUser);
  // And the donation connection is closed five seconds later.
  EXPECT_TRUE(advance_until([&] { return donation.wait_for_client_close(std::chrono::milliseconds(0)); }));
  EXPECT_EQ(executor_->accepted() + executor_->rejected() + executor_->invalid() +
                executor_->outdated() + executor_->network_fail(),
            0u);
  EXPECT_EQ(executor_->job_count(), 1u);
}

// Donation jobs keep the scratchpad size of the user's coin (no kernel
// switch): the 256 and 128 KiB classes mine cn-pico and cn/upx2, a 2 MiB
// coin the donation blob's own algorithm.
class DonationSizeClass : public ExecutorTest,
                          public ::testing::WithParamInterface<std::pair<int32_t, int32_t>> {};

TEST_P(DonationSizeClass, DonationJobsKeepTheUserCoinsScratchpad) {
  const auto [configured, donated] = GetParam();
  settings_.algorithm = configured;
  net::fake_pool user;
  net::fake_pool donation;
  serve(user, login_reply(blob_hex(1), "ffffffff"), [] { return kOk; });
  serve(donation, login_reply(blob_hex(7), "ffffffff", "dev-1"), [] { return kOk; });
  settings_.dev_port_override = std::to_string(donation.port());
  settings_.donation_period_ticks = 100;
  settings_.donation_share = 0.05;
  start(user.address());
  ASSERT_TRUE(jobs_published(2));
  const auto jobs = miner_.wait_for_jobs(2);
  ASSERT_GE(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].algorithm, configured);
  EXPECT_EQ(jobs[1].pool_id, kPoolDonation);
  EXPECT_EQ(jobs[1].algorithm, donated);
  EXPECT_EQ(crypto::scratchpad_size(jobs[1].algorithm), crypto::scratchpad_size(configured));
}

INSTANTIATE_TEST_SUITE_P(NewSizeClasses, DonationSizeClass,
                         ::testing::Values(std::pair{crypto::kCryptoNightPicoTlo, crypto::kCryptoNightPico},
                                           std::pair{crypto::kCryptoNightUpx2, crypto::kCryptoNightUpx2},
                                           std::pair{crypto::kCryptoNightRwz, crypto::kCryptoNightV7}));

TEST_F(ExecutorTest, UnreachableDonationPoolLeavesTheUserPoolMining) {
  net::fake_pool user;
  serve(user, login_reply(blob_hex(1), "ffffffff"), [] { return kOk; });
  settings_.dev_port_override = "1";  // refused on both endpoints
  settings_.donation_period_ticks = 60;
  settings_.donation_share = 0.05;
  start(user.address());
  miner_.wait_for_jobs(1);
  // Two donation periods pass: no job other than the user's is published.
  const auto two_periods = clock_.now() + 2 * 60 * settings_.tick;
  ASSERT_TRUE(advance_until([&] { return clock_.now() >= two_periods; }));
  // Every event the timer posted until now is handled before this one.
  executor_->post(executor_event(kPrintShares, kPoolNone));
  ASSERT_TRUE(console_has("Shares: "));
  const auto jobs = miner_.wait_for_jobs(1);
  for (const auto& job : jobs) EXPECT_EQ(job.pool_id, kPoolUser);
  EXPECT_EQ(executor_->active_pool(), kPoolUser);
  EXPECT_TRUE(executor_->user_pool()->is_logged_in());
}

TEST_F(ExecutorTest, HashReportsCloseTheWindowAfterFourSeconds) {
  use_gpus({3});
  net::fake_pool pool;
  serve(pool, login_reply(blob_hex(1), "ffffffff"), [] { return kOk; });
  start(pool.address());
  miner_.wait_for_jobs(1);
  hash_report report;
  report.thread_index = 0;
  report.hashes = 25;
  report.milliseconds = 2000;
  executor_->post(executor_event(kHashCount, kPoolUser, report));
  report.hashes = 30;
  report.milliseconds = 2400;  // 4400 ms in the window: 55 hashes, 12.5 H/s
  executor_->post(executor_event(kHashCount, kPoolUser, report));
  ASSERT_TRUE(console_has("GPU3 | -1\u00b0C | Fan -1 RPM | 12.5 H/s\n"));
  EXPECT_DOUBLE_EQ(executor_->current_rate(0), 12.5);
  EXPECT_DOUBLE_EQ(executor_->average_rate(0), 12.5);
  EXPECT_NE(executor_->stats_json().find("\t\t\"hash_rate\": 12500,\n"), std::string::npos);
  // The window restarted: a report under 4 s prints nothing new.
  report.milliseconds = 3400;  // 85 hashes in 7800 ms on average
  executor_->post(executor_event(kHashCount, kPoolUser, report));
  executor_->post(executor_event(99, kPoolUser));  // unknown kinds are ignored
  executor_->post(executor_event(kPrintShares, kPoolNone));
  ASSERT_TRUE(console_has("Shares: 0 Accepted, 0 Errors | Hash Rate Avg: 10.9 H/s\n"));
}

TEST_F(ExecutorTest, ReportAndStatisticsDocumentForAKnownState) {
  net::fake_pool pool;
  post_one_outdated_and_one_accepted(pool);
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1 && executor_->outdated() == 1; }));
  ASSERT_TRUE(console_has("GPU2: 3 of 258 nonces found in one round were lost (the result list holds "
                          "255): hashes per round lowered from 512 to 240 for this job\n"));
  EXPECT_EQ(executor_->lost(), 3u);

  const std::string date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
  executor_->post(executor_event(kPrintReport, kPoolNone));
  ASSERT_TRUE(console_has("Lost because the GPU's result list was full\n\n"));
  const std::regex report(
      "\n\\[Pool: '" + pool.address() + "' \\| Connected: " + date + "\\]"
      "\n  0:00:\\d\\d \\( *\\d+%\\) Online"
      "\n  0:00:\\d\\d \\( *\\d+%\\) Offline"
      "\n\n\\[Job: #1 \\| Difficulty: 1 \\| Running: \\d+\\.0 sec\\]\n"
      "\n\\[Hash Rate Avg: 0\\.0 H/s\\]\n"
      "  0\\.0 H/s GPU0\n"
      "  0\\.0 H/s GPU2\n"
      "\n"
      "\\[Shares Found: 5 \\| Avg Search Time: 0\\.0 sec\\]\n"
      "1 \\( 20%\\) Accepted\n"
      "0 \\(  0%\\) Rejected by pool\n"
      "0 \\(  0%\\) Invalid result computation failed\n"
      "0 \\(  0%\\) Could not be submitted because of network error\n"
      "1 \\( 20%\\) Outdated because of job change\n"
      "3 \\( 60%\\) Lost because the GPU's result list was full\n"
      "\n");
  std::smatch match;
  const std::string text = console();
  EXPECT_TRUE(std::regex_search(text, match, report)) << text;

  const std::regex document(
      "\\{\n"
      "\t\"total_hash_rate\": 0,\n"
      "\t\"total_hash_rate_avg\": 0,\n"
      "\t\"pool\": \\{\n"
      "\t\t\"server\": \"" + pool.address() + "\",\n"
      "\t\t\"status\": \"connected\",\n"
      "\t\t\"online\": \\d+,\n"
      "\t\t\"offline\": \\d+,\n"
      "\t\t\"reconnects\": 0,\n"
      "\t\t\"time_connected\": \"" + date + "\",\n"
      "\t\t\"time_disconnected\": \"" + date + "\"\n"
      "\t\\},\n"
      "\t\"pools\": \\[\n"
      "\t\\{\n"
      "\t\t\"address\": \"" + pool.address() + "\",\n"
      "\t\t\"status\": \"active\",\n"
      "\t\t\"accepted\": 1,\n"
      "\t\t\"rejected\": 0,\n"
      "\t\t\"last_error\": \"\"\n"
      "\t\\}\n"
      "\t\\],\n"
      "\t\"job\": \\{\n"
      "\t\t\"job_number\": 1,\n"
      "\t\t\"difficulty\": 1,\n"
      "\t\t\"running\": \\d+,\n"
      "\t\t\"job_time_avg\": 0\\.00\n"
      "\t\\},\n"
      "\t\"shares\": \\{\n"
      "\t\t\"num_accepted\": 1,\n"
      "\t\t\"num_rejected\": 0,\n"
      "\t\t\"num_invalid\": 0,\n"
      "\t\t\"num_network_fail\": 0,\n"
      "\t\t\"num_outdated\": 1,\n"
      "\t\t\"num_lost\": 3,\n"
      "\t\t\"search_time_avg\": 0\\.00\n"
      "\t\\},\n"
      "\t\"devices\": \\[\n"
      "\t\\{\n"
      "\t\t\"device\": \"GPU0\",\n"
      "\t\t\"device_id\": 0,\n"
      "\t\t\"hash_rate\": 0,\n"
      "\t\t\"hash_rate_avg\": 0,\n"
      "\t\t\"gpu_temperature\": -1,\n"
      "\t\t\"gpu_fan_rpm\": -1,\n"
      "\t\t\"paused\": false\n"
      "\t\\},\n"
      "\t\\{\n"
      "\t\t\"device\": \"GPU1\",\n"
      "\t\t\"device_id\": 2,\n"
      "\t\t\"hash_rate\": 0,\n"
      "\t\t\"hash_rate_avg\": 0,\n"
      "\t\t\"gpu_temperature\": -1,\n"
      "\t\t\"gpu_fan_rpm\": -1,\n"
      "\t\t\"paused\": false\n"
      "\t\\}\n"
      "\t\\]\n"
      "\\}\n");
  const std::string json = executor_->stats_json();
  EXPECT_TRUE(std::regex_match(json, document)) << json;
}

TEST_F(ExecutorTest, MetricsCarryTheSameFiguresInPrometheusText) {
  net::fake_pool pool;
  post_one_outdated_and_one_accepted(pool);
  hash_report report;
  report.thread_index = 1;
  report.hashes = 55;
  report.milliseconds = 4400;
  executor_->post(executor_event(kHashCount, kPoolUser, report));
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1 && executor_->lost() == 3 && executor_->current_rate(1) > 0; }));

  std::vector<network::metric_sample> samples;
  std::string error;
  const std::string text = executor_->metrics_text();
  ASSERT_TRUE(network::parse_metrics_text(text, samples, error)) << error << "\n" << text;
  // `label` names the device, or for the share counters the pool.
  const auto value = [&](const std::string& name, const std::string& device = "") -> double {
    for (const auto& sample : samples) {
      if (sample.name != name) continue;
      if (device.empty() && sample.labels.empty()) return sample.value;
      for (const auto& [label, text] : sample.labels)
        if ((label == "device" || label == "pool") && text == device) return sample.value;
    }
    ADD_FAILURE() << "no sample " << name << " " << device;
    return -1;
  };
  EXPECT_EQ(value("orbeck_shares_accepted_total", pool.address()), 1.0);
  EXPECT_EQ(value("orbeck_shares_outdated_total", pool.address()), 1.0);
  EXPECT_EQ(value("orbeck_shares_lost_total", pool.address()), 3.0);
  EXPECT_EQ(value("orbeck_shares_rejected_total", pool.address()), 0.0);
  EXPECT_EQ(value("orbeck_pool_up", pool.address()), 1.0);
  EXPECT_EQ(value("orbeck_pool_active", pool.address()), 1.0);
  EXPECT_EQ(value("orbeck_pool_connected"), 1.0);
  EXPECT_EQ(value("orbeck_pool_difficulty"), 1.0);
  EXPECT_EQ(value("orbeck_hash_rate", "GPU1"), 12.5);
  EXPECT_EQ(value("orbeck_hash_rate", "GPU0"), 0.0);
  EXPECT_EQ(value("orbeck_total_hash_rate"), 12.5);
  // No sensor here: temperature and fan are left out rather than shown as -1.
  EXPECT_EQ(text.find("orbeck_gpu_temperature_celsius"), std::string::npos);
  EXPECT_NE(text.find("# TYPE orbeck_shares_accepted_total counter\n"), std::string::npos);
}

// A CPU thread's result carries its hash: the executor submits that hash
// (no second hash: the one here is not the nonce's real hash) and names the
// thread CPU0 in the lines, the statistics document and the metrics.
TEST_F(ExecutorTest, ACpuResultIsSubmittedWithItsOwnHashUnderItsName) {
  net::fake_pool pool;
  use_gpus({0});
  miner_.names = {"CPU0"};
  serve(pool, login_reply(blob_hex(1), "ffffffff"), [] { return kOk; });
  start(pool.address());
  miner_.wait_for_jobs(1);
  gpu_result result;
  result.nonce = 7;
  result.sequence = miner_.generation();
  result.hashed = true;
  std::memset(result.hash, 0xAB, 24);  // the last 8 bytes 0: below any target
  executor_->post(executor_event(kFoundNonce, kPoolUser, result));
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1; }));
  std::string hex;
  for (int i = 0; i < 24; ++i) hex += "ab";
  const std::string submitted_hash = "\"result\":\"" + hex + "0000000000000000\"";
  bool submitted = false;
  for (const std::string& line : pool.lines()) submitted = submitted || line.find(submitted_hash) != std::string::npos;
  EXPECT_TRUE(submitted);
  EXPECT_TRUE(console_has("CPU0 Found Nonce, submitting..."));
  EXPECT_EQ(executor_->gpu_line(0, 48.25), "CPU0 | 48.2 H/s");
  EXPECT_NE(executor_->stats_json().find("\"device\": \"CPU0\""), std::string::npos);
  EXPECT_NE(executor_->metrics_text().find("device=\"CPU0\""), std::string::npos);
}

TEST_F(ExecutorTest, AParkedGpuShowsItsErrorInTheReportTheDocumentAndTheMetrics) {
  use_gpus({0, 2});
  const std::string error = "Error CL_OUT_OF_RESOURCES calling clCreateCommandQueue.";
  miner_.errors = {"", error};
  executor_ = std::make_unique<executor>(miner_, settings_, support::cpu_hash());
  const std::string report = executor_->report_text();
  EXPECT_NE(report.find("\n GPU2 parked: " + error + "\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("GPU0 parked"), std::string::npos) << report;
  const std::string line = executor_->gpu_line(1, 0.0);
  EXPECT_EQ(line.substr(line.size() - 9), " | parked") << line;
  EXPECT_EQ(executor_->gpu_line(0, 0.0).find("parked"), std::string::npos);
  const std::string json = executor_->stats_json();
  EXPECT_NE(json.find("\t\t\"device_id\": 2,\n"), std::string::npos) << json;
  EXPECT_NE(json.find("\t\t\"paused\": false,\n\t\t\"error\": \"" + error + "\"\n\t}\n\t]"),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("\"error\""), json.rfind("\"error\"")) << json;  // GPU0 has none
  const std::string metrics = executor_->metrics_text();
  EXPECT_NE(metrics.find("orbeck_gpu_parked{device=\"GPU0\",device_id=\"0\"} 0\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("orbeck_gpu_parked{device=\"GPU1\",device_id=\"2\"} 1\n"), std::string::npos) << metrics;
}

TEST_F(ExecutorTest, StatisticsDocumentEscapesThePoolAddress) {
  start("bad\"host\\name:1");
  ASSERT_TRUE(console_has("Connecting to Pool failed."));
  const std::string json = executor_->stats_json();
  EXPECT_NE(json.find("\t\t\"server\": \"bad\\\"host\\\\name:1\",\n"), std::string::npos) << json;
  EXPECT_NE(json.find("\t\t\"status\": \"disconnected\",\n"), std::string::npos);
}

TEST(ExecutorStatic, DonationLastsOnePointFivePercentPlusFourTicks) {
  fake_miner miner;
  executor_settings settings;
  EXPECT_EQ(executor(miner, settings, support::cpu_hash()).donation_length_ticks(), 103u);
  settings.donation_share = 0.0;
  EXPECT_EQ(executor(miner, settings, support::cpu_hash()).donation_length_ticks(), 0u);
}

TEST(ExecutorStatic, DonationPortsFollowTheAlgorithm) {
  EXPECT_STREQ(executor::dev_port_for(10), "7771");
  EXPECT_STREQ(executor::dev_port_for(8), "7778");
  EXPECT_STREQ(executor::dev_port_for(3), "7776");
  EXPECT_STREQ(executor::dev_port_for(4), "7776");
  for (int id : {2, 5, 7}) EXPECT_STREQ(executor::dev_port_for(id), "7773");
  for (int id : {0, 1, 6, 9}) EXPECT_STREQ(executor::dev_port_for(id), "7770");
  // The members of 2019: 2 MiB ones like any other, then one port for each
  // new size class.
  for (int id : {11, 12, 13, 14, 15, 16}) EXPECT_STREQ(executor::dev_port_for(id), "7770");
  for (int id : {17, 18}) EXPECT_STREQ(executor::dev_port_for(id), "7774");
  EXPECT_STREQ(executor::dev_port_for(19), "7775");
}

// The pools' dialect through the executor: the job's "algo" decides, a name
// this build cannot mine idles the GPUs, 64-bit targets are checked in full.
std::string dialect_login(const std::string& blob, const std::string& target, const std::string& algo) {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"id\":\"miner-7\",\"job\":{"
         "\"blob\":\"" + blob + "\",\"job_id\":\"job-1\",\"target\":\"" + target + "\",\"algo\":\"" +
         algo + "\",\"height\":1234,\"seed_hash\":\"" + std::string(64, '0') + "\"},\"status\":\"OK\"}}\n";
}

// The CPU hash of the test blob with `nonce`, as `algorithm`.
std::vector<uint8_t> share_hash(const std::string& blob, uint32_t nonce, int32_t algorithm) {
  std::vector<uint8_t> bytes;
  base::hex_decode(blob, &bytes);
  std::memcpy(&bytes[39], &nonce, 4);
  std::vector<uint8_t> hash(32);
  support::cpu_hash()->hash(algorithm, bytes.data(), bytes.size(), hash.data());
  return hash;
}

TEST_F(ExecutorTest, AJobsAlgoDecidesAheadOfTheBlobAndTheConfiguration) {
  net::fake_pool pool;
  settings_.algorithm = crypto::kCryptoNightV7;
  const std::string blob = blob_hex(1);  // version 1 alone would be CryptoNight
  serve(pool, dialect_login(blob, "ffffffff", "cn/2"), [] { return kOk; });
  start(pool.address());
  const auto jobs = miner_.wait_for_jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].algorithm, crypto::kCryptoNightV8);
  ASSERT_TRUE(console_has("New Job received (CryptoNightV8).\n"));

  // The share is verified with the V8 hash and echoes the algorithm.
  post_result(7);
  auto submit = pool.wait_for_line(1, kWait);
  ASSERT_TRUE(submit.has_value());
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1; }));
  const std::vector<uint8_t> hash = share_hash(blob, 7, crypto::kCryptoNightV8);
  EXPECT_NE(submit->find("\"result\":\"" + base::hex_encode(hash.data(), 32) + "\",\"algo\":\"cn/2\"}"),
            std::string::npos)
      << *submit;
  const auto& login = pool.wait_for_line(0, kWait);
  ASSERT_TRUE(login.has_value());
  EXPECT_NE(login->find("\"algo\":[\"cn/0\","), std::string::npos);
}

TEST_F(ExecutorTest, AnAlgorithmThisBuildCannotMineIdlesTheGpusAndKeepsTheConnection) {
  net::fake_pool pool;
  serve(pool, dialect_login(blob_hex(8), "ffffffff", "rx/0"), [] { return kOk; });
  start(pool.address());
  auto jobs = miner_.wait_for_jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(jobs.back().idle);
  ASSERT_TRUE(console_has("Pool job job-1 asks for algorithm rx/0, which this build cannot mine: waiting for another job\n"));
  EXPECT_EQ(console().find("New Job received"), std::string::npos);

  // The next job it can mine is mined, on the same connection.
  ASSERT_TRUE(pool.send("{\"method\":\"job\",\"params\":{\"job_id\":\"job-2\",\"blob\":\"" + blob_hex(8) +
                        "\",\"target\":\"ffffffff\",\"algo\":\"cn/2\"}}\n"));
  ASSERT_TRUE(eventually([&] {
    const auto seen = miner_.jobs();
    return !seen.empty() && !seen.back().idle && std::strcmp(seen.back().job_id, "job-2") == 0;
  }));
  EXPECT_EQ(pool.connection_count(), 1u);
  EXPECT_TRUE(executor_->user_pool()->is_logged_in());
}

TEST_F(ExecutorTest, SixtyFourBitTargetsAcceptTheShareJustBelowAndRejectTheOneAt) {
  const std::string blob = blob_hex(8);
  const uint32_t nonce = 0x01020304;
  const std::vector<uint8_t> hash = share_hash(blob, nonce, crypto::kCryptoNightV8);
  uint64_t tail = 0;
  for (int i = 31; i >= 24; --i) tail = tail << 8 | hash[i];
  ASSERT_LT(tail, UINT64_MAX);
  const auto target_text = [](uint64_t target) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(target >> (8 * i));
    return base::hex_encode(bytes, 8);
  };

  for (const auto& [target, accepted] : {std::pair{tail + 1, true}, std::pair{tail, false}}) {
    SCOPED_TRACE(target_text(target));
    net::fake_pool pool;
    serve(pool, dialect_login(blob, target_text(target), "cn/2"), [] { return kOk; });
    start(pool.address());
    const auto jobs = miner_.wait_for_jobs(1);
    ASSERT_FALSE(jobs.empty());
    // The GPUs' 32-bit target never drops this share.
    EXPECT_GT(jobs.back().target, static_cast<uint32_t>(tail >> 32));
    post_result(nonce);
    if (accepted) {
      ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1; }));
    } else {
      ASSERT_TRUE(eventually([&] { return executor_->invalid() == 1; }));
      EXPECT_EQ(executor_->accepted(), 0u);
    }
    executor_->stop();
    executor_.reset();
    miner_.clear();
  }
}

// cn/r: the height travels with the job and decides its hash.
std::string height_login(const std::string& blob, const std::string& target, const std::string& members) {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"id\":\"miner-7\",\"job\":{"
         "\"blob\":\"" + blob + "\",\"job_id\":\"job-1\",\"target\":\"" + target + "\"" + members +
         "},\"status\":\"OK\"}}\n";
}

std::string height_job(const std::string& id, const std::string& blob, const std::string& target,
                       const std::string& members) {
  return "{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":{\"blob\":\"" + blob +
         "\",\"job_id\":\"" + id + "\",\"target\":\"" + target + "\"" + members + "}}\n";
}

TEST_F(ExecutorTest, AutoDetectByMajorVersionWithHeight) {
  // Majors 8-9 are cn/2, 10-11 cn/r; 12 and above no blob of this family.
  const std::pair<uint8_t, int32_t> cases[] = {
      {9, crypto::kCryptoNightV8}, {10, crypto::kCryptoNightR}, {11, crypto::kCryptoNightR}, {12, -1}};
  for (const auto& [major, expected] : cases) {
    SCOPED_TRACE(static_cast<int>(major));
    net::fake_pool pool;
    serve(pool, height_login(blob_hex(major), "ffffffff", ",\"height\":1806261"), [] { return kOk; });
    start(pool.address());
    const auto jobs = miner_.wait_for_jobs(1);
    ASSERT_EQ(jobs.size(), 1u);
    if (expected < 0) {
      EXPECT_TRUE(jobs[0].idle);
      ASSERT_TRUE(console_has("Pool job job-1 has a blob of major version 12, which is not a "
                              "CryptoNight blob: waiting for another job\n"));
      EXPECT_TRUE(executor_->user_pool()->is_logged_in());
    } else {
      EXPECT_FALSE(jobs[0].idle);
      EXPECT_EQ(jobs[0].algorithm, expected);
      EXPECT_EQ(jobs[0].height, 1806261u);
    }
    executor_->stop();
    executor_.reset();
    miner_.clear();
  }
}

TEST_F(ExecutorTest, ACnRJobWithoutHeightIsNotMinedAndTheConnectionStays) {
  net::fake_pool pool;
  // "height" missing, then one that is no whole number: neither is a height.
  serve(pool, height_login(blob_hex(10), "ffffffff", ",\"algo\":\"cn/r\""), [] { return kOk; });
  start(pool.address());
  auto jobs = miner_.wait_for_jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(jobs[0].idle);
  ASSERT_TRUE(console_has(
      "Pool job job-1 is cn/r but has no \"height\", which its hash needs: waiting for another job\n"));
  ASSERT_TRUE(pool.send(height_job("job-2", blob_hex(10), "ffffffff", ",\"height\":-5")));
  ASSERT_TRUE(console_has("Pool job job-2 is cn/r but has no \"height\""));
  ASSERT_TRUE(pool.send(height_job("job-3", blob_hex(10), "ffffffff", ",\"height\":7")));
  ASSERT_TRUE(eventually([&] {
    const auto seen = miner_.jobs();
    return !seen.empty() && !seen.back().idle && std::strcmp(seen.back().job_id, "job-3") == 0;
  }));
  EXPECT_EQ(miner_.jobs().back().height, 7u);
  EXPECT_EQ(miner_.jobs().back().algorithm, crypto::kCryptoNightR);
  EXPECT_EQ(pool.connection_count(), 1u);
  EXPECT_TRUE(executor_->user_pool()->is_logged_in());
}

// A result is checked at the height of the job it was found for: valid at
// height H, counted outdated (not checked at H + 1) once the next height's
// job is out, and the same nonce on the new job is checked at H + 1.
TEST_F(ExecutorTest, EachResultIsCheckedAtItsOwnJobsHeight) {
  const std::string blob = blob_hex(10);
  const uint64_t height = 1806261;
  std::vector<uint8_t> bytes;
  base::hex_decode(blob, &bytes);
  const auto cn = support::cpu_hash();
  const auto tail_at = [&](uint32_t nonce, uint64_t h) {
    std::memcpy(&bytes[39], &nonce, 4);
    uint8_t hash[32];
    cn->hash(crypto::kCryptoNightR, bytes.data(), bytes.size(), hash, h);
    uint64_t tail = 0;
    for (int i = 31; i >= 24; --i) tail = tail << 8 | hash[i];
    return tail;
  };
  // A nonce whose hash at H is below its hash at H + 1 (about one in two).
  uint32_t nonce = 1;
  uint64_t tail = 0;
  for (; nonce <= 16; ++nonce) {
    tail = tail_at(nonce, height);
    if (tail < tail_at(nonce, height + 1)) break;
  }
  ASSERT_LE(nonce, 16u);
  uint8_t target_bytes[8];
  for (int i = 0; i < 8; ++i) target_bytes[i] = static_cast<uint8_t>((tail + 1) >> (8 * i));
  const std::string target = base::hex_encode(target_bytes, 8);

  net::fake_pool pool;
  serve(pool, height_login(blob, target, ",\"algo\":\"cn/r\",\"height\":1806261"), [] { return kOk; });
  start(pool.address());
  miner_.wait_for_jobs(1);
  post_result(nonce);
  ASSERT_TRUE(eventually([&] { return executor_->accepted() == 1; }));

  ASSERT_TRUE(pool.send(height_job("job-2", blob, target, ",\"algo\":\"cn/r\",\"height\":1806262")));
  miner_.wait_for_jobs(2);
  post_result(nonce, kPoolUser, 1);
  ASSERT_TRUE(eventually([&] { return executor_->outdated() == 1; }));
  post_result(nonce);
  ASSERT_TRUE(eventually([&] { return executor_->invalid() == 1; }));
  EXPECT_EQ(executor_->accepted(), 1u);
}

}  // namespace
}  // namespace core
