// The whole program as a user runs it: GPU start-up on the first OpenCL
// device, mining against the local pool, keys from a pipe and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <rapidjson/document.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "crypto/algorithm.h"
#include "loopback_client.h"
#include "support/console_capture.h"
#include "support/pool_process.h"
#include "support/process_runner.h"

namespace app {
namespace {

const std::string kMiner = "src/orbeck-vega";
const std::string kCache = std::string("XDG_CACHE_HOME=") + ORBECK_TEST_CACHE_DIR;

std::vector<std::string> miner_args(const std::string& pool) {
  return {"--anydevice", "--opencl", "0", "--noselftest", "-S", pool, "-u", "tester"};
}

// The smallest rounds there are, for runs that only need to mine a little:
// the orderly exit waits for the round in flight.
const std::vector<std::string> kShortRounds = {"--xgroupsize", "16"};

process_options with_cache() {
  process_options options;
  options.environment = {kCache, "NO_COLOR=1"};
  options.timeout = std::chrono::seconds(240);
  options.keep_stdin_open = true;
  return options;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RunSequence, KeysFromAPipePrintTheReportAndQuit) {
  pool_process pool(0);
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  int step = 0;
  options.on_output = [&](int, int in, const std::string& output) {
    if (step == 0 && contains(output, "New Job received (CryptoNight).")) {
      step = 1;
      // Unknown and upper-case keys are ignored; 's' asks for the report.
      EXPECT_EQ(write(in, "xQs", 3), 3);
    } else if (step == 1 && contains(output, "Outdated because of job change\n")) {
      step = 2;
      EXPECT_EQ(write(in, "q", 1), 1);
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.insert(args.end(), {"--reconnects", "5"});
  args.insert(args.end(), kShortRounds.begin(), kShortRounds.end());
  process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "Setting max pool connection attempts to 5\n")) << text;
  EXPECT_TRUE(contains(text, "\n[Pool: '" + pool.address() + "' | Connected: ")) << text;
  EXPECT_TRUE(contains(text, "[Shares Found: ")) << text;
  EXPECT_TRUE(text.ends_with("quitting... GPU stopped... done.")) << text;
  EXPECT_FALSE(contains(text, "Caught signal"));
}

// Port 0 picks a free port, which the start line names.
TEST(RunSequence, RemoteAccessOnTheChosenAddressWantsTheTokenFromTheEnvironment) {
  pool_process pool(0);
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  options.environment.push_back("ORBECK_REMOTE_TOKEN=rig-token-1");
  std::string without_token;
  std::string with_token;
  std::string port;
  const std::regex started("Starting remote access server on 127\\.0\\.0\\.2:(\\d+)\n");
  options.on_output = [&](int, int in, const std::string& output) {
    std::smatch match;
    if (port.empty() && contains(output, "New Job received") && std::regex_search(output, match, started)) {
      port = match[1].str();
      const auto wait = std::chrono::seconds(10);
      const uint16_t number = static_cast<uint16_t>(std::stoi(port));
      without_token =
          remote_test::exchange("127.0.0.2", number, "GET /stats.json HTTP/1.1\r\n\r\n", wait);
      with_token = remote_test::exchange(
          "127.0.0.2", number,
          "GET /stats.json HTTP/1.1\r\nAuthorization: Bearer rig-token-1\r\n\r\n", wait);
      EXPECT_EQ(write(in, "q", 1), 1);
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.insert(args.end(), {"-R", "--remotehost", "127.0.0.2", "--remoteport", "0"});
  args.insert(args.end(), kShortRounds.begin(), kShortRounds.end());
  process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  const std::string text = base::without_times(r.output);
  ASSERT_FALSE(port.empty()) << text;
  EXPECT_NE(port, "0");
  EXPECT_FALSE(contains(text, "rig-token-1")) << "the token must not be printed";
  EXPECT_EQ(without_token,
            "HTTP/1.1 401 Unauthorized \r\nContent-Type: text/plain\r\n"
            "WWW-Authenticate: Bearer\r\n\r\n");
  ASSERT_TRUE(with_token.starts_with("HTTP/1.1 200 OK \r\n")) << with_token;
  rapidjson::Document document;
  const size_t body = with_token.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  document.Parse(with_token.c_str() + body + 4);
  EXPECT_FALSE(document.HasParseError()) << with_token;
  EXPECT_TRUE(text.ends_with("quitting... GPU stopped... done.")) << text;
}

struct timed_signal {
  int number;
  std::chrono::milliseconds after;  // after the previous one (the first: after the first job)
};

// Runs the miner and sends the signals once it mines, each as its own
// delivery (the same signal sent twice at once may arrive once). With
// slow_exit_hashes the rounds are that long (0: the shortest) and the first
// signal comes after the first round's hash rate line, when the next round
// has just begun: the orderly exit then waits for that round to end.
// `all_sent`, when given, tells whether every signal went out before the
// program ended.
process_result run_with_signals(const std::vector<timed_signal>& signals, int slow_exit_hashes = 0,
                                bool* all_sent = nullptr) {
  pool_process pool(0);
  EXPECT_FALSE(pool.address().empty());
  process_options options = with_cache();
  size_t next = 0;
  auto last = std::chrono::steady_clock::now();
  const bool slow_exit = slow_exit_hashes > 0;
  const std::string mining = slow_exit ? "GPU0 | " : "New Job received";
  options.on_output = [&](int pid, int, const std::string& output) {
    if (next == signals.size() || !contains(output, mining)) return false;
    // Called about every 50 ms: at most one signal per call.
    const auto now = std::chrono::steady_clock::now();
    if (next == 0 || now - last >= signals[next].after) {
      kill(pid, signals[next++].number);
      last = now;
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  if (slow_exit) args.insert(args.end(), {"--xgroupsize", std::to_string(slow_exit_hashes)});
  else args.insert(args.end(), kShortRounds.begin(), kShortRounds.end());
  process_result result = run_process(built_program(kMiner), args, options);
  if (all_sent != nullptr) *all_sent = next == signals.size();
  return result;
}

// The first signal is announced once and leads to the whole orderly exit.
void expect_orderly_exit(const std::vector<timed_signal>& signals, int slow_exit_hashes = 0) {
  const process_result r = run_with_signals(signals, slow_exit_hashes);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exit_code, 0);
  const std::string text = base::without_times(r.output);
  const std::string caught = "Caught signal " + std::to_string(signals.front().number) + "\n";
  ASSERT_TRUE(contains(text, caught)) << text;
  EXPECT_FALSE(contains(text.substr(text.find(caught) + 1), "Caught signal")) << text;
  EXPECT_TRUE(text.ends_with("quitting... GPU stopped... done.")) << text;
}

// What the orderly exit does not wait for: it ends at once. How long the
// orderly exit waits for the GPU's round varies with where in the round the
// first signal lands; rounds of 512 hashes outlast the signals' delays on a
// fast CPU device, and a run whose exit was over before the last signal was
// due says nothing and is repeated (at most three runs).
void expect_immediate_exit(const std::vector<timed_signal>& signals) {
  process_result r;
  bool all_sent = false;
  for (int run = 0; run < 3 && !all_sent; ++run) r = run_with_signals(signals, 512, &all_sent);
  ASSERT_TRUE(all_sent) << "the orderly exit never outlasted the signals' delays\n" << r.output;
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exit_code, 0);
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "Caught signal 15\n")) << text;
  // Ended while the orderly exit waited for the GPU's round.
  EXPECT_TRUE(text.ends_with("quitting...")) << text;
}

using std::chrono_literals::operator""ms;

TEST(RunSequence, SigintQuitsInOrder) { expect_orderly_exit({{SIGINT, 0ms}}); }
TEST(RunSequence, SigtermQuitsInOrder) { expect_orderly_exit({{SIGTERM, 0ms}}); }
// A service manager restarts the program after it (a reload).
TEST(RunSequence, SighupQuitsInOrder) { expect_orderly_exit({{SIGHUP, 0ms}}); }
// As `timeout` and a shell both pass one on.
TEST(RunSequence, ASecondSigtermWithinTwoSecondsIsIgnored) {
  expect_orderly_exit({{SIGTERM, 0ms}, {SIGTERM, 100ms}}, 128);
}
TEST(RunSequence, AThirdSignalEndsTheProgramAtOnce) {
  expect_immediate_exit({{SIGTERM, 0ms}, {SIGTERM, 100ms}, {SIGINT, 100ms}});
}
TEST(RunSequence, ASecondSignalAfterTwoSecondsEndsTheProgramAtOnce) {
  expect_immediate_exit({{SIGTERM, 0ms}, {SIGTERM, 2500ms}});
}

// Giving up is a failure, so a service manager restarts the miner.
TEST(RunSequence, GivingUpOnThePoolExitsWithOne) {
  process_options options = with_cache();
  options.keep_stdin_open = false;
  std::vector<std::string> args = miner_args("127.0.0.1:1");
  args.insert(args.end(), {"--reconnects", "1"});
  const process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exit_code, 1);
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "Connecting to Pool failed. Retrying in 20 secs ...\n")) << text;
  EXPECT_TRUE(text.ends_with("Could not connect to Pool. Giving up.\n")) << text;
}

TEST(RunSequence, GpuStartUpFailureExitsWithZero) {
  process_options options = with_cache();
  options.keep_stdin_open = false;
  process_result r = run_process(built_program(kMiner),
                                 {"--anydevice", "--opencl", "7", "-S", "127.0.0.1:1", "-u", "x"},
                                 options);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(contains(base::without_times(r.output),
                       "Initializing GPU, loading kernel ...\n"
                       "Selected OpenCL platform index 7 doesn't exist.\n"))
      << r.output;

  // Without --anydevice there is no AMD platform here.
  // --cpu-threads 0: no falling back to mining on the CPU.
  r = run_process(built_program(kMiner), {"--cpu-threads", "0", "-S", "127.0.0.1:1", "-u", "x"}, options);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(contains(r.output,
                       "Could not autodetect AMD OpenCL plattform, please specifiy with --opencl=?\n"))
      << r.output;
  EXPECT_TRUE(contains(r.output, "--anydevice")) << r.output;
}

TEST(RunSequence, MinesAcceptedSharesAgainstTheLocalPool) {
  pool_process pool(1, {"--target", "ffffff1f"});  // one hash in 8 is a share
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  options.on_output = [&](int, int in, const std::string& output) {
    if (contains(output, "Share Accepted -> +1")) {
      if (write(in, "q", 1) != 1) return true;
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.erase(args.begin() + 3);  // the self-test runs before mining
  args.insert(args.end(), kShortRounds.begin(), kShortRounds.end());
  process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "New Job received (CryptoNightV7).\n")) << text;
  EXPECT_TRUE(contains(text, "Share Accepted -> +1\n")) << text;
  EXPECT_FALSE(contains(text, "Invalid")) << text;
  EXPECT_FALSE(contains(text, "self-test failed")) << text;
  EXPECT_EQ(r.exit_code, 0);
}

// Each member of 2019 mined end to end: the pool serves the algorithm under
// its pool name, the miner is configured with that name, and the first share
// is accepted, none invalid. Rounds of 16 hashes and a target one hash in 8
// meets: the first share comes within a round or two, and the exit does not
// wait long for the round in flight (each share is hashed on the CPU by the
// miner and the pool). The mining tests self-test every row, so this one
// skips it.
struct mined_algorithm {
  int32_t id;
  const char* pool_name;
  const char* printed_name;
  const char* target;  // the pool's --target
};

class MinesEachNewAlgorithm : public ::testing::TestWithParam<mined_algorithm> {};

TEST_P(MinesEachNewAlgorithm, FirstShareIsAccepted) {
  const mined_algorithm& algorithm = GetParam();
  pool_process pool(algorithm.id, {"--target", algorithm.target});
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  options.on_output = [&](int, int in, const std::string& output) {
    if (contains(output, "Share Accepted -> +1")) {
      if (write(in, "q", 1) != 1) return true;
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.insert(args.end(), {"--algo", algorithm.pool_name});
  args.insert(args.end(), kShortRounds.begin(), kShortRounds.end());
  process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "New Job received (" + std::string(algorithm.printed_name) + ").\n")) << text;
  EXPECT_TRUE(contains(text, "Share Accepted -> +1\n")) << text;
  EXPECT_FALSE(contains(text, "Invalid")) << text;
  EXPECT_FALSE(contains(text, "Rejected")) << text;
  EXPECT_EQ(r.exit_code, 0);
}

std::string MinedName(const ::testing::TestParamInfo<mined_algorithm>& info) {
  std::string name = info.param.pool_name;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

// Targets as the pool sends them: ffffff1f lets 1 hash in 8 through.
INSTANTIATE_TEST_SUITE_P(
    NewRows, MinesEachNewAlgorithm,
    ::testing::Values(mined_algorithm{11, "cn/half", "CryptoNight-Half", "ffffff1f"},
                      mined_algorithm{12, "cn/rwz", "CryptoNight-RWZ", "ffffff1f"},
                      mined_algorithm{13, "cn/zls", "CryptoNight-ZLS", "ffffff1f"},
                      mined_algorithm{14, "cn/double", "CryptoNight-Double", "ffffff1f"},
                      mined_algorithm{15, "cn/xao", "CryptoNight-XAO", "ffffff1f"},
                      mined_algorithm{16, "cn/ccx", "CryptoNight-CCX", "ffffff1f"},
                      mined_algorithm{17, "cn-pico", "CryptoNight-Pico", "ffffff1f"},
                      mined_algorithm{18, "cn-pico/tlo", "CryptoNight-PicoTLO", "ffffff1f"},
                      mined_algorithm{19, "cn/upx2", "CryptoNight-UPX2", "ffffff1f"},
                      // cn/gpu runs about ten hashes per CPU second on PoCL: one share in
                      // four hashes.
                      mined_algorithm{crypto::kCryptoNightGpu, "cn/gpu", "CryptoNight-GPU",
                                      "ffffff3f"}),
    MinedName);

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// cn/r over a chain of blocks: the pool moves to the next height every
// eight seconds (a new job at once), auto detect picks cn/r from the blobs'
// version, and the shares found across the heights are all accepted, each
// checked by the miner and the pool at its own job's height. Rounds of 16
// hashes, each hash a share, so a round ends well within a block on PoCL.
// The GPU's context is made anew after three group builds, between two
// jobs, and the shares after that are accepted too.
TEST(RunSequence, CnRSharesAcrossChangingHeightsAreAllAccepted) {
  pool_process pool(crypto::kCryptoNightR,
                    {"--target", "ffffffff", "--job-interval", "600", "--height-interval", "8"});
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  options.timeout = std::chrono::seconds(600);
  options.on_output = [&](int, int in, const std::string& output) {
    const size_t renewed = output.find("renewing the OpenCL context after 3 cn/r kernel builds");
    if (renewed != std::string::npos &&
        count_of(output.substr(renewed), "Share Accepted -> +1") >= 2 &&
        count_of(output, "Share Accepted -> +1") >= 4 &&
        count_of(output, "New Job received (CryptoNightR).") >= 3) {
      if (write(in, "q", 1) != 1) return true;
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.insert(args.end(), {"--xgroupsize", "16", "--cn-r-context-builds", "3"});
  process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  const std::string text = base::without_times(r.output);
  EXPECT_GE(count_of(text, "Share Accepted -> +1\n"), 4u) << text;
  EXPECT_TRUE(contains(text, "GPU0: renewing the OpenCL context after 3 cn/r kernel builds\n"))
      << text;
  EXPECT_FALSE(contains(text, "Invalid")) << text;
  EXPECT_FALSE(contains(text, "Rejected")) << text;
  EXPECT_FALSE(contains(text, "self-test failed")) << text;
  EXPECT_EQ(r.exit_code, 0);
}

// CPU threads mine one algorithm of each scratchpad class until the first
// share is accepted, none invalid. The 1 MiB case gives no option at all:
// with no GPU option and no GPU here (no AMD platform), the CPU mines.
struct cpu_case {
  int32_t id;
  const char* pool_name;
  const char* printed_name;
  const char* target;   // easy: each share is hashed again by the pool
  const char* threads;  // --cpu-threads, empty: not given
};

class CpuMinesEachScratchpadClass : public ::testing::TestWithParam<cpu_case> {};

TEST_P(CpuMinesEachScratchpadClass, FirstShareIsAccepted) {
  const cpu_case& c = GetParam();
  pool_process pool(c.id, {"--target", c.target});
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  options.on_output = [&](int, int in, const std::string& output) {
    if (contains(output, "Share Accepted -> +1") && write(in, "q", 1) != 1) return true;
    return false;
  };
  std::vector<std::string> args = {"-S", pool.address(), "-u", "tester", "--algo", c.pool_name};
  if (c.threads[0] != '\0') args.insert(args.end(), {"--cpu-threads", c.threads});
  const process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "No GPU to mine on: mining on the CPU\n")) << text;
  EXPECT_TRUE(contains(text, "CPU: ")) << text;
  EXPECT_TRUE(contains(text, "New Job received (" + std::string(c.printed_name) + ").\n")) << text;
  EXPECT_TRUE(contains(text, "CPU0 Found Nonce, submitting...\n") || contains(text, "CPU1 Found Nonce")) << text;
  EXPECT_TRUE(contains(text, "Share Accepted -> +1\n")) << text;
  EXPECT_FALSE(contains(text, "Invalid")) << text;
  EXPECT_FALSE(contains(text, "Rejected")) << text;
  EXPECT_EQ(r.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, CpuMinesEachScratchpadClass,
    ::testing::Values(cpu_case{1, "cn/1", "CryptoNightV7", "ffffff3f", "1"},
                      cpu_case{4, "cn-lite/1", "CryptoNightV7-Lite", "ffffff3f", ""},
                      cpu_case{2, "cn-heavy/0", "CryptoNight-Heavy", "ffffff3f", "1"},
                      cpu_case{17, "cn-pico", "CryptoNight-Pico", "ffffff07", "2"},
                      cpu_case{19, "cn/upx2", "CryptoNight-UPX2", "ffffff07", "auto"}),
    [](const ::testing::TestParamInfo<cpu_case>& info) {
      std::string name = info.param.pool_name;
      for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

// --autotune on CPU threads measures each count of ways and stores the
// fastest; --benchmark then names the threads as devices.
TEST(RunSequence, CpuAutotuneStoresTheWaysAndTheBenchmarkMeasuresCpuThreads) {
  const std::string cache = std::string(ORBECK_BINARY_DIR) + "/test-cache-cpu";
  std::filesystem::remove_all(cache);
  process_options options = with_cache();
  options.environment = {"XDG_CACHE_HOME=" + cache, "NO_COLOR=1"};
  options.keep_stdin_open = false;
  process_result r = run_process(
      built_program(kMiner),
      {"--cpu-threads", "1", "--autotune", "--autotune-seconds", "0.3", "--algo", "cn/upx2"},
      options);
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_code, 0);
  std::smatch chosen;
  const std::string text = base::without_times(r.output);
  ASSERT_TRUE(std::regex_search(text, chosen, std::regex("CPU autotune CryptoNight-UPX2: 1 way [0-9.]+ H/s, "
                                                         "2 ways [0-9.]+ H/s, 3 ways [0-9.]+ H/s, "
                                                         "4 ways [0-9.]+ H/s -> ([1-4])\n")))
      << text;
  const std::string store = base::read_file(cache + "/orbeck-vega/cpu-ways");
  EXPECT_TRUE(contains(store, "\nalgo 19 " + chosen[1].str() + " ")) << store;

  r = run_process(built_program(kMiner), {"--cpu-threads", "1", "--benchmark", "1", "--algo", "cn/upx2"}, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(std::regex_search(r.output, std::regex("CryptoNight-UPX2 +[0-9.]+ +[0-9.]+\n"))) << r.output;
  EXPECT_TRUE(contains(r.output, "CPU0 mining thread: ")) << r.output;
}

// The PoCL GPU and a CPU thread in one process, nicehash mode: both find
// shares, the pool accepts them and sees no nonce twice.
TEST(RunSequence, GpuAndCpuMineTogetherOnDisjointNonces) {
  pool_process pool(3, {"--target", "ffffff3f", "--job-interval", "600"});
  ASSERT_FALSE(pool.address().empty());
  process_options options = with_cache();
  options.on_output = [&](int, int in, const std::string& output) {
    if (count_of(output, "GPU0 Found Nonce") >= 2 && count_of(output, "CPU0 Found Nonce") >= 2 &&
        count_of(output, "Share Accepted -> +1") >= 8 && write(in, "q", 1) != 1)
      return true;
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.insert(args.end(), {"--cpu-threads", "1", "--xgroupsize", "64"});
  const process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  const std::string text = base::without_times(r.output);
  EXPECT_TRUE(contains(text, "CPU: 1 mining thread")) << text;
  EXPECT_GE(count_of(text, "CPU0 Found Nonce, submitting..."), 2u) << text;
  EXPECT_GE(count_of(text, "GPU0 Found Nonce, submitting..."), 2u) << text;
  EXPECT_FALSE(contains(text, "Duplicate")) << text;
  EXPECT_FALSE(contains(text, "Rejected")) << text;
  EXPECT_FALSE(contains(text, "Invalid")) << text;
  EXPECT_EQ(r.exit_code, 0);
}

// Mines CryptoNight-UPX2 rounds of `hashes` against a pool whose target
// every hash meets, until `accepted` shares were accepted; then the report
// ('s') and 'q'. The console text without time stamps. UPX2 has the
// shortest hash of the table: every share is hashed on the CPU by the
// miner and by the pool, and what is tested here is the result list.
std::string mine_with_every_hash_a_share(uint32_t hashes, size_t accepted) {
  pool_process pool(crypto::kCryptoNightUpx2, {"--target", "ffffffff", "--job-interval", "600"});
  EXPECT_FALSE(pool.address().empty());
  process_options options = with_cache();
  // Every share is hashed on the CPU twice (the miner's check, the pool's).
  options.timeout = std::chrono::seconds(600);
  int step = 0;
  options.on_output = [&](int, int in, const std::string& output) {
    if (step == 0 && count_of(output, "Share Accepted -> +1") >= accepted) {
      step = 1;
      EXPECT_EQ(write(in, "s", 1), 1);
    } else if (step == 1 && contains(output, "Lost because the GPU's result list was full\n")) {
      step = 2;
      EXPECT_EQ(write(in, "q", 1), 1);
    }
    return false;
  };
  std::vector<std::string> args = miner_args(pool.address());
  args.insert(args.end(), {"--xgroupsize", std::to_string(hashes)});
  const process_result r = run_process(built_program(kMiner), args, options);
  EXPECT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_code, 0);
  return base::without_times(r.output);
}

// Regression: a round whose list held 16 or more nonces used to be dropped
// whole, so a pool with an easy target got no share at all.
TEST(RunSequence, EveryNonceOfAFullRoundReachesThePool) {
  const std::string text = mine_with_every_hash_a_share(64, 64);
  EXPECT_GE(count_of(text, "Share Accepted -> +1"), 64u) << text;
  EXPECT_FALSE(contains(text, "were lost")) << text;
  EXPECT_FALSE(contains(text, "Nonce Invalid")) << text;
  EXPECT_TRUE(contains(text, "\n0 (  0%) Lost because the GPU's result list was full\n")) << text;
}

TEST(RunSequence, AnOverflowingListCountsTheLostNoncesAndShrinksTheRounds) {
  // 256 hits for 255 slots in the first round; the rounds after it are
  // smaller (128 hashes can never overflow) and their shares arrive too.
  const std::string text = mine_with_every_hash_a_share(256, 255 + 1);
  EXPECT_EQ(count_of(text, "were lost"), 1u) << text;
  EXPECT_TRUE(contains(text, "GPU0: 1 of 256 nonces found in one round were lost (the result list holds 255): "
                             "hashes per round lowered from 256 to 128 for this job\n"))
      << text;
  EXPECT_GE(count_of(text, "Share Accepted -> +1"), 255u + 1u) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\n1 \\( *\\d+%\\) Lost because the GPU's result list was full\n")))
      << text;
}

}  // namespace
}  // namespace app

namespace app {
namespace {

// The last line of the benchmark output is one JSON document.
rapidjson::Document benchmark_json(const std::string& output) {
  const size_t start = output.rfind("\n{\"benchmark_seconds\"");
  rapidjson::Document doc;
  if (start == std::string::npos) return doc;
  const std::string line = output.substr(start + 1, output.find('\n', start + 1) - start - 1);
  doc.Parse(line.c_str());
  return doc;
}

void expect_benchmark(const std::string& algo, size_t expected_results, int seconds,
                      bool self_test, const std::vector<std::string>& extra = {}) {
  process_options options = with_cache();
  options.keep_stdin_open = false;
  options.timeout = std::chrono::seconds(600);
  std::vector<std::string> args = {"--anydevice", "--opencl", "0", "--benchmark",
                                   std::to_string(seconds), "--algo", algo};
  if (!self_test) args.push_back("--noselftest");
  args.insert(args.end(), extra.begin(), extra.end());
  process_result r = run_process(built_program(kMiner), args, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(contains(r.output, "Benchmark results (H/s, " + std::to_string(seconds) +
                                     ".0 s per algorithm):"))
      << r.output;
  rapidjson::Document doc = benchmark_json(r.output);
  ASSERT_TRUE(doc.IsObject()) << r.output;
  ASSERT_TRUE(doc["results"].IsArray());
  const auto& results = doc["results"];
  ASSERT_EQ(results.Size(), expected_results);
  for (rapidjson::SizeType i = 0; i < results.Size(); ++i) {
    const auto& result = results[i];
    ASSERT_TRUE(result["gpus"].IsArray());
    ASSERT_EQ(result["gpus"].Size(), 1u);
    EXPECT_STREQ(result["gpus"][0]["self_test"].GetString(), self_test ? "passed" : "skipped")
        << result["name"].GetString();
    EXPECT_GT(result["gpus"][0]["hash_rate"].GetDouble(), 0.0) << result["name"].GetString();
    EXPECT_DOUBLE_EQ(result["total_hash_rate"].GetDouble(), result["gpus"][0]["hash_rate"].GetDouble());
    if (expected_results > 1) {
      EXPECT_EQ(result["algorithm"].GetInt(), static_cast<int>(i));
    }
  }
}

TEST(Benchmark, OneAlgorithmWithoutAPool) { expect_benchmark("0", 1, 5, true); }

// Every row in turn, one second each (a rate still needs a whole round,
// so the rounds are the smallest there are: 16 hashes).
// Every row's self-test runs on the device in the mining tests
// (SelfTestPassesForEveryAlgorithm); skipped here, it would double them.
TEST(Benchmark, EveryAlgorithmInTurn) { expect_benchmark("-1", crypto::kAlgoCount, 1, false, kShortRounds); }

}  // namespace
}  // namespace app

namespace app {
namespace {

// The tuner end to end on the first OpenCL device, with two candidates of
// one-second rounds, in a cache of its own (the store would change the
// intensity other tests see). Program binaries of the shared test cache are
// copied in first and PoCL's compiled kernels linked, only to save their
// build.
class AutotuneProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::string(ORBECK_BINARY_DIR) + "/test-cache-autotune";
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ + "/orbeck-vega");
    const std::string shared = std::string(ORBECK_TEST_CACHE_DIR) + "/orbeck-vega";
    std::error_code error;
    std::filesystem::create_directories(std::string(ORBECK_TEST_CACHE_DIR) + "/pocl", error);
    std::filesystem::create_directory_symlink(std::string(ORBECK_TEST_CACHE_DIR) + "/pocl", root_ + "/pocl", error);
    for (const auto& entry : std::filesystem::directory_iterator(shared, error)) {
      if (entry.path().extension() == ".bin") {
        std::filesystem::copy_file(entry.path(), root_ + "/orbeck-vega/" + entry.path().filename().string(),
                                   error);
      }
    }
  }

  process_result run(const std::vector<std::string>& extra) {
    process_options options;
    options.environment = {"XDG_CACHE_HOME=" + root_, "NO_COLOR=1"};
    options.timeout = std::chrono::seconds(300);
    std::vector<std::string> args = {
        "--anydevice",           "--opencl", "0", "--algo", "3", "--autotune-seconds", "1",
        "--autotune-candidates", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process(built_program(kMiner), args, options);
  }

  // The one store file the tuner wrote ("" when there is none).
  std::string store_path() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/orbeck-vega", error)) {
      if (entry.path().extension() == ".tune") return entry.path().string();
    }
    return {};
  }

  // "algo 3 H Q rate" of the store as the GPU line shows it: "autotuned H x Q".
  std::string stored_line_text() const {
    const std::string text = base::read_file(store_path());
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("\nalgo 3 (\\d+) (\\d+) "))) return {};
    return "Intensity: autotuned " + match[1].str() + " x " + match[2].str();
  }

  std::string root_;
};

TEST_F(AutotuneProgram, StoredSettingIsUsedOverriddenAndIgnoredWhenStaleOrCorrupt) {
  process_result tune = run({"--autotune"});
  ASSERT_TRUE(tune.exited) << tune.output;
  EXPECT_EQ(tune.exit_code, 0);
  EXPECT_TRUE(contains(tune.output, "Autotune CryptoNight-Lite (H/s):")) << tune.output;
  EXPECT_TRUE(contains(tune.output, "(automatic)")) << tune.output;
  ASSERT_FALSE(store_path().empty()) << tune.output;
  const std::string autotuned = stored_line_text();
  ASSERT_FALSE(autotuned.empty()) << base::read_file(store_path());

  // The next start uses it and says so in the GPU line.
  process_result next = run({"--benchmark", "1"});
  EXPECT_TRUE(contains(next.output, autotuned)) << next.output;

  // --intensity (and --xgroupsize) win over a stored setting.
  process_result given = run({"--benchmark", "1", "--intensity", "1"});
  EXPECT_FALSE(contains(given.output, "autotuned")) << given.output;
  EXPECT_TRUE(contains(given.output, "Intensity: 1 / ")) << given.output;
  process_result group = run({"--benchmark", "1", "--xgroupsize", "16"});
  EXPECT_FALSE(contains(group.output, "autotuned")) << group.output;

  // An entry written for another driver is stale.
  const std::string valid = base::read_file(store_path());
  std::string stale = std::regex_replace(valid, std::regex("\ndriver=[^\n]*"), "\ndriver=0.0-other");
  ASSERT_NE(stale, valid);
  { std::ofstream(store_path(), std::ios::trunc) << stale; }
  process_result other = run({"--benchmark", "1"});
  EXPECT_FALSE(contains(other.output, "autotuned")) << other.output;

  // A corrupt entry is ignored, and the next tune writes a valid one.
  { std::ofstream(store_path(), std::ios::trunc) << valid.substr(0, valid.find("\nalgo 3 ")) << "\nalgo 3 4x 2 1.0\n"; }
  process_result corrupt = run({"--benchmark", "1"});
  EXPECT_FALSE(contains(corrupt.output, "autotuned")) << corrupt.output;
  EXPECT_EQ(corrupt.exit_code, 0);
  process_result again = run({"--autotune"});
  EXPECT_EQ(again.exit_code, 0) << again.output;
  EXPECT_FALSE(stored_line_text().empty()) << base::read_file(store_path());
}

}  // namespace
}  // namespace app
