// How values travel in the transport's bodies: GUIDs, BSTRs, VARIANTs
// (with their arrays) and a failing call's error information. Interface
// pointers inside values are written and read by the connection, whose
// tables they go through.
//
// A VARIANT is u16 VARTYPE | its value: nothing for VT_EMPTY and VT_NULL,
// the number in its own width, a string, an interface reference, or for a
// one-dimensional array u8 present | i32 lower bound | u32 count | the
// elements. A BSTR is a UTF-16 string with null kept apart from empty.
#pragma once

#include <stdexcept>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/rpc/Wire.h"

namespace orvrpc {

class Connection;

void WriteGuid(Writer& w, const GUID& g);
GUID ReadGuid(Reader& r);

void WriteBstr(Writer& w, BSTR b);
// A new BSTR (null for the null string), booked against the body's bound.
BSTR ReadBstr(Reader& r);

// Every type the contract and the dispatch side use. A VT_BYREF is written
// as the value it points at; a type the wire does not carry throws
// std::invalid_argument before anything of the value is written.
void WriteVariant(Writer& w, Connection& c, const VARIANT& v);
// Into a VariantInit'd `v`; on DecodeError `v` holds nothing.
void ReadVariant(Reader& r, Connection& c, VARIANT* v, int depth = 0);

// Writes the calling thread's error information (taken from it) after a
// failing HRESULT, and the reverse on the caller's side: the error object
// is set on the calling thread, or cleared when the callee left none.
void WriteErrorInfo(Writer& w);
void ReadErrorInfo(Reader& r);

// Clears a set of VARIANTs however the code leaves (a decode error included).
struct VariantVector {
  std::vector<VARIANT> v;
  explicit VariantVector(size_t n) : v(n) {
    for (auto& x : v) VariantInit(&x);
  }
  ~VariantVector() {
    for (auto& x : v) VariantClear(&x);
  }
  VariantVector(const VariantVector&) = delete;
  VariantVector& operator=(const VariantVector&) = delete;
};

inline bool IsInterfaceVt(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

// The interface a typed parameter's pointer travels as.
inline const IID& DefaultIid(const orvcom::ParamInfo& p) {
  if (p.iid) return *p.iid;
  return p.vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch;
}

}  // namespace orvrpc
