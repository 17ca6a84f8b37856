// Helper layer: text to number, and device path to drive path over a fake drive table.
#include "runtime/os_helper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "runtime/startup.h"
#include "support/test_env.h"

namespace {

// Hex after 0x/0X or decimal; wraps; stops at the first bad character, which
// alone is logged (228 hex, 229 decimal).
TEST(OsHelper, StrToNumber) {
  const struct { const char* text; uint64_t u; int64_t s; bool logged; } cases[] = {
      {"0x1f", 31, 31, 0}, {"0X1F", 31, 31, 0}, {"0xAbCdEf", 0xABCDEF, 0xABCDEF, 0}, {"", 0, 0, 0},
      {nullptr, 0, 0, 0},  {"007", 7, 7, 0},    {"18446744073709551615", UINT64_MAX, -1, 0},
      {"18446744073709551616", 0, 0, 0}, {"-0x10", 0, -16, 1}, {"12a", 12, 12, 1},
      {"0x1g5", 1, 1, 1}, {" 5", 0, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    avtest::LogCapture capture;
    EXPECT_EQ(BRIM_StrToU64(c.text), c.u);
    EXPECT_EQ(capture.count("Not a numbric str: (" + std::string(c.text ? c.text : "") + ")."), c.logged);
    EXPECT_EQ(BRIM_StrToS64(c.text), c.s);
  }
}

std::map<std::string, std::string> g_devices;
uint32_t fakeQuery(const char* drive, char* out, uint32_t size) {
  auto it = g_devices.find(drive);
  if (it == g_devices.end()) return 21;  // ERROR_NOT_READY
  if (it->second.size() + 1 > size) return 122;
  std::memcpy(out, it->second.c_str(), it->second.size() + 1);
  return 0;
}

TEST(RealFilePath, TranslationAndResultCodes) {
  const std::string v2 = "\\Device\\HarddiskVolume2", v1 = "\\Device\\HarddiskVolume1";
  const struct { std::map<std::string, std::string> devices; std::string path; uint32_t size, code; const char* expect; } cases[] = {
      {{{"C:", v2}}, v2 + "\\Agent\\a.exe", 260, 0, "C:\\Agent\\a.exe"},
      {{{"C:", v2}}, "\\device\\harddiskvolume2\\Agent\\a.exe", 260, 0, "C:\\Agent\\a.exe"},
      {{{"C:", v2}}, v2 + "\\Agent\\a.exe", 8, 0, "C:\\Agen"},
      {{{"C:", ""}, {"D:", v2}}, v2 + "\\a", 260, 0, "D:\\a"},
      {{{"C:", v1}, {"D:", v1 + "0"}}, v1 + "0\\f", 260, 0, "D:\\f"},
      {{{"C:", v2}, {"D:", v2}}, v1 + "\\a", 260, AV_PATH_NO_DRIVE, ""},
      {{{"C:", std::string(260, 'x')}, {"D:", v2}}, v2 + "\\a", 260, AV_PATH_DEVICE_TOO_LONG, ""},
      {{{"D:", v2}}, v2 + "\\a", 260, 21, ""},  // C: fails first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    g_devices = c.devices;
    char out[260] = "";
    EXPECT_EQ(getRealFilePath("C:\\\0D:\\\0", c.path.c_str(), out, c.size, fakeQuery), c.code);
    EXPECT_STREQ(out, c.expect);
  }
  EXPECT_EQ(getRealFilePath("C:\\\0", "x", nullptr, 260, fakeQuery), AV_PATH_NO_OUTPUT);
}

}  // namespace
