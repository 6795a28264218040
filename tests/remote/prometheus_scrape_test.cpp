// A real Prometheus (Debian's prometheus package) scraping the remote access
// server on loopback with the bearer token from a file, and promtool
// accepting the farm example configuration. Skipped when prometheus is not
// installed.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "loopback_client.h"
#include "remote/metrics_writer.h"
#include "remote/remote_access_server.h"
#include "support/console_capture.h"
#include "support/process_runner.h"

namespace network {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char kPrometheus[] = "/usr/bin/prometheus";
const char kPromtool[] = "/usr/bin/promtool";
const char kToken[] = "scrape-me-2f9d";

class rig_stats : public StatsSource {
 public:
  std::string stats_json() const override { return "{}\n"; }
  std::string metrics_text() const override {
    metrics_writer w;
    w.gauge("orbeck_hashrate", "Current hash rate in H/s.", {{"device", "GPU0"}}, 1953.5);
    w.counter("orbeck_shares_accepted_total", "Shares accepted by the pool.", 4321);
    return w.text();
  }
};

// A scratch directory removed with everything in it.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (fs::temp_directory_path() / "orbeck-prom-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  fs::path write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name) << text;
    return path_ / name;
  }

 private:
  fs::path path_;
};

// A loopback port that was free a moment ago (Prometheus needs a number).
uint16_t free_port() {
  base::console_capture quiet;
  struct nothing : MicroHTTPD::RequestHandler {
    void handle_request(const std::string&, const std::string&, const header_map&,
                        response_record&) override {}
  } handler;
  MicroHTTPD probe(&handler, 0);
  return probe.port();
}

// "up" per job from Prometheus's query API; empty while it has no answer.
std::map<std::string, std::string> up_by_job(uint16_t port) {
  std::map<std::string, std::string> result;
  const std::string reply = remote_test::exchange(
      port, "GET /api/v1/query?query=up HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", 2s);
  const size_t body = reply.find("\r\n\r\n");
  if (body == std::string::npos) return result;
  rapidjson::Document document;
  document.Parse(reply.c_str() + body + 4);
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("data"))
    return result;
  const auto& data = document["data"];
  if (!data.IsObject() || !data.HasMember("result") || !data["result"].IsArray()) return result;
  for (const auto& series : data["result"].GetArray()) {
    if (!series.IsObject() || !series.HasMember("metric") || !series.HasMember("value")) continue;
    const auto& metric = series["metric"];
    const auto& value = series["value"];
    if (!metric.HasMember("job") || !value.IsArray() || value.Size() != 2 || !value[1].IsString()) {
      continue;
    }
    result[metric["job"].GetString()] = value[1].GetString();
  }
  return result;
}

TEST(Prometheus, ScrapesWithTheBearerTokenFromAFile) {
  if (::access(kPrometheus, X_OK) != 0) {
    GTEST_SKIP() << kPrometheus << " is not installed (Debian package prometheus); not tested";
  }
  base::console_capture console;
  rig_stats stats;
  RemoteAccessServer server(stats, listen_settings{}, kToken);
  ASSERT_TRUE(server.running());
  scratch_dir dir;
  ASSERT_FALSE(dir.path().empty());
  // Prometheus strips the final newline of a credentials file.
  const fs::path right = dir.write("token", std::string(kToken) + "\n");
  const fs::path wrong = dir.write("wrong-token", "not-the-token\n");
  const std::string target = "127.0.0.1:" + std::to_string(server.port());
  auto job = [&](const char* name, const fs::path& credentials) {
    return std::string("  - job_name: ") + name + "\n" +
           "    authorization:\n      type: Bearer\n      credentials_file: " +
           credentials.string() + "\n    static_configs:\n      - targets: ['" + target + "']\n";
  };
  const fs::path config = dir.write(
      "prometheus.yml", "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n" +
                            job("rig", right) + job("wrong", wrong));
  const uint16_t web_port = free_port();
  ASSERT_NE(web_port, 0);

  app::process_options options;
  options.timeout = 50s;
  std::map<std::string, std::string> up;
  auto next_query = std::chrono::steady_clock::now();
  options.on_output = [&](int pid, int, const std::string&) {
    if (std::chrono::steady_clock::now() < next_query) return false;
    next_query = std::chrono::steady_clock::now() + 250ms;
    up = up_by_job(web_port);
    if (up.count("rig") != 0 && up.count("wrong") != 0) ::kill(pid, SIGTERM);
    return false;
  };
  const app::process_result r = app::run_process(
      kPrometheus,
      {"--config.file=" + config.string(), "--storage.tsdb.path=" + (dir.path() / "data").string(),
       "--web.listen-address=127.0.0.1:" + std::to_string(web_port), "--log.level=warn"},
      options);
  ASSERT_FALSE(r.timed_out) << "no scrape result within the time limit\n" << r.output;
  EXPECT_EQ(up["rig"], "1") << r.output;
  // Without the right token the scrape fails, so the token is what counts.
  EXPECT_EQ(up["wrong"], "0") << r.output;
  EXPECT_EQ(console.text(), "");
}

TEST(Prometheus, FarmExampleConfigurationIsValid) {
  if (::access(kPromtool, X_OK) != 0) {
    GTEST_SKIP() << kPromtool << " is not installed (Debian package prometheus); not tested";
  }
  std::ifstream in(ORBECK_TEST_DATA_DIR "/../../contrib/prometheus-farm.yml");
  ASSERT_TRUE(in.good());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // promtool wants the credentials file to exist.
  scratch_dir dir;
  const fs::path token = dir.write("orbeck-token", std::string(kToken) + "\n");
  const std::string placeholder = "/etc/prometheus/orbeck-token";
  const size_t at = text.find("credentials_file: " + placeholder);
  ASSERT_NE(at, std::string::npos);
  text.replace(text.find(placeholder, at), placeholder.size(), token.string());
  const fs::path config = dir.write("prometheus-farm.yml", text);
  app::process_options options;
  options.timeout = 30s;
  const app::process_result r =
      app::run_process(kPromtool, {"check", "config", config.string()}, options);
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

}  // namespace
}  // namespace network
