// Pool connections over TLS against a real OpenSSL server on loopback:
// pinned and verified certificates, every refusal with its text and the
// fingerprint seen, and peers that stall, send garbage or cut a record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "net/pool_address.h"
#include "support/pool_event_queue.h"
#include "crypto/fingerprint.h"
#include "net/jpsock.h"
#include "net_test_util.h"
#include "support/test_certificate.h"
#include "tls_test_server.h"

namespace net {
namespace {

using behaviour = tls_test_server::behaviour;

const test_tls::certificate& self_signed() {
  static const test_tls::certificate cert = test_tls::make_certificate("127.0.0.1");
  return cert;
}

std::string login_answer(const std::string& line) {
  if (line.find("\"login\"") != std::string::npos) return standard_login_reply();
  return reply_for(line, "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"status\":\"OK\"}}\n");
}

struct tls_session {
  support::pool_event_queue events;
  jpsock sock;
  explicit tls_session(std::chrono::milliseconds reply_timeout = kNoTimeout)
      : sock(core::kPoolUser, events, reply_timeout) {}

  // connect_pool to `address`; the kind of the first event, or 0.
  uint32_t connect(const std::string& address,
                   const std::optional<crypto::sha256_fingerprint>& pin = std::nullopt) {
    if (const base::status connected = sock.connect_pool(address.c_str(), true, pin); !connected) {
      last_text = connected.message();
      return 0;
    }
    auto event = events.take_for(kWait);
    if (!event) return 0;
    if (const base::status* error = std::get_if<base::status>(&event->payload)) {
      last_text = error->message();
      last_code = error->code();
    }
    return event->kind;
  }
  std::string last_text;
  base::status_code last_code = base::status_code::kOk;  // of a socket error event
};

TEST(TlsSocket, APinnedSelfSignedCertificateLogsInAndSubmits) {
  tls_test_server server(self_signed(), behaviour::pool);
  server.set_responder(login_answer);
  tls_session s;
  ASSERT_EQ(s.connect("stratum+ssl://" + server.address(), self_signed().fingerprint), core::kSocketReady)
      << s.last_text;
  EXPECT_EQ(s.sock.tls_session().rfind("TLSv1.3, ", 0), 0u) << s.sock.tls_session();
  ASSERT_TRUE(s.sock.login("user", "x"));
  EXPECT_EQ(server.wait_for_line(0, kWait).value_or("").rfind("{\"method\":\"login\"", 0), 0u);
  EXPECT_STREQ(s.sock.miner_id(), "abc");
  uint8_t hash[32] = {};
  EXPECT_TRUE(s.sock.submit("1", 5, hash));
  EXPECT_NE(server.wait_for_line(1, kWait).value_or("").find("\"nonce\":\"05000000\""), std::string::npos);
  auto result = s.events.take_for(kWait);
  while (result && result->kind == core::kNewJob) result = s.events.take_for(kWait);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->kind, core::kShareResult);
  EXPECT_EQ(std::get<core::share_result>(result->payload).outcome, core::kShareAccepted);
  EXPECT_EQ(server.handshakes(), 1u);
}

TEST(TlsSocket, EveryTlsSchemeSpeaksTlsInAnyCase) {
  tls_test_server server(self_signed(), behaviour::pool);
  for (const char* scheme : {"stratum+ssl://", "stratum+tls://", "ssl://", "TLS://"}) {
    SCOPED_TRACE(scheme);
    tls_session s;
    EXPECT_EQ(s.connect(scheme + server.address(), self_signed().fingerprint), core::kSocketReady)
        << s.last_text;
    EXPECT_FALSE(s.sock.tls_session().empty());
  }
}

TEST(TlsSocket, RefusalsSayWhyAndShowTheFingerprintSeen) {
  tls_test_server server(self_signed(), behaviour::pool);
  const std::string seen = crypto::format_fingerprint(self_signed().fingerprint);

  tls_session unpinned;
  ASSERT_EQ(unpinned.connect("stratum+ssl://" + server.address()), core::kSocketError);
  EXPECT_EQ(unpinned.last_text.rfind("TLS: certificate not trusted (", 0), 0u) << unpinned.last_text;
  EXPECT_NE(unpinned.last_text.find(seen), std::string::npos) << unpinned.last_text;
  EXPECT_EQ(unpinned.last_code, base::status_code::kTlsRefused);  // an error line for the user

  crypto::sha256_fingerprint wrong = self_signed().fingerprint;
  wrong[31] ^= 1;
  tls_session mispinned;
  ASSERT_EQ(mispinned.connect("stratum+ssl://" + server.address(), wrong), core::kSocketError);
  EXPECT_EQ(mispinned.last_text, "TLS: certificate fingerprint mismatch: pinned " +
                                     crypto::format_fingerprint(wrong) + ", the pool's is " + seen);
  EXPECT_EQ(mispinned.last_code, base::status_code::kTlsRefused);
  // Nothing was sent before the refusal: no login reached the server.
  EXPECT_FALSE(server.wait_for_line(0, std::chrono::milliseconds(200)));
}

// A CA the test trusts through OpenSSL's SSL_CERT_FILE, for the checks the
// system's CA store makes.
class TrustedCa : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = test_tls::make_certificate("Orbeck Test CA", nullptr, true);
    ca_file_ = test_tls::write_temp_file("ca.pem", ca_.cert_pem);
    setenv("SSL_CERT_FILE", ca_file_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("SSL_CERT_FILE");
    std::remove(ca_file_.c_str());
  }
  test_tls::certificate ca_;
  std::string ca_file_;
};

TEST_F(TrustedCa, ACertificateTheStoreTrustsForTheHostIsAccepted) {
  const test_tls::certificate for_ip = test_tls::make_certificate("127.0.0.1", &ca_);
  tls_test_server by_ip(for_ip, behaviour::pool);
  tls_session s;
  EXPECT_EQ(s.connect("stratum+ssl://" + by_ip.address()), core::kSocketReady) << s.last_text;

  const test_tls::certificate for_name = test_tls::make_certificate("localhost", &ca_);
  tls_test_server by_name(for_name, behaviour::pool);
  tls_session named;
  EXPECT_EQ(named.connect("stratum+ssl://localhost:" + std::to_string(by_name.port())), core::kSocketReady)
      << named.last_text;
}

TEST_F(TrustedCa, AnIpv6PoolInBracketsIsVerifiedForItsAddress) {
  const test_tls::certificate for_ip = test_tls::make_certificate("::1", &ca_);
  std::unique_ptr<tls_test_server> server;
  try {
    server = std::make_unique<tls_test_server>(for_ip, behaviour::pool, true);
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  server->set_responder(login_answer);
  ASSERT_EQ(server->address().rfind("[::1]:", 0), 0u);
  tls_session s;
  ASSERT_EQ(s.connect("stratum+ssl://" + server->address()), core::kSocketReady) << s.last_text;
  EXPECT_TRUE(s.sock.login("user", "x"));

  // The same certificate does not name 127.0.0.1 (and brackets are no part
  // of the name checked).
  tls_test_server v4(for_ip, behaviour::pool);
  tls_session other;
  ASSERT_EQ(other.connect("stratum+ssl://" + v4.address()), core::kSocketError);
  EXPECT_EQ(other.last_text.rfind("TLS: certificate is not valid for 127.0.0.1;", 0), 0u) << other.last_text;
}

TEST_F(TrustedCa, ACertificateForAnotherHostIsRefused) {
  const test_tls::certificate other = test_tls::make_certificate("pool.example.org", &ca_);
  tls_test_server server(other, behaviour::pool);
  tls_session s;
  ASSERT_EQ(s.connect("stratum+ssl://" + server.address()), core::kSocketError);
  EXPECT_EQ(s.last_text.rfind("TLS: certificate is not valid for 127.0.0.1; its SHA-256 fingerprint is " +
                                  crypto::format_fingerprint(other.fingerprint),
                              0),
            0u)
      << s.last_text;

  tls_session by_name;
  ASSERT_EQ(by_name.connect("ssl://localhost:" + std::to_string(server.port())), core::kSocketError);
  EXPECT_EQ(by_name.last_text.rfind("TLS: certificate is not valid for localhost", 0), 0u) << by_name.last_text;
}

TEST(TlsSocket, PlainTextToATlsPortEndsWithAHint) {
  // A server that answers with a TLS record: the text says so.
  tls_test_server alerting(self_signed(), behaviour::alert_to_plain);
  tls_session s;
  ASSERT_EQ(s.connect(alerting.address()), core::kSocketReady);
  EXPECT_FALSE(s.sock.login("user", "x"));
  auto event = s.events.take_for(kWait);
  ASSERT_TRUE(event);
  EXPECT_EQ(
      std::get<base::status>(event->payload),
      base::status::error(base::status_code::kTlsRefused,
                          "Recv Error: the pool answered with TLS: this port speaks TLS, use a "
                          "stratum+ssl:// address"));

  // OpenSSL's own server just hangs up: the connection knows that nothing
  // came back, which the executor turns into the same hint.
  tls_test_server server(self_signed(), behaviour::pool);
  tls_session plain;
  ASSERT_EQ(plain.connect(server.address()), core::kSocketReady);
  EXPECT_FALSE(plain.sock.login("user", "x"));
  event = plain.events.take_for(kWait);
  ASSERT_TRUE(event);
  EXPECT_EQ(std::get<base::status>(event->payload).message().rfind("Recv Error: ", 0), 0u);
  EXPECT_EQ(std::get<base::status>(event->payload).code(), base::status_code::kConnectionLost);
  EXPECT_TRUE(plain.sock.closed_before_any_byte());
}

TEST(TlsSocket, AnUnknownSchemeIsRefusedBeforeConnecting) {
  tls_test_server server(self_signed(), behaviour::pool);
  tls_session s;
  EXPECT_EQ(s.connect("gopher://" + server.address()), 0u);
  EXPECT_EQ(s.last_text, "Connection Error: unsupported scheme gopher://");
  EXPECT_FALSE(s.events.take_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(server.handshakes(), 0u);
}

TEST(TlsSocket, AHandshakeThatNeverEndsTimesOutWithTheReplyTimeout) {
  tls_test_server server(self_signed(), behaviour::silent);
  tls_session s(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(s.connect("stratum+ssl://" + server.address(), self_signed().fingerprint), core::kSocketError);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(s.last_text, "TLS: handshake timed out after 0 s");
  EXPECT_EQ(s.last_code, base::status_code::kTlsRefused);
  EXPECT_LT(took, kWait);
}

TEST(TlsSocket, GarbageOrACutRecordEndsWithAnErrorNotACrash) {
  tls_test_server garbage(self_signed(), behaviour::garbage);
  tls_session s;
  ASSERT_EQ(s.connect("stratum+ssl://" + garbage.address(), self_signed().fingerprint), core::kSocketError);
  EXPECT_EQ(s.last_text.rfind("TLS: handshake failed: ", 0), 0u) << s.last_text;

  tls_test_server cutting(self_signed(), behaviour::cut_mid_record);
  tls_session cut;
  ASSERT_EQ(cut.connect("stratum+ssl://" + cutting.address(), self_signed().fingerprint), core::kSocketReady)
      << cut.last_text;
  EXPECT_FALSE(cut.sock.login("user", "x"));
  auto event = cut.events.take_for(kWait);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, core::kSocketError);
  EXPECT_EQ(std::get<base::status>(event->payload).message().rfind("Recv Error: ", 0), 0u);
  EXPECT_FALSE(cut.sock.is_connected());
}

TEST(TlsSocket, DisconnectWhileAReadWaitsEndsAtOnce) {
  tls_test_server server(self_signed(), behaviour::pool);
  tls_session s;
  ASSERT_EQ(s.connect("stratum+ssl://" + server.address(), self_signed().fingerprint), core::kSocketReady);
  const auto start = std::chrono::steady_clock::now();
  s.sock.disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  auto event = s.events.take_for(kWait);
  ASSERT_TRUE(event);
  EXPECT_EQ(std::get<base::status>(event->payload).message(), "Recv Error: socket closed");
}

TEST(PoolAddress, SchemesChooseTheTransport) {
  const std::pair<const char*, net::pool_transport> good[] = {
      {"host:1", net::pool_transport::plain},           {"stratum+tcp://host:1", net::pool_transport::plain},
      {"tcp://host:1", net::pool_transport::plain},       {"//host:1", net::pool_transport::plain},
      {"stratum+ssl://host:1", net::pool_transport::tls}, {"Stratum+TLS://host:1", net::pool_transport::tls},
      {"ssl://host:1", net::pool_transport::tls},         {"tls://host:1", net::pool_transport::tls}};
  for (const auto& [address, transport] : good) {
    SCOPED_TRACE(address);
    net::pool_scheme scheme;
    ASSERT_TRUE(net::split_pool_scheme(address, scheme));
    EXPECT_EQ(scheme.transport, transport);
    EXPECT_EQ(scheme.rest, "host:1");
  }
  net::pool_scheme scheme;
  base::status split = net::split_pool_scheme("gopher://host:1", scheme);
  EXPECT_EQ(split.code(), base::status_code::kUnsupported);
  EXPECT_EQ(split.message(), "unsupported scheme gopher://");
  split = net::split_pool_scheme("https://host:1", scheme);
  EXPECT_EQ(split.code(), base::status_code::kUnsupported);
  EXPECT_EQ(split.message(), "unsupported scheme https://");
}

TEST(Fingerprint, ParsesSixtyFourDigitsWithOrWithoutColonsInEitherCase) {
  crypto::sha256_fingerprint expected{};
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i * 7 + 0xa0);
  const std::string text = crypto::format_fingerprint(expected);
  EXPECT_EQ(text.size(), 95u);
  EXPECT_EQ(crypto::parse_fingerprint(text), expected);
  std::string bare;
  for (char c : text)
    if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(crypto::parse_fingerprint(bare), expected);

  for (const std::string& bad : {std::string(), bare.substr(2), bare + "00", ":" + bare, bare + ":",
                                 bare.substr(0, 1) + ":" + bare.substr(1), "zz" + bare.substr(2),
                                 text.substr(0, 2) + "::" + text.substr(3), " " + bare}) {
    EXPECT_FALSE(crypto::parse_fingerprint(bad)) << bad;
  }
}

}  // namespace
}  // namespace net
