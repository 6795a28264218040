#include "monitor/gpu_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "monitor/sysfs.h"

namespace monitor {
namespace {

// The matching id of a Windows PnP device path: "PCI\VEN_1002&DEV_687F&
// SUBSYS_0B361002&REV_C1\4&..." gives "pci\ven_1002&dev_687f&rev_c1". The
// Linux build matches devices by PCI address and never needs it; it is kept
// here, with its cases, for a port that reads the driver registry.
std::string MatchingIdFromPnp(const std::string& pnp) {
  std::string result;
  const size_t subsys = pnp.find("&SUBSYS_");
  result = pnp.substr(0, subsys);
  if (subsys != std::string::npos) {
    const size_t revision = pnp.find('&', subsys + 1);
    if (revision != std::string::npos) {
      const size_t end = pnp.find('\\', revision);
      result += pnp.substr(revision, end == std::string::npos ? std::string::npos : end - revision);
    }
  }
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

}  // namespace
}  // namespace monitor

namespace {

using monitor::DeviceIdentity;
using monitor::DeviceVendor;

// A fake /sys with PCI functions and hwmon files, removed afterwards.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::string(ORBECK_BINARY_DIR) + "/sysfs-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    monitor_ = std::make_unique<monitor::gpu_monitor>(root_);
  }
  void TearDown() override {
    monitor_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  void Write(const std::string& relative, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(root_) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  // A PCI function; hwmon values are written when not empty.
  void AddFunction(const std::string& address, const std::string& pci_class,
                   const std::string& temperature, const std::string& fan) {
    const std::string base = "bus/pci/devices/" + address + "/";
    Write(base + "class", pci_class + "\n");
    if (!temperature.empty()) Write(base + "hwmon/hwmon3/temp1_input", temperature + "\n");
    if (!fan.empty()) Write(base + "hwmon/hwmon3/fan1_input", fan + "\n");
    if (!temperature.empty() || !fan.empty()) Write(base + "hwmon/hwmon3/name", "amdgpu\n");
  }
  static DeviceIdentity Amd(int32_t bus, const std::string& board) {
    DeviceIdentity identity;
    identity.name = "gfx900";
    identity.board_name = board;
    identity.vendor = DeviceVendor::kAmd;
    identity.bus = bus;
    identity.pci_device = 0;
    return identity;
  }
  bool Init(const std::vector<DeviceIdentity>& devices) {
    const base::status status = monitor_->init_for_devices(devices);
    EXPECT_EQ(status.message(), "");
    return status.is_ok();
  }
  std::string root_;
  std::unique_ptr<monitor::gpu_monitor> monitor_;  // on the fake tree
};

TEST(MatchingIdFromPnp, KeepsVendorDeviceAndRevisionInLowerCase) {
  EXPECT_EQ(monitor::MatchingIdFromPnp(
                "PCI\\VEN_1002&DEV_687F&SUBSYS_0B361002&REV_C1\\4&2D8D64A&0&0008"),
            "pci\\ven_1002&dev_687f&rev_c1");
  EXPECT_EQ(monitor::MatchingIdFromPnp("PCI\\VEN_1002&DEV_67DF&SUBSYS_E3871DA2&REV_E7"),
            "pci\\ven_1002&dev_67df&rev_e7");
  EXPECT_EQ(monitor::MatchingIdFromPnp("PCI\\VEN_1002&DEV_67DF"), "pci\\ven_1002&dev_67df");
}

TEST(SysfsAddress, BusComesFromThePciAddress) {
  EXPECT_EQ(monitor::BusFromPciAddress("0000:03:00.0"), 3);
  EXPECT_EQ(monitor::BusFromPciAddress("0000:c1:00.0"), 0xC1);
  EXPECT_EQ(monitor::BusFromPciAddress("0a:00.1"), 10);
  EXPECT_EQ(monitor::BusFromPciAddress("pci0000:00"), -1);
  EXPECT_EQ(monitor::BusFromPciAddress("0000:03:00.0x"), -1);
}

TEST_F(FakeSysfs, ReadsTemperatureInDegreesAndFanInRpm) {
  AddFunction("0000:03:00.0", "0x030000", "45500", "1830");
  ASSERT_TRUE(Init({Amd(3, "Radeon RX Vega")}));
  EXPECT_FLOAT_EQ(monitor_->temperature(0), 45.5f);
  EXPECT_EQ(monitor_->fan_speed(0), 1830);
  EXPECT_EQ(monitor_->adapter_name(0), "Radeon RX Vega");
  Write("bus/pci/devices/0000:03:00.0/hwmon/hwmon3/temp1_input", "61000\n");
  EXPECT_FLOAT_EQ(monitor_->temperature(0), 61.0f);  // read fresh on every call
}

TEST_F(FakeSysfs, OnlyTheFirstAdapterOfABusIsMatched) {
  // Two display functions on bus 3 (the second has other readings), then bus 6.
  AddFunction("0000:03:00.0", "0x030000", "40000", "1000");
  AddFunction("0000:03:00.1", "0x038000", "99000", "9999");
  AddFunction("0000:06:00.0", "0x030000", "50000", "2000");
  ASSERT_TRUE(Init({Amd(6, "B"), Amd(3, "A"), Amd(3, "C")}));
  EXPECT_FLOAT_EQ(monitor_->temperature(0), 50.0f);
  EXPECT_FLOAT_EQ(monitor_->temperature(1), 40.0f);
  EXPECT_EQ(monitor_->fan_speed(1), 1000);
  // The first record of a bus takes it; a second device there stays unmatched.
  EXPECT_FLOAT_EQ(monitor_->temperature(2), -1.0f);
  const std::vector<monitor::AdapterRecord> table = monitor_->table();
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].address, "0000:06:00.0");
  EXPECT_EQ(table[1].address, "0000:03:00.0");
  EXPECT_EQ(table[2].address, "");
}

TEST_F(FakeSysfs, NonDisplayFunctionsWithoutSensorsAreNoAdapters) {
  AddFunction("0000:00:1f.3", "0x040300", "", "");  // audio, no hwmon
  AddFunction("0000:05:00.0", "0x030000", "", "");  // display without sensors
  const std::vector<monitor::SysfsAdapter> adapters = monitor::ListSysfsAdapters(root_);
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].address, "0000:05:00.0");
  EXPECT_EQ(adapters[0].bus, 5);
  ASSERT_TRUE(Init({Amd(5, "")}));
  EXPECT_FLOAT_EQ(monitor_->temperature(0), -1.0f);
  EXPECT_EQ(monitor_->fan_speed(0), -1);
  EXPECT_EQ(monitor_->adapter_name(0), "");
}

TEST_F(FakeSysfs, UnreadableValuesAndUnknownOrdinalsGiveMinusOne) {
  AddFunction("0000:03:00.0", "0x030000", "hot", "fast");
  ASSERT_TRUE(Init({Amd(3, "X")}));
  EXPECT_FLOAT_EQ(monitor_->temperature(0), -1.0f);
  EXPECT_EQ(monitor_->fan_speed(0), -1);
  EXPECT_FLOAT_EQ(monitor_->temperature(1), -1.0f);
  EXPECT_EQ(monitor_->fan_speed(7), -1);
  EXPECT_EQ(monitor_->adapter_name(1), "");
}

TEST_F(FakeSysfs, DevicesWithoutABusReadNothing) {
  AddFunction("0000:03:00.0", "0x030000", "40000", "1000");
  DeviceIdentity cpu;
  cpu.name = "pthread-cpu";
  ASSERT_TRUE(Init({cpu}));
  EXPECT_FLOAT_EQ(monitor_->temperature(0), -1.0f);
  EXPECT_EQ(monitor_->fan_speed(0), -1);
  EXPECT_EQ(monitor_->adapter_name(0), "");
}

TEST_F(FakeSysfs, LargePagesAreOffWithoutADriverRegistry) {
  AddFunction("0000:03:00.0", "0x030000", "40000", "1000");
  ASSERT_TRUE(Init({Amd(3, "X")}));
  EXPECT_FALSE(monitor::LargePagesEnabled(0));
  EXPECT_FALSE(monitor::LargePagesEnabled(5));
}

TEST_F(FakeSysfs, ASecondInitialisationIsRefused) {
  ASSERT_TRUE(Init({}));
  const base::status again = monitor_->init_for_devices({});
  EXPECT_EQ(again.code(), base::status_code::kInvalidInput);
  EXPECT_EQ(again.message(), "already initialized");
  monitor_->shutdown();
  EXPECT_TRUE(monitor_->table().empty());
  EXPECT_TRUE(monitor_->init_for_devices({}).is_ok());
}

TEST_F(FakeSysfs, TheFirstOpenClDeviceStartsTheMonitorWithoutSensors) {
  cl_platform_id platform = nullptr;
  ASSERT_EQ(clGetPlatformIDs(1, &platform, nullptr), CL_SUCCESS) << "an OpenCL platform is required";
  const base::status status = monitor_->init(platform, /*any_device=*/true);
  ASSERT_TRUE(status.is_ok()) << status.to_string();
  cl_uint devices = 0;
  ASSERT_EQ(clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, nullptr, &devices), CL_SUCCESS);
  ASSERT_GE(devices, 1u) << "an OpenCL device (PoCL in CI) is required";
  const std::vector<monitor::AdapterRecord> table = monitor_->table();
  ASSERT_EQ(table.size(), devices);
  char name[256] = {};
  cl_device_id device = nullptr;
  clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr);
  clGetDeviceInfo(device, CL_DEVICE_NAME, sizeof(name) - 1, name, nullptr);
  EXPECT_EQ(table[0].identity.name, name);
  cl_device_type type = 0;
  clGetDeviceInfo(device, CL_DEVICE_TYPE, sizeof(type), &type, nullptr);
  if (type == CL_DEVICE_TYPE_CPU) {  // PoCL: no sensors at all
    EXPECT_FLOAT_EQ(monitor_->temperature(0), -1.0f);
    EXPECT_EQ(monitor_->fan_speed(0), -1);
    EXPECT_EQ(monitor_->adapter_name(0), "");
  }
}

}  // namespace
