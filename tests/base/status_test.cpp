// status: success by default, failures keep their code and text, system
// errors become "<context>: <system text>".
#include "base/status.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace base {
namespace {

TEST(Status, DefaultIsSuccessWithoutText) {
  const status s;
  EXPECT_TRUE(s.is_ok());
  EXPECT_TRUE(static_cast<bool>(s));
  EXPECT_EQ(s.code(), status_code::kOk);
  EXPECT_EQ(s.message(), "");
  EXPECT_EQ(s.to_string(), "OK");
  EXPECT_EQ(s, status::ok());
}

TEST(Status, ErrorKeepsCodeAndExactText) {
  const status s = status::error(status_code::kDeviceError, "Error CL_OUT_OF_RESOURCES calling clCreateBuffer.");
  EXPECT_FALSE(s.is_ok());
  EXPECT_FALSE(static_cast<bool>(s));
  EXPECT_EQ(s.code(), status_code::kDeviceError);
  EXPECT_EQ(s.message(), "Error CL_OUT_OF_RESOURCES calling clCreateBuffer.");
  EXPECT_EQ(s.to_string(), "Device error: Error CL_OUT_OF_RESOURCES calling clCreateBuffer.");
  EXPECT_NE(s, status::error(status_code::kNotFound, s.message()));
  EXPECT_NE(s, status::error(status_code::kDeviceError, "other"));
}

TEST(Status, SystemErrorsCarryTheirContextAndSystemText) {
  const status s = status::from_errno(ENOENT, "Cannot open /nope");
  EXPECT_EQ(s.code(), status_code::kIoError);
  EXPECT_EQ(s.message(), "Cannot open /nope: No such file or directory");
  const status refused = status::from_error_code(std::make_error_code(std::errc::connection_refused),
                                                 "", status_code::kNetworkError);
  EXPECT_EQ(refused.code(), status_code::kNetworkError);
  EXPECT_EQ(refused.message(), "Connection refused");
}

TEST(Status, EveryCodeHasItsOwnName) {
  const status_code codes[] = {
      status_code::kOk,           status_code::kUnsupported,   status_code::kDeviceError,
      status_code::kNotFound,     status_code::kInvalidInput,  status_code::kIoError,
      status_code::kNetworkError, status_code::kTimeout,       status_code::kProtocolError,
      status_code::kTlsRefused,   status_code::kConnectionLost};
  for (size_t i = 0; i < std::size(codes); ++i)
    for (size_t j = i + 1; j < std::size(codes); ++j)
      EXPECT_STRNE(status_code_name(codes[i]), status_code_name(codes[j]));
}

}  // namespace
}  // namespace base
