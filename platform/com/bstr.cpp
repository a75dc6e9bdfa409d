#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/oleauto.h"

namespace {

// The byte length sits in the 4 bytes before the text.
BSTR AllocBytes(const void* data, UINT bytes) {
  // Room for the prefix, the text and a 2-byte terminator, without wrapping.
  if (bytes > std::numeric_limits<UINT>::max() - 8) return nullptr;
  char* block = static_cast<char*>(std::malloc(size_t(bytes) + 6));
  if (!block) return nullptr;
  uint32_t length = bytes;
  std::memcpy(block, &length, 4);
  if (data)
    std::memcpy(block + 4, data, bytes);
  else
    std::memset(block + 4, 0, bytes);
  block[4 + bytes] = 0;
  block[5 + bytes] = 0;
  return reinterpret_cast<BSTR>(block + 4);
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > std::numeric_limits<UINT>::max() / 2 - 8) return nullptr;
  return AllocBytes(text, length * UINT(sizeof(OLECHAR)));
}

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  return SysAllocStringLen(text, UINT(orvcom::OleStrLen(text)));
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length) { return AllocBytes(bytes, length); }

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
  if (!target) return FALSE;
  BSTR copy = SysAllocStringLen(text, length);
  if (!copy) return FALSE;
  SysFreeString(*target);
  *target = copy;
  return TRUE;
}

INT SysReAllocString(BSTR* target, const OLECHAR* text) {
  return SysReAllocStringLen(target, text, UINT(orvcom::OleStrLen(text)));
}

void SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<char*>(text) - 4);
}

UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t length;
  std::memcpy(&length, reinterpret_cast<char*>(text) - 4, 4);
  return length;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / UINT(sizeof(OLECHAR)); }
