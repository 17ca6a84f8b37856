// The path behind \\?\UNC, as UTF-8 (byte 0 even) or raw UTF-16LE (odd, so
// lone surrogates too). Oracle, worked out independently: 123 exactly for no
// leading separator or a "." / ".." component, 206 exactly when it does not
// fit; an accepted path has no backslash and converts back; opened beneath a
// root of only folders and links (host file, /dev/zero, /, far up, loops) it
// never finds a file; no descriptor is left open.
#include <unistd.h>

#include <algorithm>
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
  return fd >= 0 ? close(fd), fd : fd;
}
bool hasDotName(const std::string& path) {
  const std::string framed = "/" + path + "/";
  return framed.find("/./") != std::string::npos || framed.find("/../") != std::string::npos;
}
bool hasLoneSurrogate(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
    else if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return true;
  return false;
}

void makeJail() {
  namespace fs = std::filesystem;
  std::string secret = fuzzRoot() + "/secret.txt";
  std::ofstream(secret) << "host file\n";
  g_jail = fuzzRoot() + "/jail";
  fs::create_directories(g_jail + "/srv/share/dir");
  const std::pair<const char*, std::string> links[] = {
      {"host", secret}, {"up", "../../../secret.txt"}, {"dir/far", "../../../../../../../../secret.txt"},
      {"zero", "/dev/zero"}, {"passwd", "/etc/passwd"}, {"top", "/"}, {"dots", "../../.."},
      {"self", "/proc/self/root/etc/passwd"}, {"loop", "loop"}, {"dir/in", "/srv/share/dir"}, {"dir/back", "../host"}};
  for (const auto& [name, target] : links) fs::create_symlink(target, g_jail + "/srv/share/" + name);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzzSetUp(), makeJail(), 0; }

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
    for (size_t i = 1; i + 1 < size && (data[i] | data[i + 1]); i += 2) rest.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  std::u16string prefixed = u"\\\\?\\UNC" + rest;

  std::vector<char> whole(rest.size() * 3 + 1);
  uint32_t wholeBytes = utf16ToUtf8(rest.c_str(), whole.data(), static_cast<uint32_t>(whole.size()));
  if (wholeBytes == 0) fail("UTF-16 did not fit 3 bytes a unit", "");
  std::string expect(whole.data());
  std::replace(expect.begin(), expect.end(), '\\', '/');
  const bool badStart = !rest.empty() && rest[0] != u'\\' && rest[0] != u'/', fits = wholeBytes <= AV_MAPPED_PATH_SIZE;
  std::vector<char> out(AV_MAPPED_PATH_SIZE, '\x5A');
  uint32_t rc = mapTriggerPath(prefixed.c_str(), out.data(), AV_MAPPED_PATH_SIZE);
  if (badStart || !fits) {
    if (rc != (badStart ? 123u : 206u)) fail(badStart ? "no leading separator not refused with 123" : "too long not refused with 206", expect);
    return 0;
  }
  if (rc != (hasDotName(expect) ? 123u : 0u)) fail("dot refusal does not match the path", expect);
  if (rc != 0) return 0;
  std::string mapped(out.data());
  if (mapped != expect) fail("mapped path differs from the converted input", mapped);
  if (!hasLoneSurrogate(rest)) {
    std::vector<char16_t> back(mapped.size() + 1);
    uint32_t n = utf8ToUtf16(mapped.c_str(), back.data(), static_cast<uint32_t>(back.size()));
    std::u16string input = rest;
    std::replace(input.begin(), input.end(), u'\\', u'/');
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
