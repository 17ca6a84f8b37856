// Trigger path mapping and the confined open. Each input is the part of a
// prefixed path behind \\?\UNC: its first byte picks UTF-8 text (even) or raw
// UTF-16LE units (odd) for the rest, so lone surrogates are reached too.
// Checks:
// - the mapping refuses with 123 exactly when the rest does not start with a
//   separator or, once converted and with every backslash a '/', has a "." or
//   ".." component (worked out here on a string of its own); 206 only when the
//   text does not fit; an accepted path holds no backslash and, when the
//   input had no lone surrogate, converts back to the input;
// - an accepted path opened beneath a root that holds nothing but folders and
//   symbolic links (to a host file, /dev/zero, /, far up, in loops) never finds
//   a file or a special file: one would lie outside the root;
// - no descriptor is left open.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "fuzz_env.h"
#include "jobs/charset.h"
#include "jobs/trigger_scan.h"
#include "platform/trigger_open.h"

namespace {

std::string g_jail;

[[noreturn]] void fail(const char* what, const std::string& mapped) { fuzzFail("trigger path", what, "mapped: " + mapped); }

int lowestFreeFd() {
  int fd = dup(0);
  if (fd >= 0) close(fd);
  return fd;
}

bool hasDotName(const std::string& path) {
  const std::string framed = "/" + path + "/";
  return framed.find("/./") != std::string::npos || framed.find("/../") != std::string::npos;
}

bool hasLoneSurrogate(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
    else if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return true;
  }
  return false;
}

void makeJail() {
  namespace fs = std::filesystem;
  std::string secret = fuzzRoot() + "/secret.txt";
  std::ofstream(secret) << "host file\n";
  g_jail = fuzzRoot() + "/jail";
  fs::create_directories(g_jail + "/srv/share/dir");
  const std::pair<const char*, std::string> links[] = {
      {"srv/share/host", secret}, {"srv/share/up", "../../../secret.txt"},
      {"srv/share/dir/far", "../../../../../../../../secret.txt"}, {"srv/share/zero", "/dev/zero"},
      {"srv/share/passwd", "/etc/passwd"}, {"srv/share/top", "/"}, {"srv/share/dots", "../../.."},
      {"srv/share/self", "/proc/self/root/etc/passwd"}, {"srv/share/loop", "loop"},
      {"srv/share/dir/in", "/srv/share/dir"}, {"srv/share/dir/back", "../host"}};
  for (const auto& [name, target] : links) fs::create_symlink(target, g_jail + "/" + name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzSetUp();
  makeJail();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::u16string rest;
  if (data[0] % 2 == 0) {
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text.resize(strlen(text.c_str()));
    std::vector<char16_t> units(text.size() + 1);
    uint32_t n = utf8ToUtf16(text.c_str(), units.data(), static_cast<uint32_t>(units.size()));
    if (n == 0) fail("UTF-8 did not fit as many units as bytes", text);
    rest.assign(units.data(), n - 1);
  } else {
    for (size_t i = 1; i + 1 < size; i += 2) {
      char16_t u = static_cast<char16_t>(data[i] | data[i + 1] << 8);
      if (u == 0) break;
      rest.push_back(u);
    }
  }
  std::u16string prefixed = u"\\\\?\\UNC" + rest;

  // The expected answer, worked out on its own.
  std::vector<char> whole(rest.size() * 3 + 1);
  uint32_t wholeBytes = utf16ToUtf8(rest.c_str(), whole.data(), static_cast<uint32_t>(whole.size()));
  if (wholeBytes == 0) fail("UTF-16 did not fit 3 bytes a unit", "");
  std::string expect(whole.data());
  for (char& c : expect)
    if (c == '\\') c = '/';
  bool badStart = !rest.empty() && rest[0] != u'\\' && rest[0] != u'/';
  bool fits = wholeBytes <= AV_MAPPED_PATH_SIZE;

  std::vector<char> out(AV_MAPPED_PATH_SIZE, '\x5A');
  uint32_t rc = mapTriggerPath(prefixed.c_str(), out.data(), AV_MAPPED_PATH_SIZE);
  if (badStart) {
    if (rc != 123) fail("no separator behind the prefix, yet not refused with 123", expect);
    return 0;
  }
  if (!fits) {
    if (rc != 206) fail("path too long for the room, yet not refused with 206", expect);
    return 0;
  }
  if (rc != (hasDotName(expect) ? 123u : 0u)) fail("dot refusal does not match the path", expect);
  if (rc != 0) return 0;
  std::string mapped(out.data());
  if (mapped != expect) fail("mapped path differs from the converted input", mapped);
  if (mapped.find('\\') != std::string::npos) fail("backslash left in the path", mapped);
  if (!hasLoneSurrogate(rest)) {
    std::vector<char16_t> back(mapped.size() + 1);
    uint32_t n = utf8ToUtf16(mapped.c_str(), back.data(), static_cast<uint32_t>(back.size()));
    std::u16string input = rest;
    for (char16_t& u : input)
      if (u == u'\\') u = u'/';
    if (n == 0 || std::u16string(back.data(), n - 1) != input)
      fail("mapped path does not convert back to the input", mapped);
  }

  int freeFd = lowestFreeFd();
  TriggerOpenResult r = triggerOpenBeneath(g_jail.c_str(), mapped.c_str());
  if (r.kind == TriggerOpenKind::kOpened || r.kind == TriggerOpenKind::kSpecial)
    fail("the open found a file: it left the root", mapped);
  if (lowestFreeFd() != freeFd) fail("a descriptor was left open", mapped);
  return 0;
}
