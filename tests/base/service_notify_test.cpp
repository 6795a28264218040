// The messages to the service manager, read from a datagram socket that
// stands in for systemd's NOTIFY_SOCKET.
#include "base/service_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "support/console_capture.h"
#include "support/process_runner.h"

namespace base {
namespace {

class NotifySocket : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orbeck-notify-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd_, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path_.size(), sizeof(address.sun_path));
    path_.copy(address.sun_path, path_.size());
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval timeout = {2, 0};  // every wait is bounded
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    reset_service_notify();
  }
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  // The next datagram, empty after the time-out.
  std::string Next() {
    char buffer[512];
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
  }
  bool Empty() {
    char byte;
    return recv(fd_, &byte, 1, MSG_DONTWAIT) < 0;
  }
  std::string dir_, path_;
  int fd_ = -1;
};

TEST_F(NotifySocket, ReadyOnceEveryGpuHasItsLineThenStatusAndStopping) {
  notify_gpu_line(0, 2, 100.0);
  EXPECT_EQ(Next(), "STATUS=Hash rate 100.0 H/s");
  notify_gpu_line(0, 2, 110.0);  // the same GPU again: still not every GPU
  EXPECT_EQ(Next(), "STATUS=Hash rate 110.0 H/s");
  notify_gpu_line(1, 2, 215.5);
  EXPECT_EQ(Next(), "READY=1\nSTATUS=Hash rate 215.5 H/s");
  notify_gpu_line(0, 2, 220.0);
  EXPECT_EQ(Next(), "STATUS=Hash rate 220.0 H/s");
  notify_gpu_line(1, 2, 221.0);  // READY=1 is sent once
  EXPECT_EQ(Next(), "STATUS=Hash rate 221.0 H/s");
  notify_stopping();
  EXPECT_EQ(Next(), "STOPPING=1");
  EXPECT_TRUE(Empty());
}

TEST_F(NotifySocket, NothingIsSentWithoutTheVariable) {
  unsetenv("NOTIFY_SOCKET");
  notify_gpu_line(0, 1, 1.0);
  notify_stopping();
  EXPECT_TRUE(Empty());
}

// The program sends STOPPING=1 at its orderly exit. Without a device the
// program ends before mining, so only the version is checked end to end for
// all three programs here; the mining run is in the service CI step.
TEST(Program, VersionOfEveryProgram) {
  for (const char* program : {"src/orbeck-vega", "tools/orbeck_hash/orbeck-hash", "tools/orbeck_pool/orbeck-pool"}) {
    app::process_result r = app::run_process(app::built_program(program), {"--version"});
    ASSERT_TRUE(r.exited) << program;
    EXPECT_EQ(r.exit_code, 0) << program;
    const std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
    EXPECT_TRUE(std::regex_match(r.output, std::regex(name + " 1\\.5\\.0( \\(git [0-9a-f]{12}\\))?\n")))
        << r.output;
  }
}

}  // namespace
}  // namespace base
