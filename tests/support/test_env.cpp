#include "support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace avtest {
namespace {

std::string g_root;
std::mutex g_captureMutex;
std::vector<LogRecord>* g_captured = nullptr;

void observe(uint32_t module, uint32_t level, const char* func, const char* message) {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  if (g_captured) g_captured->push_back({module, level, func ? func : "", message ? message : ""});
}

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (unsigned i = 0; g_root.empty() && i < 1000; ++i) {
      const fs::path p = fs::temp_directory_path() / ("avtest." + std::to_string(std::random_device{}()));
      if (fs::create_directory(p, ec)) g_root = p.generic_string();
    }
    ASSERT_FALSE(g_root.empty());
    for (const char* sub : {"tmp", "log", "cfg"}) fs::create_directories(g_root + "/" + sub);
    fs::current_path(g_root, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(initAVPool(getAVPool()), 0);
    BRIM_SetLogDir((g_root + "/log").c_str());
    setCfgRootForTest(g_root.c_str());
    BRIM_SetLogObserver(observe);
  }
  void TearDown() override {
    BRIM_SetLogObserver(nullptr);
    if (getenv("AV_KEEP_TEST_ROOT")) return;
    // One entry at a time, deepest first, skipping what cannot go: the log's
    // mapped level file cannot be removed on Windows while the process lives,
    // and remove_all there keeps retrying it.
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::current_path(fs::temp_directory_path(ec), ec);
    std::vector<fs::path> all;
    for (auto it = fs::recursive_directory_iterator(g_root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      all.push_back(it->path());
    for (auto p = all.rbegin(); p != all.rend(); ++p) fs::remove(*p, ec);
    fs::remove(g_root, ec);
  }
};

}  // namespace

const std::string& scratchRoot() { return g_root; }

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  delete g_captured, g_captured = new std::vector<LogRecord>();
}
LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  delete g_captured, g_captured = nullptr;
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  return g_captured ? *g_captured : std::vector<LogRecord>{};
}

bool LogCapture::contains(const std::string& text, uint32_t level) const {
  for (const auto& r : records())
    if (r.message.find(text) != std::string::npos && (level == ~0u || r.level == level)) return true;
  return false;
}

size_t LogCapture::count(const std::string& text) const {
  const auto all = records();
  return std::count_if(all.begin(), all.end(), [&](const LogRecord& r) { return r.message.find(text) != std::string::npos; });
}

DebugLevel::DebugLevel() { BRIM_SetModuleLogLevel(AV_MODULE_AGENT, AVLOG_DBG); }
DebugLevel::~DebugLevel() { BRIM_SetModuleLogLevel(AV_MODULE_AGENT, 0); }

std::vector<uint32_t> poolFreeCounts() {
  std::vector<uint32_t> v;
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) v.push_back(avPoolFreeCount(getAVPool(), k));
  return v;
}

void writeFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace avtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new avtest::Environment);
  return RUN_ALL_TESTS();
}
