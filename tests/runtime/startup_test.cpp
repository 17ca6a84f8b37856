// Device path to drive path with a fake drive table, and the program path of
// the running test binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "runtime/log.h"
#include "runtime/startup.h"
#include "support/test_env.h"

namespace {

std::map<std::string, std::string> g_devices;
uint32_t g_failCode = 0;
std::string g_failDrive;

uint32_t fakeQuery(const char* drive, char* out, uint32_t size) {
  if (drive == g_failDrive) return g_failCode;
  auto it = g_devices.find(drive);
  if (it == g_devices.end()) return 15;  // ERROR_INVALID_DRIVE
  if (it->second.size() + 1 > size) return 122;
  std::memcpy(out, it->second.c_str(), it->second.size() + 1);
  return 0;
}

class RealFilePath : public ::testing::Test {
 protected:
  void SetUp() override {
    g_devices = {{"C:", "\\Device\\HarddiskVolume2"}, {"D:", "\\Device\\HarddiskVolume3"}};
    g_failCode = 0;
    g_failDrive.clear();
  }
  uint32_t translate(const char* list, const char* path, uint32_t size = 260) {
    out_[0] = '\0';
    return getRealFilePath(list, path, out_, size, fakeQuery);
  }
  char out_[260];
};

const char kCD[] = "C:\\\0D:\\\0";

TEST_F(RealFilePath, DevicePathBecomesDrivePath) {
  BRIM_SetModuleLogLevel(AV_MODULE_BRIM, AVLOG_DBG);
  avtest::LogCapture capture;
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume2\\Agent\\agent.exe"), 0u);
  EXPECT_STREQ(out_, "C:\\Agent\\agent.exe");
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume3\\x"), 0u);
  EXPECT_STREQ(out_, "D:\\x");
  // The record belongs to the OS helper layer's module.
  bool seen = false;
  for (const auto& r : capture.records())
    if (r.message == "get file path (D:\\x).") seen = r.module == AV_MODULE_BRIM;
  EXPECT_TRUE(seen);
  BRIM_SetModuleLogLevel(AV_MODULE_BRIM, 0);
}

TEST_F(RealFilePath, DeviceNameComparedWithoutCase) {
  ASSERT_EQ(translate(kCD, "\\device\\harddiskvolume2\\Agent\\agent.exe"), 0u);
  EXPECT_STREQ(out_, "C:\\Agent\\agent.exe");
}

TEST_F(RealFilePath, Volume1IsNotTakenForVolume10) {
  g_devices = {{"C:", "\\Device\\HarddiskVolume1"}, {"D:", "\\Device\\HarddiskVolume10"}};
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume10\\data\\f"), 0u);
  EXPECT_STREQ(out_, "D:\\data\\f");
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume1\\f"), 0u);
  EXPECT_STREQ(out_, "C:\\f");
  // The device itself, without a path behind it.
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume1"), 0u);
  EXPECT_STREQ(out_, "C:");
}

TEST_F(RealFilePath, ResultCodes) {
  EXPECT_EQ(getRealFilePath(kCD, "\\Device\\HarddiskVolume2\\a", nullptr, 260, fakeQuery),
            AV_PATH_NO_OUTPUT);
  EXPECT_EQ(translate(kCD, "\\Device\\HarddiskVolume9\\a"), AV_PATH_NO_DRIVE);
  EXPECT_EQ(translate("\0", "\\Device\\HarddiskVolume2\\a"), AV_PATH_NO_DRIVE);
  // A device name of 260 characters does not fit the query buffer.
  g_devices["C:"] = std::string(260, 'x');
  EXPECT_EQ(translate(kCD, "\\Device\\HarddiskVolume3\\a"), AV_PATH_DEVICE_TOO_LONG);
  // Another query failure is returned as it is, before later drives are tried.
  g_devices["C:"] = "\\Device\\HarddiskVolume2";
  g_failDrive = "C:";
  g_failCode = 21;
  EXPECT_EQ(translate(kCD, "\\Device\\HarddiskVolume3\\a"), 21u);
}

TEST_F(RealFilePath, OutputIsBoundedBySize) {
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume2\\Agent\\agent.exe", 8), 0u);
  EXPECT_STREQ(out_, "C:\\Agen");
}

TEST_F(RealFilePath, DriveWithoutDeviceNameMatchesNothing) {
  g_devices["C:"] = "";
  ASSERT_EQ(translate(kCD, "\\Device\\HarddiskVolume3\\a"), 0u);
  EXPECT_STREQ(out_, "D:\\a");
}

TEST(ProcessFilePath, IsTheRunningProgram) {
  char path[260] = {};
  ASSERT_EQ(GetProcessFilePath(0, path, sizeof(path)), 0u);
  char expect[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", expect, sizeof(expect) - 1), 0);
  EXPECT_STREQ(path, expect);
  EXPECT_EQ(GetProcessFilePath(0, nullptr, 260), AV_PATH_NO_OUTPUT);
  // Too small for the path: no half path is handed out.
  char tiny[4];
  EXPECT_EQ(GetProcessFilePath(0, tiny, sizeof(tiny)), AV_PATH_NO_IMAGE_NAME);
  EXPECT_EQ(GetProcessFilePath(0x7ffffff0, path, sizeof(path)), AV_PATH_NO_IMAGE_NAME);
}

}  // namespace
