// AES text encryption in the agent's hex form, PBKDF2, random bytes and text, and
// the single-block keys of frames. Known answers come from RFC 7914, FIPS-197 and
// an independent AES-256-CBC implementation.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "channel/crypto.h"
#include "platform/random.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

std::vector<uint8_t> fromStdHex(const std::string& hex) {  // high nibble first
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    v.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return v;
}

void seqKey(uint8_t key[32]) {
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
}
void seqIv(uint8_t iv[16]) {
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0xA0 + i);
}

std::string encrypt(const std::string& plain, const uint8_t key[32], uint8_t iv[16],
                    uint32_t capacity = 1024) {
  std::vector<char> out(1024, 0);
  if (mc_EncrypAesHEX(plain.c_str(), iv, key, capacity, out.data()) != 0) return "<fail>";
  return std::string(out.data());
}

// Fake generators for the failure paths of the random source.
int g_fillsLeft = 0;
int g_probeFailures = 0;
ssize_t flakySource(void* buf, size_t n, unsigned int) {
  if (n == 0) {
    if (g_probeFailures > 0) {
      --g_probeFailures;
      errno = ENOSYS;
      return -1;
    }
    return 0;
  }
  if (g_fillsLeft-- <= 0) {
    errno = EIO;
    return -1;
  }
  memset(buf, 0x41, n);
  return static_cast<ssize_t>(n);
}
ssize_t dribbleSource(void* buf, size_t n, unsigned int) {  // one byte per call
  if (n == 0) return 0;
  *static_cast<uint8_t*>(buf) = 0x7F;
  return 1;
}

struct SourceGuard {
  explicit SourceGuard(AvGetRandomFn fn) { avRandomSetSourceForTest(fn); }
  ~SourceGuard() { avRandomSetSourceForTest(nullptr); }
};

const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./";

}  // namespace

TEST(CryptoPbkdf2, MatchesRfc7914VectorsAndCutsOutput) {
  struct Vector {
    const char* pwd;
    const char* salt;
    int iterations;
    const char* dk64;
  } vectors[] = {
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
    uint8_t out[64] = {};
    ASSERT_EQ(mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>(v.pwd), strlen(v.pwd),
                                  reinterpret_cast<const uint8_t*>(v.salt), strlen(v.salt),
                                  v.iterations, 64, out),
              0);
    EXPECT_EQ(0, memcmp(out, want.data(), 64));

    uint8_t cut[32];
    memset(cut, 0xEE, sizeof cut);
    ASSERT_EQ(mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>(v.pwd), strlen(v.pwd),
                                  reinterpret_cast<const uint8_t*>(v.salt), strlen(v.salt),
                                  v.iterations, AV_DERIVED_KEY_LEN, cut),
              0);
    EXPECT_EQ(0, memcmp(cut, want.data(), 31));
    EXPECT_EQ(cut[31], 0xEE) << "wrote past the output length";
  }
}

TEST(CryptoPbkdf2, RejectsMissingOrEmptyInputsAndDefaultsIterations) {
  const uint8_t pwd[] = "passwd";
  const uint8_t salt[] = "salt";
  uint8_t out[31];
  memset(out, 0xEE, sizeof out);
  EXPECT_EQ(mc_Pbkdf2HmacSha256(nullptr, 6, salt, 4, 1, 31, out), AV_PBKDF2_BAD_ARG);
  EXPECT_EQ(mc_Pbkdf2HmacSha256(pwd, 6, nullptr, 4, 1, 31, out), AV_PBKDF2_BAD_ARG);
  EXPECT_EQ(mc_Pbkdf2HmacSha256(pwd, 6, salt, 4, 1, 31, nullptr), AV_PBKDF2_BAD_ARG);
  EXPECT_EQ(mc_Pbkdf2HmacSha256(pwd, 0, salt, 4, 1, 31, out), AV_PBKDF2_BAD_ARG);
  EXPECT_EQ(mc_Pbkdf2HmacSha256(pwd, 6, salt, 0, 1, 31, out), AV_PBKDF2_BAD_ARG);
  EXPECT_EQ(mc_Pbkdf2HmacSha256(pwd, 6, salt, 4, 1, 0, out), AV_PBKDF2_BAD_ARG);
  for (uint8_t b : out) ASSERT_EQ(b, 0xEE) << "derived despite a rejected argument";

  // 0 or a negative count means 2048 (value from an independent implementation).
  std::vector<uint8_t> want =
      fromStdHex("9c64bce5d6caf1621d7ac55b4cc203c63766eec884a9c75e245d8480604b81");
  for (int iterations : {0, -7, 2048}) {
    uint8_t dk[31] = {};
    ASSERT_EQ(mc_Pbkdf2HmacSha256(pwd, 6, salt, 4, iterations, 31, dk), 0);
    EXPECT_EQ(0, memcmp(dk, want.data(), 31)) << iterations;
  }
}

TEST(CryptoHex, LowNibbleFirstUpperCaseAndLenientDecoding) {
  const uint8_t bytes[] = {0x1F, 0x00, 0xAB, 0xF0};
  char hex[9] = {};
  mc_BytesToHex(bytes, 4, hex);
  EXPECT_STREQ(hex, "F100BA0F");

  uint8_t upper[4] = {}, lower[4] = {};
  mc_HexToBytes("F100BA0F", 8, upper);
  mc_HexToBytes("f100ba0f", 8, lower);
  EXPECT_EQ(0, memcmp(upper, bytes, 4));
  EXPECT_EQ(0, memcmp(lower, bytes, 4));

  uint8_t odd[2] = {0x55, 0x55};
  mc_HexToBytes("zG9x", 4, odd);  // non-digits count 0
  EXPECT_EQ(odd[0], 0x00);
  EXPECT_EQ(odd[1], 0x09);
}

TEST(CryptoAesHex, KnownAnswerSizesAndIvChaining) {
  uint8_t key[32], iv[16];
  seqKey(key);
  seqIv(iv);
  // Same text, key and IV through an independent AES-256-CBC with PKCS #7,
  // then put in the agent's hex form.
  EXPECT_EQ(encrypt("The quick brown fox!", key, iv),
            "46AB7CB89F321428F2C92B925D910960893B48446D9594400FAB0A6F1CF5E520");
  // The IV buffer now holds the last ciphertext block.
  std::vector<uint8_t> lastBlock = fromStdHex("98b38444d6594904f0baa0f6c15f5e02");
  EXPECT_EQ(0, memcmp(iv, lastBlock.data(), 16));

  for (auto [len, hexLen] : {std::pair{1, 32}, {15, 32}, {16, 64}, {17, 64}, {32, 96}, {495, 992}}) {
    SCOPED_TRACE(len);
    std::string plain(static_cast<size_t>(len), 'p');
    plain[0] = static_cast<char>('A' + len % 26);
    seqIv(iv);
    std::string hex = encrypt(plain, key, iv);
    EXPECT_EQ(hex.size(), static_cast<size_t>(hexLen));
    seqIv(iv);
    char back[512] = {};
    ASSERT_EQ(mc_DecryptAesHEX(hex.c_str(), iv, key, sizeof back, back), 0);
    EXPECT_EQ(std::string(back), plain);
  }
}

TEST(CryptoAesHex, EncryptCapacityMustExceedHexLength) {
  uint8_t key[32], iv[16];
  seqKey(key);
  std::string plain(15, 'x');  // P = 16, hex 32
  {
    avtest::LogCapture log;
    seqIv(iv);
    char out[64];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(mc_EncrypAesHEX(plain.c_str(), iv, key, 32, out), -1);
    EXPECT_TRUE(log.contains("Set encrypt key failed(outlen:32, ilen:16).", AVLOG_ERR));
    EXPECT_EQ(out[0], 'Z') << "output written on failure";
  }
  seqIv(iv);
  char out[64] = {};
  EXPECT_EQ(mc_EncrypAesHEX(plain.c_str(), iv, key, 33, out), 0);
  EXPECT_EQ(strlen(out), 32u);
}

TEST(CryptoAesHex, DecryptCapacityMustExceedPlainLength) {
  uint8_t key[32], iv[16];
  seqKey(key);
  seqIv(iv);
  std::string hex = encrypt("twenty characters!!!", key, iv);
  {
    avtest::LogCapture log;
    seqIv(iv);
    char out[32];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(mc_DecryptAesHEX(hex.c_str(), iv, key, 20, out), -1);
    EXPECT_TRUE(log.contains("The input lenth is (outlen: 20, nopadlen: 20).", AVLOG_ERR));
    EXPECT_EQ(out[0], 'Z');
  }
  seqIv(iv);
  char out[21];
  memset(out, 'Z', sizeof out);
  ASSERT_EQ(mc_DecryptAesHEX(hex.c_str(), iv, key, 21, out), 0);
  EXPECT_STREQ(out, "twenty characters!!!");
}

TEST(CryptoAesHex, HexCaseAndLengthOfCiphertext) {
  uint8_t key[32], iv[16];
  seqKey(key);
  seqIv(iv);
  std::string hex = encrypt("0123456789abcdef-0123", key, iv);  // 64 digits
  ASSERT_EQ(hex.size(), 64u);
  std::string lower = hex;
  for (char& c : lower) c = static_cast<char>(tolower(c));
  ASSERT_NE(lower, hex);
  seqIv(iv);
  char out[64] = {};
  ASSERT_EQ(mc_DecryptAesHEX(lower.c_str(), iv, key, sizeof out, out), 0);
  EXPECT_STREQ(out, "0123456789abcdef-0123");

  avtest::LogCapture log;
  auto rejects = [&](const std::string& text, const std::string& message) {
    seqIv(iv);
    char o[600];
    memset(o, 'Z', sizeof o);
    EXPECT_EQ(mc_DecryptAesHEX(text.c_str(), iv, key, sizeof o, o), -1) << text.size();
    EXPECT_TRUE(log.contains(message, AVLOG_ERR)) << message;
    EXPECT_EQ(o[0], 'Z');
  };
  rejects(hex.substr(0, 63), "The input pcInputEncryptStr lenth is (63).");
  rejects(hex.substr(0, 30), "The input pcInputEncryptStr lenth is (30).");  // not a block
  rejects(std::string(1024, 'A'), "The input pcInputEncryptStr lenth is (1024).");
  rejects("", "The input pcInputEncryptStr lenth is zero.");
}

TEST(CryptoAesHex, WrongKeyNeverYieldsThePlaintext) {
  uint8_t key[32], wrong[32], iv[16];
  seqKey(key);
  seqKey(wrong);
  int failures = 0;
  for (int i = 0; i < 32; ++i) {
    wrong[0] = static_cast<uint8_t>(0x80 + i);
    seqIv(iv);
    std::string hex = encrypt("secret pre-shared key text", key, iv);
    seqIv(iv);
    char out[256] = {};
    int rc = mc_DecryptAesHEX(hex.c_str(), iv, wrong, sizeof out, out);
    if (rc != 0) {
      ++failures;
      continue;
    }
    // No pad check: some length of garbage comes out, never the text.
    EXPECT_NE(std::string(out, strnlen(out, sizeof out)), "secret pre-shared key text");
  }
  // A random last byte above 32 fails the capacity test about 7 times in 8.
  EXPECT_GT(failures, 0);
}

TEST(CryptoAesHex, NullAndEmptyArgumentsAndPoolBalance) {
  uint8_t key[32], iv[16];
  seqKey(key);
  seqIv(iv);
  char out[64] = {};
  std::vector<uint32_t> before = avtest::poolFreeCounts();
  {
    avtest::LogCapture log;
    EXPECT_EQ(mc_EncrypAesHEX(nullptr, iv, key, 64, out), -1);
    EXPECT_EQ(mc_EncrypAesHEX("x", nullptr, key, 64, out), -1);
    EXPECT_EQ(mc_EncrypAesHEX("x", iv, nullptr, 64, out), -1);
    EXPECT_EQ(mc_EncrypAesHEX("x", iv, key, 64, nullptr), -1);
    EXPECT_EQ(mc_DecryptAesHEX(nullptr, iv, key, 64, out), -1);
    EXPECT_EQ(mc_DecryptAesHEX("00", iv, nullptr, 64, out), -1);
    EXPECT_EQ(log.count("The input para in null."), 6u);
    EXPECT_EQ(mc_EncrypAesHEX("", iv, key, 64, out), -1);
    EXPECT_TRUE(log.contains("The input buf lenth is zero."));
    EXPECT_EQ(mc_EncrypAesHEX(std::string(496, 'x').c_str(), iv, key, 2048, out), -1);
  }
  for (int i = 0; i < 4; ++i) {
    seqIv(iv);
    std::string hex = encrypt("balance", key, iv);
    seqIv(iv);
    char back[16] = {};
    ASSERT_EQ(mc_DecryptAesHEX(hex.c_str(), iv, key, sizeof back, back), 0);
    ASSERT_EQ(mc_DecryptAesHEX(hex.c_str(), iv, key, 2, back), -1);
  }
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

TEST(CryptoRandom, BytesAndAlphabetText) {
  uint8_t one = 0x5A;
  EXPECT_EQ(agentMsg_GenRamdomBytes(&one, 1), 0);
  EXPECT_EQ(agentMsg_GenRamdomBytes(nullptr, 8), 0);
  EXPECT_EQ(one, 0x5A);

  uint8_t a[32] = {}, b[32] = {};
  ASSERT_EQ(agentMsg_GenRamdomBytes(a, sizeof a), 1);
  ASSERT_EQ(agentMsg_GenRamdomBytes(b, sizeof b), 1);
  EXPECT_NE(0, memcmp(a, b, sizeof a));

  char text[16] = {};
  ASSERT_EQ(getAvRandomString(text, 15), 0);
  EXPECT_EQ(strlen(text), 15u);
  EXPECT_EQ(strspn(text, kAlphabet), 15u);

  // Every index of the alphabet is reachable: 6400 draws miss one of the 64
  // characters with a probability far below 1e-40.
  std::vector<char> many(6400 + 1, 0);
  ASSERT_EQ(getAvRandomString(many.data(), 6400), 0);
  std::set<char> seen(many.begin(), many.end() - 1);
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_EQ(strspn(many.data(), kAlphabet), 6400u);
}

TEST(CryptoRandom, GeneratorFailuresAreLoggedAndLeavePartialText) {
  SourceGuard guard(flakySource);
  avtest::LogCapture log;

  g_fillsLeft = 2;
  g_probeFailures = 0;
  char text[16] = {};
  EXPECT_EQ(getAvRandomString(text, 15), -1);
  EXPECT_STREQ(text, "bb") << "0x41414141 mod 64 is index 1";
  EXPECT_TRUE(log.contains("CryptGenRandom FAIL", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Get genRandomBytes failed.", AVLOG_ERR));

  // Not seeded at once: logged, then the waiting probe succeeds.
  g_fillsLeft = 1;
  g_probeFailures = 1;
  uint8_t buf[4] = {};
  EXPECT_EQ(agentMsg_GenRamdomBytes(buf, 4), 1);
  EXPECT_TRUE(log.contains("CryptAcquireContext FAIL -1."));
  EXPECT_FALSE(log.contains("CryptAcquireContext FAIL -2."));

  g_probeFailures = 2;
  EXPECT_EQ(agentMsg_GenRamdomBytes(buf, 4), 0);
  EXPECT_TRUE(log.contains("CryptAcquireContext FAIL -2.", AVLOG_ERR));
}

TEST(CryptoRandom, ShortReadsAreResumed) {
  SourceGuard guard(dribbleSource);
  uint8_t buf[8] = {};
  ASSERT_EQ(agentMsg_GenRamdomBytes(buf, sizeof buf), 1);
  for (uint8_t c : buf) EXPECT_EQ(c, 0x7F);
}

TEST(CryptoAesBlock, Fips197VectorInPlaceOverSeveralBlocks) {
  uint8_t key[32];
  seqKey(key);
  std::vector<uint8_t> plain = fromStdHex("00112233445566778899aabbccddeeff");
  std::vector<uint8_t> cipher = fromStdHex("8ea2b7ca516745bfeafc49904b496089");
  uint8_t buf[48];
  memcpy(buf, plain.data(), 16);
  memcpy(buf + 16, plain.data(), 16);
  memset(buf + 32, 0, 16);

  AesBlockKey enc, dec;
  ASSERT_EQ(mc_AesSetEncryptKey(key, &enc), 0);
  ASSERT_EQ(mc_AesSetEncryptKey(key, &enc), 0);  // a second set replaces the first
  ASSERT_EQ(mc_AesSetDecryptKey(key, &dec), 0);
  ASSERT_EQ(mc_AesEncryptBlocks(&enc, buf, 3), 0);
  // Each block on its own: equal blocks give equal ciphertext.
  EXPECT_EQ(0, memcmp(buf, cipher.data(), 16));
  EXPECT_EQ(0, memcmp(buf + 16, cipher.data(), 16));
  EXPECT_NE(0, memcmp(buf + 32, cipher.data(), 16));
  // Separate calls agree with one call: no state is carried between them.
  uint8_t again[16];
  memcpy(again, plain.data(), 16);
  ASSERT_EQ(mc_AesEncryptBlocks(&enc, again, 1), 0);
  EXPECT_EQ(0, memcmp(again, cipher.data(), 16));

  ASSERT_EQ(mc_AesDecryptBlocks(&dec, buf, 3), 0);
  EXPECT_EQ(0, memcmp(buf, plain.data(), 16));
  EXPECT_EQ(0, memcmp(buf + 16, plain.data(), 16));
  for (int i = 32; i < 48; ++i) EXPECT_EQ(buf[i], 0);

  EXPECT_EQ(mc_AesEncryptBlocks(&dec, buf, 1), -1);  // wrong direction
  EXPECT_EQ(mc_AesDecryptBlocks(&enc, buf, 1), -1);
  EXPECT_EQ(mc_AesEncryptBlocks(&enc, buf, 0), 0);

  mc_AesFreeKey(&enc);
  mc_AesFreeKey(&dec);
  EXPECT_EQ(enc.ctx, nullptr);
  EXPECT_EQ(mc_AesEncryptBlocks(&enc, buf, 1), -1);
  mc_AesFreeKey(&enc);  // twice is harmless
  EXPECT_EQ(mc_AesSetEncryptKey(nullptr, &enc), -1);
}
