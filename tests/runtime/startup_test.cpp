// Device path to drive path with a fake drive table.
#include <gtest/gtest.h>

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
  const struct {
    std::map<std::string, std::string> devices;
    const char* path;
    uint32_t size;
    const char* expect;
  } cases[] = {
      {{}, "\\Device\\HarddiskVolume2\\Agent\\agent.exe", 260, "C:\\Agent\\agent.exe"},
      {{}, "\\device\\harddiskvolume2\\Agent\\agent.exe", 260, "C:\\Agent\\agent.exe"},
      {{}, "\\Device\\HarddiskVolume2\\Agent\\agent.exe", 8, "C:\\Agen"},  // bounded by size
      {{{"C:", ""}}, "\\Device\\HarddiskVolume3\\a", 260, "D:\\a"},  // no device name: no match
      // Volume1 is not taken for Volume10; the device alone has no path behind it.
      {{{"C:", "\\Device\\HarddiskVolume1"}, {"D:", "\\Device\\HarddiskVolume10"}},
       "\\Device\\HarddiskVolume10\\data\\f", 260, "D:\\data\\f"},
      {{{"C:", "\\Device\\HarddiskVolume1"}, {"D:", "\\Device\\HarddiskVolume10"}},
       "\\Device\\HarddiskVolume1", 260, "C:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SetUp();
    for (const auto& [drive, device] : c.devices) g_devices[drive] = device;
    ASSERT_EQ(translate(kCD, c.path, c.size), 0u);
    EXPECT_STREQ(out_, c.expect);
  }
  // The record belongs to the OS helper layer's module.
  bool seen = false;
  for (const auto& r : capture.records())
    if (r.message == "get file path (D:\\data\\f).") seen = r.module == AV_MODULE_BRIM;
  EXPECT_TRUE(seen);
  BRIM_SetModuleLogLevel(AV_MODULE_BRIM, 0);
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

}  // namespace
