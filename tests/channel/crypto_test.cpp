// AES text encryption in hex form and PBKDF2, against RFC 7914 and an independent AES-256-CBC.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/crypto.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

std::vector<uint8_t> fromStdHex(const std::string& hex) {  // high nibble first
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    v.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return v;
}

struct Keys {
  uint8_t key[32], iv[16];
  Keys() { for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i); resetIv(); }
  void resetIv() { for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0xA0 + i); }
  std::string encrypt(const std::string& plain, uint32_t capacity = 1024) {
    resetIv();
    std::vector<char> out(1024, 0);
    if (mc_EncrypAesHEX(plain.c_str(), iv, key, capacity, out.data()) != 0) return "<fail>";
    return out.data();
  }
  int decrypt(const std::string& hex, uint32_t capacity, char* out) {
    resetIv();
    return mc_DecryptAesHEX(hex.c_str(), iv, key, capacity, out);
  }
};

}  // namespace

TEST(CryptoPbkdf2, MatchesRfc7914Vectors) {
  struct { const char *pwd, *salt; int iterations; const char* dk64; } vectors[] = {
      {"passwd", "salt", 1,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
       "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
      {"Password", "NaCl", 80000,
       "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
       "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.pwd);
    std::vector<uint8_t> want = fromStdHex(v.dk64);
    auto pwd = reinterpret_cast<const uint8_t*>(v.pwd);
    auto salt = reinterpret_cast<const uint8_t*>(v.salt);
    uint8_t out[64] = {};
    ASSERT_EQ(mc_Pbkdf2HmacSha256(pwd, strlen(v.pwd), salt, strlen(v.salt), v.iterations, 64, out), 0);
    EXPECT_EQ(0, memcmp(out, want.data(), 64));
  }
  uint8_t out[31];
  EXPECT_EQ(mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>("p"), 0,
                                reinterpret_cast<const uint8_t*>("s"), 1, 1, 31, out),
            AV_PBKDF2_BAD_ARG);
}

TEST(CryptoAesHex, KnownAnswerSizesHexCaseAndBadInputs) {
  Keys k;
  // Same text, key and IV through an independent AES-256-CBC with PKCS #7.
  EXPECT_EQ(k.encrypt("The quick brown fox!"),
            "46AB7CB89F321428F2C92B925D910960893B48446D9594400FAB0A6F1CF5E520");
  // The IV buffer now holds the last ciphertext block.
  EXPECT_EQ(0, memcmp(k.iv, fromStdHex("98b38444d6594904f0baa0f6c15f5e02").data(), 16));
  for (auto [len, hexLen] : {std::pair{1, 32}, {15, 32}, {16, 64}, {17, 64}, {32, 96}, {495, 992}}) {
    SCOPED_TRACE(len);
    std::string plain(static_cast<size_t>(len), 'p');
    plain[0] = static_cast<char>('A' + len % 26);
    std::string hex = k.encrypt(plain);
    EXPECT_EQ(hex.size(), static_cast<size_t>(hexLen));
    std::string lower = hex;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    for (const std::string& text : {hex, lower}) {
      char back[512] = {};
      ASSERT_EQ(k.decrypt(text, sizeof back, back), 0);
      EXPECT_EQ(std::string(back), plain);
    }
  }
  // Capacity edges and bad inputs; the pool stays whole.
  const std::vector<uint32_t> before = avtest::poolFreeCounts();
  avtest::LogCapture log;
  const std::string plain15(15, 'x');  // P = 16: hex needs 2P + 1 with its NUL
  EXPECT_EQ(k.encrypt(plain15, 32), "<fail>");
  EXPECT_TRUE(log.contains("Set encrypt key failed(outlen:32, ilen:16).", AVLOG_ERR));
  EXPECT_EQ(k.encrypt(plain15, 33).size(), 32u);

  const std::string hex = k.encrypt("twenty characters!!!");
  char out[600];
  memset(out, 'Z', sizeof out);
  EXPECT_EQ(k.decrypt(hex, 20, out), -1);
  EXPECT_TRUE(log.contains("The input lenth is (outlen: 20, nopadlen: 20).", AVLOG_ERR));
  EXPECT_EQ(out[0], 'Z') << "output written on failure";
  ASSERT_EQ(k.decrypt(hex, 21, out), 0);
  EXPECT_STREQ(out, "twenty characters!!!");

  const std::string hex64 = k.encrypt("0123456789abcdef-0123");
  ASSERT_EQ(hex64.size(), 64u);
  struct { std::string text, message; } bad[] = {
      {hex64.substr(0, 63), "The input pcInputEncryptStr lenth is (63)."},  // odd length
      {std::string(1024, 'A'), "The input pcInputEncryptStr lenth is (1024)."},
      {"", "The input pcInputEncryptStr lenth is zero."},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.message);
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(k.decrypt(b.text, sizeof out, out), -1);
    EXPECT_TRUE(log.contains(b.message, AVLOG_ERR));
    EXPECT_EQ(out[0], 'Z');
  }
  EXPECT_EQ(mc_EncrypAesHEX("", k.iv, k.key, 64, out), -1);
  EXPECT_TRUE(log.contains("The input buf lenth is zero."));
  EXPECT_EQ(mc_EncrypAesHEX(std::string(496, 'x').c_str(), k.iv, k.key, 2048, out), -1);
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}
