// The basic types of COM and OLE Automation: strings, GUIDs, the calling
// macros and the flags of the activation calls.
//
// OLECHAR is char16_t: the system compares and stores UTF-16 code units,
// never the platform's 32-bit wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/win/windows.h"

typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef BSTR* LPBSTR;

typedef float FLOAT;
typedef double DOUBLE;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef DWORD LCID;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)

#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

extern const GUID GUID_NULL;
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL

// Interfaces have no virtual destructor and one calling convention on
// Linux; the macros keep declarations in their usual shape.
#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define ATL_NO_VTABLE

// Activation contexts and class-object registration flags.
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1
#define REGCLS_MULTI_SEPARATE 2
#define REGCLS_SUSPENDED 4

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

// GUID text in the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
// StringFromGUID2 answers the characters written with the terminator, or 0
// when the buffer is shorter than 39.
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size);
// CO_E_CLASSSTRING for anything but the braced form (hex digits in either
// case).
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT IIDFromString(LPCOLESTR text, LPIID iid);
// The text is allocated with CoTaskMemAlloc.
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
HRESULT StringFromIID(REFIID iid, LPOLESTR* text);

void* CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(void* p);

namespace orvcom {

// The same forms in 8-bit text, for the registry and logs.
std::string GuidToString(const GUID& guid);
bool ParseGuid(const char* text, GUID* guid);

// The system's narrow strings are 8-bit: each byte is one code unit, and a
// code unit above 255 narrows to '?'.
std::u16string Widen(const char* text);
std::u16string Widen(const char* text, size_t length);
std::string Narrow(const OLECHAR* text);
std::string Narrow(const OLECHAR* text, size_t length);
// The whole string, NULs inside included.
std::u16string Widen(const std::string& text);
std::string Narrow(const std::u16string& text);
size_t OleStrLen(const OLECHAR* text);
// A BSTR's text to its stored length, NULs inside included; a null BSTR is
// the empty text.
std::u16string BstrText(BSTR text);
// The text as UTF-8, for log lines that must show any character: a pair of
// surrogates is one character, a lone surrogate U+FFFD.
std::string Utf8(const OLECHAR* text, size_t length);

// Type-to-identifier binding behind __uuidof: the generated contract and
// the standard interfaces specialise it.
template <class T>
struct UuidTraits;

template <class T>
inline const IID& uuidof() {
  return UuidTraits<T>::iid();
}

}  // namespace orvcom

#define __uuidof(T) (::orvcom::uuidof<T>())

#define ORVCOM_DECLARE_UUID(T, iidObject)              \
  namespace orvcom {                                   \
  template <>                                          \
  struct UuidTraits<T> {                               \
    static const IID& iid() { return iidObject; }      \
  };                                                   \
  }
