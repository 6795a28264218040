#include "app/command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "app/config.h"
#include "crypto/algorithm.h"
#include "support/console_capture.h"

namespace app {

namespace {

const std::string kBanner =
    std::string(72, '~') + "\n\n" +
    "  Orbeck 1.5.0 CryptoNight mining optimized for AMD Radeon Vega GPUs\n\n"
    "  Donating 1.5% mining power to developer. Thanks.\n\n"
    "  For current stats press 's'\n"
    "  For seamless exit press 'q'\n\n" +
    std::string(72, '~') + "\n\n";

const std::string kOptionsHint =
    "\nFor a complete list of configuration options run:\n\norbeck-vega --help\n";

struct run_result {
  startup_result start;
  std::string output;
};

run_result run(std::vector<const char*> args) {
  cfg() = config{};
  args.insert(args.begin(), "orbeck-vega");
  base::console_capture capture;
  run_result result;
  result.start = start_up(static_cast<int>(args.size()), args.data());
  result.output = capture.text();
  return result;
}

TEST(StartUp, HelpPrintsBannerThenShownGroupsAndExitsWithOne) {
  run_result r = run({"--help", "-S", "pool:1", "-u", "me"});
  EXPECT_TRUE(r.start.finished);
  EXPECT_EQ(r.start.exit_code, 1);
  // The golden text was checked by hand against the option table.
  EXPECT_EQ(r.output, base::read_file(ORBECK_TEST_DATA_DIR "/golden/help.txt"));
  EXPECT_EQ(r.output.substr(0, kBanner.size()), kBanner);
}

TEST(StartUp, HelpListsGroupsInOrderAndHidesHiddenOptions) {
  const std::string help = help_text();
  const size_t generic = help.find("Generic options:");
  const size_t pool = help.find("Pool Configuration:");
  const size_t remote = help.find("Remote Access:");
  const size_t optimizations = help.find("Optimizations:");
  ASSERT_NE(generic, std::string::npos);
  EXPECT_LT(generic, pool);
  EXPECT_LT(pool, remote);
  EXPECT_LT(remote, optimizations);
  for (const char* hidden : {"--maxmem", "--forcecompute", "--buildkernel", "--nicehash ",
                             "--xgroupsize", "--xnumqueues", "--anydevice", "--noselftest",
                             "--benchmark", "--remotehost", "--remotetoken"}) {
    EXPECT_EQ(help.find(hidden), std::string::npos) << hidden;
  }
  EXPECT_NE(help.find("--reconnects arg (=100)"), std::string::npos);
  EXPECT_NE(help.find("--remoteport arg (=7777)"), std::string::npos);
  EXPECT_NE(help.find("-G [ --gpu ] arg (=0)"), std::string::npos);
  EXPECT_NE(help.find(" 10 = CryptoNightV8"), std::string::npos);
  EXPECT_NE(help.find("  5 = CryptoNightTUBE-Heavy (cn-heavy/tube)\n"), std::string::npos);
  EXPECT_NE(help.find(" 17 = CryptoNight-Pico (cn-pico)\n"), std::string::npos);
}

TEST(StartUp, HiddenOptionsAreAccepted) {
  run_result r = run({"-S", "p:1", "-u", "u", "--maxmem", "--forcecompute", "--buildkernel",
                      "--nicehash", "--xgroupsize", "64", "--xnumqueues", "2", "--anydevice",
                      "--noselftest"});
  EXPECT_FALSE(r.start.finished);
  const config& c = cfg();
  EXPECT_TRUE(c.max_mem);
  EXPECT_TRUE(c.force_compute);
  EXPECT_TRUE(c.build_kernel);
  EXPECT_TRUE(c.nicehash);
  EXPECT_EQ(c.group_size, 64);
  EXPECT_EQ(c.num_queues, 2);
  EXPECT_TRUE(c.any_device);
  EXPECT_TRUE(c.no_self_test);

  // The tuning options, and their defaults.
  EXPECT_EQ(c.autotune_seconds, 0);
  EXPECT_TRUE(c.cpu_huge_pages);
  EXPECT_EQ(c.cn_r_context_builds, 64);
  r = run({"-S", "p:1", "-u", "u", "--autotune-seconds", "0.3", "--autotune-candidates", "2",
           "--cpu-huge-pages", "off", "--cpu-ways", "3", "--cn-r-context-builds", "0"});
  ASSERT_FALSE(r.start.finished) << r.output;
  EXPECT_EQ(cfg().autotune_seconds, 0.3);
  EXPECT_EQ(cfg().autotune_candidates, 2);
  EXPECT_FALSE(cfg().cpu_huge_pages);
  EXPECT_EQ(cfg().cpu_ways, 3);
  EXPECT_EQ(cfg().cn_r_context_builds, 0);
}

TEST(StartUp, NoArgumentsPrintsMinimalConfigurationHint) {
  for (auto args : {std::vector<const char*>{}, std::vector<const char*>{"-S", "pool:3333"},
                    std::vector<const char*>{"-u", "wallet"}}) {
    run_result r = run(args);
    EXPECT_TRUE(r.start.finished);
    EXPECT_EQ(r.start.exit_code, 0);
    EXPECT_EQ(r.output, kBanner +
                            "No pool server and username configured.\n"
                            "\nFor a minimal configuration run:\n\n"
                            "orbeck-vega -S [pool server] -u [username or wallet address]\n" +
                            kOptionsHint);
  }
}

TEST(StartUp, AlgorithmRangeAndPoolNames) {
  const std::string last = std::to_string(crypto::kAlgoCount - 1);
  for (const std::string& bad : {std::to_string(crypto::kAlgoCount), std::string("-2")}) {
    run_result r = run({"-S", "h:1", "-u", "w", "--algo", bad.c_str()});
    EXPECT_TRUE(r.start.finished);
    EXPECT_EQ(r.start.exit_code, 1);
    EXPECT_EQ(base::without_times(r.output),
              kBanner + "Algo " + bad + " not supported. Algo must be in the range -1 to " +
                  last + "\n" + kOptionsHint);
  }
  const std::pair<const char*, int32_t> good[] = {
      {"-1", -1},  {"20", 20},      {"0", 0},
      {"cn/rwz", 12}, {"CN-Pico/TRTL", 17}, {"cn/2", 10},
      {"cn/gpu", crypto::kCryptoNightGpu}, {"cn/r", crypto::kCryptoNightR}};
  for (const auto& [text, id] : good) {
    run_result r = run({"-S", "h:1", "-u", "w", "-a", text});
    EXPECT_FALSE(r.start.finished) << text;
    EXPECT_EQ(cfg().algorithm, id) << text;
  }
}

TEST(StartUp, RejectedCommandLinesReportTheLibraryMessageAndExitWithOne) {
  struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--algo", "abc"}, "the argument ('abc') for option '--algo' is invalid"},
      {{"--algo", "cn/turtle"}, "the argument ('cn/turtle') for option '--algo' is invalid"},
      {{"--bogus"}, "unrecognised option '--bogus'"},
      {{"-S"}, "the required argument for option '--pool' is missing"},
      {{"--reconnects", "1.5"}, "the argument ('1.5') for option '--reconnects' is invalid"},
  };
  for (const auto& c : cases) {
    run_result r = run(c.args);
    EXPECT_TRUE(r.start.finished);
    EXPECT_EQ(r.start.exit_code, 1);
    EXPECT_EQ(base::without_times(r.output), std::string(c.message) + "\n" + kOptionsHint);
  }
}

TEST(StartUp, OptionsReachTheConfiguration) {
  run_result r = run({"-O", "2", "-G", "1,3", "-S", "stratum+tcp://pool:3333", "-u", "wallet",
                      "-p", "x", "--reconnects", "0", "-a", "7", "--nonicehash", "-R",
                      "--remoteport", "65535", "-I", "8,9", "--fastjobswitch", "--ratewatchdog"});
  ASSERT_FALSE(r.start.finished) << r.output;
  const config& c = cfg();
  EXPECT_EQ(c.platform_index, 2);
  EXPECT_EQ(c.gpu_list, (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(c.pool_address, "stratum+tcp://pool:3333");
  EXPECT_EQ(c.user, "wallet");
  EXPECT_EQ(c.password, "x");
  EXPECT_EQ(c.max_reconnects, 0);
  EXPECT_EQ(c.algorithm, 7);
  EXPECT_FALSE(c.nicehash);
  EXPECT_TRUE(r.start.remote_access);
  EXPECT_EQ(r.start.remote_port, 65535u);
  EXPECT_EQ(c.intensity_text, "8,9");
  EXPECT_TRUE(c.fast_job_switch);
  EXPECT_TRUE(c.rate_watchdog);
  EXPECT_EQ(c.reply_timeout_s, 20);
  EXPECT_EQ(c.retry_delay_s, 20u);
}

TEST(StartUp, DefaultsWhenOnlyPoolAndUserAreGiven) {
  run_result r = run({"-S", "p:1", "-u", "u"});
  ASSERT_FALSE(r.start.finished);
  const config& c = cfg();
  EXPECT_EQ(c.platform_index, -1);
  EXPECT_EQ(c.gpu_list, std::vector<uint32_t>{0});
  EXPECT_EQ(c.intensity_text, "-1");
  EXPECT_TRUE(c.nicehash);
  EXPECT_EQ(c.algorithm, -1);
  EXPECT_EQ(c.max_reconnects, 100);
  EXPECT_FALSE(r.start.remote_access);
  EXPECT_EQ(r.start.remote_port, 7777u);
  EXPECT_EQ(r.output, kBanner);
}

// Sets or clears an environment variable for one test.
class scoped_environment {
 public:
  scoped_environment(const char* name, const char* value) : name_(name) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~scoped_environment() { ::unsetenv(name_); }

 private:
  const char* name_;
};

std::string error_after_banner(const run_result& r) {
  const std::string text = base::without_times(r.output);
  return text.size() >= kBanner.size() ? text.substr(kBanner.size()) : text;
}

TEST(RemoteOptions, AddressAndTokenReachTheStartUpResult) {
  scoped_environment no_token(kRemoteTokenVariable, nullptr);
  struct accepted {
    std::vector<const char*> args;
    const char* host;
    const char* token;
  };
  const std::vector<accepted> cases = {
      {{"-R"}, "127.0.0.1", ""},
      {{"-R", "--remotehost", "127.0.0.2"}, "127.0.0.2", ""},
      {{"-R", "--remotehost", "0::1"}, "::1", ""},
      {{"-R", "--remotehost", "0.0.0.0", "--remotetoken", "s3cret"}, "0.0.0.0", "s3cret"},
      {{"-R", "--remotehost", "::", "--remotetoken", "a.b~c+d/e="}, "::", "a.b~c+d/e="},
      {{"-R", "--remotehost", "192.168.1.20", "--remotetoken", "t"}, "192.168.1.20", "t"},
      // Without --remoteaccess nothing listens, so no token is needed.
      {{"--remotehost", "0.0.0.0"}, "0.0.0.0", ""},
  };
  for (const accepted& c : cases) {
    std::vector<const char*> args = {"-S", "p:1", "-u", "u"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    run_result r = run(args);
    ASSERT_FALSE(r.start.finished) << c.host << ": " << r.output;
    EXPECT_EQ(r.start.remote_host, c.host);
    EXPECT_EQ(r.start.remote_token, c.token) << c.host;
    EXPECT_EQ(r.output, kBanner) << c.host;
  }
}

TEST(RemoteOptions, ListeningBeyondLoopbackWithoutATokenIsRefused) {
  scoped_environment no_token(kRemoteTokenVariable, nullptr);
  struct refused {
    std::vector<const char*> args;
    std::string message;
  };
  const std::string needs =
      " needs a token: give --remotetoken or set ORBECK_REMOTE_TOKEN, or listen on a loopback "
      "address such as 127.0.0.1";
  const std::string not_address =
      ": expected an IPv4 or IPv6 address such as 127.0.0.1, 0.0.0.0 or ::";
  const std::string bad_token =
      "--remotetoken: the token must be printable ASCII without spaces, and not empty";
  const std::vector<refused> cases = {
      {{"-R", "--remotehost", "0.0.0.0"}, "Remote access on 0.0.0.0" + needs},
      {{"-R", "--remotehost", "::"}, "Remote access on ::" + needs},
      {{"-R", "--remotehost", "10.1.2.3"}, "Remote access on 10.1.2.3" + needs},
      // A mapped loopback address is not taken for loopback.
      {{"-R", "--remotehost", "::ffff:127.0.0.1"}, "Remote access on ::ffff:127.0.0.1" + needs},
      {{"-R", "--remotehost", "localhost"}, "--remotehost localhost" + not_address},
      {{"--remotehost", "1.2.3.4.5"}, "--remotehost 1.2.3.4.5" + not_address},
      {{"--remotehost", ""}, "--remotehost " + not_address},
      {{"-R", "--remotetoken", ""}, bad_token},
      {{"-R", "--remotetoken", "two words"}, bad_token},
      {{"-R", "--remotetoken", "line\n"}, bad_token},
  };
  for (const refused& c : cases) {
    std::vector<const char*> args = {"-S", "p:1", "-u", "u"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    run_result r = run(args);
    EXPECT_TRUE(r.start.finished) << c.message;
    EXPECT_EQ(r.start.exit_code, 1) << c.message;
    EXPECT_EQ(error_after_banner(r), c.message + "\n" + kOptionsHint);
  }
}

TEST(RemoteOptions, TokenFromTheEnvironment) {
  {
    scoped_environment token(kRemoteTokenVariable, "from-env");
    run_result r = run({"-S", "p:1", "-u", "u", "-R", "--remotehost", "0.0.0.0"});
    ASSERT_FALSE(r.start.finished) << r.output;
    EXPECT_EQ(r.start.remote_token, "from-env");
    // The command line wins.
    r = run({"-S", "p:1", "-u", "u", "-R", "--remotetoken", "given"});
    EXPECT_EQ(r.start.remote_token, "given");
  }
  {
    // Empty means unset, as VAR= in a unit file or shell does.
    scoped_environment token(kRemoteTokenVariable, "");
    run_result r = run({"-S", "p:1", "-u", "u", "-R", "--remotehost", "0.0.0.0"});
    EXPECT_TRUE(r.start.finished);
    EXPECT_EQ(r.start.exit_code, 1);
  }
  {
    scoped_environment token(kRemoteTokenVariable, "has space");
    run_result r = run({"-S", "p:1", "-u", "u", "-R"});
    EXPECT_TRUE(r.start.finished);
    EXPECT_EQ(error_after_banner(r),
              "ORBECK_REMOTE_TOKEN: the token must be printable ASCII without spaces, and not "
              "empty\n" +
                  kOptionsHint);
  }
}

std::string gpu_list_of(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(i);
  return text;
}

TEST(StartUp, NicehashIsTurnedOffAboveTwentyFourGpus) {
  const std::string twenty_four = gpu_list_of(24);
  run_result r = run({"-S", "p:1", "-u", "u", "-G", twenty_four.c_str()});
  EXPECT_TRUE(cfg().nicehash);
  EXPECT_EQ(r.output, kBanner);

  const std::string twenty_five = gpu_list_of(25);
  r = run({"-S", "p:1", "-u", "u", "-G", twenty_five.c_str()});
  EXPECT_FALSE(cfg().nicehash);
  const std::string warning =
      "Nicehash support with more then 24 devices not possible: nicehash disabled\n";
  EXPECT_EQ(base::without_times(r.output), kBanner + warning);

  // The warning comes before the --help check.
  r = run({"--help", "-G", twenty_five.c_str()});
  EXPECT_EQ(r.start.exit_code, 1);
  EXPECT_EQ(base::without_times(r.output).substr(0, kBanner.size() + warning.size()), kBanner + warning);
}

TEST(StartUp, BenchmarkNeedsNoPoolButAPositiveTime) {
  run_result r = run({"--benchmark", "5", "--algo", "0"});
  EXPECT_FALSE(r.start.finished);
  EXPECT_EQ(cfg().benchmark_seconds, 5);
  r = run({"--benchmark", "-3"});
  EXPECT_TRUE(r.start.finished);
  EXPECT_EQ(r.start.exit_code, 1);
}

TEST(StartUp, LogFileGetsEverythingAfterTheBanner) {
  char path[] = "/tmp/orbeck-log-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  run_result r = run({"-S", "h:1", "-u", "w", "--algo", "12", "--log", path});
  EXPECT_EQ(base::read_file(path), r.output.substr(kBanner.size()));
  base::printer::inst().close_log();
  std::remove(path);
}

// Every value that would be wrapped, clamped, ignored or retried for ever
// is refused at start: one line naming the option (or the config file's
// place and key), then the options hint for the command line, exit code 1.
// A case with an empty line starts. `file` is the config file's text (none
// when empty); FILE in it and in the line stands for its path.
TEST(Refusals, EveryBadValueIsRefusedWithOneLineNamingIt) {
  char dir_pattern[] = "/tmp/orbeck-refusals-XXXXXX";
  ASSERT_NE(mkdtemp(dir_pattern), nullptr);
  const std::string dir = dir_pattern;
  const std::string file_path = dir + "/orbeck.json";
  const std::string fifo_path = dir + "/fifo.json";
  ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
  const std::string port_rule = "the port must be 1 to 65535 (0 picks a free one)";
  const std::string gpu_rule = "expected GPU indices of 0 or more separated by commas, e.g. 0,1,2";
  const std::string level_rule = "each level must be -1 (automatic) or 0 to 12, separated by commas";
  const std::string no_port = "no port: give host:port, or [address]:port for an IPv6 address";
  const std::string cpu_rule = "it must be auto or a thread count of 0 (off) to 255";
  const std::string no_log = "cannot open the log file for appending: No such file or directory";
  struct refusal_case {
    std::vector<std::string> args;
    std::string file;
    std::string line;
    int exit_code;
  };
  const refusal_case cases[] = {
      {{"--remoteport", "70000"}, "", "--remoteport 70000: " + port_rule, 1},
      {{"--remoteport", "-1"}, "", "--remoteport -1: " + port_rule, 1},
      {{"--remoteport", "0"}, "", "", 0},
      {{"--intensity", "abc"}, "", "--intensity abc: " + level_rule, 1},
      {{"--intensity", "13"}, "", "--intensity 13: " + level_rule, 1},
      {{"-I", "8,,9"}, "", "--intensity 8,,9: " + level_rule, 1},
      {{"-I", "-1,0,12"}, "", "", 0},
      {{"-G", "0,,1"}, "", "--gpu 0,,1: an empty GPU index (two commas in a row, or one at an end)", 1},
      {{"-G", "2,"}, "", "--gpu 2,: an empty GPU index (two commas in a row, or one at an end)", 1},
      {{"-G", "0,0"}, "", "--gpu 0,0: GPU 0 is listed twice", 1},
      {{"-G", "1 2 1"}, "", "--gpu 1 2 1: GPU 1 is listed twice", 1},
      {{"-G", "-1"}, "", "--gpu -1: " + gpu_rule, 1},
      {{"-G", "0;1"}, "", "--gpu 0;1: " + gpu_rule, 1},
      {{"-G", "0, 1 2"}, "", "", 0},
      {{"--reconnects", "-1"}, "", "--reconnects -1: the count must be 0 (retry for ever) or more", 1},
      {{"--opencl", "-2"}, "", "--opencl -2: the platform index must be 0 or more (-1 detects it)", 1},
      {{"--xgroupsize", "-16"}, "", "--xgroupsize -16: the hashes per round must be 0 (from the intensity) or more", 1},
      {{"--xnumqueues", "3"}, "", "--xnumqueues 3: the queue count must be 0 (from the intensity), 1 or 2", 1},
      {{"--keepalive", "-1"}, "", "--keepalive -1: it must be 0 (off) or more seconds", 1},
      {{"--autotune-seconds", "-0.5"}, "", "--autotune-seconds -0.5: it must be 0 (the default) or more seconds, below 1e9", 1},
      {{"--autotune-seconds", "2e9"}, "", "--autotune-seconds 2e+09: it must be 0 (the default) or more seconds, below 1e9", 1},
      {{"--autotune-candidates", "-1"}, "", "--autotune-candidates -1: the count must be 0 (every candidate) or more", 1},
      {{"--cpu-huge-pages", "0"}, "", "--cpu-huge-pages 0: expected on or off", 1},
      {{"--cn-r-context-builds", "-1"}, "", "--cn-r-context-builds -1: the count must be 0 (never) or more", 1},
      {{"--cpu-ways", "5"}, "", "--cpu-ways 5: the hashes per thread must be 1 to 4 (0 = chosen per algorithm)", 1},
      {{"--cpu-ways", "-1"}, "", "--cpu-ways -1: the hashes per thread must be 1 to 4 (0 = chosen per algorithm)", 1},
      {{"-S", "pool.example"}, "", "--pool pool.example: " + no_port, 1},
      {{"-S", "a:1", "-S", "stratum+ssl://b"}, "", "--pool stratum+ssl://b: " + no_port, 1},
      {{"-S", "host:0"}, "", "--pool host:0: the port must be 1 to 65535", 1},
      {{"-S", "host:99999"}, "", "--pool host:99999: the port must be 1 to 65535", 1},
      {{"-S", "::1:3333"}, "", "--pool ::1:3333: an IPv6 address goes in brackets: [address]:port", 1},
      {{"-S", "[::1]3333"}, "", "--pool [::1]3333: expected [address]:port for an IPv6 address", 1},
      {{"-S", "stratum+ssl://[::1]:3333"}, "", "", 0},
      {{"--log", "/nonexistent/dir/x.log"}, "", "--log /nonexistent/dir/x.log: " + no_log, 1},
      {{"--cpu-threads", "lots"}, "", "--cpu-threads lots: " + cpu_rule, 1},
      {{"--cpu-threads", "256"}, "", "--cpu-threads 256: " + cpu_rule, 1},
      {{"--cpu-threads", "-1"}, "", "--cpu-threads -1: " + cpu_rule, 1},
      {{"--cpu-threads", "auto"}, "", "", 0},
      {{"--cpu-threads", "0"}, "", "", 0},
      {{}, "{\"cpu-threads\": 300}", "FILE:1:2: key \"cpu-threads\": 300: " + cpu_rule, 1},
      {{}, "{\"cpu-threads\": \"auto\"}", "", 0},
      // The text the algorithm check always printed stays.
      {{"--algo", std::to_string(crypto::kAlgoCount)}, "",
       "Algo " + std::to_string(crypto::kAlgoCount) +
           " not supported. Algo must be in the range -1 to " +
           std::to_string(crypto::kAlgoCount - 1),
       1},
      // The same rules for the config file, named where the value stands.
      {{}, "{\"remoteport\": 70000}", "FILE:1:2: key \"remoteport\": 70000: " + port_rule, 1},
      {{}, "{\n  \"gpu\": [-1]\n}", "FILE:2:3: key \"gpu\": -1: " + gpu_rule, 1},
      {{}, "{\"gpu\": [1, 1]}", "FILE:1:2: key \"gpu\": 1,1: GPU 1 is listed twice", 1},
      {{}, "{\"reconnects\": -1}", "FILE:1:2: key \"reconnects\": -1: the count must be 0 (retry for ever) or more", 1},
      {{}, "{\"intensity\": [8, 13]}", "FILE:1:2: key \"intensity\": 8,13: " + level_rule, 1},
      {{}, "{\"log\": \"/nonexistent/dir/x.log\"}", "FILE:1:2: key \"log\": /nonexistent/dir/x.log: " + no_log, 1},
      {{"-S", "-"}, "{\"pools\": [\n {\"url\": \"host\"}]}", "FILE:2:3: key \"url\": host: " + no_port, 1},
      // A value given on the command line replaces the file's, bad or not.
      {{"--remoteport", "7000"}, "{\"remoteport\": 70000}", "", 0},
      {{"--reconnects", "-2"}, "{\"reconnects\": 5}", "--reconnects -2: the count must be 0 (retry for ever) or more", 1},
  };
  for (const refusal_case& c : cases) {
    std::vector<std::string> args = {"orbeck-vega"};
    if (!c.file.empty()) {
      std::ofstream(file_path, std::ios::trunc) << c.file;
      args.insert(args.end(), {"--config", file_path});
    }
    const bool gives_pool = std::find(c.args.begin(), c.args.end(), "-S") != c.args.end();
    if (!gives_pool) args.insert(args.end(), {"-S", "a:1"});
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (gives_pool && c.args[1] == "-") args.resize(args.size() - 2);  // the file's pools
    args.insert(args.end(), {"-u", "u"});
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    const std::string input = c.args.empty() ? c.file : c.args.back();
    cfg() = config{};
    base::console_capture capture;
    const startup_result r = start_up(static_cast<int>(argv.size()), argv.data());
    const std::string output = base::without_times(capture.text());
    if (c.line.empty()) {
      EXPECT_FALSE(r.finished) << input << ": " << output;
      continue;
    }
    const std::string line = std::regex_replace(c.line, std::regex("FILE"), file_path);
    const std::string hint = c.line.rfind("FILE", 0) == 0 ? "" : kOptionsHint;
    EXPECT_TRUE(r.finished) << input;
    EXPECT_EQ(r.exit_code, c.exit_code) << input;
    EXPECT_EQ(output, kBanner + line + "\n" + hint) << input;
  }

  // A FIFO (or anything but a regular file) is refused without being opened,
  // which would wait for a writer.
  cfg() = config{};
  base::console_capture capture;
  const char* fifo_args[] = {"orbeck-vega", "--config", fifo_path.c_str()};
  const startup_result r = start_up(3, fifo_args);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(base::without_times(capture.text()), fifo_path + ": the config file is not a regular file\n");
  std::remove(fifo_path.c_str());
  std::remove(file_path.c_str());
  rmdir(dir.c_str());
}

TEST(GpuList, ParsesLikeAStreamOfIntegers) {
  struct {
    const char* text;
    std::vector<uint32_t> expected;
  } cases[] = {
      {"0,1,2", {0, 1, 2}}, {"0 1", {0, 1}},    {"0;1", {0}},       {"0,1,,2", {0, 1}},
      {"", {7}},            {"abc", {}},        {" 3", {3}},        {"-1", {0xFFFFFFFFu}},
      {"4,", {4}},          {"1, 2", {1, 2}},
  };
  for (const auto& c : cases) {
    std::vector<uint32_t> list{7};
    parse_gpu_list(c.text, list);
    EXPECT_EQ(list, c.expected) << "'" << c.text << "'";
  }
}

}  // namespace
}  // namespace app
