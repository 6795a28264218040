// The OpenCL text queries on the first OpenCL device (PoCL in CI), checked
// against the raw calls.
#include "monitor/cl_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct first_device {
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
};

first_device FirstDevice() {
  first_device first;
  EXPECT_EQ(clGetPlatformIDs(1, &first.platform, nullptr), CL_SUCCESS);
  EXPECT_EQ(clGetDeviceIDs(first.platform, CL_DEVICE_TYPE_ALL, 1, &first.device, nullptr),
            CL_SUCCESS)
      << "an OpenCL device (PoCL in CI) is required";
  return first;
}

std::string RawDeviceText(cl_device_id device, cl_device_info what) {
  size_t size = 0;
  clGetDeviceInfo(device, what, 0, nullptr, &size);
  std::vector<char> text(size + 1, '\0');
  clGetDeviceInfo(device, what, size, text.data(), nullptr);
  return std::string(text.data());
}

TEST(ClInfo, DeviceTextIsTheWholeTextWithoutItsTerminator) {
  const first_device first = FirstDevice();
  ASSERT_NE(first.device, nullptr);
  std::string text = "stale";
  ASSERT_EQ(monitor::DeviceText(first.device, CL_DEVICE_EXTENSIONS, text), CL_SUCCESS);
  const std::string raw = RawDeviceText(first.device, CL_DEVICE_EXTENSIONS);
  EXPECT_EQ(text, raw);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  // The extension list is longer than a record field; a cut keeps the start.
  ASSERT_GT(raw.size(), 10u);
  ASSERT_EQ(monitor::DeviceText(first.device, CL_DEVICE_EXTENSIONS, text, 10), CL_SUCCESS);
  EXPECT_EQ(text, raw.substr(0, 10));
}

TEST(ClInfo, PlatformTextMatchesTheRawQuery) {
  const first_device first = FirstDevice();
  ASSERT_NE(first.platform, nullptr);
  char raw[512] = {};
  ASSERT_EQ(clGetPlatformInfo(first.platform, CL_PLATFORM_VERSION, sizeof(raw) - 1, raw, nullptr),
            CL_SUCCESS);
  std::string text;
  ASSERT_EQ(monitor::PlatformText(first.platform, CL_PLATFORM_VERSION, text), CL_SUCCESS);
  EXPECT_EQ(text, raw);
}

TEST(ClInfo, AFailedQueryReturnsItsCodeAndNoText) {
  const first_device first = FirstDevice();
  ASSERT_NE(first.device, nullptr);
  std::string text = "stale";
  EXPECT_EQ(monitor::DeviceText(first.device, 0x7FFF, text), CL_INVALID_VALUE);
  EXPECT_EQ(text, "");
  text = "stale";
  EXPECT_EQ(monitor::PlatformText(first.platform, 0x7FFF, text), CL_INVALID_VALUE);
  EXPECT_EQ(text, "");
}

}  // namespace
