// jpsock against a fake pool on loopback: login, jobs, shares, every
// rejected line, framing over real reads, time-outs and disconnects.
#include "net/jpsock.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "fake_pool.h"
#include "net_test_util.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace net {
namespace {

const std::string kAccepted = "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"status\":\"OK\"}}\n";

std::string error_reply(const std::string& message) {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":{\"code\":-1,\"message\":\"" + message + "\"}}\n";
}

// A job line padded with blanks to exactly `total` bytes, line feed included.
std::string padded_job_line(size_t total) {
  std::string line = job_line("pad", "0707", "b88d0600");
  line.pop_back();
  line.append(total - line.size() - 1, ' ');
  line.push_back('\n');
  return line;
}

TEST(JpsockLogin, SucceedsAndPublishesTheFirstJob) {
  pool_session s;
  s.pool.answer_login_with(standard_login_reply());
  ASSERT_TRUE(s.connect());
  ASSERT_TRUE(s.sock.login("user", "x"));

  EXPECT_EQ(s.pool.wait_for_line(0, kWait).value_or("<none>"),
            "{\"method\":\"login\",\"params\":{\"login\":\"user\",\"pass\":\"x\","
            "\"agent\":\"orbeck/1.5.0\",\"algo\":[\"cn/0\",\"cn/1\",\"cn-heavy/0\","
            "\"cn-lite/0\",\"cn-lite/1\",\"cn-heavy/tube\",\"cn/xtl\",\"cn-heavy/xhv\","
            "\"cn/msr\",\"cn/fast\",\"cn/rto\",\"cn/2\",\"cn/half\",\"cn/rwz\",\"cn/zls\","
            "\"cn/double\",\"cn/xao\",\"cn/ccx\",\"cn-pico\",\"cn-pico/trtl\",\"cn-pico/tlo\","
            "\"cn/upx2\",\"cn/r\",\"cn/gpu\"]},\"id\":1}");
  EXPECT_STREQ(s.sock.miner_id(), "abc");
  EXPECT_TRUE(s.sock.is_logged_in());
  EXPECT_TRUE(s.sock.is_connected());
  EXPECT_FALSE(s.sock.error_set());
  EXPECT_EQ(s.sock.difficulty(), 10000u);

  auto event = s.expect_event(core::kNewJob);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->pool_id, core::kPoolUser);
  const auto& job = std::get<core::job_record>(event->payload);
  EXPECT_STREQ(job.job_id, "1");
  EXPECT_EQ(job.blob_length, 2u);
  EXPECT_EQ(job.blob[0], 0x07);
  EXPECT_EQ(job.blob[1], 0x07);
  EXPECT_EQ(job.blob[2], 0x00);
  EXPECT_EQ(job.target, 0x00068db8u);

  core::job_record current;
  ASSERT_TRUE(s.sock.get_current_job(current));
  EXPECT_EQ(std::memcmp(&current, &job, sizeof(job)), 0);
}

TEST(JpsockLogin, RefusedByAnErrorReplyKeepsTheConnection) {
  pool_session s;
  s.pool.answer_login_with(error_reply("invalid login"));
  ASSERT_TRUE(s.connect());
  const base::status refused = s.sock.login("user", "x");
  EXPECT_EQ(refused.code(), base::status_code::kInvalidInput);
  EXPECT_EQ(refused.message(), "invalid login");
  EXPECT_FALSE(s.sock.error_set());
  EXPECT_EQ(s.sock.get_call_error(), "invalid login");
  EXPECT_FALSE(s.sock.is_logged_in());
  EXPECT_TRUE(s.sock.is_connected());

  // Still alive: a notification is still turned into a job.
  ASSERT_TRUE(s.pool.send(job_line("2", "0808", "ffff")));
  auto event = s.expect_event(core::kNewJob);
  ASSERT_TRUE(event);
  EXPECT_STREQ(std::get<core::job_record>(event->payload).job_id, "2");
}

TEST(JpsockLogin, MalformedResultsEndTheConnectionWithTheirText) {
  const std::string id64(64, 'i');
  const struct {
    std::string reply;
    std::string text;
  } cases[] = {
      {"{\"id\":1,\"result\":\"ok\"}\n", "Job Error: Login protocol error 1"},
      {"{\"id\":1,\"result\":null}\n", "Job Error: Login protocol error 1"},
      {"{\"id\":1,\"result\":{\"id\":\"abc\"}}\n", "Job Error: Login protocol error 2"},
      {"{\"id\":1,\"result\":{\"job\":{}}}\n", "Job Error: Login protocol error 2"},
      {"{\"id\":1,\"result\":{\"id\":7,\"job\":{}}}\n", "Job Error: Login protocol error 2"},
      {login_result_line(id64, job_object("1", "07", "ffff")), "Job Error: Login protocol error 3"},
      {login_result_line("abc", "5"), "Job Error: Job error 1"},
      // The job error wins over the receive error the disconnect causes.
      {login_result_line("abc", job_object("1", "07", "00000000")),
       "Job Error: invalid target: 00000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    pool_session s;
    s.pool.answer_login_with(c.reply);
    ASSERT_TRUE(s.connect());
    const base::status failed = s.sock.login("user", "x");
    EXPECT_EQ(failed.code(), base::status_code::kNetworkError);
    EXPECT_EQ(failed.message(), c.text);  // the connection's first error
    EXPECT_TRUE(s.sock.error_set());
    EXPECT_FALSE(s.sock.is_logged_in());
    EXPECT_EQ(s.socket_error_text(), c.text);
    EXPECT_TRUE(s.pool.wait_for_client_close(kWait));
  }
}

TEST(JpsockLogin, MinerIdOf63CharactersIsAccepted) {
  pool_session s;
  const std::string id63(63, 'm');
  s.pool.answer_login_with(login_result_line(id63, job_object("1", "07", "ffff")));
  ASSERT_TRUE(s.connect());
  ASSERT_TRUE(s.sock.login("user", "x"));
  EXPECT_EQ(std::string(s.sock.miner_id()), id63);
}

TEST(JpsockLogin, EscapesQuotesAndBackslashesInUserAndPassword) {
  pool_session s;
  s.pool.answer_login_with(standard_login_reply());
  ASSERT_TRUE(s.connect());
  const char* user = "we\"ird\\user";
  const char* password = "pa\\ss\"word\n";
  ASSERT_TRUE(s.sock.login(user, password));

  std::string line = s.pool.wait_for_line(0, kWait).value_or("");
  rapidjson::Document request;
  request.Parse(line.c_str());
  ASSERT_FALSE(request.HasParseError()) << line;
  EXPECT_STREQ(request["params"]["login"].GetString(), user);
  EXPECT_STREQ(request["params"]["pass"].GetString(), password);
  EXPECT_NE(line.find(R"("login":"we\"ird\\user")"), std::string::npos) << line;
}

TEST(JpsockLogin, OverlongRequestIsCutAt1023Bytes) {
  pool_session s(std::chrono::milliseconds(300));
  ASSERT_TRUE(s.connect());
  // Escaping happens before the cut: 600 quotes become 1200 characters.
  const std::string user(600, '"');
  EXPECT_FALSE(s.sock.login(user.c_str(), "x"));
  const std::string sent = s.pool.wait_for_partial(1023, kWait);
  EXPECT_EQ(sent.size(), 1023u);
  const std::string head = "{\"method\":\"login\",\"params\":{\"login\":\"";
  EXPECT_EQ(sent.substr(0, head.size()), head);
  for (size_t i = head.size(); i < sent.size(); i += 2) ASSERT_EQ(sent.substr(i, 2), "\\\"") << i;
  EXPECT_EQ(s.socket_error_text(), "Socket Error: Timeout while waiting for a reply");
}

// The answer to each request, with the request's id.
fake_pool::responder answering(std::string reply) {
  return [reply](const std::string& line) { return reply_for(line, reply); };
}

// The next share_result event of the session.
std::optional<core::share_result> next_share_result(pool_session& s) {
  auto event = s.expect_event(core::kShareResult);
  if (!event) return std::nullopt;
  return std::get<core::share_result>(event->payload);
}

TEST(JpsockSubmit, SendsTheShareAndTheAcceptanceArrivesAsAnEvent) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(answering(kAccepted));
  uint8_t hash[32];
  for (int i = 0; i < 32; ++i) hash[i] = static_cast<uint8_t>(i * 8 + 1);
  EXPECT_TRUE(s.sock.submit("job-7", 0x12345678u, hash, "", 9));
  // The login was request 1; the submit is request 2.
  EXPECT_EQ(s.pool.wait_for_line(1, kWait).value_or("<none>"),
            "{\"method\":\"submit\",\"params\":{\"id\":\"abc\",\"job_id\":\"job-7\","
            "\"nonce\":\"78563412\",\"result\":\"0109111921293139414951596169717981899199a1a9b1b9"
            "c1c9d1d9e1e9f1f9\"},\"id\":2}");
  auto result = next_share_result(s);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, core::kShareAccepted);
  EXPECT_EQ(result->cookie, 9u);
  EXPECT_FALSE(s.sock.error_set());
  EXPECT_EQ(s.sock.outstanding(), 0u);
}

TEST(JpsockSubmit, EchoesTheAlgorithmTheJobNamed) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(answering(kAccepted));
  uint8_t hash[32] = {};
  EXPECT_TRUE(s.sock.submit("j", 1, hash, "cn/2"));
  EXPECT_EQ(s.pool.wait_for_line(1, kWait).value_or("<none>"),
            "{\"method\":\"submit\",\"params\":{\"id\":\"abc\",\"job_id\":\"j\","
            "\"nonce\":\"01000000\",\"result\":\"" + std::string(64, '0') +
                "\",\"algo\":\"cn/2\"},\"id\":2}");
}

TEST(JpsockDialect, AnUnknownNotificationKeepsTheConnectionAndTheJob) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  ASSERT_TRUE(s.pool.send("{\"jsonrpc\":\"2.0\",\"method\":\"mining.set_difficulty\",\"params\":[5]}\n"));
  // The next job still arrives on the same connection.
  ASSERT_TRUE(s.pool.send(job_line("2", "0808", "ffff")));
  auto event = s.expect_event(core::kNewJob);
  ASSERT_TRUE(event);
  EXPECT_STREQ(std::get<core::job_record>(event->payload).job_id, "2");
  EXPECT_TRUE(s.sock.is_connected());
  EXPECT_TRUE(s.sock.is_logged_in());
  EXPECT_FALSE(s.sock.error_set());
  EXPECT_EQ(s.pool.connection_count(), 1u);
}

TEST(JpsockSubmit, RejectionsCarryThePoolsMessageAndKeepTheConnection) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(answering(error_reply("Unauthenticated")));
  const uint8_t hash[32] = {};
  EXPECT_TRUE(s.sock.submit("1", 1, hash));
  auto result = next_share_result(s);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, core::kShareRejected);
  EXPECT_EQ(result->reason, "Unauthenticated");
  EXPECT_FALSE(s.sock.error_set());
  EXPECT_TRUE(s.sock.is_connected());

  // An error beside a result is still a rejection.
  s.pool.set_responder(answering(
      "{\"id\":1,\"error\":{\"code\":-1,\"message\":\"Low difficulty share\"},\"result\":{\"status\":\"OK\"}}\n"));
  EXPECT_TRUE(s.sock.submit("1", 2, hash));
  result = next_share_result(s);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, core::kShareRejected);
  EXPECT_EQ(result->reason, "Low difficulty share");

  s.pool.set_responder(answering(kAccepted));
  EXPECT_TRUE(s.sock.submit("1", 3, hash));
  result = next_share_result(s);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, core::kShareAccepted);
}

TEST(JpsockSubmit, DeeplyNestedResultIsAnAcceptance) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(answering("{\"id\":1,\"error\":null,\"result\":" + std::string(1900, '[') + "\"deep\"" +
                                 std::string(1900, ']') + "}\n"));
  const uint8_t hash[32] = {};
  EXPECT_TRUE(s.sock.submit("1", 1, hash));
  auto result = next_share_result(s);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, core::kShareAccepted);
  EXPECT_FALSE(s.sock.error_set());
}

TEST(JpsockSubmit, RepliesOutOfOrderReachTheirOwnShares) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(nullptr);
  const uint8_t hash[32] = {};
  for (uint64_t cookie = 10; cookie < 13; ++cookie) ASSERT_TRUE(s.sock.submit("1", 1, hash, "", cookie));
  ASSERT_TRUE(s.pool.wait_for_line(3, kWait));
  EXPECT_EQ(s.sock.outstanding(), 3u);
  // Requests 2, 3, 4 answered as 4 (rejected), 2 (accepted), 3 (rejected).
  ASSERT_TRUE(s.pool.send("{\"id\":4,\"error\":{\"message\":\"Duplicate share\"}}\n"
                          "{\"id\":2,\"error\":null,\"result\":{\"status\":\"OK\"}}\n"
                          "{\"id\":3,\"error\":{\"message\":\"Block expired\"}}\n"));
  const std::pair<uint64_t, std::string> expected[] = {{12, "Duplicate share"}, {10, ""}, {11, "Block expired"}};
  for (const auto& [cookie, reason] : expected) {
    auto result = next_share_result(s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->cookie, cookie);
    EXPECT_EQ(result->outcome, reason.empty() ? core::kShareAccepted : core::kShareRejected);
    EXPECT_EQ(result->reason, reason);
  }
  EXPECT_EQ(s.sock.outstanding(), 0u);
  // A second answer to request 3 matches nothing and ends the connection.
  ASSERT_TRUE(s.pool.send("{\"id\":3,\"error\":null,\"result\":{}}\n"));
  EXPECT_EQ(s.socket_error_text(), "Job Error: Unexpected call response");
}

TEST(JpsockSubmit, UnansweredRequestTimesOutAndItsShareIsLostOnce) {
  support::manual_clock clock;
  pool_session s(std::chrono::milliseconds(300), clock);
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(nullptr);
  const uint8_t hash[32] = {};
  EXPECT_TRUE(s.sock.submit("1", 1, hash, "", 4));
  clock.advance(std::chrono::milliseconds(299));
  EXPECT_FALSE(s.sock.check_timeouts());  // not yet
  clock.advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(s.sock.check_timeouts());
  auto lost = next_share_result(s);
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->outcome, core::kShareNetworkFail);
  EXPECT_EQ(lost->cookie, 4u);
  EXPECT_EQ(s.socket_error_text(), "Socket Error: Timeout while waiting for a reply");
  EXPECT_TRUE(s.pool.wait_for_client_close(kWait));
}

TEST(JpsockSubmit, SharesOutstandingWhenTheConnectionDropsAreLostExactlyOnce) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.set_responder(nullptr);
  const uint8_t hash[32] = {};
  for (uint64_t cookie = 0; cookie < 3; ++cookie) ASSERT_TRUE(s.sock.submit("1", 1, hash, "", cookie));
  ASSERT_TRUE(s.pool.wait_for_line(3, kWait));
  s.pool.close_client();
  for (uint64_t cookie = 0; cookie < 3; ++cookie) {
    auto lost = next_share_result(s);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->outcome, core::kShareNetworkFail);
    EXPECT_EQ(lost->cookie, cookie);
  }
  EXPECT_EQ(s.socket_error_text(), "Recv Error: socket closed");
  s.sock.disconnect();
  EXPECT_FALSE(s.events.take_for(std::chrono::milliseconds(100)));
}

TEST(JpsockSubmit, SendOnAClosedConnectionFails) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.sock.disconnect();
  EXPECT_EQ(s.socket_error_text(), "Recv Error: socket closed");
  const uint8_t hash[32] = {};
  EXPECT_FALSE(s.sock.submit("1", 1, hash));
  // The first error of the connection stays, and no event follows.
  EXPECT_EQ(s.sock.error_text(), "Recv Error: socket closed");
  EXPECT_FALSE(s.events.take_for(std::chrono::milliseconds(100)));
}

TEST(JpsockKeepalive, SendsTheMinerIdAndAnyReplyKeepsTheConnection) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  const auto before = s.sock.last_request_time();
  s.pool.set_responder(answering(error_reply("Unknown method")));
  ASSERT_TRUE(s.sock.keepalive());
  EXPECT_GT(s.sock.last_request_time(), before);
  EXPECT_EQ(s.pool.wait_for_line(1, kWait).value_or("<none>"),
            "{\"method\":\"keepalived\",\"params\":{\"id\":\"abc\"},\"id\":2}");
  s.pool.set_responder(answering("{\"id\":1,\"error\":null,\"result\":{\"status\":\"KEEPALIVED\"}}\n"));
  ASSERT_TRUE(s.sock.keepalive());
  ASSERT_TRUE(s.pool.wait_for_line(2, kWait));
  // Both answers were taken: nothing is outstanding, nothing ended.
  EXPECT_TRUE(support::eventually([&] { return s.sock.outstanding() == 0; }, kWait));
  EXPECT_EQ(s.sock.outstanding(), 0u);
  EXPECT_TRUE(s.sock.is_logged_in());
  EXPECT_FALSE(s.events.take_for(std::chrono::milliseconds(100)));
}

TEST(JpsockLines, RejectedLinesEndTheConnectionWithTheirText) {
  const std::string blob178(178, 'a');
  const struct {
    std::string line;
    std::string text;
  } cases[] = {
      {"{\"method\":\"job\",\n", "Job Error: Invalid JSON"},
      {"\n", "Job Error: Invalid JSON"},
      {"{} {}\n", "Job Error: Invalid JSON"},
      {"[1,2]\n", "Job Error: Invalid root"},
      {"\"job\"\n", "Job Error: Invalid root"},
      {"{\"method\":5,\"params\":{}}\n", "Job Error: Protocol error 1"},
      {"{\"method\":\"job\"}\n", "Job Error: Protocol error 2"},
      {"{\"method\":\"job\",\"params\":[]}\n", "Job Error: Protocol error 2"},
      {"{\"result\":true}\n", "Job Error: Protocol error 3"},
      {"{\"id\":\"1\",\"result\":true}\n", "Job Error: Protocol error 3"},
      {"{\"id\":-1,\"result\":true}\n", "Job Error: Protocol error 3"},
      {"{\"id\":1.5,\"result\":true}\n", "Job Error: Protocol error 3"},
      {"{\"id\":1,\"error\":\"bad\"}\n", "Job Error: Protocol error 5"},
      {"{\"id\":1,\"error\":{\"code\":1}}\n", "Job Error: Protocol error 6"},
      {"{\"id\":1,\"error\":{\"message\":7}}\n", "Job Error: Protocol error 6"},
      {"{\"id\":1,\"error\":null}\n", "Job Error: Protocol error 7"},
      {"{\"id\":1,\"error\":null,\"result\":{}}\n", "Job Error: Unexpected call response"},
      {"{\"id\":1,\"error\":{\"message\":\"late\"}}\n", "Job Error: Unexpected call response"},
      {"{\"method\":\"job\",\"params\":{\"job_id\":\"1\",\"blob\":\"07\"}}\n",
       "Job Error: missing job parameter"},
      {"{\"method\":\"job\",\"params\":{\"job_id\":1,\"blob\":\"07\",\"target\":\"ff\"}}\n",
       "Job Error: missing job parameter"},
      {job_line(std::string(64, 'j'), "0707", "ffff"), "Job Error: invalid job id"},
      {job_line("1", blob178, "ffff"),
       "Job Error: invalid work length. Maybe no CryptoNight based pool?"},
      {job_line("1", "07g7", "ffff"), "Job Error: Job error 4"},
      {job_line("1", "0707", "b88d0600b88d060"), "Job Error: invalid target format"},
      {job_line("1", "0707", "b88d0600b88d06000"), "Job Error: invalid target format"},
      {job_line("1", "0707", "b88d06000"), "Job Error: invalid target format"},
      {job_line("1", "0707", "00000000"), "Job Error: invalid target: 00000000"},
      {job_line("1", "0707", "0000"), "Job Error: invalid target: 0000"},
      {job_line("1", "0707", "zz"), "Job Error: invalid target: zz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    pool_session s;
    ASSERT_TRUE(s.connect_and_login());
    ASSERT_TRUE(s.pool.send(c.line));
    EXPECT_EQ(s.socket_error_text(), c.text);
    EXPECT_TRUE(s.pool.wait_for_client_close(kWait));
    EXPECT_FALSE(s.sock.is_connected());
    EXPECT_FALSE(s.sock.is_logged_in());
    core::job_record job;
    EXPECT_FALSE(s.sock.get_current_job(job));
  }
}

TEST(JpsockLines, EdgeJobsAreAccepted) {
  const std::string id63(63, 'j');
  const std::string blob177 = std::string(176, 'c') + "d";
  const struct {
    std::string line;
    std::string job_id;
    uint32_t blob_length;
    uint32_t target;
    uint64_t difficulty;
  } cases[] = {
      {job_line(id63, "0707", "b88d0600"), id63, 2, 0x00068db8u, 10000},
      {job_line("1", blob177, "b88d0600"), "1", 88, 0x00068db8u, 10000},
      // The odd last character is dropped unread.
      {job_line("1", std::string(176, 'c') + "x", "ffff"), "1", 88, 65535, 65537},
      {job_line("1", "0707", "ffff"), "1", 2, 65535, 65537},
      {job_line("1", "0707", "FFFFFFFF"), "1", 2, 0xffffffffu, 1},
      {"{\"method\":\"job\",\"params\":{\"job_id\":\"1\",\"blob\":\"0707\",\"target\":\"ffff\","
       "\"algo\":\"cn/r\",\"height\":5}}\r\n",
       "1", 2, 65535, 65537},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    pool_session s;
    ASSERT_TRUE(s.connect_and_login());
    ASSERT_TRUE(s.pool.send(c.line));
    auto event = s.expect_event(core::kNewJob);
    ASSERT_TRUE(event);
    const auto& job = std::get<core::job_record>(event->payload);
    EXPECT_EQ(job.job_id, c.job_id);
    EXPECT_EQ(job.blob_length, c.blob_length);
    EXPECT_EQ(job.target, c.target);
    EXPECT_EQ(s.sock.difficulty(), c.difficulty);
    EXPECT_TRUE(s.sock.is_connected());
  }
}

TEST(JpsockReceive, LineSplitOverReadsIsProcessedOnceWhole) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  const std::string line = job_line("split", "0a0b", "ffff");
  for (size_t i = 0; i < line.size(); i += 7) ASSERT_TRUE(s.pool.send(line.substr(i, 7)));
  ASSERT_TRUE(s.pool.send(job_line("next", "0c", "ffff")));
  auto first = s.expect_event(core::kNewJob);
  ASSERT_TRUE(first);
  EXPECT_STREQ(std::get<core::job_record>(first->payload).job_id, "split");
  auto second = s.expect_event(core::kNewJob);
  ASSERT_TRUE(second);
  EXPECT_STREQ(std::get<core::job_record>(second->payload).job_id, "next");
}

TEST(JpsockReceive, SeveralLinesInOneReadKeepTheirOrder) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  ASSERT_TRUE(s.pool.send(job_line("a", "01", "ffff") + job_line("b", "02", "ffff") +
                          job_line("c", "03", "ffff")));
  for (const char* id : {"a", "b", "c"}) {
    auto event = s.expect_event(core::kNewJob);
    ASSERT_TRUE(event);
    EXPECT_STREQ(std::get<core::job_record>(event->payload).job_id, id);
  }
}

TEST(JpsockReceive, LineOf4095BytesIsAccepted) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  const std::string line = padded_job_line(4095);
  ASSERT_EQ(line.size(), 4095u);
  ASSERT_TRUE(s.pool.send(line));
  auto event = s.expect_event(core::kNewJob);
  ASSERT_TRUE(event);
  EXPECT_STREQ(std::get<core::job_record>(event->payload).job_id, "pad");
  EXPECT_TRUE(s.sock.is_connected());
}

TEST(JpsockReceive, PendingBytesReaching4096Overflow) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  ASSERT_TRUE(s.pool.send(padded_job_line(4096)));
  EXPECT_EQ(s.socket_error_text(), "Recv Error: data overflow");
  EXPECT_TRUE(s.pool.wait_for_client_close(kWait));
}

TEST(JpsockReceive, PoolClosingEndsTheConnection) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  s.pool.close_client();
  EXPECT_EQ(s.socket_error_text(), "Recv Error: socket closed");
  EXPECT_FALSE(s.sock.is_connected());
  EXPECT_FALSE(s.sock.is_logged_in());
  core::job_record job;
  EXPECT_FALSE(s.sock.get_current_job(job));
}

// Counts the resolver calls; numeric loopback hosts only.
std::atomic<int> resolver_calls{0};
int counting_resolver(const char* host, const char* service, const addrinfo* hints,
                      addrinfo** result) {
  ++resolver_calls;
  return ::getaddrinfo(host, service, hints, result);
}

TEST(JpsockConnect, AddressErrorsNeedNoResolver) {
  const struct {
    std::string address;
    std::string text;
  } cases[] = {
      {"127.0.0.1", "Connection Error: No port specified"},
      {"tcp://127.0.0.1", "Connection Error: No port specified"},
      {"127.0.0.1:" + std::string(246, '3'), "Connection Error: Pool address invalid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    support::pool_event_queue events;
    jpsock sock(core::kPoolUser, events);
    socket_calls calls;
    calls.resolve = &counting_resolver;
    sock.set_socket_calls(calls);
    resolver_calls = 0;
    const base::status connected = sock.connect_pool(c.address.c_str(), false);
    EXPECT_FALSE(connected);
    EXPECT_EQ(connected.message(), c.text);
    EXPECT_EQ(connected.code(), base::status_code::kInvalidInput);
    EXPECT_EQ(sock.error_text(), c.text);
    EXPECT_EQ(resolver_calls.load(), 0);
    EXPECT_FALSE(sock.is_connected());
    EXPECT_EQ(sock.connect_count(), 1u);
    EXPECT_FALSE(sock.nicehash());
    EXPECT_EQ(events.size(), 0u);  // no thread ran, nothing was posted
  }
}

TEST(JpsockConnect, AnIpv6PoolInBracketsLogsInWithAndWithoutAScheme) {
  for (const char* scheme : {"", "stratum+tcp://"}) {
    SCOPED_TRACE(scheme);
    fake_pool pool(true);
    if (!pool.listening()) GTEST_SKIP() << "no IPv6 loopback here";
    pool.answer_login_with(standard_login_reply());
    support::pool_event_queue events;
    jpsock sock(core::kPoolUser, events);
    const std::string address = scheme + pool.address();
    ASSERT_EQ(address.substr(address.size() - pool.address().size(), 6), "[::1]:");
    ASSERT_TRUE(sock.connect_pool(address.c_str(), true));
    auto ready = events.take_for(kWait);
    ASSERT_TRUE(ready);
    ASSERT_EQ(ready->kind, core::kSocketReady)
        << (std::holds_alternative<base::status>(ready->payload)
                ? std::get<base::status>(ready->payload).message()
                : "");
    EXPECT_TRUE(sock.login("user", "x"));
    EXPECT_STREQ(sock.miner_id(), "abc");
  }
}

TEST(JpsockConnect, RefusedConnectionIsASocketError) {
  // A port that was just free: bound, never listened on, closed.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);

  support::pool_event_queue events;
  jpsock sock(core::kPoolUser, events);
  const std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  ASSERT_TRUE(sock.connect_pool(target.c_str(), true));
  auto event = events.take_for(kWait);
  ASSERT_TRUE(event);
  ASSERT_EQ(event->kind, core::kSocketError);
  EXPECT_EQ(std::get<base::status>(event->payload).message(),
            std::string("Connection Error: ") + std::strerror(ECONNREFUSED));
  sock.disconnect();
  EXPECT_FALSE(sock.is_connected());
}

TEST(JpsockConnect, ReconnectClearsTheConnectionState) {
  pool_session s;
  ASSERT_TRUE(s.connect_and_login());
  EXPECT_EQ(s.sock.difficulty(), 10000u);
  s.pool.close_client();
  EXPECT_EQ(s.socket_error_text(), "Recv Error: socket closed");
  s.sock.disconnect();
  EXPECT_TRUE(s.sock.error_set());

  ASSERT_TRUE(s.connect());
  EXPECT_EQ(s.sock.connect_count(), 2u);
  EXPECT_EQ(s.sock.difficulty(), 0u);
  EXPECT_FALSE(s.sock.error_set());
  EXPECT_EQ(s.sock.error_text(), "");
  EXPECT_TRUE(s.pool.wait_for_connections(2, kWait));
  ASSERT_TRUE(s.sock.login("user", "x"));
  EXPECT_TRUE(s.sock.is_logged_in());
}

constexpr int64_t kSecond = kTicksPerSecond;

TEST(JpsockTimes, ConnectionTimeIsAccountedInWholeSeconds) {
  support::manual_clock clock(1000 * kSecond);
  const auto advance = [&](int64_t ticks) { clock.advance(std::chrono::nanoseconds(ticks * 100)); };
  pool_session s(kNoTimeout, clock);
  s.pool.answer_login_with(standard_login_reply());
  advance(3 * kSecond + kSecond / 2);
  EXPECT_EQ(s.sock.disconnected_seconds(), 3.0);
  EXPECT_EQ(s.sock.connected_seconds(), 0.0);

  ASSERT_TRUE(s.connect());
  advance(2 * kSecond);
  // Connected but not logged in: the gap is added only at login.
  EXPECT_EQ(s.sock.disconnected_seconds(), 0.0);
  ASSERT_TRUE(s.sock.login("user", "x"));
  EXPECT_EQ(s.sock.login_time(), 1005 * kSecond + kSecond / 2);
  EXPECT_EQ(s.sock.disconnected_seconds(), 5.0);

  advance(10 * kSecond);
  EXPECT_EQ(s.sock.connected_seconds(), 10.0);

  s.sock.disconnect();
  EXPECT_EQ(s.sock.disconnect_time(), 1015 * kSecond + kSecond / 2);
  advance(4 * kSecond);
  EXPECT_EQ(s.sock.disconnected_seconds(), 9.0);
  EXPECT_EQ(s.sock.connected_seconds(), 10.0);
}

}  // namespace
}  // namespace net
