// The temperature guard on a fake sysfs tree: a GPU's temperature driven up
// to the limit and down to the resume value, and a GPU without a sensor.
#include "monitor/temperature_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "base/printer.h"
#include "monitor/gpu_monitor.h"

namespace {

class TemperatureGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::string(ORBECK_BINARY_DIR) + "/guard-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    sensors_ = std::make_unique<monitor::gpu_monitor>(root_);
    console_ = std::tmpfile();
    base::printer::inst().set_console(console_, false);
    // GPU0 on bus 3 has a sensor, GPU1 on bus 5 has none.
    Write("bus/pci/devices/0000:03:00.0/class", "0x030000\n");
    Write("bus/pci/devices/0000:03:00.0/hwmon/hwmon1/name", "amdgpu\n");
    SetTemperature(40000);
    Write("bus/pci/devices/0000:05:00.0/class", "0x030000\n");
    const base::status status = sensors_->init_for_devices({Amd(3), Amd(5)});
    ASSERT_TRUE(status.is_ok()) << status.to_string();
  }
  void TearDown() override {
    sensors_.reset();
    base::printer::inst().set_console(stdout, false);
    std::fclose(console_);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  static monitor::DeviceIdentity Amd(int32_t bus) {
    monitor::DeviceIdentity identity;
    identity.name = "gfx900";
    identity.vendor = monitor::DeviceVendor::kAmd;
    identity.bus = bus;
    identity.pci_device = 0;
    return identity;
  }
  void Write(const std::string& relative, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(root_) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  void SetTemperature(int millidegrees) {
    Write("bus/pci/devices/0000:03:00.0/hwmon/hwmon1/temp1_input", std::to_string(millidegrees) + "\n");
  }
  // Console lines printed since the last call, "[HH:MM:SS] " prefixes removed.
  std::string Printed() {
    std::string out;
    base::printer::inst().locked([&] {
      std::fflush(console_);
      std::fseek(console_, static_cast<long>(read_), SEEK_SET);
      char buffer[1024];
      size_t got;
      while ((got = std::fread(buffer, 1, sizeof(buffer), console_)) > 0) out.append(buffer, got);
      read_ += out.size();
    });
    std::string plain;
    size_t start = 0;
    while (start < out.size()) {
      size_t end = out.find('\n', start);
      if (end == std::string::npos) end = out.size() - 1;
      std::string line = out.substr(start, end + 1 - start);
      if (line.size() > 11 && line[0] == '[') line = line.substr(11);
      plain += line;
      start = end + 1;
    }
    return plain;
  }
  std::string root_;
  std::unique_ptr<monitor::gpu_monitor> sensors_;  // on the fake tree
  FILE* console_ = nullptr;
  size_t read_ = 0;
};

TEST_F(TemperatureGuard, PausesAtTheLimitAndResumesAtTheResumeValue) {
  monitor::temperature_guard guard(0, 80, 70, sensors_.get());
  uint64_t now = 0;
  const auto step = [&](int millidegrees) {
    SetTemperature(millidegrees);
    now += 1000;
    return guard.check(now);
  };
  EXPECT_FALSE(step(79900));
  EXPECT_FALSE(guard.paused());
  EXPECT_EQ(Printed(), "");

  EXPECT_TRUE(step(80000));  // reaching the limit is enough
  EXPECT_TRUE(guard.paused());
  EXPECT_EQ(Printed(), "GPU0: 80\u00b0C reached the limit, paused\n");

  EXPECT_TRUE(step(85000));
  EXPECT_TRUE(step(70100));  // cooler, not yet at the resume value
  EXPECT_EQ(Printed(), "");

  EXPECT_FALSE(step(70000));
  EXPECT_FALSE(guard.paused());
  EXPECT_EQ(Printed(), "GPU0: 70\u00b0C, resumed\n");

  EXPECT_FALSE(step(75000));  // between the two values: keeps mining
  EXPECT_TRUE(step(91000));
  EXPECT_EQ(Printed(), "GPU0: 91\u00b0C reached the limit, paused\n");
}

TEST_F(TemperatureGuard, ReadsTheSensorAtMostOnceASecond) {
  monitor::temperature_guard guard(0, 80, 70, sensors_.get());
  EXPECT_FALSE(guard.check(5000));
  SetTemperature(95000);
  EXPECT_FALSE(guard.check(5999));  // the last reading still counts
  EXPECT_TRUE(guard.check(6000));
}

TEST_F(TemperatureGuard, AGpuWithoutASensorIsNeverPausedAndIsNamedOnce) {
  monitor::temperature_guard guard(1, 80, 70, sensors_.get());
  for (uint64_t now = 1000; now <= 5000; now += 1000) EXPECT_FALSE(guard.check(now));
  EXPECT_FALSE(guard.paused());
  monitor::WarnGpusWithoutSensor(*sensors_, {0, 1}, 80);
  EXPECT_EQ(Printed(), "GPU1 has no temperature sensor: --temp-limit 80 does not protect it\n");
  monitor::WarnGpusWithoutSensor(*sensors_, {0, 1}, 0);  // no limit, no warning
  EXPECT_EQ(Printed(), "");
}

TEST_F(TemperatureGuard, ALostReadingKeepsAPausedGpuPaused) {
  monitor::temperature_guard guard(0, 80, 70, sensors_.get());
  SetTemperature(82000);
  EXPECT_TRUE(guard.check(1000));
  std::filesystem::remove(std::filesystem::path(root_) /
                          "bus/pci/devices/0000:03:00.0/hwmon/hwmon1/temp1_input");
  EXPECT_TRUE(guard.check(2000));
  SetTemperature(60000);
  EXPECT_FALSE(guard.check(3000));
}

TEST_F(TemperatureGuard, ANewGuardKeepsTheGpusPauseAndAnUnsetLimitNeverPauses) {
  monitor::temperature_guard first(0, 80, 70, sensors_.get());
  SetTemperature(80000);
  EXPECT_TRUE(first.check(1000));
  // The thread is started again (an algorithm switch) while the GPU cools.
  SetTemperature(75000);
  monitor::temperature_guard second(0, 80, 70, sensors_.get(), first.paused());
  EXPECT_TRUE(second.paused());
  EXPECT_TRUE(second.check(1000));
  SetTemperature(99000);
  monitor::temperature_guard off(0, 0, 0, sensors_.get());
  EXPECT_FALSE(off.check(1000));
}

}  // namespace
