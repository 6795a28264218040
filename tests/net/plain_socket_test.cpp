// plain_socket: address parsing and selection, resolver and system error
// texts, partial sends, receive and close. Loopback only.
#include "net/plain_socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/pool_event_queue.h"
#include "fake_pool.h"
#include "net/jpsock.h"
#include "net_test_util.h"

namespace net {
namespace {

// What the recording resolver saw; the test thread only.
int resolve_calls = 0;
std::string resolved_host;
std::string resolved_service;

int recording_resolver(const char* host, const char* service, const addrinfo* hints,
                       addrinfo**) {
  ++resolve_calls;
  resolved_host = host;
  resolved_service = service;
  EXPECT_EQ(hints->ai_family, AF_UNSPEC);
  EXPECT_EQ(hints->ai_socktype, SOCK_STREAM);
  EXPECT_EQ(hints->ai_protocol, IPPROTO_TCP);
  return EAI_NONAME;
}

int send_calls = 0;
ssize_t three_byte_send(int fd, const void* data, size_t length, int flags) {
  ++send_calls;
  EXPECT_EQ(flags, MSG_NOSIGNAL);
  return ::send(fd, data, length < 3 ? length : 3, flags);
}

ssize_t broken_send(int, const void*, size_t, int) {
  errno = EPIPE;
  return -1;
}

ssize_t reset_recv(int, void*, size_t, int) {
  errno = ECONNRESET;
  return -1;
}

struct socket_fixture {
  support::pool_event_queue events;
  jpsock owner{core::kPoolUser, events};
  plain_socket sock;

  explicit socket_fixture(socket_calls calls = socket_calls()) : sock(&owner, calls) {}
};

socket_calls with_resolver(decltype(socket_calls::resolve) resolve) {
  socket_calls calls;
  calls.resolve = resolve;
  return calls;
}

TEST(ChooseAddress, PrefersTheLastIpv4Entry) {
  addrinfo entries[5] = {};
  const int families[5] = {AF_INET6, AF_INET, AF_INET6, AF_INET, AF_INET6};
  for (int i = 0; i < 5; ++i) {
    entries[i].ai_family = families[i];
    entries[i].ai_next = i < 4 ? &entries[i + 1] : nullptr;
  }
  EXPECT_EQ(choose_address(&entries[0]), &entries[3]);
  entries[1].ai_family = AF_INET6;
  entries[3].ai_family = AF_UNIX;
  EXPECT_EQ(choose_address(&entries[0]), &entries[4]);  // no IPv4: the last IPv6
  for (auto& entry : entries) entry.ai_family = AF_UNIX;
  EXPECT_EQ(choose_address(&entries[0]), nullptr);
  EXPECT_EQ(choose_address(nullptr), nullptr);
}

TEST(PlainSocket, AddressOf255CharactersReachesTheResolver) {
  socket_fixture f(with_resolver(&recording_resolver));
  resolve_calls = 0;
  const std::string host(250, 'h');
  const std::string address = host + ":3333";
  ASSERT_EQ(address.size(), 255u);
  EXPECT_FALSE(f.sock.resolve_address(address.c_str()));
  EXPECT_EQ(resolve_calls, 1);
  EXPECT_EQ(resolved_host, host);
  EXPECT_EQ(resolved_service, "3333");
  EXPECT_EQ(f.owner.error_text(),
            std::string("Connection Error: GetAddrInfo: ") + gai_strerror(EAI_NONAME));
}

TEST(PlainSocket, AddressOf256CharactersIsInvalid) {
  socket_fixture f(with_resolver(&recording_resolver));
  resolve_calls = 0;
  const std::string address = std::string(251, 'h') + ":3333";
  EXPECT_FALSE(f.sock.resolve_address(address.c_str()));
  EXPECT_EQ(resolve_calls, 0);
  EXPECT_EQ(f.owner.error_text(), "Connection Error: Pool address invalid");
}

TEST(PlainSocket, AddressWithoutPortIsRejectedBeforeResolving) {
  // An IPv6 address needs its brackets, and the port follows the ']'.
  for (const char* address : {"stratum+tcp://pool.example.org", "[::1]", "[::1", "[::1]3333",
                              "stratum+ssl://[2001:db8::1]"}) {
    SCOPED_TRACE(address);
    socket_fixture f(with_resolver(&recording_resolver));
    resolve_calls = 0;
    EXPECT_FALSE(f.sock.resolve_address(address));
    EXPECT_EQ(resolve_calls, 0);
    EXPECT_EQ(f.owner.error_text(), "Connection Error: No port specified");
  }
}

TEST(PlainSocket, SchemePrefixIsDroppedAndBracketsEncloseAnIpv6Host) {
  const struct {
    const char* address;
    const char* host;
    const char* service;
  } cases[] = {
      {"pool.example.org:4444", "pool.example.org", "4444"},
      {"stratum+tcp://pool.example.org:4444", "pool.example.org", "4444"},
      {"//pool.example.org:4444", "pool.example.org", "4444"},
      {"[::1]:3333", "::1", "3333"},
      {"stratum+tcp://[2001:db8::7]:4444", "2001:db8::7", "4444"},
      {"stratum+ssl://[fe80::1%eth0]:443", "fe80::1%eth0", "443"},
      // Without brackets the first ':' still ends the host.
      {"host:33:44", "host", "33:44"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    socket_fixture f(with_resolver(&recording_resolver));
    resolve_calls = 0;
    EXPECT_FALSE(f.sock.resolve_address(c.address));
    EXPECT_EQ(resolve_calls, 1);
    EXPECT_EQ(resolved_host, c.host);
    EXPECT_EQ(resolved_service, c.service);
  }
}

TEST(PlainSocket, PartialSendsContinueUntilEverythingIsSent) {
  fake_pool pool;
  ASSERT_TRUE(pool.listening());
  socket_calls calls;
  calls.send = &three_byte_send;
  socket_fixture f(calls);
  ASSERT_TRUE(f.sock.resolve_address(pool.address().c_str()));
  ASSERT_TRUE(f.sock.connect());
  ASSERT_TRUE(pool.wait_for_connections(1, kWait));
  send_calls = 0;
  const std::string text = "{\"method\":\"submit\",\"id\":1}";
  EXPECT_TRUE(f.sock.send_all((text + "\n").c_str()));
  EXPECT_EQ(send_calls, static_cast<int>((text.size() + 1 + 2) / 3));
  EXPECT_EQ(pool.wait_for_line(0, kWait).value_or("<none>"), text);
  send_calls = 0;
  EXPECT_TRUE(f.sock.send_all(""));
  EXPECT_EQ(send_calls, 0);
  EXPECT_FALSE(f.owner.error_set());
}

TEST(PlainSocket, FailedSendRecordsTheSystemText) {
  fake_pool pool;
  socket_calls calls;
  calls.send = &broken_send;
  socket_fixture f(calls);
  ASSERT_TRUE(f.sock.resolve_address(pool.address().c_str()));
  ASSERT_TRUE(f.sock.connect());
  EXPECT_FALSE(f.sock.send_all("x\n"));
  EXPECT_EQ(f.owner.error_text(), std::string("Send: ") + std::strerror(EPIPE));
}

// A failing call returns the text it recorded; once the connection has an
// error, a later failure keeps its own text but cannot replace the first.
TEST(PlainSocket, AFailureReturnsItsTextAndTheFirstRecordedOneStays) {
  fake_pool pool;
  socket_calls calls;
  calls.send = &broken_send;
  socket_fixture f(calls);
  const base::status bad_address = f.sock.resolve_address("no-port");
  EXPECT_EQ(bad_address.code(), base::status_code::kInvalidInput);
  EXPECT_EQ(bad_address.message(), "Connection Error: No port specified");
  ASSERT_TRUE(f.sock.resolve_address(pool.address().c_str()));
  ASSERT_TRUE(f.sock.connect());
  const base::status sent = f.sock.send_all("x\n");
  EXPECT_EQ(sent.code(), base::status_code::kNetworkError);
  EXPECT_EQ(sent.message(), std::string("Send: ") + std::strerror(EPIPE));
  EXPECT_EQ(f.owner.error_text(), "Connection Error: No port specified");
}

TEST(PlainSocket, ReceiveReportsThePeerClosing) {
  fake_pool pool;
  socket_fixture f;
  ASSERT_TRUE(f.sock.resolve_address(pool.address().c_str()));
  ASSERT_TRUE(f.sock.connect());
  ASSERT_TRUE(pool.wait_for_connections(1, kWait));
  ASSERT_TRUE(pool.send("hi"));
  char buffer[16];
  EXPECT_EQ(f.sock.receive(buffer, sizeof(buffer)), 2);
  EXPECT_EQ(std::string(buffer, 2), "hi");
  pool.close_client();
  EXPECT_EQ(f.sock.receive(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(f.owner.error_text(), "Recv Error: socket closed");
}

TEST(PlainSocket, ReceiveOnAClosedSocketReadsAsClosed) {
  fake_pool pool;
  socket_fixture f;
  ASSERT_TRUE(f.sock.resolve_address(pool.address().c_str()));
  f.sock.close();
  f.sock.close();  // the second close does nothing
  char buffer[16];
  EXPECT_EQ(f.sock.receive(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(f.owner.error_text(), "Recv Error: socket closed");
}

TEST(PlainSocket, FailedReceiveRecordsTheSystemText) {
  fake_pool pool;
  socket_calls calls;
  calls.recv = &reset_recv;
  socket_fixture f(calls);
  ASSERT_TRUE(f.sock.resolve_address(pool.address().c_str()));
  ASSERT_TRUE(f.sock.connect());
  char buffer[16];
  EXPECT_EQ(f.sock.receive(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(f.owner.error_text(), std::string("Recv Error: ") + std::strerror(ECONNRESET));
}

}  // namespace
}  // namespace net
