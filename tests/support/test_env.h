// Every test binary runs in a scratch installation root (tmp/, log/, cfg/) as its
// current directory, with the pool built and log records captured on demand.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace avtest {

const std::string& scratchRoot();  // of this test process

struct LogRecord {
  uint32_t module, level;
  std::string func, message;
};

// Records of every thread that pass the level filter, while it lives; one at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<LogRecord> records() const;
  // Some message contains text (at level, unless ~0u).
  bool contains(const std::string& text, uint32_t level = ~0u) const;
  size_t count(const std::string& text) const;
};

struct DebugLevel {  // DBG records of the agent's module pass for a scope
  DebugLevel();
  ~DebugLevel();
};

std::vector<uint32_t> poolFreeCounts();  // free blocks per partition: nothing leaked
void writeFile(const std::string& path, const std::string& contents);  // parents made
std::string readFile(const std::string& path);

}  // namespace avtest
