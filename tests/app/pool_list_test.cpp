// The pool list on the command line: --pool in priority order, and the
// pairing of --user, --password and --tls-fingerprint with it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config.h"
#include "crypto/fingerprint.h"
#include "support/console_capture.h"

namespace app {
namespace {

startup_result start(std::vector<const char*> args, std::string* output = nullptr) {
  cfg() = config{};
  args.insert(args.begin(), "orbeck-vega");
  base::console_capture capture;
  const startup_result result = start_up(static_cast<int>(args.size()), args.data());
  if (output != nullptr) *output = base::without_times(capture.text());
  return result;
}

const char* kPin = "7F:FA:A4:98:1F:2C:02:02:8C:9C:CB:44:9B:98:C8:26:0D:A3:A9:14:51:24:F1:F8:FF:A8:88:53:DE:CC:11:A1";

TEST(PoolList, OneValueAppliesToEveryPoolAndOnePerPoolPairsInOrder) {
  startup_result r = start({"-S", "a:1", "-S", "ssl://b:2", "-S", "c:3", "-u", "me", "-p", "x", "--tls-fingerprint", kPin});
  ASSERT_FALSE(r.finished);
  ASSERT_EQ(cfg().pools.size(), 3u);
  for (const pool_config& pool : cfg().pools) {
    EXPECT_EQ(pool.user, "me");
    EXPECT_EQ(pool.password, "x");
    ASSERT_TRUE(pool.tls_fingerprint.has_value());
    EXPECT_EQ(crypto::format_fingerprint(*pool.tls_fingerprint), kPin);
  }
  EXPECT_EQ(cfg().pools[1].address, "ssl://b:2");
  EXPECT_EQ(cfg().pool_address, "a:1");
  EXPECT_EQ(cfg().user, "me");

  r = start({"-S", "a:1", "-S", "b:2", "-u", "first", "-u", "second", "-p", "p1", "-p", "p2"});
  ASSERT_FALSE(r.finished);
  ASSERT_EQ(cfg().pools.size(), 2u);
  EXPECT_EQ(cfg().pools[0].user, "first");
  EXPECT_EQ(cfg().pools[1].user, "second");
  EXPECT_EQ(cfg().pools[1].password, "p2");
  EXPECT_FALSE(cfg().pools[0].tls_fingerprint.has_value());
  EXPECT_EQ(cfg().primary_retry_s, 60);
  EXPECT_EQ(cfg().keepalive_s, 60);

  // An empty pin leaves that pool to the CA store.
  r = start({"-S", "ssl://a:1", "-S", "ssl://b:2", "-u", "me", "--tls-fingerprint", "", "--tls-fingerprint", kPin});
  ASSERT_FALSE(r.finished);
  EXPECT_FALSE(cfg().pools[0].tls_fingerprint.has_value());
  EXPECT_TRUE(cfg().pools[1].tls_fingerprint.has_value());
}

// The list the executor is given: the configured pools, or the single pool
// of pool_address, user and password when none is configured.
TEST(PoolList, TheExecutorsListFallsBackToTheSinglePool) {
  config c;
  c.pool_address = "a:1";
  c.user = "me";
  c.password = "x";
  std::vector<pool_config> list = pool_list(c);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].address, "a:1");
  EXPECT_EQ(list[0].user, "me");
  EXPECT_EQ(list[0].password, "x");
  EXPECT_FALSE(list[0].tls_fingerprint.has_value());

  pool_config second;
  second.address = "ssl://b:2";
  second.user = "other";
  c.pools = {pool_config{}, second};
  list = pool_list(c);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].address, "");  // the list wins over pool_address
  EXPECT_EQ(list[1].address, "ssl://b:2");
  EXPECT_EQ(list[1].user, "other");
}

TEST(PoolList, CountsThatMatchNeitherOneNorThePoolsAreRefused) {
  std::string output;
  startup_result r = start({"-S", "a:1", "-S", "b:2", "-u", "x", "-u", "y", "-u", "z"}, &output);
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(output.find("--user is given 3 times for 2 pools: give it once for all pools or once for each --pool\n"),
            std::string::npos)
      << output;

  r = start({"-S", "a:1", "-S", "b:2", "-S", "c:3", "-u", "x", "-p", "1", "-p", "2"}, &output);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(output.find("--password is given 2 times for 3 pools"), std::string::npos) << output;

  r = start({"-S", "a:1", "-u", "x", "--tls-fingerprint", kPin, "--tls-fingerprint", kPin}, &output);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(output.find("--tls-fingerprint is given 2 times for 1 pool"), std::string::npos) << output;
}

TEST(PoolList, EveryPoolsSchemeAndPinIsCheckedAtStart) {
  std::string output;
  startup_result r = start({"-S", "a:1", "-S", "gopher://b:2", "-u", "x"}, &output);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(output.find("--pool gopher://b:2: unsupported scheme gopher:// (use stratum+tcp:// or stratum+ssl://)"),
            std::string::npos)
      << output;

  r = start({"-S", "ssl://a:1", "-u", "x", "--tls-fingerprint", "12:34"}, &output);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(output.find("--tls-fingerprint 12:34: expected a SHA-256 fingerprint of 64 hex digits"), std::string::npos);

  r = start({"-S", "a:1", "-u", "x", "--tls-fingerprint", kPin}, &output);
  EXPECT_FALSE(r.finished);
  EXPECT_NE(output.find("--tls-fingerprint is ignored: no pool has a TLS address"), std::string::npos);

  r = start({"-S", "a:1", "-u", "x", "--primary-retry", "0"}, &output);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(output.find("--primary-retry 0: it must be 1 second or more"), std::string::npos);
}

TEST(PoolList, WithoutAUserTheMinimalConfigurationHintStays) {
  std::string output;
  startup_result r = start({"-S", "a:1", "-S", "b:2"}, &output);
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(output.find("No pool server and username configured.\n"), std::string::npos);
}

}  // namespace
}  // namespace app
