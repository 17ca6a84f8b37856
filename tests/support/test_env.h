// Test environment shared by every test binary: a scratch installation root
// (tmp/, log/, cfg/) made the current directory, the process-wide pool built,
// the log pointed at the root, and a capture of log records for assertions.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace avtest {

// The scratch installation root of this test process.
const std::string& scratchRoot();

struct LogRecord {
  uint32_t module;
  uint32_t level;
  std::string func;
  std::string message;
};

// Collects every record that passes the level filter while it lives. Records of
// all threads are collected; use one capture at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<LogRecord> records() const;
  // True when some record's message contains text (at the given level, when
  // level is not ~0u).
  bool contains(const std::string& text, uint32_t level = ~0u) const;
  size_t count(const std::string& text) const;
};

// Lets DBG records of the agent's module through for a scope.
class DebugLevel {
 public:
  DebugLevel();
  ~DebugLevel();
};

// Free blocks of every partition, to check that nothing leaked.
std::vector<uint32_t> poolFreeCounts();

// Creates a file with the given contents (parents included).
void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);

}  // namespace avtest
