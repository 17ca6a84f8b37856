// Member reading, escape removal, result shapes and conversions: the texts the
// storage system compares byte for byte.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstring>
#include <string>

#include "jobs/charset.h"
#include "jobs/json_member.h"
#include "jobs/result_text.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

TEST(JobMemberText, QuoteStripping) {
  char quoted[] = "\"abc\"";
  EXPECT_TRUE(delQuoteChar(quoted));
  EXPECT_STREQ(quoted + 1, "abc");
  char plain[] = "12";
  EXPECT_FALSE(delQuoteChar(plain));
  EXPECT_STREQ(plain, "12");
  EXPECT_FALSE(delQuoteChar(nullptr));
  char lone[] = "\"";
  EXPECT_TRUE(delQuoteChar(lone));
  EXPECT_STREQ(lone + 1, "");
}

TEST(JobMemberText, EscapeRemoval) {
  char a[] = "\\\\\\\\srv\\\\share\\/dir\\\"q\\n";  // \\\\srv\\share\/dir\"q\n
  EXPECT_TRUE(delEscapeChar(a));
  EXPECT_STREQ(a, "\\\\srv\\share/dir\"qn");
  char trailing[] = "ab\\";
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
  int32_t v = -7;
  EXPECT_TRUE(getMemberInt(o, "s", &v));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(getMemberInt(o, "n", &v));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(getMemberInt(o, "h", &v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(getMemberInt(o, "neg", &v));
  EXPECT_EQ(v, -5);
  EXPECT_TRUE(getMemberInt(o, "e", &v));
  EXPECT_EQ(v, 0);
  {
    avtest::LogCapture log;
    EXPECT_TRUE(getMemberInt(o, "bad", &v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(log.contains("Not a numbric str: (1a)."));
  }
  EXPECT_FALSE(getMemberInt(o, "missing", &v));
  MemberText m;
  ASSERT_TRUE(getMemberText(o, "p", &m));
  EXPECT_EQ(std::string(m.text, m.len), "a\\/b");  // rendering keeps the escape
  // Reading does not cut the rendering: a second read sees the same text.
  ASSERT_TRUE(getMemberText(o, "p", &m));
  EXPECT_EQ(std::string(m.text, m.len), "a\\/b");
  json_object_put(o);
}

TEST(JobResultText, ExamplesByteForByte) {
  char room[1024] = {0};
  uint64_t ids[16] = {7, 9};
  int32_t st[16] = {0, 1};
  ASSERT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 0, 0, "", -1, ids, st), 1);
  EXPECT_STREQ(room, R"({"status": "0","avType": "0","result": "0","isTag": ""})");
  std::memset(room, 0, sizeof(room));
  ASSERT_EQ(buildRespMsg(room, sizeof(room), 0, 0, 0, -1, "", -1, ids, st), 1);
  EXPECT_STREQ(room, R"({"status": "0","avType": "0","isTag": ""})");
  std::memset(room, 0, sizeof(room));
  ASSERT_EQ(buildRespMsg(room, sizeof(room), 0, 0, 1, -1, "", 2, ids, st), 1);
  EXPECT_STREQ(room,
               R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[{"lifid":"7","status":"0"}, {"lifid":"9","status":"1"}]})");
}

TEST(JobResultText, ShapeChoiceAndBounds) {
  char room[1024] = {0};
  uint64_t ids[16] = {};
  int32_t st[16] = {};
  // Any pair other than opCode 0/1 with avType 0 writes nothing.
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 2, 0, 0, 0, "", 0, ids, st), 1);
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 1, 3, 0, 0, "", 0, ids, st), 1);
  EXPECT_STREQ(room, "");
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 0, 0, nullptr, 0, ids, st), 0);
  EXPECT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 0, 0, "", 0, nullptr, st), 0);
  EXPECT_EQ(buildRespMsg(nullptr, sizeof(room), 1, 0, 0, 0, "", 0, ids, st), 0);
  // Port count 0: no list; negative numbers written as such.
  ASSERT_EQ(buildRespMsg(room, sizeof(room), 1, 0, 1, -1, "", 0, ids, st), 1);
  EXPECT_STREQ(room, R"({"status": "1","avType": "0","result": "-1","isTag": ""})");

  // The largest status text fits 1024 bytes; a room one byte too small is left empty.
  for (int i = 0; i < 16; ++i) ids[i] = UINT64_MAX, st[i] = 1;
  ASSERT_EQ(buildStatusRespMsg(room, sizeof(room), 1, 0, "", 16, ids, st), 1);
  size_t len = strlen(room);
  EXPECT_LT(len, 1024u);
  EXPECT_NE(std::string(room).find("18446744073709551615"), std::string::npos);
  std::string full(room);
  std::vector<char> small(len + 8, 'x');
  EXPECT_EQ(buildStatusRespMsg(small.data(), static_cast<uint32_t>(len), 1, 0, "", 16, ids, st), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[len], 'x');  // nothing past the room
  ASSERT_EQ(buildStatusRespMsg(small.data(), static_cast<uint32_t>(len + 1), 1, 0, "", 16, ids, st), 1);
  EXPECT_EQ(std::string(small.data()), full);
}

TEST(JobCharset, Utf8AndUtf16) {
  const char* text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  char16_t wide[16];
  EXPECT_EQ(utf8ToUtf16(text, nullptr, 0), 6u);  // a, é, €, surrogate pair, terminator
  ASSERT_EQ(UTF8ToUnicode(text, wide, sizeof(wide)), 0);
  EXPECT_EQ(wide[0], u'a');
  EXPECT_EQ(wide[1], u'\u00e9');
  EXPECT_EQ(wide[2], u'\u20ac');
  EXPECT_EQ(wide[3], 0xD83D);
  EXPECT_EQ(wide[4], 0xDE00);
  EXPECT_EQ(wide[5], 0);
  char back[32];
  ASSERT_EQ(UnicodeToANSI(wide, back, sizeof(back)), 0);
  EXPECT_STREQ(back, text);
  ASSERT_EQ(UTF8ToANSI(text, back, sizeof(back)), 0);
  EXPECT_STREQ(back, text);
  // Malformed bytes become U+FFFD.
  char16_t bad[8];
  ASSERT_EQ(utf8ToUtf16("x\xFFy\xC3", bad, 8), 5u);
  EXPECT_EQ(bad[1], 0xFFFD);
  EXPECT_EQ(bad[3], 0xFFFD);
}

TEST(JobCharset, TooSmallBuffers) {
  avtest::LogCapture log;
  char16_t wide[8];
  // "abc" needs n = 4 units: 2n bytes is not enough, 2n + 2 is.
  EXPECT_EQ(UTF8ToUnicode("abc", wide, 8), -1);
  EXPECT_TRUE(log.contains("Buffer is too small, size(8)", AVLOG_ERR));
  EXPECT_EQ(UTF8ToUnicode("abc", wide, 10), 0);
  char out[8];
  EXPECT_EQ(UnicodeToANSI(u"abc", out, 4), -1);  // needs n + 1 = 5
  EXPECT_EQ(UnicodeToANSI(u"abc", out, 5), 0);
  EXPECT_STREQ(out, "abc");
  auto before = avtest::poolFreeCounts();
  EXPECT_EQ(UTF8ToANSI("abcdef", out, 4), -1);
  EXPECT_EQ(UTF8ToANSI(nullptr, out, 4), -1);
  EXPECT_TRUE(log.contains("Null pointer.", AVLOG_ERR));
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

}  // namespace
