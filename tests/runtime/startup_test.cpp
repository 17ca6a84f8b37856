// Device path to drive path with a fake drive table.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "runtime/startup.h"

namespace {

std::map<std::string, std::string> g_devices;

uint32_t fakeQuery(const char* drive, char* out, uint32_t size) {
  auto it = g_devices.find(drive);
  if (it == g_devices.end()) return 21;  // ERROR_NOT_READY
  if (it->second.size() + 1 > size) return 122;
  std::memcpy(out, it->second.c_str(), it->second.size() + 1);
  return 0;
}

TEST(RealFilePath, TranslationAndResultCodes) {
  const char* v2 = "\\Device\\HarddiskVolume2";
  const struct {
    std::map<std::string, std::string> devices;
    const char* path;
    uint32_t size, code;
    const char* expect;
  } cases[] = {
      {{{"C:", v2}}, "\\Device\\HarddiskVolume2\\Agent\\a.exe", 260, 0, "C:\\Agent\\a.exe"},
      {{{"C:", v2}}, "\\device\\harddiskvolume2\\Agent\\a.exe", 260, 0, "C:\\Agent\\a.exe"},
      {{{"C:", v2}}, "\\Device\\HarddiskVolume2\\Agent\\a.exe", 8, 0, "C:\\Agen"},
      {{{"C:", ""}, {"D:", v2}}, "\\Device\\HarddiskVolume2\\a", 260, 0, "D:\\a"},
      {{{"C:", "\\Device\\HarddiskVolume1"}, {"D:", "\\Device\\HarddiskVolume10"}},
       "\\Device\\HarddiskVolume10\\f", 260, 0, "D:\\f"},
      {{{"C:", v2}, {"D:", v2}}, "\\Device\\HarddiskVolume9\\a", 260, AV_PATH_NO_DRIVE, ""},
      {{{"C:", std::string(260, 'x')}, {"D:", v2}}, "\\Device\\HarddiskVolume2\\a", 260,
       AV_PATH_DEVICE_TOO_LONG, ""},
      {{{"D:", v2}}, "\\Device\\HarddiskVolume2\\a", 260, 21, ""},  // C: fails first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    g_devices = c.devices;
    char out[260] = "";
    EXPECT_EQ(getRealFilePath("C:\\\0D:\\\0", c.path, out, c.size, fakeQuery), c.code);
    EXPECT_STREQ(out, c.expect);
  }
  EXPECT_EQ(getRealFilePath("C:\\\0", "x", nullptr, 260, fakeQuery), AV_PATH_NO_OUTPUT);
}

}  // namespace
