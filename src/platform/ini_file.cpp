// INI access with the private-profile rules the configuration relies on.
//
// Design: every call reads the whole file and scans it line by line without
// building a parsed model; the file is small and read rarely, so simplicity
// beats caching (and there is no cache to go stale when an operator edits it).
// A write rebuilds the text with only the touched line changed, writes it to a
// temporary file next to the original and renames it over, so a reader (the
// watcher's reload, an operator's editor) sees either the old or the new file,
// never half of one. Writers inside this process are serialised so that two
// writes of different keys cannot lose one another.
// Every platform shares these rules: the system's own private-profile calls
// (Windows) cache the file, write it in place and wrap huge integers, so they
// would break the atomic replace, the snapshot and the saturation promised
// here; only reading the bytes is the platform's.
#include "platform/ini_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace {

void wipe(void* p, size_t n) {
#ifdef _WIN32
  SecureZeroMemory(p, n);
#else
  explicit_bzero(p, n);
#endif
}

// The file carries the pre-shared key in plain text until the agent replaces
// it, so every heap copy of the file's text is wiped before it is freed,
// including the blocks a growing string leaves behind.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) {
    wipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};
using Text = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

constexpr size_t kMaxIniFileSize = 16u * 1024u * 1024u;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Whole file into text; false when it cannot be read (missing, unreadable,
// huge). *missing tells a file that is not there from one that cannot be read.
#ifdef _WIN32
bool readWholeFile(const char* path, Text& text, bool* missing = nullptr) {
  if (missing) *missing = false;
  int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (n <= 0) return false;
  std::wstring wpath(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wpath.data(), n);
  HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (missing) *missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size) || GetFileType(h) != FILE_TYPE_DISK ||
      static_cast<uint64_t>(size.QuadPart) > kMaxIniFileSize) {
    CloseHandle(h);
    return false;
  }
  text.clear();
  text.reserve(static_cast<size_t>(size.QuadPart) + 1);
  char buf[8192];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buf, sizeof buf, &got, nullptr) || text.size() + got > kMaxIniFileSize) {
      ok = false;
      break;
    }
    if (got == 0) break;
    text.append(buf, got);
  }
  wipe(buf, sizeof buf);
  CloseHandle(h);
  return ok;
}
#else
bool readWholeFile(const char* path, Text& text, bool* missing = nullptr) {
  if (missing) *missing = false;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (missing) *missing = errno == ENOENT;
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) > kMaxIniFileSize) {
    close(fd);
    return false;
  }
  text.clear();
  text.reserve(static_cast<size_t>(st.st_size) + 1);
  char buf[8192];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() + static_cast<size_t>(n) > kMaxIniFileSize) {
      ok = false;
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  wipe(buf, sizeof buf);
  close(fd);
  return ok;
}
#endif

// One line of the file as its parts; `full` excludes the line end.
struct Line {
  std::string_view full;
  size_t begin = 0;     // offset of the line in the text
  size_t end = 0;       // offset just past the line end (\n included)
  enum Kind { Other, Section, Key } kind = Other;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // raw value, trimmed (keys only)
  size_t valueOffset = 0;  // offset in the text where the value part starts
};

Line parseLine(std::string_view text, size_t pos) {
  Line l;
  l.begin = pos;
  size_t nl = text.find('\n', pos);
  size_t stop = nl == std::string_view::npos ? text.size() : nl;
  l.end = nl == std::string_view::npos ? text.size() : nl + 1;
  std::string_view raw = text.substr(pos, stop - pos);
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  l.full = raw;
  std::string_view t = trim(raw);
  if (t.empty() || t.front() == ';' || t.front() == '#') return l;
  if (t.front() == '[') {
    size_t close = t.find(']');
    if (close == std::string_view::npos) return l;
    l.kind = Line::Section;
    l.name = trim(t.substr(1, close - 1));
    return l;
  }
  size_t eq = raw.find('=');
  if (eq == std::string_view::npos) return l;
  l.kind = Line::Key;
  l.name = trim(raw.substr(0, eq));
  l.value = trim(raw.substr(eq + 1));
  l.valueOffset = pos + eq + 1;
  if (l.name.empty()) l.kind = Line::Other;
  return l;
}

// Value without one pair of enclosing quotes.
std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// Where a section and a key sit in the text. Only the first section of a
// name counts, as a later duplicate would be invisible to every reader.
struct Lookup {
  bool sectionFound = false;
  bool keyFound = false;
  Line key;                  // when keyFound
  size_t insertAt = 0;       // where a missing key goes (end of the section's keys)
  bool insertNeedsNewline = false;
};

Lookup find(std::string_view text, std::string_view section, std::string_view key) {
  Lookup r;
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    Line l = parseLine(text, pos);
    pos = l.end;
    if (l.kind == Line::Section) {
      if (inSection) break;  // end of the wanted section
      if (!r.sectionFound && equalsNoCase(l.name, section)) {
        r.sectionFound = true;
        inSection = true;
        r.insertAt = l.end;
        r.insertNeedsNewline = l.end == l.begin || text[l.end - 1] != '\n';
      }
      continue;
    }
    if (!inSection || l.kind != Line::Key) continue;
    if (equalsNoCase(l.name, key)) {
      r.keyFound = true;
      r.key = l;
      return r;
    }
    r.insertAt = l.end;
    r.insertNeedsNewline = text[l.end - 1] != '\n';
  }
  return r;
}

std::mutex& writeMutex() {
  static std::mutex m;
  return m;
}

// A value that reading would alter (outer blanks, enclosing quotes) is
// written inside double quotes so that it reads back unchanged.
Text encodeValue(std::string_view v) {
  bool needs = !v.empty() && (isBlank(v.front()) || isBlank(v.back()) ||
                              (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
                               v.back() == v.front()));
  if (!needs) return Text(v);
  Text s;
  s.reserve(v.size() + 2);
  s.push_back('"');
  s.append(v);
  s.push_back('"');
  return s;
}

bool hasLineBreak(const char* s) { return std::strpbrk(s, "\r\n") != nullptr; }

}  // namespace

struct IniSnapshot {
  Text text;
};

void IniSnapshotDeleter::operator()(IniSnapshot* s) const { delete s; }

IniSnapshotPtr ini_Snapshot(const char* path) {
  if (path == nullptr) return nullptr;
  IniSnapshotPtr snap(new (std::nothrow) IniSnapshot());
  if (!snap || !readWholeFile(path, snap->text)) return nullptr;
  return snap;
}

int ini_SnapString(const IniSnapshot* snap, const char* section, const char* key, const char* def,
                   char* out, uint32_t size, uint32_t* fullLength) {
  if (fullLength) *fullLength = 0;
  if (out == nullptr || size == 0) return 0;
  std::string_view result = def ? std::string_view(def) : std::string_view();
  if (snap && section && key) {
    Lookup r = find(snap->text, section, key);
    if (r.keyFound) result = unquote(r.key.value);
  }
  size_t n = result.size() < size - 1 ? result.size() : size - 1;
  if (n > 0) std::memcpy(out, result.data(), n);
  out[n] = '\0';
  if (fullLength) *fullLength = static_cast<uint32_t>(result.size());  // the file is <= 16 MiB
  return static_cast<int>(n);
}

int ini_SnapInt(const IniSnapshot* snap, const char* section, const char* key, int def) {
  if (!snap || !section || !key) return def;
  Lookup r = find(snap->text, section, key);
  if (!r.keyFound) return def;
  std::string_view v = unquote(r.key.value);
  bool negative = false;
  size_t i = 0;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
    negative = v[i] == '-';
    ++i;
  }
  // Saturate rather than wrap: a huge port must not wrap into a valid one.
  long long acc = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
    acc = acc * 10 + (v[i] - '0');
    if (acc > static_cast<long long>(INT_MAX) + 1) acc = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) acc = -acc;
  if (acc > INT_MAX) acc = INT_MAX;
  return static_cast<int>(acc);
}

int ini_GetStringLen(const char* section, const char* key, const char* def, char* out,
                     uint32_t size, const char* path, uint32_t* fullLength) {
  return ini_SnapString(ini_Snapshot(path).get(), section, key, def, out, size, fullLength);
}

int ini_GetString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                  const char* path) {
  return ini_GetStringLen(section, key, def, out, size, path, nullptr);
}

int ini_GetInt(const char* section, const char* key, int def, const char* path) {
  return ini_SnapInt(ini_Snapshot(path).get(), section, key, def);
}

namespace {

// Names that could not be read back, or a line break that would forge
// another line, are refused rather than written.
bool writable(const char* section, const char* key, const char* value) {
  if (!section || !key || !value) return false;
  std::string_view sec = trim(section);
  std::string_view k = trim(key);
  return !sec.empty() && !k.empty() && !hasLineBreak(section) && !hasLineBreak(key) &&
         !hasLineBreak(value) && sec.find(']') == std::string_view::npos &&
         k.find('=') == std::string_view::npos && k.front() != '[' && k.front() != ';' &&
         k.front() != '#';
}

// The text with one key set: replaced in place, or added to its section, or
// added with a new section at the end.
Text withValue(const Text& text, std::string_view sec, std::string_view k, const char* value,
               const char* eol) {
  Text encoded = encodeValue(value);
  Lookup r = find(text, sec, k);
  Text out;
  out.reserve(text.size() + encoded.size() + sec.size() + k.size() + 8);
  if (r.keyFound) {
    // Keep the key's spelling and the blanks after '='; replace the rest.
    size_t valueStart = r.key.valueOffset;
    size_t lineStop = r.key.begin + r.key.full.size();
    while (valueStart < lineStop && isBlank(text[valueStart])) ++valueStart;
    out.append(text, 0, valueStart);
    out.append(encoded);
    out.append(text, lineStop, Text::npos);
  } else if (r.sectionFound) {
    out.append(text, 0, r.insertAt);
    if (r.insertNeedsNewline) out.append(eol);
    out.append(k).append("=").append(encoded).append(eol);
    out.append(text, r.insertAt, Text::npos);
  } else {
    out = text;
    if (!out.empty() && out.back() != '\n') out.append(eol);
    out.append("[").append(sec).append("]").append(eol);
    out.append(k).append("=").append(encoded).append(eol);
  }
  return out;
}

}  // namespace

int ini_WriteStrings(const char* section, const IniKeyValue* pairs, uint32_t count,
                     const char* path) {
  if (!pairs || count == 0 || !path) return -1;
  for (uint32_t i = 0; i < count; ++i)
    if (!writable(section, pairs[i].key, pairs[i].value)) return -1;

  std::lock_guard<std::mutex> lock(writeMutex());
  Text text;
  bool missing = false;
  if (!readWholeFile(path, text, &missing)) {
    if (!missing) return -1;  // exists but unreadable
    text.clear();
  }
  // New lines follow the file's own line end.
  size_t firstNl = text.find('\n');
  const char* eol = (firstNl != Text::npos && firstNl > 0 && text[firstNl - 1] == '\r')
                        ? "\r\n"
                        : "\n";
  std::string_view sec = trim(section);
  for (uint32_t i = 0; i < count; ++i) text = withValue(text, sec, trim(pairs[i].key),
                                                       pairs[i].value, eol);
  // Synced, and 0600 when new: the file holds the credential. An existing
  // file keeps the mode and owner an administrator gave it.
  return file_Replace(path, text.data(), text.size(), {0600, true, true}) == 0 ? 0 : -1;
}

int ini_WriteString(const char* section, const char* key, const char* value, const char* path) {
  const IniKeyValue pair{key, value};
  return ini_WriteStrings(section, &pair, 1, path);
}
