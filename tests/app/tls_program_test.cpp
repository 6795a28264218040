// The program against TLS pools as a user runs it: orbeck-pool serving TLS
// itself, and Debian's stunnel4 in front of a plain orbeck-pool; refusals
// and the plain-to-TLS hint on the console.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "crypto/fingerprint.h"
#include "support/console_capture.h"
#include "support/pool_process.h"
#include "support/process_runner.h"
#include "support/test_certificate.h"

namespace app {
namespace {

const std::string kMiner = "src/orbeck-vega";
const std::string kCache = std::string("XDG_CACHE_HOME=") + ORBECK_TEST_CACHE_DIR;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct certificate_files {
  test_tls::certificate cert = test_tls::make_certificate("127.0.0.1");
  std::string cert_file = test_tls::write_temp_file("pool-cert.pem", cert.cert_pem);
  std::string key_file = test_tls::write_temp_file("pool-key.pem", cert.key_pem);
  std::string pin() const { return crypto::format_fingerprint(cert.fingerprint); }
  ~certificate_files() {
    std::remove(cert_file.c_str());
    std::remove(key_file.c_str());
  }
};

// Runs the miner until `until` shows in its output (then 'q'), or the time-out.
process_result mine_until(const std::vector<std::string>& pool_args, const std::string& until) {
  process_options options;
  options.environment = {kCache, "NO_COLOR=1"};
  options.timeout = std::chrono::seconds(180);
  options.keep_stdin_open = true;
  bool quit = false;
  options.on_output = [&](int, int in, const std::string& output) {
    if (!quit && contains(output, until)) {
      quit = true;
      EXPECT_EQ(write(in, "q", 1), 1);
    }
    return false;
  };
  std::vector<std::string> args = {"--anydevice", "--opencl", "0", "--noselftest", "-u", "tester"};
  args.insert(args.end(), pool_args.begin(), pool_args.end());
  return run_process(built_program(kMiner), args, options);
}

TEST(TlsProgram, MinesWithAcceptedSharesOnAPoolThatServesTlsItself) {
  certificate_files files;
  pool_process pool(0, {"--tls-cert", files.cert_file, "--tls-key", files.key_file});
  ASSERT_FALSE(pool.address().empty());
  process_result r = mine_until({"-S", "stratum+ssl://" + pool.address(), "--tls-fingerprint", files.pin()},
                                "Share Accepted -> +1");
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_code, 0);
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "TLS: TLSv1.3, ")) << text;
  EXPECT_TRUE(contains(text, "certificate matches the pinned fingerprint")) << text;
  EXPECT_TRUE(contains(text, "Share Accepted -> +1")) << text;
}

TEST(TlsProgram, MinesThroughStunnelInFrontOfAPlainPool) {
  certificate_files files;
  pool_process pool(10);
  ASSERT_FALSE(pool.address().empty());
  stunnel_process tunnel(pool.address(), files.cert_file, files.key_file);
  if (tunnel.address().empty()) GTEST_SKIP() << tunnel.why();
  process_result r = mine_until({"-S", "stratum+tls://" + tunnel.address(), "--tls-fingerprint", files.pin()},
                                "Share Accepted -> +1");
  ASSERT_FALSE(r.timed_out) << r.output;
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "New Job received (CryptoNightV8).")) << text;
  EXPECT_TRUE(contains(text, "Share Accepted -> +1")) << text;
}

TEST(TlsProgram, RefusalsAndThePlainTextHintAreErrorLines) {
  certificate_files files;
  pool_process pool(0, {"--tls-cert", files.cert_file, "--tls-key", files.key_file});
  ASSERT_FALSE(pool.address().empty());

  process_result unpinned = mine_until({"-S", "ssl://" + pool.address()}, "Retrying in");
  EXPECT_TRUE(contains(unpinned.output, "Socket Error - TLS: certificate not trusted (self-signed certificate); "
                                        "its SHA-256 fingerprint is " + files.pin()))
      << unpinned.output;

  process_result plain = mine_until({"-S", pool.address()}, "Retrying in");
  EXPECT_TRUE(contains(plain.output, "The pool ended the connection without answering: if " + pool.address() +
                                         " is a TLS port, use a stratum+ssl:// address"))
      << plain.output;

  process_result scheme = mine_until({"-S", "gopher://" + pool.address()}, "never");
  ASSERT_TRUE(scheme.exited);
  EXPECT_EQ(scheme.exit_code, 1);
  EXPECT_TRUE(contains(scheme.output, "unsupported scheme gopher://")) << scheme.output;
}

}  // namespace
}  // namespace app
