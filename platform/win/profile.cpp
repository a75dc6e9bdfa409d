#include "platform/win/profile.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win/internal.h"

namespace {

using orvwin::detail::EqualNoCase;

struct Line {
  enum Kind { kOther, kSection, kKey };
  Kind kind = kOther;
  std::string raw;    // without its line end
  std::string name;   // section or key name, trimmed
  std::string value;  // kKey: trimmed, one pair of quotes removed
};

struct Document {
  std::vector<Line> lines;
  std::string eol = "\n";
  bool lastHasEol = true;
};

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

Line ParseLine(const std::string& raw) {
  Line line;
  line.raw = raw;
  std::string t = Trim(raw);
  if (t.empty() || t[0] == ';') return line;
  if (t[0] == '[') {
    size_t close = t.find(']');
    line.kind = Line::kSection;
    line.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return line;
  }
  line.kind = Line::kKey;
  size_t eq = t.find('=');
  if (eq == std::string::npos) {
    line.name = t;
    return line;
  }
  line.name = Trim(t.substr(0, eq));
  std::string v = Trim(t.substr(eq + 1));
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
    v = v.substr(1, v.size() - 2);
  line.value = v;
  return line;
}

Document Parse(const std::string& content) {
  Document doc;
  size_t start = 0;
  bool first = true;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    std::string raw = content.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    doc.lastHasEol = nl != std::string::npos;
    start = nl == std::string::npos ? content.size() : nl + 1;
    if (!raw.empty() && raw.back() == '\r') {
      raw.pop_back();
      if (first) doc.eol = "\r\n";
    }
    first = false;
    doc.lines.push_back(ParseLine(raw));
  }
  return doc;
}

std::string Serialise(const Document& doc) {
  std::string out;
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    out += doc.lines[i].raw;
    if (i + 1 < doc.lines.size() || doc.lastHasEol) out += doc.eol;
  }
  return out;
}

bool Load(const char* fileName, Document& doc) {
  std::string content;
  if (orvwin::detail::ReadWholeFile(fileName, content) != ERROR_SUCCESS) return false;
  doc = Parse(content);
  return true;
}

// The first section of that name; lines.size() when there is none.
size_t FindSection(const Document& doc, const std::string& name) {
  for (size_t i = 0; i < doc.lines.size(); ++i)
    if (doc.lines[i].kind == Line::kSection && EqualNoCase(doc.lines[i].name, name)) return i;
  return doc.lines.size();
}

size_t SectionEnd(const Document& doc, size_t header) {
  size_t i = header + 1;
  while (i < doc.lines.size() && doc.lines[i].kind != Line::kSection) ++i;
  return i;
}

size_t FindKey(const Document& doc, size_t header, const std::string& key) {
  size_t end = SectionEnd(doc, header);
  for (size_t i = header + 1; i < end; ++i)
    if (doc.lines[i].kind == Line::kKey && EqualNoCase(doc.lines[i].name, key)) return i;
  return doc.lines.size();
}

// Copies a list of null-terminated names, Windows-style: the whole list
// ends in a second null, and a list that does not fit is cut so that the
// last name still ends in two nulls.
DWORD CopyList(const std::vector<std::string>& names, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  std::string all;
  for (const auto& n : names) {
    all += n;
    all += '\0';
  }
  if (all.size() + 1 <= size) {
    std::memcpy(out, all.data(), all.size());
    out[all.size()] = '\0';
    if (all.empty()) out[1] = '\0';
    return static_cast<DWORD>(all.size());
  }
  std::memcpy(out, all.data(), size - 2);
  out[size - 2] = '\0';
  out[size - 1] = '\0';
  return size - 2;
}

DWORD CopyValue(const std::string& v, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  size_t n = v.size() < size - 1 ? v.size() : size - 1;
  std::memcpy(out, v.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

bool Breaks(const char* s) { return s && (std::strchr(s, '\n') || std::strchr(s, '\r')); }

std::mutex& WriteMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue,
                               LPSTR returnedString, DWORD size, LPCSTR fileName) {
  if (returnedString == nullptr || fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Document doc;
  bool loaded = Load(fileName, doc);
  if (appName == nullptr) {
    std::vector<std::string> names;
    for (const auto& l : doc.lines)
      if (l.kind == Line::kSection) names.push_back(l.name);
    return CopyList(names, returnedString, size);
  }
  size_t header = loaded ? FindSection(doc, appName) : doc.lines.size();
  if (keyName == nullptr) {
    std::vector<std::string> names;
    if (header < doc.lines.size()) {
      size_t end = SectionEnd(doc, header);
      for (size_t i = header + 1; i < end; ++i)
        if (doc.lines[i].kind == Line::kKey) names.push_back(doc.lines[i].name);
    }
    return CopyList(names, returnedString, size);
  }
  if (header < doc.lines.size()) {
    size_t at = FindKey(doc, header, keyName);
    if (at < doc.lines.size()) return CopyValue(doc.lines[at].value, returnedString, size);
  }
  // The default loses its trailing blanks, as on Windows.
  std::string def = defaultValue ? defaultValue : "";
  while (!def.empty() && Blank(def.back())) def.pop_back();
  SetLastError(ERROR_FILE_NOT_FOUND);
  return CopyValue(def, returnedString, size);
}

UINT GetPrivateProfileIntA(LPCSTR appName, LPCSTR keyName, INT nDefault, LPCSTR fileName) {
  if (appName == nullptr || keyName == nullptr || fileName == nullptr)
    return static_cast<UINT>(nDefault);
  Document doc;
  if (!Load(fileName, doc)) return static_cast<UINT>(nDefault);
  size_t header = FindSection(doc, appName);
  if (header == doc.lines.size()) return static_cast<UINT>(nDefault);
  size_t at = FindKey(doc, header, keyName);
  if (at == doc.lines.size() || doc.lines[at].value.empty()) return static_cast<UINT>(nDefault);
  const std::string& v = doc.lines[at].value;
  size_t i = 0;
  bool negative = false;
  if (v[i] == '-' || v[i] == '+') negative = v[i++] == '-';
  unsigned long long n = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
    n = n * 10 + static_cast<unsigned>(v[i] - '0');
    if (n > 0xFFFFFFFFull) n = 0xFFFFFFFFull;  // saturate instead of wrapping
  }
  // A negative number comes back as its 32-bit two's complement.
  return negative ? static_cast<UINT>(0u - static_cast<UINT>(n)) : static_cast<UINT>(n);
}

BOOL WritePrivateProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR value, LPCSTR fileName) {
  if (appName == nullptr || fileName == nullptr) {
    // All null flushes a cache on Windows; there is none to flush.
    if (appName == nullptr && keyName == nullptr && value == nullptr) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string section = Trim(appName);
  std::string key = keyName ? Trim(keyName) : std::string();
  if (Breaks(appName) || Breaks(keyName) || Breaks(value) || section.find(']') != std::string::npos ||
      (keyName && (key.empty() || key.find('=') != std::string::npos || key[0] == '[' ||
                   key[0] == ';'))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  std::lock_guard<std::mutex> local(WriteMutex());
  orvwin::detail::FileWriteLock lock(fileName);
  if (lock.Error() != ERROR_SUCCESS) {
    SetLastError(lock.Error());
    return FALSE;
  }
  std::string content;
  DWORD err = orvwin::detail::ReadWholeFile(fileName, content);
  if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) {
    SetLastError(err);
    return FALSE;
  }
  Document doc = Parse(content);
  size_t header = FindSection(doc, section);
  const bool haveSection = header < doc.lines.size();

  if (keyName == nullptr) {  // remove the section
    if (!haveSection) return TRUE;
    doc.lines.erase(doc.lines.begin() + static_cast<long>(header),
                    doc.lines.begin() + static_cast<long>(SectionEnd(doc, header)));
  } else if (value == nullptr) {  // remove the key
    if (!haveSection) return TRUE;
    size_t at = FindKey(doc, header, key);
    if (at == doc.lines.size()) return TRUE;
    doc.lines.erase(doc.lines.begin() + static_cast<long>(at));
  } else {
    Line line = ParseLine(key + "=" + value);
    if (!haveSection) {
      if (!doc.lines.empty() && !Trim(doc.lines.back().raw).empty()) doc.lines.push_back(Line());
      doc.lines.push_back(ParseLine("[" + section + "]"));
      doc.lines.push_back(line);
    } else {
      size_t at = FindKey(doc, header, key);
      if (at < doc.lines.size()) {
        if (doc.lines[at].raw == line.raw) return TRUE;
        doc.lines[at] = line;
      } else {
        // After the section's last non-blank line, keeping the blank line
        // before the next section in its place.
        size_t pos = header + 1;
        for (size_t i = header + 1; i < SectionEnd(doc, header); ++i)
          if (!Trim(doc.lines[i].raw).empty()) pos = i + 1;
        doc.lines.insert(doc.lines.begin() + static_cast<long>(pos), line);
      }
    }
  }
  doc.lastHasEol = true;
  err = orvwin::detail::ReplaceFile(fileName, Serialise(doc), 0600);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}
