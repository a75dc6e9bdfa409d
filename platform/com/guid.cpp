#include <cstdio>
#include <cstdint>
#include <cstdlib>

#include "platform/com/interfaces.h"
#include "platform/com/oleauto.h"

const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IErrorInfo = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ICreateErrorInfo = {0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_IConnectionPoint = {0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IConnectionPointContainer = {0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

namespace orvcom {

std::string GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Hex(const char* p, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(p[i]);
    if (d < 0) return false;
    v = (v << 4) | uint32_t(d);
  }
  *value = v;
  return true;
}
}  // namespace

bool ParseGuid(const char* text, GUID* guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters exactly.
  if (!text || std::strlen(text) != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
      text[14] != '-' || text[19] != '-' || text[24] != '-')
    return false;
  GUID g;
  uint32_t v;
  if (!Hex(text + 1, 8, &v)) return false;
  g.Data1 = v;
  if (!Hex(text + 10, 4, &v)) return false;
  g.Data2 = uint16_t(v);
  if (!Hex(text + 15, 4, &v)) return false;
  g.Data3 = uint16_t(v);
  static const int offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!Hex(text + offsets[i], 2, &v)) return false;
    g.Data4[i] = uint8_t(v);
  }
  *guid = g;
  return true;
}

size_t OleStrLen(const OLECHAR* text) {
  size_t n = 0;
  if (text)
    while (text[n]) ++n;
  return n;
}

std::u16string Widen(const char* text, size_t length) {
  std::u16string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) out.push_back(char16_t(static_cast<unsigned char>(text[i])));
  return out;
}

std::u16string Widen(const char* text) { return text ? Widen(text, std::strlen(text)) : std::u16string(); }

std::string Narrow(const OLECHAR* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) out.push_back(text[i] < 256 ? char(text[i]) : '?');
  return out;
}

std::string Narrow(const OLECHAR* text) { return Narrow(text, OleStrLen(text)); }

std::u16string Widen(const std::string& text) { return Widen(text.data(), text.size()); }

std::string Narrow(const std::u16string& text) { return Narrow(text.data(), text.size()); }

std::u16string BstrText(BSTR text) {
  if (text == nullptr) return std::u16string();
  return std::u16string(text, SysStringLen(text));
}

std::string Utf8(const OLECHAR* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
      const uint32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // a lone surrogate
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace orvcom

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size) {
  if (!buffer || size < 39) return 0;
  std::string text = orvcom::GuidToString(guid);
  for (size_t i = 0; i < text.size(); ++i) buffer[i] = char16_t(text[i]);
  buffer[text.size()] = 0;
  return int(text.size()) + 1;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (!clsid) return E_INVALIDARG;
  size_t n = orvcom::OleStrLen(text);
  if (n != 38) return CO_E_CLASSSTRING;
  std::string narrow = orvcom::Narrow(text, n);
  return orvcom::ParseGuid(narrow.c_str(), clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR text, LPIID iid) {
  HRESULT hr = CLSIDFromString(text, iid);
  return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}

void* CoTaskMemAlloc(SIZE_T size) { return std::malloc(size ? size : 1); }
void CoTaskMemFree(void* p) { std::free(p); }

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
  if (!text) return E_INVALIDARG;
  *text = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
  if (!*text) return E_OUTOFMEMORY;
  StringFromGUID2(clsid, *text, 39);
  return S_OK;
}

HRESULT StringFromIID(REFIID iid, LPOLESTR* text) { return StringFromCLSID(iid, text); }
