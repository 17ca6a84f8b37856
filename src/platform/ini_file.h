// Private-profile INI access: [section] / key=value lines, names compared
// without case, the first matching key wins, blanks around names and values are
// trimmed and one pair of enclosing quotes is removed. A read takes one
// snapshot of the whole file (a caller reading many keys keeps one snapshot);
// writes rewrite the whole file into a temporary in the same folder and rename
// it over the original, so a reader sees either the old or the new file.
// Decisions: only the first section of a name counts (a later duplicate is
// ignored by reads and writes); ';' and '#' start comment lines; integers
// saturate instead of wrapping, so a huge Port never wraps into a valid one;
// writes refuse line breaks and names that could not be read back, and a new
// file is created 0600 since it holds the credential. The file may hold a
// plain-text key, so this module wipes its copies of the file's text.
#pragma once
#include <cstdint>
#include <memory>

// Leading optional sign and digits of the value; no digits gives 0; a missing
// key (or file) gives def.
int ini_GetInt(const char* section, const char* key, int def, const char* path);
// Copies the value (or def when the key is missing) cut to size - 1; returns
// chars copied.
int ini_GetString(const char* section, const char* key, const char* def, char* out, uint32_t size, const char* path); // returns chars copied
// As ini_GetString; *fullLength (when not null) receives the value's length
// before the cut, so a caller can refuse an overlong value instead of using
// its head.
int ini_GetStringLen(const char* section, const char* key, const char* def, char* out,
                     uint32_t size, const char* path, uint32_t* fullLength);
// One reading of the whole file, so that a caller that looks up many keys sees
// one version of it even while another process replaces the file. Null when
// the file cannot be read; lookups in a null snapshot give their defaults,
// as a missing file does.
struct IniSnapshot;
struct IniSnapshotDeleter {
  void operator()(IniSnapshot* s) const;
};
using IniSnapshotPtr = std::unique_ptr<IniSnapshot, IniSnapshotDeleter>;
IniSnapshotPtr ini_Snapshot(const char* path);
int ini_SnapInt(const IniSnapshot* snap, const char* section, const char* key, int def);
int ini_SnapString(const IniSnapshot* snap, const char* section, const char* key, const char* def,
                   char* out, uint32_t size, uint32_t* fullLength);

// Replaces the key's value in place (other lines, comments and order kept),
// adds a missing key at the end of its section and a missing section at the
// end of the file. 0 / -1
int ini_WriteString(const char* section, const char* key, const char* value, const char* path); // 0 / -1

struct IniKeyValue {
  const char* key;
  const char* value;
};
// Sets count keys of one section in a single replace of the file, so a reader
// or a failure in between never leaves some keys old and others new. Every
// pair is checked first; one that ini_WriteString would refuse refuses the
// whole write and nothing is written. 0 / -1
int ini_WriteStrings(const char* section, const IniKeyValue* pairs, uint32_t count,
                     const char* path);
