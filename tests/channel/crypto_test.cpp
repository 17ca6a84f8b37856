// AES text encryption in hex form: the longest text, either case of hex, capacity
// edges, bad inputs (known answers and sizes: the credentials of shared_key_test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "channel/crypto.h"
#include "runtime/log.h"
#include "support/test_env.h"

TEST(CryptoAesHex, LongestTextCapacityAndBadInputs) {
  uint8_t key[32], iv[16];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  auto resetIv = [&] { for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0xA0 + i); };
  auto encrypt = [&](const std::string& plain, uint32_t capacity = 1024) -> std::string {
    char out[1024] = {};
    resetIv();
    return mc_EncrypAesHEX(plain.c_str(), iv, key, capacity, out) == 0 ? out : "<fail>";
  };
  auto decrypt = [&](const std::string& hex, uint32_t capacity, char* out) {
    resetIv();
    return mc_DecryptAesHEX(hex.c_str(), iv, key, capacity, out);
  };
  std::string plain(495, 'q'), longest = encrypt(plain);  // pads to 496 bytes, the most there is room for
  EXPECT_EQ(longest.size(), 992u);
  for (char& c : longest) c = static_cast<char>(tolower(c));  // either case decodes
  char back[512] = {};
  ASSERT_EQ(decrypt(longest, sizeof back, back), 0);
  EXPECT_EQ(std::string(back), plain);
  const auto before = avtest::poolFreeCounts();
  avtest::LogCapture log;
  EXPECT_EQ(encrypt(std::string(15, 'x'), 32), "<fail>");  // hex 32 needs its NUL too
  EXPECT_TRUE(log.contains("Set encrypt key failed(outlen:32, ilen:16).", AVLOG_ERR));
  EXPECT_EQ(encrypt(std::string(15, 'x'), 33).size(), 32u);
  const std::string hex = encrypt("twenty characters!!!"), hex64 = encrypt("0123456789abcdef-0123");
  char out[600];
  const struct { std::string text; uint32_t room; const char* message; } bad[] = {
      {hex, 20, "The input lenth is (outlen: 20, nopadlen: 20)."},
      {hex64.substr(0, 63), sizeof out, "The input pcInputEncryptStr lenth is (63)."},
      {hex + "0", sizeof out, "The input pcInputEncryptStr lenth is (65)."},  // odd, though 32 bytes decode
      {std::string(1024, 'A'), sizeof out, "The input pcInputEncryptStr lenth is (1024)."},
      {"", sizeof out, "The input pcInputEncryptStr lenth is zero."},
  };
  for (const auto& b : bad) {
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(decrypt(b.text, b.room, out), -1) << b.message;
    EXPECT_TRUE(log.contains(b.message, AVLOG_ERR)) << b.message;
    EXPECT_EQ(out[0], 'Z') << "output written on failure";
  }
  ASSERT_EQ(decrypt(hex, 21, out), 0);
  EXPECT_STREQ(out, "twenty characters!!!");
  EXPECT_EQ(mc_EncrypAesHEX("", iv, key, 64, out), -1);
  EXPECT_EQ(mc_EncrypAesHEX(std::string(496, 'x').c_str(), iv, key, 2048, out), -1);
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}
