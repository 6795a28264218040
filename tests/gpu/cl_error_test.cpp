#include "gpu/cl_error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gpu/cl_call.h"
#include "gpu_test_util.h"

namespace {

TEST(ClErrorName, NamesTheStandardCodes) {
  EXPECT_STREQ(gpu::ClErrorName(0), "CL_SUCCESS");
  EXPECT_STREQ(gpu::ClErrorName(-1), "CL_DEVICE_NOT_FOUND");
  EXPECT_STREQ(gpu::ClErrorName(-5), "CL_OUT_OF_RESOURCES");
  EXPECT_STREQ(gpu::ClErrorName(-11), "CL_BUILD_PROGRAM_FAILURE");
  EXPECT_STREQ(gpu::ClErrorName(-19), "CL_KERNEL_ARG_INFO_NOT_AVAILABLE");
  EXPECT_STREQ(gpu::ClErrorName(-30), "CL_INVALID_VALUE");
  EXPECT_STREQ(gpu::ClErrorName(-46), "CL_INVALID_KERNEL_NAME");
  EXPECT_STREQ(gpu::ClErrorName(-54), "CL_INVALID_WORK_GROUP_SIZE");
  EXPECT_STREQ(gpu::ClErrorName(-68), "CL_INVALID_DEVICE_PARTITION_COUNT");
  EXPECT_STREQ(gpu::ClErrorName(-69), "CL_INVALID_PIPE_SIZE");
  EXPECT_STREQ(gpu::ClErrorName(-70), "CL_INVALID_DEVICE_QUEUE");
}

TEST(ClErrorName, EverythingElseIsUnknown) {
  for (int32_t code : {-20, -25, -29, -71, -1001, 1, 2, 3, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(gpu::ClErrorName(code), "UNKNOWN_ERROR") << code;
  }
}

TEST(ClErrorName, EveryKnownCodeHasItsOwnName) {
  std::set<std::string> names;
  for (int32_t code = 0; code >= -70; --code) {
    const std::string name = gpu::ClErrorName(code);
    const bool known = code >= -19 || code <= -30;
    EXPECT_EQ(name != "UNKNOWN_ERROR", known) << code;
    if (known) {
      EXPECT_EQ(name.rfind("CL_", 0), 0u) << code;
      EXPECT_TRUE(names.insert(name).second) << name;
    }
  }
  EXPECT_EQ(names.size(), 61u);
}

}  // namespace

namespace {

TEST(ClStatus, PrintsTheErrorLineAndCarriesItsText) {
  gpu_test::CapturedOutput output;
  EXPECT_TRUE(gpu::ClStatus(CL_SUCCESS, "Error %s calling clFinish %i.", 3).is_ok());
  EXPECT_EQ(output.Take(), "");
  const base::status status =
      gpu::ClStatus(CL_OUT_OF_RESOURCES, "Error %s calling clFinish %i.", 3);
  EXPECT_EQ(status.code(), base::status_code::kDeviceError);
  EXPECT_EQ(status.message(), "Error CL_OUT_OF_RESOURCES calling clFinish 3.");
  const std::string text = output.Take();
  EXPECT_NE(text.find("] Error CL_OUT_OF_RESOURCES calling clFinish 3.\n"), std::string::npos)
      << text;
}

TEST(PrintedError, PrintsTheLineAndKeepsItAsTheMessage) {
  gpu_test::CapturedOutput output;
  const base::status formatted =
      gpu::PrintedError(base::status_code::kUnsupported, "Error: kernel %s allows %zu.", "k1",
                        size_t{4});
  EXPECT_EQ(formatted.code(), base::status_code::kUnsupported);
  EXPECT_EQ(formatted.message(), "Error: kernel k1 allows 4.");
  // A text without arguments is printed as it is, '%' included.
  const base::status plain =
      gpu::PrintedError(base::status_code::kNotFound, "Couldn't load 100% of the source.");
  EXPECT_EQ(plain.code(), base::status_code::kNotFound);
  EXPECT_EQ(plain.message(), "Couldn't load 100% of the source.");
  const std::string text = output.Take();
  EXPECT_NE(text.find("] Error: kernel k1 allows 4.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] Couldn't load 100% of the source.\n"), std::string::npos) << text;
}

}  // namespace
