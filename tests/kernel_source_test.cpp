// The tool stand-in's kernel source as a caller sees it (output and exit status), on a sysfs tree
// laid out as the kernel's with no device nodes: what a run without the capability gets.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <rapidjson/document.h>

#include "TestHome.h"

namespace {

namespace fs = std::filesystem;

class KernelSourceTest : public ::testing::Test {
 protected:
  KernelSourceTest() : root_(fs::temp_directory_path() / ("varnock-sysfs-" + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/class/nvme");
    fs::create_directories(root_ / "dev");
  }
  ~KernelSourceTest() override { fs::remove_all(root_); }

  static void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
  }
  void AddController(int instance, const std::string& serial) {
    const std::string name = "nvme" + std::to_string(instance);
    const fs::path dir = root_ / "sys/class/nvme" / name;
    Write(dir / "serial", serial + "   ");
    Write(dir / "model", "INTEL SSDPE2KX010T8");
    Write(dir / "firmware_rev", "VDV10131");
    Write(dir / "transport", "pcie");
    Write(dir / "address", "0000:0" + std::to_string(instance) + ":00.0");
    Write(dir / "hwmon3/temp1_input", "36850");
    Write(dir / "hwmon3/temp1_alarm", "1");
    Write(dir / (name + "n1/dev"), "259:0");
    Write(root_ / "sys/class/block" / (name + "n1/size"), "2048");
    Write(root_ / "sys/class/block" / (name + "n1/queue/logical_block_size"), "512");
  }
  int Tool(const std::string& arguments) {
    const std::string command = "ISDCT_SOURCE=kernel ISDCT_SYSFS_ROOT=" + (root_ / "sys").string() +
                                " ISDCT_DEV_ROOT=" + (root_ / "dev").string() + " " +
                                BuiltProgram("tools/isdct/isdct.exe") + " " + arguments + " 2>" +
                                (root_ / "stderr").string();
    out_.clear();
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out_.append(buffer, n);
    const int status = pclose(pipe);
    std::ifstream in(root_ / "stderr");
    err_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    json_.Parse(out_.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The first (only) section of the answer.
  const rapidjson::Value& Section() {
    EXPECT_TRUE(json_.IsObject() && json_.MemberCount() > 0) << out_;
    return json_.MemberBegin()->value;
  }

  fs::path root_;
  std::string out_, err_;
  rapidjson::Document json_;
};

TEST_F(KernelSourceTest, NoControllerIsAnErrorNamingWhereItLooked) {
  EXPECT_EQ(Tool("show -all -o json -vedidevu"), 1);
  EXPECT_NE(err_.find("no NVMe controller under"), std::string::npos) << err_;
}

TEST_F(KernelSourceTest, InventoryWithoutThePassThroughComesFromSysfs) {
  AddController(0, "PHLJ0000000A1P0FGN");
  ASSERT_EQ(Tool("show -all -o json -vedidevu"), 0) << err_;
  const rapidjson::Value& drive = Section();
  EXPECT_EQ(drive["Index"].GetInt(), 0);
  EXPECT_STREQ(drive["SerialNumber"].GetString(), "PHLJ0000000A1P0FGN");
  EXPECT_STREQ(drive["ModelNumber"].GetString(), "INTEL SSDPE2KX010T8");
  EXPECT_STREQ(drive["Firmware"].GetString(), "VDV10131");
  EXPECT_STREQ(drive["PCIAddress"].GetString(), "0000:00:00.0");
  EXPECT_STREQ(drive["DevicePath"].GetString(), "/dev/nvme0n1");
}

TEST_F(KernelSourceTest, SmartPageWithoutThePassThroughHoldsTheSensorAndSaysWhy) {
  AddController(0, "PHLJ0000000A1P0FGN");
  ASSERT_EQ(Tool("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"), 0) << err_;
  const rapidjson::Value& page = Section();
  EXPECT_EQ(page["Temperature"].GetInt(), 36);
  ASSERT_TRUE(page.HasMember("Not Readable")) << out_;
  EXPECT_NE(std::string(page["Not Readable"].GetString()).find("nvme0"), std::string::npos);
}

TEST_F(KernelSourceTest, IndexesAreInstanceNumbersAndSurviveARemoval) {
  AddController(0, "SERIAL0");
  AddController(2, "SERIAL2");
  fs::remove_all(root_ / "sys/class/nvme/nvme0");  // hot-unplugged
  ASSERT_EQ(Tool("show -all -o json -vedidevu"), 0) << err_;
  ASSERT_EQ(json_.MemberCount(), 1u);
  EXPECT_EQ(Section()["Index"].GetInt(), 2);
  EXPECT_STREQ(Section()["SerialNumber"].GetString(), "SERIAL2");
  EXPECT_EQ(Tool("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"), 1);
  EXPECT_EQ(Tool("show -o json -vedidevu 2 -nvmelog SmartHealthInfo"), 0) << err_;
}

TEST_F(KernelSourceTest, SensorAndMakerAreFoundWhereTheKernelPutsThem) {
  // Older kernels hang the sensor below the PCI function; a hwmon folder without temp1_input
  // is not the sensor. The maker comes from the PCI vendor when the model does not name it.
  AddController(0, "SERIAL0");
  const fs::path dir = root_ / "sys/class/nvme/nvme0";
  fs::remove_all(dir / "hwmon3");
  Write(dir / "hwmon1/name", "other");
  Write(dir / "device/hwmon/hwmon7/temp1_input", "51850");
  Write(dir / "device/hwmon/hwmon7/temp1_max", "84850");
  Write(dir / "device/hwmon/hwmon7/temp1_alarm", "1");
  Write(dir / "model", "SSDPE2KX010T8");
  Write(dir / "device/vendor", "0x8086");
  AddController(1, "SERIAL1");
  Write(root_ / "sys/class/nvme/nvme1/model", "Other SSD 970");
  Write(root_ / "sys/class/nvme/nvme1/device/vendor", "0x144d");

  ASSERT_EQ(Tool("show -all -o json -vedidevu"), 0) << err_;
  const rapidjson::Value& intel = json_["Intel SSD SERIAL0"];
  EXPECT_EQ(intel["TempThreshold"].GetInt(), 84);
  EXPECT_STREQ(intel["ControllerManufacturer"].GetString(), "Intel Corporation");
  ASSERT_TRUE(json_.HasMember("NVMe SSD SERIAL1")) << out_;
  EXPECT_STREQ(json_["NVMe SSD SERIAL1"]["ControllerManufacturer"].GetString(), "");

  ASSERT_EQ(Tool("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"), 0) << err_;
  EXPECT_EQ(Section()["Temperature"].GetInt(), 51);
  EXPECT_EQ(Section()["Critical Warnings"].GetInt(), 2);  // the temperature bit, from the alarm
}

TEST_F(KernelSourceTest, NamespacesInNumberOrderWithTheFirstOnesSize) {
  AddController(1, "SERIAL1");
  const fs::path dir = root_ / "sys/class/nvme/nvme1";
  fs::remove_all(dir / "nvme1n1");
  for (const char* path : {"nvme1c4n10", "nvme1c4n2", "nvme1c4n1"}) Write(dir / path / "dev", "x");
  Write(root_ / "sys/class/block/nvme1n1/size", "8192");
  Write(root_ / "sys/class/block/nvme1n1/queue/logical_block_size", "4096");
  ASSERT_EQ(Tool("show -all -o json -vedidevu 1"), 0) << err_;
  const rapidjson::Value& drive = Section();
  EXPECT_STREQ(drive["Namespaces"].GetString(), "/dev/nvme1n1,/dev/nvme1n2,/dev/nvme1n10");
  EXPECT_STREQ(drive["DevicePath"].GetString(), "/dev/nvme1n1");
  EXPECT_EQ(drive["PhysicalSize"].GetUint64(), 8192u * 512);
  EXPECT_EQ(drive["SectorSize"].GetUint64(), 4096u);
  EXPECT_EQ(drive["MaximumLBA"].GetUint64(), 8192u * 512 / 4096 - 1);
}

TEST_F(KernelSourceTest, AControllerWhoseEntryEmptiesIsGoneNotMissing) {
  AddController(0, "SERIAL0");
  fs::remove(root_ / "sys/class/nvme/nvme0/serial");
  EXPECT_EQ(Tool("show -all -o json -vedidevu"), 5);
  EXPECT_NE(err_.find("nvme0: the controller went away"), std::string::npos) << err_;
  EXPECT_EQ(Tool("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"), 5);
  EXPECT_EQ(Tool("show -o json -vedidevu 7 -nvmelog SmartHealthInfo"), 1);
  EXPECT_NE(out_.find("No device selected"), std::string::npos) << out_;
}

}  // namespace
