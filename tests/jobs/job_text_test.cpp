// Member reading, escape removal, result shapes and conversions: the texts the
// storage system compares byte for byte.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "jobs/charset.h"
#include "jobs/job_dispatch.h"
#include "jobs/json_member.h"
#include "jobs/result_text.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

TEST(JobMemberText, QuotesAndEscapes) {
  char quoted[] = "\"abc\"", plain[] = "12", lone[] = "\"";
  EXPECT_TRUE(delQuoteChar(quoted));
  EXPECT_STREQ(quoted + 1, "abc");
  EXPECT_FALSE(delQuoteChar(plain));
  EXPECT_STREQ(plain, "12");
  EXPECT_TRUE(delQuoteChar(lone));
  EXPECT_STREQ(lone + 1, "");
  char a[] = "\\\\\\\\srv\\\\share\\/dir\\\"q\\n", trailing[] = "ab\\";
  EXPECT_TRUE(delEscapeChar(a));
  EXPECT_STREQ(a, "\\\\srv\\share/dir\"qn");
  EXPECT_TRUE(delEscapeChar(trailing));
  EXPECT_STREQ(trailing, "ab");
  avtest::LogCapture log;
  EXPECT_FALSE(delEscapeChar(nullptr));
  EXPECT_TRUE(log.contains("buf is NULL!", AVLOG_ERR));
  char out[4];
  EXPECT_EQ(delEscapeCharTo("a\\/b\\", 5, out, sizeof(out)), 3);  // exactly fits
  EXPECT_STREQ(out, "a/b");
  EXPECT_EQ(delEscapeCharTo("abcd", 4, out, sizeof(out)), -1);
  EXPECT_STREQ(out, "");
}

TEST(JobMemberText, MembersFromRendering) {
  json_object* o = json_tokener_parse(
      R"({"s":"1","n":1,"h":"0x1F","neg":"-5","bad":"1a","e":"","p":"a\/b"})");
  ASSERT_NE(o, nullptr);
  avtest::LogCapture log;
  for (auto [name, want] : {std::pair{"s", 1}, {"n", 1}, {"h", 31}, {"neg", -5}, {"e", 0}, {"bad", 1}}) {
    int32_t v = -7;
    EXPECT_TRUE(getMemberInt(o, name, &v));
    EXPECT_EQ(v, want) << name;
  }
  EXPECT_EQ(log.count("Not a numbric str: (1a)."), 1u);
  int32_t v;
  EXPECT_FALSE(getMemberInt(o, "missing", &v));
  MemberText m;
  for (int i = 0; i < 2; ++i) {  // reading does not cut the rendering
    ASSERT_TRUE(getMemberText(o, "p", &m));
    EXPECT_EQ(std::string(m.text, m.len), "a\\/b");  // rendering keeps the escape
  }
  json_object_put(o);
}

TEST(JobResultText, ShapesByteForByteAndBounds) {
  char room[1024] = {0};
  uint64_t ids[16] = {7, 9};
  int32_t st[16] = {0, 1};
  struct Case {
    int op, avType, status, result, ports;
    const char* text;
  } cases[] = {
      {1, 0, 0, 0, -1, R"({"status": "0","avType": "0","result": "0","isTag": ""})"},
      {0, 0, 0, -1, -1, R"({"status": "0","avType": "0","isTag": ""})"},
      {0, 0, 1, -1, 2, R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[{"lifid":"7","status":"0"}, {"lifid":"9","status":"1"}]})"},
      {1, 0, 1, -1, 0, R"({"status": "1","avType": "0","result": "-1","isTag": ""})"},
      {2, 0, 0, 0, 0, ""},  // any pair other than opCode 0/1 with avType 0 writes nothing
      {1, 3, 0, 0, 0, ""},
  };
  for (const auto& c : cases) {
    std::memset(room, 0, sizeof(room));
    ASSERT_EQ(buildRespMsg(room, sizeof(room), c.op, c.avType, c.status, c.result, "", c.ports, ids, st), 1);
    EXPECT_STREQ(room, c.text);
  }
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 0, 0, nullptr, 0, ids, st), 0);
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 0, 0, "", 0, nullptr, st), 0);
  EXPECT_EQ(buildRespMsg(nullptr, sizeof(room), 1, 0, 0, 0, "", 0, ids, st), 0);
  // The largest status text fits 1024 bytes; a room one byte too small is left empty.
  for (int i = 0; i < 16; ++i) ids[i] = UINT64_MAX, st[i] = 1;
  ASSERT_EQ(buildStatusRespMsg(room, sizeof(room), 1, 0, "", 16, ids, st), 1);
  std::string full(room);
  EXPECT_LT(full.size(), 1024u);
  EXPECT_NE(full.find("18446744073709551615"), std::string::npos);
  std::vector<char> small(full.size() + 8, 'x');
  auto len = static_cast<uint32_t>(full.size());
  EXPECT_EQ(buildStatusRespMsg(small.data(), len, 1, 0, "", 16, ids, st), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[len], 'x');  // nothing past the room
  ASSERT_EQ(buildStatusRespMsg(small.data(), len + 1, 1, 0, "", 16, ids, st), 1);
  EXPECT_EQ(std::string(small.data()), full);
}

// A frame body as the peer sent it, ending right before an unreadable page:
// the request is read up to Length and no further, and a value that only the
// end of the text completes (a bare number) is still seen as complete.
TEST(JobRequestText, BodyIsReadNoFurtherThanItsLength) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* map = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {R"({"opCode": "0", "avType": "0")", "parse buf to jsonObj err!"},
      {"7", "msg format error: lost opCode"},
  };
  for (const auto& c : cases) {
    char* body = map + page - c.body.size();
    std::memcpy(body, c.body.data(), c.body.size());
    const auto len = static_cast<uint32_t>(c.body.size());
    for (auto job : {doJob_GetEngineStatus, doJob_ScanFile}) {
      SCOPED_TRACE(c.body);
      avtest::LogCapture log;
      char result[AV_STATUS_RESULT_ROOM] = {};
      EXPECT_EQ(job(body, len, result, sizeof(result)), 0);
      EXPECT_TRUE(log.contains(c.message, AVLOG_ERR));
      EXPECT_STREQ(result, "");
    }
  }
  munmap(map, 2 * page);
}

TEST(JobCharset, ConversionsAndBufferSizes) {
  const char* text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  char16_t wide[16];
  EXPECT_EQ(utf8ToUtf16(text, nullptr, 0), 6u);  // a, é, €, surrogate pair, terminator
  ASSERT_EQ(UTF8ToUnicode(text, wide, sizeof(wide)), 0);
  EXPECT_EQ(std::u16string(wide), u"a\u00e9\u20ac\U0001F600");
  char back[32];
  ASSERT_EQ(UnicodeToANSI(wide, back, sizeof(back)), 0);
  EXPECT_STREQ(back, text);
  ASSERT_EQ(UTF8ToANSI(text, back, sizeof(back)), 0);
  EXPECT_STREQ(back, text);
  ASSERT_EQ(utf8ToUtf16("x\xFFy\xC3", wide, 8), 5u);  // malformed bytes become U+FFFD
  EXPECT_EQ(std::u16string(wide), u"x\uFFFDy\uFFFD");
  avtest::LogCapture log;
  // "abc" needs n = 4 units: 2n bytes is not enough, 2n + 2 is; ANSI needs n + 1.
  EXPECT_EQ(UTF8ToUnicode("abc", wide, 8), -1);
  EXPECT_TRUE(log.contains("Buffer is too small, size(8)", AVLOG_ERR));
  EXPECT_EQ(UTF8ToUnicode("abc", wide, 10), 0);
  EXPECT_EQ(UnicodeToANSI(u"abc", back, 4), -1);
  EXPECT_EQ(UnicodeToANSI(u"abc", back, 5), 0);
  EXPECT_STREQ(back, "abc");
  auto before = avtest::poolFreeCounts();
  EXPECT_EQ(UTF8ToANSI("abcdef", back, 4), -1);
  EXPECT_EQ(UTF8ToANSI(nullptr, back, 4), -1);
  EXPECT_TRUE(log.contains("Null pointer.", AVLOG_ERR));
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

}  // namespace
