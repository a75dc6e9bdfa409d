// The tables that the contract compiler generates from the type library
// source, and the helpers its generated code calls.
//
// A table describes each interface member as the type library would: its
// DISPID, vtable slot, kind, and for each parameter its name, automation
// type and direction. The server side dispatches IDispatch::Invoke through
// the per-member thunk; a transport can marshal calls from the same data.
#pragma once

#include <vector>

#include "platform/com/oleauto.h"

namespace orvcom {

enum ParamFlags : unsigned char {
  kParamIn = 1,
  kParamOut = 2,
  kParamRetval = 4,
};

enum class MemberKind : unsigned char { kMethod, kPropGet, kPropPut };

struct ParamInfo {
  const char* name;
  // The automation type: VT_BSTR, VT_I2, VT_I4 (long and enums), VT_R4,
  // VT_R8, VT_DATE, VT_BOOL, VT_VARIANT, VT_DISPATCH (interface pointers;
  // see iid) or VT_UNKNOWN. [out] parameters point at one of these.
  VARTYPE vt;
  unsigned char flags;  // ParamFlags
  const IID* iid;        // the interface of a VT_DISPATCH/VT_UNKNOWN, else null
  const char* typeName;  // as the source wrote it ("BSTR", "DataTypeEnum", "IStocksEnt")
};

// Calls one member on an interface pointer (passed as void*) with the
// arguments of an Invoke. Converts [in] arguments, checks the types of
// [out] ones, writes [out] values back only when the member succeeds, and
// puts the [out, retval] value into result (released when result is null).
// Answers the member's HRESULT or a DISP_E_* code with *argErr set.
typedef HRESULT (*InvokeThunk)(void* itf, DISPPARAMS* params, VARIANT* result, UINT* argErr);

struct MemberInfo {
  DISPID dispid;
  const char* name;
  const char* helpString;
  unsigned short slot;  // vtable slot (7 and up for dual interfaces)
  MemberKind kind;
  unsigned short paramCount;
  const ParamInfo* params;
  InvokeThunk invoke;  // null for the members of a dispinterface
};

struct InterfaceInfo {
  const char* name;
  const IID* iid;
  const char* helpString;
  bool dispinterface;  // a pure dispinterface (events); else dual
  unsigned short memberCount;
  const MemberInfo* members;
};

struct EnumMemberInfo {
  const char* name;
  LONG value;
};

struct EnumInfo {
  const char* name;
  const GUID* guid;
  const char* helpString;
  unsigned short count;
  const EnumMemberInfo* members;
};

struct CoClassInfo {
  const char* name;
  const CLSID* clsid;
  const char* helpString;
  bool creatable;
  const IID* defaultInterface;
  const IID* defaultSource;  // null when none
};

// Registry scripts in compiled form: one node per key, children
// following their parent at depth + 1.
struct RegistryValue {
  const char* name;  // null: the key's default value
  char type;         // 's' string, 'd' dword
  const char* data;  // text; %MODULE% is replaced by the program's path
};

struct RegistryNode {
  unsigned char depth;  // 0: the root key (HKCR, HKLM, ...)
  unsigned char flags;  // kRegNoRemove, kRegForceRemove
  const char* name;
  const char* defaultValue;  // null when the script gives none
  unsigned short valueCount;
  const RegistryValue* values;
};

enum RegistryFlags : unsigned char { kRegNoRemove = 1, kRegForceRemove = 2 };

struct RegistryScript {
  UINT resourceId;
  unsigned short nodeCount;
  const RegistryNode* nodes;
};

struct TypeLibInfo {
  const char* name;
  const GUID* libid;
  WORD majorVersion;
  WORD minorVersion;
  LCID lcid;
  const char* helpString;
  unsigned short interfaceCount;
  const InterfaceInfo* const* interfaces;
  unsigned short enumCount;
  const EnumInfo* enums;
  unsigned short coclassCount;
  const CoClassInfo* coclasses;
  unsigned short scriptCount;
  const RegistryScript* scripts;
};

// Generated code registers its library when the program starts.
bool RegisterTypeLibInfo(const TypeLibInfo* lib);
const TypeLibInfo* FindTypeLibInfo(REFGUID libid);
const InterfaceInfo* FindInterfaceInfo(REFIID iid);
const RegistryScript* FindRegistryScript(UINT resourceId);

// The binding of a generated interface type to its table.
template <class T>
struct InterfaceInfoOf;

// IDispatch over a table: GetIDsOfNames matches member names without
// regard to case (later names, the parameters, map to their positions);
// Invoke finds the member by DISPID and call kind. A failing member with
// error information that `object` vouches for through ISupportErrorInfo
// fills EXCEPINFO and answers DISP_E_EXCEPTION; without an EXCEPINFO the
// member's HRESULT is answered and the thread's error information stays.
HRESULT TableGetIDsOfNames(const InterfaceInfo* info, REFIID riid, LPOLESTR* names, UINT count,
                           DISPID* ids);
HRESULT TableInvoke(const InterfaceInfo* info, void* itf, IUnknown* object, DISPID dispid,
                    REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                    EXCEPINFO* excepInfo, UINT* argErr);
const MemberInfo* FindMember(const InterfaceInfo* info, DISPID dispid, WORD flags);

// Fills an EXCEPINFO from a failing HRESULT and the thread's error
// information (which is consumed) when `object` supports it for iid.
void FillExcepInfo(EXCEPINFO* excepInfo, HRESULT hr, IUnknown* object, REFIID iid);

// The argument access of the generated thunks. Positions count the
// member's parameters in declaration order; the DISPPARAMS hold them
// last-first. Temporaries made by coercion live as long as the Args.
class Args {
 public:
  Args(DISPPARAMS* params, UINT* argErr) : params_(params), argErr_(argErr) {}
  ~Args();
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  // DISP_E_BADPARAMCOUNT unless exactly `count` positional arguments came
  // (named arguments: only DISPID_PROPERTYPUT, for a put).
  HRESULT Expect(UINT count, bool propPut = false);

  HRESULT InBstr(UINT pos, BSTR* value);
  HRESULT InI2(UINT pos, SHORT* value);
  HRESULT InI4(UINT pos, LONG* value);
  HRESULT InR4(UINT pos, FLOAT* value);
  HRESULT InR8(UINT pos, DOUBLE* value);
  HRESULT InDate(UINT pos, DATE* value);
  HRESULT InBool(UINT pos, VARIANT_BOOL* value);
  HRESULT InVariant(UINT pos, VARIANT* value);  // a shallow view, owned by the caller
  HRESULT InItf(UINT pos, REFIID iid, void** value);  // null stays null; else AddRef'd here

  // An [out] argument must be a reference to its type (or to a VARIANT).
  HRESULT CheckOut(UINT pos, VARTYPE vt);
  void OutBstr(UINT pos, BSTR value);
  void OutI2(UINT pos, SHORT value);
  void OutI4(UINT pos, LONG value);
  void OutR4(UINT pos, FLOAT value);
  void OutR8(UINT pos, DOUBLE value);
  void OutDate(UINT pos, DATE value);
  void OutBool(UINT pos, VARIANT_BOOL value);
  void OutVariant(UINT pos, VARIANT* value);  // moved
  void OutDispatch(UINT pos, IDispatch* value);  // reference handed over
  void OutUnknown(UINT pos, IUnknown* value);

  static void RetBstr(VARIANT* result, BSTR value);
  static void RetI2(VARIANT* result, SHORT value);
  static void RetI4(VARIANT* result, LONG value);
  static void RetR4(VARIANT* result, FLOAT value);
  static void RetR8(VARIANT* result, DOUBLE value);
  static void RetDate(VARIANT* result, DATE value);
  static void RetBool(VARIANT* result, VARIANT_BOOL value);
  static void RetVariant(VARIANT* result, VARIANT* value);  // moved
  static void RetDispatch(VARIANT* result, IDispatch* value);  // reference handed over
  static void RetUnknown(VARIANT* result, IUnknown* value);

 private:
  VARIANT* Arg(UINT pos);
  HRESULT Coerce(UINT pos, VARTYPE vt, VARIANT** out);
  HRESULT Mismatch(UINT pos, HRESULT hr);

  DISPPARAMS* params_;
  UINT* argErr_;
  std::vector<VARIANT> temps_;
  std::vector<IUnknown*> refs_;
};

}  // namespace orvcom
