// The config file: every key, the command line over the file, the pool list,
// and each error with its line and column.
#include "app/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config.h"
#include "support/console_capture.h"

namespace app {
namespace {

// A config file in a temporary directory, removed afterwards.
class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orbeck-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/orbeck.json";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  // start_up on --config <file> followed by args; the console text.
  std::string Start(const std::string& text, std::vector<const char*> args = {}) {
    Write(text);
    cfg() = config{};
    args.insert(args.begin(), {"orbeck-vega", "--config", path_.c_str()});
    base::console_capture capture;
    start_ = start_up(static_cast<int>(args.size()), args.data());
    return capture.text();
  }
  std::string dir_;
  std::string path_;
  startup_result start_;
};

std::string parse_error(const std::string& text) {
  config_file out;
  const base::status parsed = parse_config_text(text, "f.json", out);
  EXPECT_FALSE(parsed) << text;
  EXPECT_EQ(parsed.code(), base::status_code::kInvalidInput) << text;
  return parsed.message();
}

TEST(ConfigText, ErrorsNameTheLineColumnAndKey) {
  struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "f.json:1:1: malformed JSON: The document is empty."},
      {"{\n  \"algo\": 3,\n  \"intensity\" 8\n}",
       "f.json:3:15: malformed JSON: Missing a colon after a name of object member. (after key \"intensity\")"},
      {"{\"algo\": 3} x",
       "f.json:1:13: malformed JSON: The document root must not be followed by other values. (after key \"algo\")"},
      {"[1, 2]", "f.json:1:1: the file must hold one JSON object, not an array"},
      {"{\n\t\"algoo\": 3\n}", "f.json:2:2: key \"algoo\": unknown key"},
      {"{\"algo\": \"\"}", "f.json:1:2: key \"algo\": the string is empty"},
      {"{\"algo\": 2.5}", "f.json:1:2: key \"algo\": expected an integer or a string, not a number"},
      {"{\"algo\": 3000000000}", "f.json:1:2: key \"algo\": the integer 3000000000 is out of range"},
      {"{\"remoteport\": -1}", "f.json:1:2: key \"remoteport\": the integer -1 is out of range"},
      {"{\"anydevice\": 1}", "f.json:1:2: key \"anydevice\": expected true or false, not an integer"},
      {"{\"log\": null}", "f.json:1:2: key \"log\": expected a string, not null"},
      {"{\"gpu\": [0, \"1\"]}", "f.json:1:2: key \"gpu\": expected an array of integers, found a string"},
      {"{\"gpu\": []}", "f.json:1:2: key \"gpu\": the array is empty"},
      {"{\"temp-limit\": \"hot\"}", "f.json:1:2: key \"temp-limit\": expected a number, not a string"},
      {"{\"algo\": 1, \"algo\": 2}", "f.json:1:13: key \"algo\": given twice"},
      {"{\"pool\": \"h:1\"}", "f.json:1:2: key \"pool\": the pool list is \"pools\": [{\"url\": ...}]"},
      {"{\"config\": \"other.json\"}", "f.json:1:2: key \"config\": unknown key"},
      {"{\"pools\": {}}", "f.json:1:2: key \"pools\": expected an array of pool objects, not an object"},
      {"{\"pools\": []}", "f.json:1:2: key \"pools\": the pool list is empty"},
      {"{\"pools\": [\"h:1\"]}",
       "f.json:1:2: key \"pools\": pools[0] must be an object with \"url\", not a string"},
      {"{\"pools\": [{\"url\": \"h:1\"},\n  {\"user\": \"me\"}]}", "f.json:2:3: pools[1] has no \"url\""},
      {"{\"pools\": [{\"url\": \"h:1\", \"password\": \"x\"}]}",
       "f.json:1:27: key \"password\": unknown key in pools[0] (known: url, user, pass, tls-fingerprint)"},
      {"{\"pools\": [{\"url\": 5}]}", "f.json:1:13: key \"url\": expected a string, not an integer"},
      {"{\"pools\": [{\"url\": \"\"}]}", "f.json:1:13: key \"url\": the pool address is empty"},
      {"{\"pools\": [{\"url\": \"a\", \"url\": \"b\"}]}", "f.json:1:25: key \"url\": given twice in pools[0]"},
      {"{\"a\\\"b\": 1}", "f.json:1:2: key \"a\"b\": unknown key"},
      {"{\"user\": \"\xff\"}", "f.json:1:11: malformed JSON: Invalid encoding in string. (after key \"user\")"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
  // A multi-byte sequence cut off by the end of the file (found by fuzzing:
  // the check read past the end).
  EXPECT_EQ(parse_error("{\"user\": \"\xf0"), "f.json:1:11: malformed JSON: Invalid encoding in string. (after key \"user\")");
  EXPECT_EQ(parse_error(std::string("{\"a\": 1}\0", 9)), "f.json:1:9: the file contains a NUL byte");

  // Nesting is refused before it can exhaust anything.
  const std::string deep = "{\"gpu\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_EQ(parse_error(deep).substr(0, 48), "f.json:1:24: values nested deeper than 16 levels");
}

TEST(ConfigText, ValuesBecomeOptionArguments) {
  config_file out;
  base::status parsed = parse_config_text(R"({"algo": -1, "remoteport": 4294967295, "anydevice": true,
      "noselftest": false, "gpu": [0, 2, 5], "intensity": "8,9", "xgroupsize": 64,
      "temp-limit": 82.5, "log": "", "user": "-dash"})",
                                          "f.json", out);
  ASSERT_TRUE(parsed) << parsed.message();
  EXPECT_EQ(out.arguments,
            (std::vector<std::string>{"--algo=-1", "--remoteport=4294967295", "--anydevice", "--gpu=0,2,5",
                                      "--intensity=8,9", "--xgroupsize=64", "--temp-limit=82.5",
                                      "--user=-dash"}));
  EXPECT_TRUE(out.pools.empty());
  // An algorithm is an id or a pool name; the option parser checks the name.
  parsed = parse_config_text(R"({"algo": "cn-pico/trtl"})", "f.json", out);
  ASSERT_TRUE(parsed) << parsed.message();
  EXPECT_EQ(out.arguments, (std::vector<std::string>{"--algo=cn-pico/trtl"}));
}

TEST(ConfigText, PositionsCountLinesAndBytes) {
  EXPECT_EQ(position_of("ab\ncd\n", 0).line, 1u);
  EXPECT_EQ(position_of("ab\ncd\n", 4).line, 2u);
  EXPECT_EQ(position_of("ab\ncd\n", 4).column, 2u);
  EXPECT_EQ(position_of("ab\ncd\n", 6).line, 3u);
  EXPECT_EQ(position_of("ab", 99).column, 3u);  // clamped to the end
}

TEST_F(ConfigFile, EveryKeyReachesTheConfiguration) {
  const std::string output = Start(R"({
    "pools": [{"url": "stratum+ssl://a.example:443", "user": "wa", "pass": "pa",
               "tls-fingerprint": "7ffaa4981f2c02028c9ccb449b98c8260da3a9145124f1f8ffa88853decc11a1"},
              {"url": "b.example:3333"}],
    "user": "shared", "password": "pw", "tls-fingerprint": "",
    "opencl": 1, "gpu": [0, 2], "reconnects": 7, "algo": 10, "nonicehash": true,
    "remoteaccess": true, "remoteport": 7001, "intensity": [8, 9], "fastjobswitch": true,
    "ratewatchdog": true, "maxmem": true, "forcecompute": true, "buildkernel": true,
    "nicehash": true, "xgroupsize": 32, "xnumqueues": 1, "anydevice": true, "noselftest": true,
    "benchmark": 0, "primary-retry": 30, "keepalive": 15, "autotune": false,
    "temp-limit": 90, "temp-resume": 70, "log": ""
  })");
  ASSERT_FALSE(start_.finished) << output;
  const config& c = cfg();
  ASSERT_EQ(c.pools.size(), 2u);
  EXPECT_EQ(c.pools[0].address, "stratum+ssl://a.example:443");
  EXPECT_EQ(c.pools[0].user, "wa");
  EXPECT_EQ(c.pools[0].password, "pa");
  ASSERT_TRUE(c.pools[0].tls_fingerprint.has_value());
  EXPECT_EQ((*c.pools[0].tls_fingerprint)[0], 0x7f);
  // The second pool takes the file's top-level user and password.
  EXPECT_EQ(c.pools[1].address, "b.example:3333");
  EXPECT_EQ(c.pools[1].user, "shared");
  EXPECT_EQ(c.pools[1].password, "pw");
  EXPECT_FALSE(c.pools[1].tls_fingerprint.has_value());
  EXPECT_EQ(c.pool_address, "stratum+ssl://a.example:443");
  EXPECT_EQ(c.user, "wa");
  EXPECT_EQ(c.platform_index, 1);
  EXPECT_EQ(c.gpu_list, (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(c.max_reconnects, 7);
  EXPECT_EQ(c.algorithm, 10);
  EXPECT_FALSE(c.nicehash);
  EXPECT_TRUE(start_.remote_access);
  EXPECT_EQ(start_.remote_port, 7001u);
  EXPECT_EQ(c.intensity_text, "8,9");
  EXPECT_TRUE(c.fast_job_switch && c.rate_watchdog && c.max_mem && c.force_compute && c.build_kernel);
  EXPECT_EQ(c.group_size, 32);
  EXPECT_EQ(c.num_queues, 1);
  EXPECT_TRUE(c.any_device && c.no_self_test);
  EXPECT_FALSE(c.autotune);
  EXPECT_EQ(c.benchmark_seconds, 0);
  EXPECT_EQ(c.primary_retry_s, 30);
  EXPECT_EQ(c.keepalive_s, 15);
  EXPECT_EQ(c.temp_limit_c, 90);
  EXPECT_EQ(c.temp_resume_c, 70);
  EXPECT_EQ(c.log_path, "");
}

TEST_F(ConfigFile, TheCommandLineOverridesTheFile) {
  const std::string file = R"({"pools": [{"url": "a:1", "user": "ua"}, {"url": "b:2", "user": "ub"}],
                               "algo": "CN/Half", "remoteport": 7001, "gpu": [1], "temp-limit": 80})";
  std::string output = Start(file, {"-a", "7", "--remoteport", "9000", "-G", "0,1"});
  ASSERT_FALSE(start_.finished) << output;
  EXPECT_EQ(cfg().algorithm, 7);
  EXPECT_EQ(start_.remote_port, 9000u);
  EXPECT_EQ(cfg().gpu_list, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(cfg().temp_limit_c, 80);
  EXPECT_EQ(cfg().temp_resume_c, 70);  // limit minus 10
  ASSERT_EQ(cfg().pools.size(), 2u);

  // A user given once on the command line applies to every pool of the file.
  output = Start(file, {"-u", "cli"});
  ASSERT_EQ(cfg().pools.size(), 2u) << output;
  EXPECT_EQ(cfg().pools[0].user, "cli");
  EXPECT_EQ(cfg().pools[1].user, "cli");

  // -S replaces the file's whole pool list.
  output = Start(file, {"-S", "c:3", "-u", "uc"});
  ASSERT_EQ(cfg().pools.size(), 1u) << output;
  EXPECT_EQ(cfg().pools[0].address, "c:3");
  EXPECT_EQ(cfg().pools[0].user, "uc");
  EXPECT_EQ(cfg().algorithm, 11);  // the file's "CN/Half"

  // Three users for the file's two pools: the pool-list rule speaks.
  output = Start(file, {"-u", "x", "-u", "y", "-u", "z"});
  EXPECT_TRUE(start_.finished);
  EXPECT_EQ(start_.exit_code, 1);
  EXPECT_NE(output.find("--user is given 3 times for 2 pools"), std::string::npos) << output;
}

TEST_F(ConfigFile, ErrorsExitWithOneAndOneLine) {
  std::string output = Start("{\n  \"algo\": true\n}");
  EXPECT_TRUE(start_.finished);
  EXPECT_EQ(start_.exit_code, 1);
  EXPECT_EQ(base::without_times(output),
            path_ + ":2:3: key \"algo\": expected an integer or a string, not a boolean\n");

  // A name that is no algorithm is refused by the option parser, naming the file.
  output = Start("{\"algo\": \"cn/turtle\"}");
  EXPECT_EQ(start_.exit_code, 1);
  EXPECT_EQ(base::without_times(output),
            path_ + ": the argument ('cn/turtle') for option '--algo' is invalid\n");

  output = Start("{\"temp-limit\": 80, \"temp-resume\": 85, \"pools\": [{\"url\": \"a:1\", \"user\": \"u\"}]}");
  EXPECT_EQ(start_.exit_code, 1);
  EXPECT_NE(output.find("--temp-resume must be below --temp-limit"), std::string::npos) << output;

  // A file that is not there, a directory, a file too large.
  for (const std::string& path : {dir_ + "/missing.json", dir_}) {
    cfg() = config{};
    const char* args[] = {"orbeck-vega", "--config", path.c_str()};
    base::console_capture capture;
    start_ = start_up(3, args);
    EXPECT_EQ(start_.exit_code, 1);
    EXPECT_EQ(base::without_times(capture.text()).substr(0, path.size() + 2), path + ": ") << capture.text();
  }
  output = Start("{\"log\": \"" + std::string(1 << 20, 'x') + "\"}");
  EXPECT_EQ(start_.exit_code, 1);
  EXPECT_EQ(base::without_times(output), path_ + ": the config file is larger than 1 MiB\n");
}

TEST_F(ConfigFile, TheExampleFileUsesEveryKeyAndStarts) {
  const std::string example = base::read_file(std::string(ORBECK_SOURCE_DIR) + "/contrib/orbeck.json");
  ASSERT_FALSE(example.empty());
  std::set<std::string> missing;
  for (const file_key& key : config_file_keys()) {
    if (example.find("\"" + std::string(key.name) + "\":") == std::string::npos) missing.insert(key.name);
  }
  EXPECT_TRUE(missing.empty()) << "keys the example leaves out: " << *missing.begin();
  EXPECT_NE(example.find("\"pools\":"), std::string::npos);

  const std::string output = Start(example);
  ASSERT_FALSE(start_.finished) << output;
  EXPECT_EQ(cfg().pools.size(), 2u);
  EXPECT_EQ(cfg().temp_limit_c, 85);
  EXPECT_TRUE(start_.remote_access);
}

// Regression: the option library's message for a value holding its own
// placeholder never finished (found by fuzz_config).
TEST(ConfigText, APercentInARejectedValueDoesNotHang) {
  config c;
  const char* args[] = {"orbeck-vega", "--algo=%value%"};
  const options_result r = read_options(2, args, c, read_config_file);
  EXPECT_TRUE(r.rejected);
  EXPECT_EQ(r.error, "an option or its value is not valid (the text contains '%' and is not repeated here)");
}

// Every key of the file is an option the parser knows: a key table and an
// option table that drift apart would reject the file at start.
TEST(ConfigText, EveryKeyIsAnOption) {
  for (const file_key& key : config_file_keys()) {
    config c;
    std::string argument = std::string("--") + key.name;
    if (key.value != file_value::kSwitch) argument += "=1";
    const char* args[] = {"orbeck-vega", argument.c_str()};
    const options_result r = read_options(2, args, c, read_config_file);
    EXPECT_FALSE(r.rejected) << key.name << ": " << r.error;
  }
}

}  // namespace
}  // namespace app
