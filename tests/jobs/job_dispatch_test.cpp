// Result shapes, request bounds and failures of both entry points.
#include <json-c/json.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include "jobs/charset.h"
#include "jobs/result_text.h"
#include "jobs_test_support.h"
#include "runtime/log.h"

namespace {

TEST(JobResultText, ShapesEscapingAndBounds) {
  char room[1024] = {0};
  uint64_t ids[16] = {7, 9};
  int32_t st[16] = {0, 1};
  struct Case { int op, avType, status, result, ports; const char *tag, *text; } cases[] = {
      {1, 0, 0, 0, -1, "", R"({"status": "0","avType": "0","result": "0","isTag": ""})"},
      {0, 0, 1, -1, 2, "", R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[{"lifid":"7","status":"0"}, {"lifid":"9","status":"1"}]})"},
      {1, 0, 0, 0, 0, "q\"\\\x01\x1f\x7f", R"({"status": "0","avType": "0","result": "0","isTag": "q\"\\\u0001\u001f\u007f"})"},
      {0, 0, 0, 0, 0, "\"}", R"({"status": "0","avType": "0","isTag": "\"}"})"},
      {2, 0, 0, 0, 0, "", ""}, {1, 3, 0, 0, 0, "", ""}};  // no shape for any other pair
  for (const auto& c : cases) {
    std::memset(room, 0, sizeof(room));
    ASSERT_EQ(buildRespMsg(room, sizeof(room), c.op, c.avType, c.status, c.result, c.tag, c.ports, ids, st), 1);
    EXPECT_STREQ(room, c.text);
  }
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 0, 0, nullptr, 0, ids, st), 0);
  // The largest status text fits 1024 bytes; a room one byte too small is left empty.
  for (int i = 0; i < 16; ++i) ids[i] = UINT64_MAX, st[i] = 1;
  ASSERT_EQ(buildStatusRespMsg(room, sizeof(room), 1, 0, "", 16, ids, st), 1);
  std::string full(room);
  EXPECT_NE(full.find("18446744073709551615\",\"status\":\"1\"}]}"), std::string::npos);
  std::vector<char> small(full.size() + 8, 'x');
  auto len = static_cast<uint32_t>(full.size());
  EXPECT_EQ(buildStatusRespMsg(small.data(), len, 1, 0, "", 16, ids, st), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[len], 'x');  // nothing past the room
  ASSERT_EQ(buildStatusRespMsg(small.data(), len + 1, 1, 0, "", 16, ids, st), 1);
  EXPECT_EQ(std::string(small.data()), full);
}

#ifndef _WIN32  // the guard page is an anonymous POSIX mapping
// A body ending right before an unreadable page is read to its length only.
TEST(JobDispatch, BodyBoundsAndMalformedRequests) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", "x.exe"}}));
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* map = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
  const std::string f = R"(,"FilePath":"\\\\a\\b")";
  struct Case { bool scan; std::string request, message; int rc = 0; std::string text = ""; } cases[] = {
      {false, R"({"opCode": "0", "avType": "0")", "parse buf to jsonObj err!"},
      {true, R"({"opCode": "0", "avType": "0")", "parse buf to jsonObj err!"},
      {false, "7", "msg format error: lost opCode"},  // only the end completes the number
      {true, R"({"avType":"0")" + f + "}", "msg format error: lost opCode"},
      {false, R"({"opCode":"0","vendorName":"V"})", "msg format error: lost avType"},
      {true, R"({"opCode":"1")" + f + "}", "msg format error: lost  avType"},
      {false, R"({"opCode":"0","avType":"0"})", "msg format error: lost message"},
      {true, R"({"opCode":"1","avType":"0"})", "msg format error: lost message"},
      {true, R"({"opCode":"1","avType":"3")" + f + "}", "avEngineType err", 1},
      {false, R"({"opCode":"1","avType":"0","vendorName":"V"})", "", 1,
       R"({"status": "1","avType": "0","result": "-1","isTag": ""})"},
      {false, R"({"opCode":"0","avType":"1","vendorName":"V"})", "", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    char* body = map + page - c.request.size();
    std::memcpy(body, c.request.data(), c.request.size());
    avtest::LogCapture log;
    char result[AV_STATUS_RESULT_ROOM] = {};
    auto len = static_cast<uint32_t>(c.request.size());
    EXPECT_EQ((c.scan ? doJob_ScanFile : doJob_GetEngineStatus)(body, len, result, sizeof(result)), c.rc);
    EXPECT_EQ(std::string(result), c.text);
    EXPECT_EQ(log.contains(c.message, AVLOG_ERR), !c.message.empty());
  }
  munmap(map, 2 * page);
  avtest::LogCapture log;
  EXPECT_EQ(doJob_GetEngineStatus(nullptr, 0, nullptr, 1024), 0);
  EXPECT_EQ(doJob_ScanFile(nullptr, 0, nullptr, 512), 0);
  EXPECT_TRUE(log.contains("Param is NULL!", AVLOG_ERR));
  EXPECT_TRUE(log.contains("returnResult is NULL!", AVLOG_ERR));
}
#endif

// The counted conversions need one unit more than the result (with its NUL).
TEST(JobCharset, RoomRules) {
  char16_t wide[8];
  char back[8];
  avtest::LogCapture log;
  EXPECT_EQ(UTF8ToUnicode("abc", wide, 8), -1);
  EXPECT_TRUE(log.contains("Buffer is too small, size(8)", AVLOG_ERR));
  EXPECT_EQ(UTF8ToUnicode("abc", wide, 10), 0);
  EXPECT_EQ(UnicodeToANSI(u"abc", back, 4), -1);
  EXPECT_EQ(UnicodeToANSI(u"abc", back, 5), 0);
  EXPECT_STREQ(back, "abc");
}

#ifdef _WIN32
// The ANSI step is the host's code page, one byte a character in 1252 (Wine's
// default), under the same room rule.
TEST(JobCharset, AnsiIsTheHostCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
  char out[8];
  EXPECT_EQ(UnicodeToANSI(u"\u00e9\u20ac", out, 3), -1);
  ASSERT_EQ(UnicodeToANSI(u"\u00e9\u20ac", out, 4), 0);
  EXPECT_STREQ(out, "\xE9\x80");
  ASSERT_EQ(UTF8ToANSI("\xC3\xA9", out, sizeof out), 0);
  EXPECT_STREQ(out, "\xE9");
  EXPECT_EQ(UnicodeToANSI(u"a\u4e2d", out, sizeof out), -1);  // no '?' in place of what 1252 lacks
}
#endif

}  // namespace
