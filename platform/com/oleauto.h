// OLE Automation data: BSTR, VARIANT, SAFEARRAY, the Invoke parameter
// blocks and the per-thread error information.
#pragma once

#include "platform/com/interfaces.h"
#include "platform/win/oledate.h"

// ---- BSTR ----------------------------------------------------------------
// A BSTR points at UTF-16 text that is preceded by its length in bytes
// (32 bits) and followed by a 0 code unit. A null BSTR is a valid, empty
// string for every reader, but stays distinct from an allocated empty one.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // text may be null: zero-filled
BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length);
INT SysReAllocString(BSTR* target, const OLECHAR* text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// ---- VARIANT ----------------------------------------------------------------
enum VARENUM : unsigned short {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0fff,
};

struct SAFEARRAY;

struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    tagVARIANT* pvarVal;
    void* byref;
  };
};
typedef VARIANT* LPVARIANT;
typedef VARIANT* LPVARIANTARG;

#define V_VT(v) ((v)->vt)
#define V_ISBYREF(v) (((v)->vt & VT_BYREF) != 0)
#define V_ISARRAY(v) (((v)->vt & VT_ARRAY) != 0)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_DATE(v) ((v)->date)
#define V_BOOL(v) ((v)->boolVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)
#define V_ERROR(v) ((v)->scode)
#define V_BYREF(v) ((v)->byref)
#define V_VARIANTREF(v) ((v)->pvarVal)

// VariantChangeType flags; none changes the coercions the system uses.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02

void VariantInit(VARIANTARG* v);
// Frees what the VARIANT owns (string, interface reference, array); a
// by-reference VARIANT owns nothing. Leaves it VT_EMPTY.
HRESULT VariantClear(VARIANTARG* v);
// A deep copy: strings and arrays duplicated, interfaces AddRef'd.
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// Copies the value a by-reference VARIANT points at.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src);
// Coerces between the empty value, the numbers (I2, I4, R4, R8, DATE,
// BOOL, UI1), strings and interface pointers; src may be by-reference and
// dest may equal src. DISP_E_OVERFLOW when a number does not fit,
// DISP_E_TYPEMISMATCH for text that is not a number or a pair that does
// not convert, E_NOINTERFACE when an object lacks IDispatch.
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, USHORT flags,
                            VARTYPE vt);

// ---- SAFEARRAY ----------------------------------------------------------------
struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

// One-dimensional arrays of VT_BSTR, VT_VARIANT, VT_I2, VT_I4, VT_R4,
// VT_R8, VT_DATE, VT_BOOL, VT_UI1, VT_UNKNOWN and VT_DISPATCH; any lower
// bound whose upper bound still fits a LONG. Anything else gives null.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
// DISP_E_ARRAYISLOCKED while a lock or an AccessData is outstanding.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* bound);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// Elements are copied in and out: a BSTR read is a new string the caller
// frees, an interface read is AddRef'd. DISP_E_BADINDEX outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* value);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* value);

// ---- Invoke -----------------------------------------------------------------
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // the arguments, last one first
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

// ---- Error information --------------------------------------------------------
// One error object per thread. SetErrorInfo replaces it (null clears);
// GetErrorInfo hands it over and clears the thread's slot, S_FALSE when
// there is none.
HRESULT CreateErrorInfo(ICreateErrorInfo** out);
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);
