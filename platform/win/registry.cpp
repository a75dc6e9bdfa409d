#include "platform/win/registry.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/Log.h"
#include "platform/win/folders.h"
#include "platform/win/internal.h"

namespace {

using orvwin::detail::EqualNoCase;
using orvwin::detail::ToLower;

const char* const kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                  "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

// ---- the text file -----------------------------------------------------------

struct Line {
  enum Kind { kOther, kHeader, kBadHeader, kValue };
  Kind kind = kOther;
  std::string raw;    // as in the file, without its line end
  std::string key;    // kHeader: the key path, lower case
  std::string name;   // kValue: the value name ("" for the default value)
  DWORD type = REG_NONE;
  std::string data;   // REG_SZ: the text; REG_DWORD: 4 bytes, little-endian
};

struct Document {
  std::vector<Line> lines;
  std::string eol = "\n";
  std::vector<std::string> problems;
};

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Splits a key path at backslashes, dropping empty parts, so that
// "SOFTWARE\Brask\Orv\" and "SOFTWARE\Brask\Orv" name one key.
std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += '\\';
    out += p;
  }
  return out;
}

// A header's path with its root spelled canonically, or "" when the root
// is not one of the four.
std::string CanonicalKey(const std::string& path) {
  std::vector<std::string> parts = Split(path);
  if (parts.empty()) return {};
  for (const char* root : kRootNames) {
    if (EqualNoCase(parts[0], root)) {
      parts[0] = root;
      return Join(parts);
    }
  }
  return {};
}

// Parses a quoted text at s[pos] (which is '"'); pos ends after the
// closing quote.
bool ParseQuoted(const std::string& s, size_t& pos, std::string& out) {
  out.clear();
  ++pos;
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return true;
    if (c != '\\' || pos >= s.size()) {
      out += c;
      continue;
    }
    char e = s[pos++];
    switch (e) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        auto hex = [](char h) -> int {
          if (h >= '0' && h <= '9') return h - '0';
          if (h >= 'a' && h <= 'f') return h - 'a' + 10;
          if (h >= 'A' && h <= 'F') return h - 'A' + 10;
          return -1;
        };
        if (pos + 1 < s.size() && hex(s[pos]) >= 0 && hex(s[pos + 1]) >= 0) {
          out += static_cast<char>(hex(s[pos]) * 16 + hex(s[pos + 1]));
          pos += 2;
        } else {
          out += "\\x";
        }
        break;
      }
      default:  // not an escape: keep it as typed
        out += '\\';
        out += e;
    }
  }
  return false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string DwordBytes(DWORD v) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return d;
}

DWORD DwordOf(const std::string& d) {
  DWORD v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d[i]);
  return v;
}

void RenderValue(Line& line) {
  std::string name = line.name.empty() ? "@" : Quote(line.name);
  if (line.type == REG_DWORD) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", DwordOf(line.data));
    line.raw = name + "=" + buf;
  } else {
    line.raw = name + "=" + Quote(line.data);
  }
}

bool ParseValue(const std::string& text, Line& line) {
  std::string s = Trim(text);
  size_t pos = 0;
  if (s.empty()) return false;
  if (s[0] == '@') {
    line.name.clear();
    pos = 1;
  } else if (s[0] == '"') {
    if (!ParseQuoted(s, pos, line.name)) return false;
  } else {
    return false;
  }
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  if (pos >= s.size() || s[pos] != '=') return false;
  ++pos;
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  if (pos < s.size() && s[pos] == '"') {
    if (!ParseQuoted(s, pos, line.data)) return false;
    if (pos != s.size()) return false;
    line.type = REG_SZ;
    return true;
  }
  std::string rest = s.substr(pos);
  if (rest.size() > 6 && EqualNoCase(rest.substr(0, 6), "dword:")) {
    std::string digits = rest.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    DWORD v = 0;
    for (char c : digits) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      v = (v << 4) | static_cast<DWORD>(d);
    }
    line.type = REG_DWORD;
    line.data = DwordBytes(v);
    return true;
  }
  return false;
}

Document Parse(const std::string& content) {
  Document doc;
  size_t start = 0;
  bool inSection = false;
  int number = 0;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    std::string text = content.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? content.size() : nl + 1;
    ++number;
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
      if (number == 1) doc.eol = "\r\n";
    }
    Line line;
    line.raw = text;
    std::string t = Trim(text);
    if (t.empty() || t[0] == ';' || t[0] == '#') {
      // blank or comment
    } else if (t[0] == '[') {
      std::string key = t.back() == ']' ? CanonicalKey(t.substr(1, t.size() - 2)) : "";
      if (key.empty()) {
        line.kind = Line::kBadHeader;
        doc.problems.push_back("line " + std::to_string(number) + ": not a key under a known root: " + t);
        inSection = false;
      } else {
        line.kind = Line::kHeader;
        line.key = ToLower(key);
        inSection = true;
      }
    } else if (inSection && ParseValue(text, line)) {
      line.kind = Line::kValue;
    } else {
      doc.problems.push_back("line " + std::to_string(number) +
                             (inSection ? ": not a value: " : ": outside a valid key: ") + t);
    }
    doc.lines.push_back(std::move(line));
  }
  return doc;
}

std::string Serialise(const Document& doc) {
  std::string out;
  for (const auto& l : doc.lines) out += l.raw + doc.eol;
  return out;
}

bool IsSectionStart(const Line& l) { return l.kind == Line::kHeader || l.kind == Line::kBadHeader; }

size_t SectionEnd(const Document& doc, size_t header) {
  size_t i = header + 1;
  while (i < doc.lines.size() && !IsSectionStart(doc.lines[i])) ++i;
  return i;
}

bool IsUnder(const std::string& key, const std::string& ancestor) {
  return key.size() > ancestor.size() && key.compare(0, ancestor.size(), ancestor) == 0 &&
         key[ancestor.size()] == '\\';
}

bool IsRoot(const std::string& keyLower) { return keyLower.find('\\') == std::string::npos; }

bool KeyExists(const Document& doc, const std::string& keyLower) {
  if (IsRoot(keyLower)) return true;
  for (const auto& l : doc.lines)
    if (l.kind == Line::kHeader && (l.key == keyLower || IsUnder(l.key, keyLower))) return true;
  return false;
}

bool HasExplicitHeader(const Document& doc, const std::string& keyLower) {
  for (const auto& l : doc.lines)
    if (l.kind == Line::kHeader && l.key == keyLower) return true;
  return false;
}

bool HasSubKeys(const Document& doc, const std::string& keyLower) {
  for (const auto& l : doc.lines)
    if (l.kind == Line::kHeader && IsUnder(l.key, keyLower)) return true;
  return false;
}

// The first value of that name in any section of the key (a key may have
// been written as several sections by hand).
Line* FindValue(Document& doc, const std::string& keyLower, const std::string& name) {
  bool in = false;
  for (auto& l : doc.lines) {
    if (IsSectionStart(l)) in = l.kind == Line::kHeader && l.key == keyLower;
    else if (in && l.kind == Line::kValue && EqualNoCase(l.name, name)) return &l;
  }
  return nullptr;
}

size_t AppendSection(Document& doc, const std::string& canonical) {
  if (!doc.lines.empty() && !Trim(doc.lines.back().raw).empty()) doc.lines.push_back(Line());
  Line header;
  header.kind = Line::kHeader;
  header.key = ToLower(canonical);
  header.raw = "[" + canonical + "]";
  doc.lines.push_back(header);
  return doc.lines.size() - 1;
}

// Removes whole sections for which `match` holds, with the blank line that
// separated each from the one before.
template <class Pred>
void RemoveSections(Document& doc, Pred match) {
  for (size_t i = 0; i < doc.lines.size();) {
    if (doc.lines[i].kind == Line::kHeader && match(doc.lines[i].key)) {
      size_t end = SectionEnd(doc, i);
      size_t begin = i;
      if (begin > 0 && Trim(doc.lines[begin - 1].raw).empty()) --begin;
      doc.lines.erase(doc.lines.begin() + static_cast<long>(begin),
                      doc.lines.begin() + static_cast<long>(end));
      i = begin;
    } else {
      ++i;
    }
  }
}

// ---- open keys -----------------------------------------------------------------

struct OpenKey {
  std::string path;  // canonical, e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\Brask\Orv"
  REGSAM access = 0;
};

std::mutex& KeysMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::set<OpenKey*>& Keys() {
  static std::set<OpenKey*>* keys = new std::set<OpenKey*>;
  return *keys;
}

// Serialises this process's writers; the file lock does the same across
// processes.
std::mutex& WriteMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

bool Resolve(HKEY key, OpenKey& out) {
  for (int i = 0; i < 4; ++i) {
    if (key == reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u + i)))) {
      out.path = kRootNames[i];
      out.access = KEY_ALL_ACCESS;
      return true;
    }
  }
  std::lock_guard<std::mutex> lock(KeysMutex());
  auto it = Keys().find(reinterpret_cast<OpenKey*>(key));
  if (it == Keys().end()) return false;
  out = **it;
  return true;
}

bool IsPredefined(const OpenKey& k) { return IsRoot(k.path); }

HKEY NewKey(const std::string& path, REGSAM access) {
  auto* k = new OpenKey{path, access};
  std::lock_guard<std::mutex> lock(KeysMutex());
  Keys().insert(k);
  return reinterpret_cast<HKEY>(k);
}

std::string SubPath(const std::string& base, LPCSTR sub) {
  std::vector<std::string> parts = Split(base);
  if (sub) {
    for (auto& p : Split(sub)) parts.push_back(p);
  }
  return Join(parts);
}

void Report(const std::string& path, const Document& doc) {
  if (doc.problems.empty()) return;
  static std::mutex m;
  static std::set<std::string> seen;
  std::lock_guard<std::mutex> lock(m);
  for (const auto& p : doc.problems) {
    // Each problem once; a file rewritten endlessly with new faults stops
    // being reported rather than growing this set without end.
    if (seen.size() < 1000 && seen.insert(path + ":" + p).second)
      ORV_LOG(orvlog::kWarn, "Registry file " << path << " " << p << " (ignored, kept as it is)");
  }
}

// The open transaction of this process: its owner's reads and writes go to
// `doc`, which replaces the file once, at the commit. Other threads wait
// for it to end before they write (WriteMutex) and read the file as it was.
struct Transaction {
  std::thread::id owner;
  std::string path;
  std::unique_ptr<orvwin::detail::FileWriteLock> lock;
  Document doc;
  bool created = false;
  bool changed = false;
  LONG error = ERROR_SUCCESS;
};

Transaction*& CurrentTransaction() {
  static Transaction* current = nullptr;
  return current;
}

std::mutex& TransactionMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

// The transaction the calling thread owns, if any.
Transaction* OwnTransaction() {
  std::lock_guard<std::mutex> lock(TransactionMutex());
  Transaction* t = CurrentTransaction();
  return t && t->owner == std::this_thread::get_id() ? t : nullptr;
}

LONG LoadFile(Document& doc);

LONG Load(Document& doc) {
  if (Transaction* t = OwnTransaction()) {
    if (t->error != ERROR_SUCCESS) return t->error;
    doc = t->doc;
    return ERROR_SUCCESS;
  }
  return LoadFile(doc);
}

void AddHeaderNote(Document& doc) {
  Line note;
  note.raw = "; Orv registry: one [key path] section per key; values \"name\"=\"text\" or \"name\"=dword:XXXXXXXX";
  doc.lines.insert(doc.lines.begin(), note);
}

LONG LoadFile(Document& doc) {
  std::string path = orvwin::RegistryPath();
  std::string content;
  DWORD err = orvwin::detail::ReadWholeFile(path, content);
  if (err == ERROR_FILE_NOT_FOUND) {
    doc = Document();
    return ERROR_SUCCESS;
  }
  if (err != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Registry file " << path << " can't be read (error " << err << ")");
    return static_cast<LONG>(err);
  }
  doc = Parse(content);
  Report(path, doc);
  return ERROR_SUCCESS;
}

// Runs `edit` on the current file under the write lock and stores the
// result when it reports a change.
template <class Edit>
LONG Modify(Edit edit) {
  if (Transaction* t = OwnTransaction()) {
    if (t->error != ERROR_SUCCESS) return t->error;
    bool changed = false;
    Document doc = t->doc;
    LONG r = edit(doc, changed);
    if (r != ERROR_SUCCESS || !changed) return r;
    t->doc = std::move(doc);
    t->changed = true;
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> local(WriteMutex());
  std::string path = orvwin::RegistryPath();
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) orvwin::detail::MakeFolders(path.substr(0, slash), 0700);
  orvwin::detail::FileWriteLock lock(path);
  if (lock.Error() != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Registry file " << path << " can't be locked for writing (error "
                                             << lock.Error() << ")");
    return ERROR_CANTWRITE;
  }
  Document doc;
  LONG r = Load(doc);
  if (r != ERROR_SUCCESS) return r;
  bool created = doc.lines.empty();
  bool changed = false;
  r = edit(doc, changed);
  if (r != ERROR_SUCCESS || !changed) return r;
  if (created) AddHeaderNote(doc);
  DWORD err = orvwin::detail::ReplaceFile(path, Serialise(doc), 0600);
  if (err != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Registry file " << path << " can't be written (error " << err << ")");
    return static_cast<LONG>(err);
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenKey parent;
  if (!Resolve(key, parent)) return ERROR_INVALID_HANDLE;
  Document doc;
  LONG r = Load(doc);
  if (r != ERROR_SUCCESS) return r;
  if (!IsPredefined(parent) && !KeyExists(doc, ToLower(parent.path))) return ERROR_KEY_DELETED;
  std::string path = SubPath(parent.path, subKey);
  if (!KeyExists(doc, ToLower(path))) return ERROR_FILE_NOT_FOUND;
  *result = NewKey(path, desired);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM desired,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenKey parent;
  if (!Resolve(key, parent)) return ERROR_INVALID_HANDLE;
  if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  std::string path = SubPath(parent.path, subKey);
  bool createdNew = false;
  LONG r = Modify([&](Document& doc, bool& changed) -> LONG {
    if (!IsPredefined(parent) && !KeyExists(doc, ToLower(parent.path))) return ERROR_KEY_DELETED;
    if (KeyExists(doc, ToLower(path))) return ERROR_SUCCESS;
    // Every missing level gets its own section, so that it outlives the
    // removal of this key as it would on Windows.
    std::vector<std::string> parts = Split(path);
    for (size_t n = 2; n <= parts.size(); ++n) {
      std::string level = Join(std::vector<std::string>(parts.begin(), parts.begin() + static_cast<long>(n)));
      if (!HasExplicitHeader(doc, ToLower(level))) AppendSection(doc, level);
    }
    createdNew = changed = true;
    return ERROR_SUCCESS;
  });
  if (r != ERROR_SUCCESS) return r;
  if (disposition) *disposition = createdNew ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewKey(path, desired);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  OpenKey probe;
  if (!Resolve(key, probe)) return ERROR_INVALID_HANDLE;
  if (IsPredefined(probe)) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> lock(KeysMutex());
  auto it = Keys().find(reinterpret_cast<OpenKey*>(key));
  if (it == Keys().end()) return ERROR_INVALID_HANDLE;
  delete *it;
  Keys().erase(it);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  OpenKey k;
  if (!Resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Document doc;
  LONG r = Load(doc);
  if (r != ERROR_SUCCESS) return r;
  std::string lower = ToLower(k.path);
  if (!IsPredefined(k) && !KeyExists(doc, lower)) return ERROR_KEY_DELETED;
  const Line* v = FindValue(doc, lower, valueName ? valueName : "");
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;

  std::string bytes = v->data;
  if (v->type == REG_SZ) bytes.push_back('\0');
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (type) *type = v->type;
  if (dataSize == nullptr) return ERROR_SUCCESS;
  if (data == nullptr) {
    *dataSize = needed;
    return ERROR_SUCCESS;
  }
  if (*dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, bytes.data(), needed);
  *dataSize = needed;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  OpenKey k;
  if (!Resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  Line value;
  value.kind = Line::kValue;
  value.name = valueName ? valueName : "";
  value.type = type;
  if (type == REG_DWORD) {
    if (dataSize != 4) return ERROR_INVALID_PARAMETER;
    value.data.assign(reinterpret_cast<const char*>(data), 4);
  } else if (type == REG_SZ) {
    const char* text = reinterpret_cast<const char*>(data);
    size_t n = 0;
    while (n < dataSize && text[n] != '\0') ++n;
    value.data.assign(text ? text : "", n);
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  RenderValue(value);
  std::string lower = ToLower(k.path);
  if (IsPredefined(k)) return ERROR_ACCESS_DENIED;  // no values at the roots
  return Modify([&](Document& doc, bool& changed) -> LONG {
    if (!KeyExists(doc, lower)) return ERROR_KEY_DELETED;
    changed = true;
    if (Line* old = FindValue(doc, lower, value.name)) {
      *old = value;
      return ERROR_SUCCESS;
    }
    size_t header = doc.lines.size();
    for (size_t i = 0; i < doc.lines.size(); ++i) {
      if (doc.lines[i].kind == Line::kHeader && doc.lines[i].key == lower) {
        header = i;
        break;
      }
    }
    if (header == doc.lines.size()) header = AppendSection(doc, k.path);
    // After the section's last non-blank line, so the blank line that
    // separates it from the next section stays where it is.
    size_t at = header + 1;
    for (size_t i = header + 1; i < SectionEnd(doc, header); ++i)
      if (!Trim(doc.lines[i].raw).empty()) at = i + 1;
    doc.lines.insert(doc.lines.begin() + static_cast<long>(at), value);
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
  OpenKey k;
  if (!Resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string lower = ToLower(k.path);
  std::string name = valueName ? valueName : "";
  return Modify([&](Document& doc, bool& changed) -> LONG {
    if (!IsPredefined(k) && !KeyExists(doc, lower)) return ERROR_KEY_DELETED;
    Line* v = FindValue(doc, lower, name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    doc.lines.erase(doc.lines.begin() + (v - doc.lines.data()));
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  OpenKey k;
  if (!Resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr || Split(subKey).empty()) return ERROR_INVALID_PARAMETER;
  std::string lower = ToLower(SubPath(k.path, subKey));
  return Modify([&](Document& doc, bool& changed) -> LONG {
    if (!IsPredefined(k) && !KeyExists(doc, ToLower(k.path))) return ERROR_KEY_DELETED;
    if (!KeyExists(doc, lower)) return ERROR_FILE_NOT_FOUND;
    if (HasSubKeys(doc, lower)) return ERROR_ACCESS_DENIED;
    RemoveSections(doc, [&](const std::string& s) { return s == lower; });
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteTreeA(HKEY key, LPCSTR subKey) {
  OpenKey k;
  if (!Resolve(key, k)) return ERROR_INVALID_HANDLE;
  const bool whole = subKey != nullptr && !Split(subKey).empty();
  if (!whole && IsPredefined(k)) return ERROR_ACCESS_DENIED;
  if (!whole && !(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string lower = ToLower(SubPath(k.path, subKey));
  return Modify([&](Document& doc, bool& changed) -> LONG {
    if (!IsPredefined(k) && !KeyExists(doc, ToLower(k.path))) return ERROR_KEY_DELETED;
    if (!KeyExists(doc, lower)) return ERROR_FILE_NOT_FOUND;
    changed = true;
    if (whole) {
      RemoveSections(doc, [&](const std::string& s) { return s == lower || IsUnder(s, lower); });
      return ERROR_SUCCESS;
    }
    RemoveSections(doc, [&](const std::string& s) { return IsUnder(s, lower); });
    bool in = false;
    for (size_t i = 0; i < doc.lines.size();) {
      const Line& l = doc.lines[i];
      if (IsSectionStart(l)) in = l.kind == Line::kHeader && l.key == lower;
      if (in && l.kind == Line::kValue) {
        doc.lines.erase(doc.lines.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    return ERROR_SUCCESS;
  });
}

namespace orvwin {

RegistryTransaction::RegistryTransaction() {
  WriteMutex().lock();
  auto t = std::make_unique<Transaction>();
  t->owner = std::this_thread::get_id();
  t->path = RegistryPath();
  size_t slash = t->path.rfind('/');
  if (slash != std::string::npos && slash > 0) detail::MakeFolders(t->path.substr(0, slash), 0700);
  t->lock = std::make_unique<detail::FileWriteLock>(t->path);
  if (t->lock->Error() != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Registry file " << t->path << " can't be locked for writing (error "
                                             << t->lock->Error() << ")");
    t->error = ERROR_CANTWRITE;
  } else {
    t->error = LoadFile(t->doc);
    t->created = t->doc.lines.empty();
  }
  std::lock_guard<std::mutex> lock(TransactionMutex());
  CurrentTransaction() = t.release();
}

RegistryTransaction::~RegistryTransaction() {
  Transaction* t = nullptr;
  {
    std::lock_guard<std::mutex> lock(TransactionMutex());
    t = CurrentTransaction();
    CurrentTransaction() = nullptr;
  }
  delete t;  // releases the file lock
  WriteMutex().unlock();
}

LONG RegistryTransaction::Commit() {
  Transaction* t = OwnTransaction();
  if (t == nullptr) return ERROR_INVALID_FUNCTION;
  if (t->error != ERROR_SUCCESS) return t->error;
  if (!t->changed) return ERROR_SUCCESS;
  if (t->created) AddHeaderNote(t->doc);
  DWORD err = detail::ReplaceFile(t->path, Serialise(t->doc), 0600);
  if (err != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Registry file " << t->path << " can't be written (error " << err << ")");
    t->error = static_cast<LONG>(err);
    return t->error;
  }
  t->changed = t->created = false;
  return ERROR_SUCCESS;
}

}  // namespace orvwin
